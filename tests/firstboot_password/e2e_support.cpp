#include "e2e_support.hpp"

#include <crypt.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

namespace fb_test {

const std::string kPasswd =
    "root:x:0:0:root:/root:/bin/ash\n"
    "daemon:*:1:1:daemon:/var:/bin/false\n"
    "admin:x:100:100:admin:/home/admin:/bin/ash\n";
const std::string kGroup = "root:x:0:\nshadow:x:42:\nadmin:x:100:\n";
const std::string kShadow =
    "root::19000:0:99999:7:::\n"
    "daemon:*:0:0:99999:7:::\n"
    "rootx:$1$old$hash:19000:0:99999:7:::\n"
    "admin:!:19000:0:99999:7::";

void provision(Sandbox &box) {
    box.write("/etc/passwd", kPasswd);
    box.write("/etc/group", kGroup);
    box.write("/etc/shadow", kShadow, 0640);
    EXPECT_EQ(::chown(box.host("/etc/shadow").c_str(), 0, 42), 0);
    box.write("/sys/class/net/eth0/address", "aa:bb:cc:dd:ee:ff\n");
    box.write("/tmp/sysinfo/model", "RT-2400\n");
}

RunResult run_program(Sandbox &box, const RunOptions &options) {
    return run_program_at(kProgram, box, options);
}

RunResult run_program_at(const std::string &program, Sandbox &box, const RunOptions &options) {
    RunOptions o = options;
    if (!o.strace.empty() || !o.env.empty()) {
        // LeakSanitizer cannot stop the world under ptrace, and a preloaded shim comes before
        // the sanitizer runtime. Only this run gets these settings.
        const char *inherited = std::getenv("ASAN_OPTIONS");
        o.env.push_back(std::string("ASAN_OPTIONS=") + (inherited ? inherited : "") +
                        ":detect_leaks=0:verify_asan_link_order=0");
    }
    RunResult r = box.run({program}, o);
    EXPECT_EQ(r.out, "");
    // strace itself may speak on standard error; the program never does.
    if (o.strace.empty()) {
        EXPECT_EQ(r.err, "");
    }
    return r;
}

std::string password_field(const std::string &shadow, const std::string &user) {
    std::istringstream lines(shadow);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(user + ":", 0) != 0)
            continue;
        std::string rest = line.substr(user.size() + 1);
        return rest.substr(0, rest.find(':'));
    }
    return "";
}

std::string with_field(const std::string &shadow, const std::string &user,
                       const std::string &field) {
    std::size_t line = shadow.rfind(user + ":", 0) == 0 ? 0 : shadow.find("\n" + user + ":") + 1;
    std::size_t start = line + user.size() + 1;
    std::size_t end = shadow.find(':', start);
    return shadow.substr(0, start) + field + shadow.substr(end);
}

void expect_provisioned(const std::string &shadow, const std::string &before) {
    std::string root_hash = password_field(shadow, "root");
    std::string admin_hash = password_field(shadow, "admin");
    EXPECT_TRUE(is_hash_of(root_hash, kRootPassword)) << root_hash;
    EXPECT_TRUE(is_hash_of(admin_hash, kAdminPassword)) << admin_hash;
    EXPECT_EQ(shadow, with_field(with_field(before, "root", root_hash), "admin", admin_hash));
}

bool is_hash_of(const std::string &hash, const char *password) {
    const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz./";
    if (hash.size() < 21 || hash.compare(0, 3, "$6$") != 0 || hash[19] != '$')
        return false;
    for (std::size_t i = 3; i < 19; ++i)
        if (alphabet.find(hash[i]) == std::string::npos)
            return false;
    const char *again = ::crypt(password, hash.c_str());
    return again != nullptr && hash == again;
}

void expect_one_message(const RunResult &r, const std::string &text) {
    ASSERT_EQ(r.log.size(), 1u) << (r.log.empty() ? "no message" : r.log[1].raw);
    EXPECT_EQ(r.log[0].priority, 35) << r.log[0].raw;
    EXPECT_EQ(r.log[0].ident, "zu-firstboot-password") << r.log[0].raw;
    EXPECT_GT(r.log[0].pid, 0) << r.log[0].raw;
    EXPECT_EQ(r.log[0].text, text);
}

namespace {

bool has_line(const std::string &shadow, const std::string &user) {
    return shadow.rfind(user + ":", 0) == 0 || shadow.find("\n" + user + ":") != std::string::npos;
}

}  // namespace

