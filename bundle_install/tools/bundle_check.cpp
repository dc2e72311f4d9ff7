// bundle-check: what a device would do with a bundle, found by the installer's own code over a
// private copy of it, before anyone ships it. Runs on a build host, never needs root, and never
// touches the device's update directory.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blob.h>
}

#include "archive_name.hpp"
#include "bundle_extract.hpp"
#include "manifest.hpp"
#include "manifest_search.hpp"
#include "remove_tree.hpp"
#include "shell_command.hpp"

namespace {

constexpr const char *kProgram = "bundle-check";
constexpr const char *kManifestName = "manifest.txt";
// The bundle is unpacked below the private directory at this relative path, which is exactly as
// long as the device's update directory: every path and command then fits or fails to fit the
// installer's buffers exactly as it would on the device.
constexpr const char *kLocalUpdateDir = "_tmp/update";
static_assert(std::char_traits<char>::length(kLocalUpdateDir) ==
              std::char_traits<char>::length(kUpdateDir));

volatile std::sig_atomic_t interrupted = 0;

void on_signal(int signal) {
    interrupted = signal;
}

// The device's name for a path below the local update directory.
std::string device_path(const std::string &local) {
    return kUpdateDir + local.substr(std::strlen(kLocalUpdateDir));
}

// Every non-directory entry called name below directory, by the search's own rules: only
// entries the listing reports as directories are entered, so links are never followed.
void find_all(const std::string &directory, const char *name, std::vector<std::string> *found) {
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr)
        return;
    while (struct dirent *entry = readdir(dir)) {
        std::string path = directory + "/" + entry->d_name;
        if (entry->d_type == DT_DIR) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                find_all(path, name, found);
        } else if (std::strcmp(entry->d_name, name) == 0) {
            found->push_back(path);
        }
    }
    closedir(dir);
}

int closed_folders = 0;  // seen by the latest make_readable walk

int make_readable(const char *path, const struct stat *st, int type, struct FTW *) {
    if (type == FTW_DNR)
        ++closed_folders;
    if (type == FTW_D || type == FTW_DNR)
        chmod(path, (st->st_mode & 07777) | S_IRWXU);
    else if (type == FTW_F)
        chmod(path, (st->st_mode & 07777) | S_IRUSR);
    return 0;
}

// Opens every folder and file below root to us, as the device reads them as root. A closed
// folder is opened when the walk meets it, so its contents wait for the next walk.
void open_tree(const char *root) {
    for (int pass = 0; pass < 256; ++pass) {
        closed_folders = 0;
        nftw(root, make_readable, 16, FTW_PHYS);
        if (closed_folders == 0)
            return;
    }
}

// Removes the private tree, whatever modes the bundle gave its folders.
void remove_private_tree(const std::string &root) {
    open_tree(root.c_str());
    remove_tree(root.c_str());
}

struct Check {
    std::string root;         // real path of the local update directory
    std::string package_dir;  // local package directory
    int commands;
    int problems;
    int missing;
};

void problem(Check *check, const std::string &text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    ++check->problems;
}

// "" when the path's file is inside the unpacked bundle, else what is wrong. The device would
// resolve a link that leaves the bundle against its own files, which nothing here can check.
std::string outside_bundle(const Check *check, const std::string &local) {
    char real[PATH_MAX];
    if (realpath(local.c_str(), real) == nullptr)
        return "";
    std::string resolved = real;
    if (resolved.rfind(check->root + "/", 0) == 0)
        return "";
    return "leads out of the bundle through a symbolic link";
}

int check_package(const char *package, const char *path, void *context) {
    auto *check = static_cast<Check *>(context);
    if (path == nullptr) {
        problem(check, std::string("Failed to install ") + package);
        return 0;
    }
    std::string shown = device_path(path);
    char command[kTextSize];
    if (install_command(shown.c_str(), command) != 0) {
        problem(check, std::string("Failed to install ") + package);
        return 0;
    }
    std::printf("Command: %s\n", command);
    ++check->commands;
    struct stat st {};
    std::string outside = outside_bundle(check, path);
    if (!outside.empty()) {
        problem(check, "Package " + shown + " " + outside);
    } else if (stat(path, &st) != 0) {
        problem(check, "Missing package: " + shown);
        ++check->missing;
    } else if (!S_ISREG(st.st_mode)) {
        problem(check, "Not a regular file: " + shown);
    }
    return 0;
}

// Unpacks with the installer's own command, its listing kept off our output.
int unpack(const char *archive) {
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool ready = saved >= 0 && null >= 0 && dup2(null, STDOUT_FILENO) >= 0;
    int error = errno;
    if (null >= 0)
        close(null);
    if (!ready) {
        if (saved >= 0)
            close(saved);
        std::fprintf(stderr, "%s: cannot set up the unpacking: %s\n", kProgram,
                     std::strerror(error));
        return -1;
    }
    int result = extract_bundle(archive, kLocalUpdateDir);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return result;
}

