// bundle-pack: builds a bundle the device installs as intended, or says why it cannot. The top
// folder is the base name the installer derives from the output's file name, with the same code;
// every path and command the device will build is tried against the installer's own limits.
// Runs on a build host.
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "archive_name.hpp"
#include "bundle_extract.hpp"
#include "manifest.hpp"
#include "remove_tree.hpp"
#include "shell_command.hpp"

extern char **environ;

namespace {

constexpr const char *kProgram = "bundle-pack";
constexpr const char *kManifestName = "manifest.txt";

volatile std::sig_atomic_t interrupted = 0;

void on_signal(int signal) {
    interrupted = signal;
}

void usage() {
    std::fprintf(stderr, "Usage: %s -o OUTPUT.tar.gz PACKAGE...\n", kProgram);
}

struct Package {
    std::string source;  // as given
    std::string real;    // absolute path of the file
    std::string name;    // file name in the bundle
};

// One JSON string literal for a file name (which holds no control characters).
std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// "" when the device can take this file name, else why not.
std::string name_problem(const std::string &name) {
    if (name.empty() || name == "." || name == "..")
        return "names no file";
    if (name == kManifestName)
        return std::string("would be taken for the bundle's ") + kManifestName;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return "holds a control character";
    return "";
}

bool write_file(const std::string &path, const std::string &content) {
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && ok;
}

// Runs tar with these arguments and waits for it; an interrupt ends tar too. 0 or -1.
int run_tar(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        std::fprintf(stderr, "%s: cannot run tar: %s\n", kProgram, std::strerror(error));
        return -1;
    }
    int status = 0;
    bool stopped = false;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
        if (interrupted && !stopped) {
            kill(pid, SIGTERM);
            stopped = true;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    if (!interrupted)
        std::fprintf(stderr, "%s: tar failed\n", kProgram);
    return -1;
}

// Every refusal for this output and these packages, one line each; the packages' names filled in.
int check_inputs(const std::string &output, std::vector<Package> *packages) {
    int problems = 0;
    auto refuse = [&problems](const std::string &text) {
        std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
        ++problems;
    };
    auto base = archive_base_name(output);
    char package_dir[kTextSize];
    int n = std::snprintf(package_dir, sizeof package_dir, "%s/%.*s", kUpdateDir,
                          static_cast<int>(base.size()), base.data());
    if (base.empty()) {
        refuse(output +
               ": the file name leaves no base name, so the device would take packages "
               "from " +
               kUpdateDir + "/ itself");
        return problems;
    }
    if (base == "." || base == "..") {
        refuse(output + ": the base name " + std::string(base) + " names no folder");
        return problems;
    }
    if (n < 0 || static_cast<unsigned>(n) >= sizeof package_dir) {
        refuse(output + ": the package folder " + kUpdateDir + "/" + std::string(base) +
               " would exceed the device's 511 characters");
        return problems;
    }
    std::string manifest = std::string(package_dir) + "/" + kManifestName;
    if (manifest.size() >= kTextSize)
        refuse(output + ": the manifest's path " + manifest +
               " would exceed the device's 511 characters");

    std::set<std::string> names;
    for (Package &p : *packages) {
        auto slash = p.source.rfind('/');
        p.name = slash == std::string::npos ? p.source : p.source.substr(slash + 1);
        std::string why = name_problem(p.name);
        if (!why.empty()) {
            refuse(p.source + ": the file name " + why);
            continue;
        }
        if (!names.insert(p.name).second) {
            refuse(p.source + ": a second package named " + p.name);
            continue;
        }
        // Not blocking, so that a FIFO given by mistake is refused rather than waited on.
        int fd = open(p.source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        char real[PATH_MAX];
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
            realpath(p.source.c_str(), real) == nullptr) {
            refuse(p.source + ": not a readable regular file" +
                   (fd < 0 ? std::string(" (") + std::strerror(errno) + ")" : ""));
            if (fd >= 0)
                close(fd);
            continue;
        }
        close(fd);
        p.real = real;
        std::string path = std::string(package_dir) + "/" + p.name;
        char command[kTextSize];
        if (path.size() >= kTextSize)
            refuse(p.source + ": the path " + path + " would exceed the device's 511 characters");
        else if (install_command(path.c_str(), command) != 0)
            refuse(p.source + ": the device's install command would not fit its 511 characters");
    }
    return problems;
}

// Stages the folder (the manifest and links to the packages) and packs it into a temporary file
// beside the output, renamed over it only once complete. 0 or -1 after a message.
int pack(const std::string &output, const std::vector<Package> &packages) {
    std::string base(archive_base_name(output));
    const char *tmp = std::getenv("TMPDIR");
    std::string stage =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bundle-pack.XXXXXX";
    if (mkdtemp(stage.data()) == nullptr) {
        std::fprintf(stderr, "%s: cannot create a staging folder: %s\n", kProgram,
                     std::strerror(errno));
        return -1;
    }
    auto slash = output.rfind('/');
    std::string dir = slash == std::string::npos ? "./" : output.substr(0, slash + 1);
    std::string temp = dir + ".bundle-pack.XXXXXX";  // short: the output's name may be 255 long
    int fd = -1;

    std::string manifest = "{\"order\":[";
    for (std::size_t i = 0; i < packages.size(); ++i) {
        if (i > 0)
            manifest += ',';
        manifest += json_string(packages[i].name);
    }
    manifest += "]}\n";
    std::string list;  // the members in order, NUL-separated
    for (const std::string &member : {base, base + "/" + kManifestName})
        list += member + '\0';
    bool ok = mkdir((stage + "/" + base).c_str(), 0755) == 0 &&
              write_file(stage + "/" + base + "/" + kManifestName, manifest);
    for (const Package &p : packages) {
        ok = ok && symlink(p.real.c_str(), (stage + "/" + base + "/" + p.name).c_str()) == 0;
        list += base + "/" + p.name + '\0';
    }
    ok = ok && write_file(stage + "/members", list);
    if (!ok) {
        std::fprintf(stderr, "%s: cannot stage the bundle in %s: %s\n", kProgram, stage.c_str(),
                     std::strerror(errno));
    } else if ((fd = mkstemp(temp.data())) < 0) {
        std::fprintf(stderr, "%s: cannot create a file beside %s: %s\n", kProgram, output.c_str(),
                     std::strerror(errno));
        ok = false;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        bool packed = run_tar({"tar", "--create", "--gzip", "--format=gnu", "--file=" + temp,
                               "--directory=" + stage, "--dereference", "--no-recursion",
                               "--owner=0", "--group=0", "--numeric-owner", "--mode=u+rw,go-w,a+rX",
                               "--null", "--verbatim-files-from", "--no-unquote",
                               "--files-from=" + stage + "/members"}) == 0 &&
                      !interrupted;
        ok = packed && fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0 &&
             rename(temp.c_str(), output.c_str()) == 0;
        if (packed && !ok)
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.c_str(),
                         std::strerror(errno));
        if (!ok)
            unlink(temp.c_str());
        close(fd);
        if (ok) {
            // The rename itself must outlive a power cut on the build host.
            int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir_fd >= 0) {
                fsync(dir_fd);
                close(dir_fd);
            }
        }
    }
    remove_tree(stage.c_str());
    return ok ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || std::strcmp(argv[1], "-o") != 0) {
        usage();
        return 1;
    }
    std::string output = argv[2];
    std::vector<Package> packages;
    for (int i = 3; i < argc; ++i)
        packages.push_back({argv[i], "", ""});
    if (check_inputs(output, &packages) != 0)
        return 1;

    struct sigaction action {};
    action.sa_handler = on_signal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    int result = pack(output, packages);
    if (interrupted) {
        signal(interrupted, SIG_DFL);
        raise(interrupted);
    }
    if (result != 0)
        return 1;
    std::printf("%s: folder %s, %zu packages\n", output.c_str(),
                std::string(archive_base_name(output)).c_str(), packages.size());
    return 0;
}