DeviceState inspect_device(Sandbox &box, bool upgrade) {
    DeviceState s;
    s.upgrade = upgrade;
    auto fault = [&s](const std::string &what) { s.faults.push_back(what); };
    const std::set<std::string> known = {".",
                                         "..",
                                         "passwd",
                                         "group",
                                         "shadow",
                                         "shadow.zu-firstboot-password",
                                         ".zu-uid0-uid100-password-set"};
    if (DIR *dir = ::opendir(box.host("/etc").c_str())) {
        while (struct dirent *entry = ::readdir(dir))
            if (known.count(entry->d_name) == 0)
                fault(std::string("unknown file /etc/") + entry->d_name);
        ::closedir(dir);
    } else {
        fault("no /etc");
        return s;
    }
    s.temp = box.exists(kTemp);
    s.marker = box.exists(kMarker);
    for (const auto &[path, content] : {std::pair{"/etc/passwd", kPasswd}, {"/etc/group", kGroup}})
        if (!box.exists(path) || box.read(path) != content)
            fault(std::string(path) + " changed");

    struct stat st {};
    if (::lstat(box.host("/etc/shadow").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fault("no /etc/shadow");
        return s;
    }
    if (st.st_uid != 0 || st.st_gid != 42 || (st.st_mode & 07777) != 0640) {
        char owner[64];
        std::snprintf(owner, sizeof owner, "/etc/shadow owner %u:%u, mode %04o",
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
                      static_cast<unsigned>(st.st_mode & 07777));
        fault(owner);
    }
    struct stat temp {};
    s.temp_is_shadow = s.temp && ::lstat(box.host(kTemp).c_str(), &temp) == 0 &&
                       temp.st_ino == st.st_ino && temp.st_dev == st.st_dev;

    std::string shadow = box.read("/etc/shadow");
    if (!has_line(shadow, "root") || !has_line(shadow, "admin")) {
        fault("a line is missing from /etc/shadow");
        return s;
    }
    std::string root = password_field(shadow, "root");
    std::string admin = password_field(shadow, "admin");
    s.root_new = root != password_field(kShadow, "root");
    s.admin_new = admin != password_field(kShadow, "admin");
    if (s.root_new && !is_hash_of(root, kRootPassword))
        fault("root's field is neither the old one nor its password's hash: " + root);
    if (s.admin_new && !is_hash_of(admin, kAdminPassword))
        fault("admin's field is neither the old one nor its password's hash: " + admin);
    if (shadow != with_field(with_field(kShadow, "root", root), "admin", admin))
        fault("other bytes of /etc/shadow changed");
    if (!upgrade && s.marker && !(s.root_new && s.admin_new))
        fault("the marker exists without both new lines");
    if (upgrade && (s.root_new || s.admin_new || s.temp))
        fault("an upgrade boot touched the passwords");
    return s;
}

std::string kind_of(const DeviceState &s) {
    bool both = s.root_new && s.admin_new;
    bool none = !s.root_new && !s.admin_new;
    if (!s.temp && s.marker && (both || (none && s.upgrade)))
        return "done";
    if (!s.temp && none && !s.marker)
        return "untouched";
    std::string kind = both          ? "both new"
                       : s.root_new  ? "root's line new"
                       : s.admin_new ? "admin's line new"
                                     : "";
    auto add = [&kind](const char *part) {
        kind += (kind.empty() ? "" : ", ") + std::string(part);
    };
    if (s.temp)
        add(s.temp_is_shadow ? "temporary name of /etc/shadow present" : "temporary file present");
    if (both && !s.marker)
        add("no marker");
    if (!both && s.marker)
        add("marker");
    return kind;
}

RunOptions inject(const std::string &name, const std::string &what, const std::string &when) {
    return RunOptions{
        .strace = {"-e", "trace=" + name, "-e", "inject=" + name + ":" + what + ":when=" + when}};
}

std::vector<std::string> preload_short_io(Sandbox &box) {
    box.write("/shim/libshort_io.so", zu_test::read_host_file(SHORT_IO_SHIM_PATH), 0755);
    return {"LD_PRELOAD=/shim/libshort_io.so"};
}

std::vector<std::string> traced(Sandbox &box, const std::string &names, RunOptions options) {
    if (options.strace.empty())
        options.strace = {"-e", "trace=" + names};
    options.strace.insert(options.strace.begin(), {"-y", "-o", "/tmp/zu.strace"});
    run_program(box, options);
    std::vector<std::string> calls;
    std::istringstream lines(box.read("/tmp/zu.strace"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0)
            continue;
        // strace pads the result to a column; one space is easier to match.
        std::size_t pad = line.find("  ");
        std::size_t equals = line.find("= ", pad);
        if (pad != std::string::npos && equals != std::string::npos)
            line.erase(pad + 1, equals - pad - 1);
        calls.push_back(line);
    }
    box.remove("/tmp/zu.strace");
    return calls;
}

int find_call(const std::function<void(Sandbox &)> &setup, const std::string &name,
              const std::string &needle, int match) {
    Sandbox box;
    setup(box);
    int occurrence = 0;
    for (const std::string &call : traced(box, name)) {
        if (call.rfind(name + "(", 0) != 0)
            continue;
        ++occurrence;
        if (call.find(needle) != std::string::npos && --match == 0)
            return occurrence;
    }
    ADD_FAILURE() << "no " << name << " call with " << needle;
    return -1;
}

pid_t start_host(const std::vector<std::string> &argv) {
    std::vector<std::string> args = argv;
    std::vector<char *> cargs;
    for (auto &a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int spawned = ::posix_spawnp(&pid, cargs[0], nullptr, &attr, cargs.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        ADD_FAILURE() << "posix_spawn " << argv.at(0) << ": " << std::strerror(spawned);
        return -1;
    }
    return pid;
}

int wait_host(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void stop_host(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(-pid, SIGKILL);
    wait_host(pid);
}

}  // namespace fb_test