struct BufHolder {
    struct blob_buf buf;
    ~BufHolder() { blob_buf_free(&buf); }
};

// The whole check inside the private directory (the working directory by now); the exit status.
int check_bundle(const char *archive) {
    if (unpack(archive) != 0) {
        std::fputs("Failed to extract tar.gz file\n", stderr);
        return 1;
    }
    if (interrupted)
        return 128 + interrupted;
    open_tree(kLocalUpdateDir);
    char *found = find_file_recursive(kLocalUpdateDir, kManifestName);
    if (found == nullptr) {
        std::fputs("Failed to find manifest file\n", stderr);
        return 1;
    }
    std::string manifest = found;
    std::free(found);
    std::printf("Manifest: %s\n", device_path(manifest).c_str());

    std::vector<std::string> manifests;
    find_all(kLocalUpdateDir, kManifestName, &manifests);
    if (manifests.size() > 1) {
        std::fprintf(stderr,
                     "Warning: %zu files named %s; the device uses the first its search finds, "
                     "here %s\n",
                     manifests.size(), kManifestName, device_path(manifest).c_str());
        for (const std::string &other : manifests)
            if (other != manifest)
                std::fprintf(stderr, "Warning: also %s\n", device_path(other).c_str());
    }

    Check check{};
    char real[PATH_MAX];
    if (realpath(kLocalUpdateDir, real) == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, kLocalUpdateDir, std::strerror(errno));
        return 2;
    }
    check.root = real;
    auto base = archive_base_name(archive);
    char package_dir[kTextSize];
    int n = std::snprintf(package_dir, sizeof package_dir, "%s/%.*s", kLocalUpdateDir,
                          static_cast<int>(base.size()), base.data());
    if (n < 0 || static_cast<unsigned>(n) >= sizeof package_dir) {
        std::fprintf(stderr, "Path too long: %s/%.*s\n", kUpdateDir, static_cast<int>(base.size()),
                     base.data());
        return 1;
    }
    check.package_dir = package_dir;
    std::printf("Package folder: %s\n", device_path(package_dir).c_str());

    std::string outside = outside_bundle(&check, manifest);
    if (!outside.empty()) {
        std::fprintf(stderr, "Manifest %s %s\n", device_path(manifest).c_str(), outside.c_str());
        return 1;
    }
    BufHolder holder{};
    if (load_manifest(manifest.c_str(), &holder.buf) != 0 ||
        walk_order(&holder.buf, package_dir, check_package, &check) != 0)
        ++check.problems;
    std::string manifest_dir = manifest.substr(0, manifest.rfind('/'));
    if (check.missing > 0 && manifest_dir != check.package_dir)
        std::fprintf(stderr,
                     "Hint: the manifest lies in %s, but packages are taken from %s, the folder "
                     "named after the bundle's file name\n",
                     device_path(manifest_dir).c_str(), device_path(check.package_dir).c_str());
    if (check.problems > 0)
        return 1;
    std::printf("OK: the device would install every package (%d)\n", check.commands);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s <tar.gz file>\n", kProgram);
        return 2;
    }
    // The archive by its file name alone, through a link in the private directory: the base name
    // stays the device's, and nothing before its first slash can look like a remote host to tar.
    std::string name = argv[1];
    name = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    char absolute[PATH_MAX];
    if (name.empty() || realpath(argv[1], absolute) == nullptr) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, argv[1],
                     name.empty() ? "not a file name" : std::strerror(errno));
        return 1;
    }
    const char *tmp = std::getenv("TMPDIR");
    char base[PATH_MAX];
    if (realpath(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", base) == nullptr) {
        std::fprintf(stderr, "%s: no folder for temporary files: %s\n", kProgram,
                     std::strerror(errno));
        return 2;
    }
    std::string update_dir = kUpdateDir;
    if (base == update_dir || std::string(base).rfind(update_dir + "/", 0) == 0) {
        // The device's folder is the one place this check must never write to.
        std::fprintf(stderr, "%s: TMPDIR lies in %s; choose another folder\n", kProgram,
                     kUpdateDir);
        return 2;
    }
    std::string root = std::string(base) + "/bundle-check.XXXXXX";
    if (mkdtemp(root.data()) == nullptr) {
        std::fprintf(stderr, "%s: cannot create a private folder in %s: %s\n", kProgram, base,
                     std::strerror(errno));
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);

    int status = 2;
    std::string link = "in/" + name;
    if (chdir(root.c_str()) != 0 || mkdir("_tmp", 0700) != 0 || mkdir("in", 0700) != 0 ||
        symlink(absolute, link.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot prepare %s: %s\n", kProgram, root.c_str(),
                     std::strerror(errno));
    } else {
        status = check_bundle(link.c_str());
    }
    std::fflush(stdout);
    remove_private_tree(root);
    if (interrupted) {
        signal(interrupted, SIG_DFL);
        raise(interrupted);
    }
    return status;
}
