#include "support/sandbox.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zu_test {
namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;
}

std::string dirname_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

void make_dirs(const std::string &path, mode_t mode) {
    if (path.empty() || path == "/")
        return;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return;
    make_dirs(dirname_of(path), mode);
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << path << ": " << std::strerror(errno);
}

// "<35>Dec  9 22:51:30 ident[123]: text"
#ifdef ZU_TEST_EMULATOR
int elf_machine(const std::string &path) {
    unsigned char header[20] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char *>(header), sizeof header);
    if (!in || header[0] != 0x7f || header[1] != 'E')
        return -1;
    return header[18] | header[19] << 8;  // e_machine; both targets are little-endian
}
#endif

LogLine parse_log_line(const std::string &raw) {
    LogLine line;
    line.raw = raw;
    std::string rest = raw;
    if (!rest.empty() && rest.back() == '\n')
        rest.pop_back();
    if (rest.size() > 1 && rest[0] == '<') {
        auto close = rest.find('>');
        if (close != std::string::npos) {
            line.priority = std::atoi(rest.substr(1, close - 1).c_str());
            rest = rest.substr(close + 1);
        }
    }
    // The timestamp is "Mmm dd hh:mm:ss " (16 characters).
    if (rest.size() > 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':')
        rest = rest.substr(16);
    auto colon = rest.find(": ");
    if (colon == std::string::npos) {
        line.text = rest;
        return line;
    }
    std::string head = rest.substr(0, colon);
    line.text = rest.substr(colon + 2);
    auto bracket = head.find('[');
    if (bracket != std::string::npos && head.back() == ']') {
        line.ident = head.substr(0, bracket);
        line.pid = std::atol(head.substr(bracket + 1).c_str());
    } else {
        line.ident = head;
    }
    return line;
}

}  // namespace

Sandbox::Sandbox(const std::string &parent) {
    std::string templ = parent + "/zu-sandbox-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    root_ = templ;
    ::chmod(root_.c_str(), 0755);
    make_dirs(root_ + "/fs/etc", 0755);
    make_dirs(root_ + "/fs/tmp", 01777);
    ::chmod((root_ + "/fs/tmp").c_str(), 01777);

    log_fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::string sock = root_ + "/log.sock";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    if (log_fd_ < 0 ||
        ::bind(log_fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        ADD_FAILURE() << "syslog socket: " << std::strerror(errno);
    ::chmod(sock.c_str(), 0666);
}

Sandbox::~Sandbox() {
    if (log_fd_ >= 0)
        ::close(log_fd_);
    if (!root_.empty() && std::getenv("ZU_KEEP_SANDBOX") == nullptr)
        ::nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string Sandbox::host(const std::string &inside) const {
    return root_ + "/fs" + (inside.empty() || inside[0] != '/' ? "/" : "") + inside;
}

void Sandbox::write(const std::string &inside, const std::string &content, mode_t mode) {
    std::string path = host(inside);
    make_dirs(dirname_of(path), 0755);
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::fchmod(fd, mode);
    ::close(fd);
}

std::string Sandbox::read(const std::string &inside) const {
    return read_host_file(host(inside));
}

bool Sandbox::exists(const std::string &inside) const {
    struct stat st {};
    return ::lstat(host(inside).c_str(), &st) == 0;
}

void Sandbox::mkdir(const std::string &inside, mode_t mode) {
    make_dirs(host(inside), mode);
    ::chmod(host(inside).c_str(), mode);
}

void Sandbox::remove(const std::string &inside) {
    ::nftw(host(inside).c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

RunResult Sandbox::run(const std::vector<std::string> &argv, const RunOptions &options) {
    RunResult result;
    std::vector<std::string> args = {
        "bwrap",
        "--die-with-parent",
        "--ro-bind",
        "/usr",
        "/usr",
        "--symlink",
        "usr/lib",
        "/lib",
        "--symlink",
        "usr/lib64",
        "/lib64",
        "--symlink",
        "usr/bin",
        "/bin",
        "--symlink",
        "usr/sbin",
        "/sbin",
        "--proc",
        "/proc",
        "--dev",
        "/dev",
        "--bind",
        root_ + "/log.sock",
        "/dev/log",
    };
    if (DIR *dir = ::opendir((root_ + "/fs").c_str())) {
        while (struct dirent *entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            args.insert(args.end(), {"--bind", root_ + "/fs/" + name, "/" + name});
        }
        ::closedir(dir);
    }
    // The directories leading to the program must be searchable by every user: an emulator
    // started as another user opens the program without the capabilities that setpriv had.
    std::string program_dir = dirname_of(argv.at(0));
    std::vector<std::string> parents;
    for (std::string dir = dirname_of(program_dir); dir != "/" && dir != "."; dir = dirname_of(dir))
        parents.insert(parents.begin(), dir);
    for (const auto &dir : parents)
        args.insert(args.end(), {"--perms", "0755", "--dir", dir});

    // A cross-built program cannot be started by the host kernel: its emulator starts it instead.
    // Host tools (the shell, tar) run as they are.
    std::vector<std::string> emulator;
#ifdef ZU_TEST_EMULATOR
    if (elf_machine(argv.at(0)) == elf_machine("/proc/self/exe")) {
        std::istringstream words(ZU_TEST_EMULATOR);
        for (std::string word; words >> word;)
            emulator.push_back(word);
    }
#endif
    // The test's environment reaches what runs inside the sandbox (and wins over the inherited
    // sanitizer settings), never bwrap itself: a preloaded shim exists only inside. An emulated
    // program gets it from the emulator, whose own host loader must not see a target library.
    for (const auto &entry : options.env) {
        std::size_t equals = entry.find('=');
        if (!emulator.empty())
            emulator.insert(emulator.end(), {"-E", entry});
        else
            args.insert(args.end(),
                        {"--setenv", entry.substr(0, equals), entry.substr(equals + 1)});
    }
    args.insert(args.end(), {"--ro-bind", program_dir, program_dir, "--chdir", options.cwd, "--"});
    if (options.uid != 0) {
        std::string id = std::to_string(options.uid);
        args.insert(args.end(),
                    {"/usr/bin/setpriv", "--reuid", id, "--regid", id, "--clear-groups"});
    }
    if (!options.strace.empty()) {
        args.push_back("/usr/bin/strace");
        args.insert(args.end(), options.strace.begin(), options.strace.end());
        args.push_back("--");
    }
    args.insert(args.end(), emulator.begin(), emulator.end());
    args.insert(args.end(), argv.begin(), argv.end());

    std::vector<std::string> env = {"PATH=" + options.path};
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);

    std::string out_path = root_ + "/stdout", err_path = root_ + "/stderr";
    // posix_spawn, not fork: a forked child crashes under qemu-user, where the cross-built tests
    // run.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char *> cargs, cenv;
    for (auto &a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);
    for (auto &e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);
    pid_t pid = -1;
    int spawned =
        ::posix_spawn(&pid, "/usr/bin/bwrap", &actions, nullptr, cargs.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "posix_spawn bwrap: " << std::strerror(spawned);
        return result;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_host_file(out_path);
    result.err = read_host_file(err_path);

    char buffer[8192];
    for (;;) {
        ssize_t n = ::recv(log_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            break;
        result.log.push_back(parse_log_line(std::string(buffer, static_cast<size_t>(n))));
    }
    return result;
}

std::string read_host_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

int host_shell(const std::string &command) {
    int status = std::system(command.c_str());
    if (status == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zu_test
