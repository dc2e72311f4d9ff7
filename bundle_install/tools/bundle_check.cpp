// bundle-check: what a device would do with a bundle, before anyone ships it. The installer itself
// runs on the bundle inside a private user and mount namespace laid out as the device is (a tmpfs
// /tmp, BusyBox as the shell and its tools, an opkg that only records), so the verdict comes from
// the same code, tar and kind of filesystem. Needs no root and never touches this machine's
// update directory.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive_name.hpp"
#include "bundle_extract.hpp"
#include "shell_command.hpp"
#include "signature.hpp"

extern char **environ;

namespace {

constexpr const char *kProgram = "bundle-check";
constexpr const char *kFoundLabel = "Found manifest file at: ";
// A relative bundle argument is taken from here, as from a shell on the device.
constexpr const char *kWorkDir = "/root";
constexpr const char *kInstaller = "/sbin/bundle-install";

// Descriptors the sandboxed run writes to, beside its standard output and error.
constexpr int kCallsFd = 3;      // the opkg stand-in's record of each call
constexpr int kManifestsFd = 4;  // every file named manifest.txt left in the update directory
constexpr int kStatusFd = 5;     // bwrap's own report: did the installer start at all
constexpr int kStandInFd = 6;    // the stand-in's text, for bwrap to place at /bin/opkg
constexpr int kArchiveFd = 7;    // with keys: the bundle, for bwrap to place as root's file
constexpr int kUnpackedFd = 8;   // "yes" once the installer made the update directory

// Records each call as its argument count and arguments, NUL-terminated (a path may hold any
// other byte), then fails as opkg does for a file it cannot install. A path that leaves the
// bundle (through a link or "..") names the device's own files, which nothing here can vouch for.
constexpr const char *kStandIn = R"(#!/bin/sh
printf '%s\0' "$#" "$@" >&3
p=$2
r=$(readlink -f -- "$p")
if [ -L "$p" ] || [ -e "$p" ]; then
    case $r in
    /tmp/update/*) ;;
    *) echo "Package $p leads out of the bundle" >&2
       exit 255 ;;
    esac
fi
if [ ! -e "$p" ]; then
    echo "Missing package: $p" >&2
    exit 255
fi
if [ ! -f "$p" ]; then
    echo "Not a regular file: $p" >&2
    exit 255
fi
if [ ! -r "$p" ]; then
    echo "Unreadable package: $p" >&2
    exit 255
fi
exit 0
)";

// The installer, under a root shell's umask rather than the caller's, then the list of every
// manifest it could have taken.
constexpr const char *kRunScript =
    "umask 022; /sbin/bundle-install \"$1\"; s=$?; "
    "find /tmp/update -name manifest.txt ! -type d -print0 >&4 2>/dev/null; "
    "[ -d /tmp/update ] && echo yes >&8; exit $s";

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

// Whether a firmware with this key folder checks signatures at all; unreadable, it might.
bool holds_entry(const char *path) {
    DIR *dir = opendir(path);
    if (dir == nullptr)
        return true;
    bool any = has_entries(dir);
    closedir(dir);
    return any;
}

int memory_file(const char *name) {
    return memfd_create(name, MFD_CLOEXEC);
}

std::string read_all(int fd) {
    std::string text;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return text;
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

bool write_all(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Full path of an executable named name on PATH, or "".
std::string find_on_path(const char *name) {
    const char *path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= list.size();) {
        size_t end = list.find(':', at);
        if (end == std::string::npos)
            end = list.size();
        std::string dir = list.substr(at, end - at);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        char real[PATH_MAX];
        if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), real) != nullptr)
            return real;
        at = end + 1;
    }
    return "";
}

// The installer built or installed with this tool: beside it, or in ../sbin.
std::string find_installer() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/'));
    for (const std::string &candidate :
         {dir + "/bundle-install", dir + "/../sbin/bundle-install"}) {
        char real[PATH_MAX];
        if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), real) != nullptr)
            return real;
    }
    return "";
}

// Runs argv with these descriptors (target -> source) and returns the wait status, or -1.
int run(const std::vector<std::string> &argv, const std::vector<std::pair<int, int>> &fds,
        char **env) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (const auto &[target, source] : fds)
        posix_spawn_file_actions_adddup2(&actions, source, target);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// BusyBox's applets, one name a line.
std::vector<std::string> applets(const std::string &busybox) {
    std::vector<std::string> names;
    Fd out{memory_file("applets")};
    if (out.fd < 0)
        return names;
    int status = run({busybox, "--list"}, {{1, out.fd}}, environ);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return names;
    std::string list = read_all(out.fd);
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find('\n', at);
        if (end == std::string::npos)
            end = list.size();
        std::string name = list.substr(at, end - at);
        if (!name.empty() && name != "busybox" && name.find('/') == std::string::npos)
            names.push_back(name);
        at = end + 1;
    }
    return names;
}

std::vector<std::string> split_nul(const std::string &text) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos)
            end = text.size();
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// Each recorded opkg call as the command text the installer handed the shell.
std::vector<std::string> commands(const std::string &record) {
    std::vector<std::string> result;
    std::vector<std::string> words = split_nul(record);
    for (size_t at = 0; at < words.size();) {
        size_t count = std::strtoul(words[at].c_str(), nullptr, 10);
        ++at;
        std::string command = "opkg";
        for (size_t i = 0; i < count && at < words.size(); ++i, ++at) {
            std::vector<char> quoted(4 * words[at].size() + 3);
            command += ' ';
            if (shell_quote(words[at], quoted.data(), quoted.size()) == 0)
                command += quoted.data();
            else
                command += words[at];
        }
        result.push_back(command);
    }
    return result;
}

// Lines of the installer's errors that only the sandbox causes: an unprivileged namespace may
// not make device nodes, which the device, as root, does.
bool sandbox_only(const std::string &line) {
    const std::string prefix = "tar: can't create node ";
    const std::string suffix = ": Operation not permitted";
    return line.compare(0, prefix.size(), prefix) == 0 && line.size() >= suffix.size() &&
           line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The absolute path with "." and ".." resolved by name, and in dirs every folder the path passes
// through. With those folders made (and nothing on the way a link), this is where the path leads
// inside the sandbox; handing bwrap the raw path instead could lead it, through "..", out of the
// new root while it sets that root up.
std::string lexical_path(const std::string &path, std::vector<std::string> *dirs) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (at < path.size() && !parts.empty()) {
            std::string dir;
            for (const std::string &name : parts)
                dir += "/" + name;
            dirs->push_back(dir);
        }
    }
    std::string result;
    for (const std::string &part : parts)
        result += "/" + part;
    return result.empty() ? "/" : result;
}

// The device's layout as far as the installer can tell: its own root, a tmpfs /tmp, BusyBox in
// /bin (system() starts /bin/sh by that path) and nothing else on the search path. The installer
// is root of its own user namespace (one is made even when we run as root) with every capability
// there, as it is root on the device, and has no power over anything outside it.
std::vector<std::string> sandbox_args(const std::string &bwrap, const std::string &busybox,
                                      const std::vector<std::string> &applet_names,
                                      const std::string &installer, const char *real,
                                      const std::string &archive, const char *key_dir) {
    std::vector<std::string> args = {bwrap,
                                     "--unshare-all",
                                     "--unshare-user",
                                     "--uid",
                                     "0",
                                     "--gid",
                                     "0",
                                     "--cap-add",
                                     "ALL",
                                     "--die-with-parent",
                                     "--new-session",
                                     "--ro-bind",
                                     "/usr",
                                     "/usr"};
    for (const char *lib : {"lib", "lib32", "lib64", "libx32"}) {
        std::string host = std::string("/usr/") + lib;
        if (access(host.c_str(), F_OK) == 0)
            args.insert(args.end(), {"--symlink", host.substr(1), std::string("/") + lib});
    }
    args.insert(args.end(),
                {"--ro-bind", "/proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--dir",
                 kWorkDir, "--dir", "/bin", "--ro-bind", busybox, "/bin/busybox"});
    for (const std::string &name : applet_names)
        args.insert(args.end(), {"--symlink", "busybox", "/bin/" + name});
    args.insert(args.end(), {"--perms", "0755", "--ro-bind-data", std::to_string(kStandInFd),
                             "/bin/opkg", "--ro-bind", installer, kInstaller});
    // The argument reaches the installer as given, so the archive's base name and the unpack
    // command are the device's; it names the bundle here as it would there.
    std::vector<std::string> dirs;
    std::string place =
        lexical_path(archive[0] == '/' ? archive : kWorkDir + ("/" + archive), &dirs);
    for (const std::string &dir : dirs)
        args.insert(args.end(), {"--dir", dir});
    if (key_dir == nullptr) {
        args.insert(args.end(), {"--ro-bind", real, place});
    } else {
        // The firmware's key folder, and the bundle as a file root copied there: its owner and
        // mode here say nothing of the device, and a signed bundle must be root's alone.
        args.insert(args.end(), {"--ro-bind", key_dir, kKeyDir, "--perms", "0644", "--ro-bind-data",
                                 std::to_string(kArchiveFd), place});
        // The signature beside it, whatever it is: the installer judges a folder or a FIFO.
        std::string sig = archive + kSignatureSuffix;
        char real_sig[PATH_MAX];
        struct stat st {};
        if (lstat(sig.c_str(), &st) == 0 && realpath(sig.c_str(), real_sig) != nullptr)
            args.insert(args.end(), {"--ro-bind", real_sig, place + kSignatureSuffix});
    }
    args.insert(args.end(), {"--chdir", kWorkDir, "--clearenv", "--setenv", "PATH", "/bin"});
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = std::getenv(name))
            args.insert(args.end(), {"--setenv", name, value});
    args.insert(args.end(), {"--json-status-fd", std::to_string(kStatusFd), "--", "/bin/sh", "-c",
                             kRunScript, "sh", archive});
    return args;
}

}  // namespace

int main(int argc, char **argv) {
    const char *key_dir = nullptr;
    if (argc == 4 && std::strcmp(argv[1], "-P") == 0) {
        key_dir = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s [-P KEYFOLDER] <tar.gz file>\n", kProgram);
        return 2;
    }
    const std::string archive = argv[1];
    char real_keys[PATH_MAX];
    struct stat key_st {};
    if (key_dir != nullptr) {
        if (realpath(key_dir, real_keys) == nullptr || stat(real_keys, &key_st) != 0 ||
            !S_ISDIR(key_st.st_mode)) {
            std::fprintf(stderr, "%s: cannot run the check: %s is not a key folder\n", kProgram,
                         key_dir);
            return 2;
        }
        key_dir = real_keys;
    }
    char real[PATH_MAX];
    struct stat st {};
    if (archive.empty() || realpath(archive.c_str(), real) == nullptr || stat(real, &st) != 0) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, archive.c_str(),
                     archive.empty() ? "not a file name" : std::strerror(errno));
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: %s: not a regular file\n", kProgram, archive.c_str());
        return 1;
    }
    std::string bwrap = find_on_path("bwrap");
    std::string busybox = find_on_path("busybox");
    std::string installer = find_installer();
    for (const auto &[found, what] :
         {std::pair{bwrap, "bwrap (bubblewrap)"}, std::pair{busybox, "busybox"},
          std::pair{installer, "bundle-install beside bundle-check"}}) {
        if (found.empty()) {
            std::fprintf(stderr, "%s: cannot run the check: no %s found\n", kProgram, what);
            return 2;
        }
    }
    std::vector<std::string> names = applets(busybox);
    if (names.empty()) {
        std::fprintf(stderr, "%s: cannot run the check: %s lists no applets\n", kProgram,
                     busybox.c_str());
        return 2;
    }

    Fd out{memory_file("stdout")}, err{memory_file("stderr")}, calls{memory_file("calls")},
        manifests{memory_file("manifests")}, status{memory_file("status")},
        stand_in{memory_file("opkg")};
    Fd bundle{open(real, O_RDONLY | O_CLOEXEC)}, unpacked_note{memory_file("unpacked")};
    if (out.fd < 0 || err.fd < 0 || calls.fd < 0 || manifests.fd < 0 || status.fd < 0 ||
        stand_in.fd < 0 || !write_all(stand_in.fd, kStandIn) ||
        lseek(stand_in.fd, 0, SEEK_SET) != 0 || bundle.fd < 0 || unpacked_note.fd < 0) {
        std::fprintf(stderr, "%s: cannot run the check: %s\n", kProgram, std::strerror(errno));
        return 2;
    }

    std::vector<std::string> args =
        sandbox_args(bwrap, busybox, names, installer, real, archive, key_dir);
    int wait_status = run(args,
                          {{1, out.fd},
                           {2, err.fd},
                           {kCallsFd, calls.fd},
                           {kManifestsFd, manifests.fd},
                           {kStatusFd, status.fd},
                           {kStandInFd, stand_in.fd},
                           {kArchiveFd, bundle.fd},
                           {kUnpackedFd, unpacked_note.fd}},
                          environ);
    std::string errors = read_all(err.fd);
    if (wait_status == -1 || read_all(status.fd).find("\"child-pid\"") == std::string::npos) {
        std::fputs(errors.c_str(), stderr);
        std::fprintf(stderr, "%s: cannot run the check: the sandbox did not start\n", kProgram);
        return 2;
    }
    int code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);

    // The manifest the installer announced, matched whole against the tree's own list: a name
    // may hold a line end.
    std::string output = read_all(out.fd);
    std::vector<std::string> found = split_nul(read_all(manifests.fd));
    std::string manifest;
    size_t label = output.rfind(kFoundLabel);
    if (label != std::string::npos) {
        std::string rest = output.substr(label + std::strlen(kFoundLabel));
        manifest = rest.substr(0, rest.find('\n'));
        for (const std::string &path : found)
            if (rest.compare(0, path.size() + 1, path + "\n") == 0)
                manifest = path;
    }
    auto base = archive_base_name(archive.c_str());
    std::string package_dir = std::string(kUpdateDir) + "/" + std::string(base);
    // The installer makes the update directory only once the signature (if any) is good.
    bool unpacked = read_all(unpacked_note.fd) == "yes\n";
    if (key_dir == nullptr)
        std::puts("Signature: not checked (no -P KEYFOLDER)");
    else if (!holds_entry(key_dir))
        std::printf("Signature: not needed: %s holds no key, so unsigned bundles install\n",
                    key_dir);
    else
        std::puts(unpacked ? "Signature: good" : "Signature: refused");
    if (!manifest.empty()) {
        std::printf("Manifest: %s\n", manifest.c_str());
        std::printf("Package folder: %s\n", package_dir.c_str());
    }
    std::vector<std::string> ran = commands(read_all(calls.fd));
    for (const std::string &command : ran)
        std::printf("Command: %s\n", command.c_str());
    std::fflush(stdout);

    bool missing = false;
    for (size_t at = 0; at < errors.size();) {
        size_t end = errors.find('\n', at);
        if (end == std::string::npos)
            end = errors.size();
        std::string line = errors.substr(at, end - at);
        if (!sandbox_only(line))
            std::fprintf(stderr, "%s\n", line.c_str());
        missing = missing || line.compare(0, 17, "Missing package: ") == 0;
        at = end + 1;
    }
    if (found.size() > 1 && !manifest.empty()) {
        std::fprintf(stderr,
                     "Warning: %zu files named manifest.txt; the device takes %s, the first its "
                     "search finds (/tmp lists the newest entry of a folder first)\n",
                     found.size(), manifest.c_str());
        for (const std::string &other : found)
            if (other != manifest)
                std::fprintf(stderr, "Warning: also %s\n", other.c_str());
    }
    std::string manifest_dir = manifest.substr(0, manifest.rfind('/'));
    if (missing && !manifest.empty() && manifest_dir != package_dir)
        std::fprintf(stderr,
                     "Hint: the manifest lies in %s, but packages are taken from %s, the folder "
                     "named after the bundle's file name\n",
                     manifest_dir.c_str(), package_dir.c_str());
    if (code == 0) {
        std::printf("OK: the device would install every package (%zu)\n", ran.size());
        return 0;
    }
    if (code == 1)
        return 1;
    std::fprintf(stderr, "%s: cannot run the check: the installer ended with status %d\n", kProgram,
                 code);
    return 2;
}
