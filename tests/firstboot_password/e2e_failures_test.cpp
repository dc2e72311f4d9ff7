// Every failure the program can be driven into: what it logs, its exit status, and that it
// leaves "/etc/shadow" as it was (or with only the first account done), no marker and no
// temporary file. System-call failures are injected with strace at the program's own call.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "e2e_support.hpp"

namespace fb_test {
namespace {

// Under the emulator strace sees the emulator's calls, which carry the program's calls through:
// only the name of the status call differs (the target's C library asks for statx).
#ifdef ZU_CROSS_BUILD
constexpr const char *kFstatCall = "statx";
#else
constexpr const char *kFstatCall = "newfstatat";
#endif

void expect_untouched(Sandbox &box, const std::string &what) {
    EXPECT_EQ(box.read("/etc/shadow"), kShadow) << what;
    EXPECT_FALSE(box.exists(kMarker)) << what;
    EXPECT_FALSE(box.exists(kTemp)) << what;
}

// Status 1, exactly `message` (or nothing at all when it is empty).
void expect_failure(const RunResult &r, const std::string &message, const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(r.status, 1);
    if (message.empty())
        EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
    else
        expect_one_message(r, message);
}

struct Fixture {
    const char *what;
    std::function<void(Sandbox &)> spoil;
    const char *message;
};

TEST(Failures, BadDeviceFilesAndAccounts) {
    const std::string long_name(64, 'r');
    const Fixture fixtures[] = {
        {"uid 100 unknown",
         [](Sandbox &b) { b.write("/etc/passwd", "root:x:0:0::/root:/bin/ash\n"); },
         "failed to resolve GUI uid 100 username"},
        {"uid 0 unknown",
         [](Sandbox &b) { b.write("/etc/passwd", "admin:x:100:100::/:/bin/ash\n"); },
         "failed to resolve CLI uid 0 username"},
        {"name of 64 characters",
         [&](Sandbox &b) { b.write("/etc/passwd", long_name + ":x:0:0::/root:/bin/ash\n"); },
         "CLI uid 0 username is too long"},
        {"no MAC file", [](Sandbox &b) { b.remove("/sys/class/net/eth0/address"); },
         "failed to read /sys/class/net/eth0/address"},
        {"MAC file starts with a line end",
         [](Sandbox &b) { b.write("/sys/class/net/eth0/address", "\naa:bb:cc:dd:ee:ff\n"); },
         "failed to read /sys/class/net/eth0/address"},
        {"no model file", [](Sandbox &b) { b.remove("/tmp/sysinfo/model"); },
         "failed to read /tmp/sysinfo/model"},
        {"empty model file", [](Sandbox &b) { b.write("/tmp/sysinfo/model", ""); },
         "failed to read /tmp/sysinfo/model"},
    };
    // Every hash is made before "/etc/shadow" is touched, so none of these even opens it.
    for (const Fixture &f : fixtures) {
        Sandbox box;
        provision(box);
        f.spoil(box);
        RunResult r = run_program(
            box, RunOptions{.strace = {"-y", "-o", "/tmp/zu.strace", "-e", "trace=%file,%desc"}});
        expect_failure(r, f.message, f.what);
        const std::string calls = box.read("/tmp/zu.strace");
        EXPECT_NE(calls.find("/etc/passwd"), std::string::npos) << f.what;
        EXPECT_EQ(calls.find("/etc/shadow"), std::string::npos) << f.what << "\n" << calls;
        box.remove("/tmp/zu.strace");
        expect_untouched(box, f.what);
    }
}

TEST(Failures, BadShadowFiles) {
    const struct {
        const char *what;
        std::string shadow;
        const char *message;
    } cases[] = {
        {"empty", "", "CLI uid 0 user entry not found in /etc/shadow"},
        {"no root line", "rootx:*:1:::::\ndaemon:root:1:::::\nadmin:*:1:::::\n",
         "CLI uid 0 user entry not found in /etc/shadow"},
        {"root line with one colon", "root:*\nadmin:*:1:::::\n",
         "CLI uid 0 user shadow entry is malformed"},
    };
    for (const auto &c : cases) {
        Sandbox box;
        provision(box);
        box.write("/etc/shadow", c.shadow, 0600);
        box.write(kTemp, "leftover");
        expect_failure(run_program(box), c.message, c.what);
        EXPECT_EQ(box.read("/etc/shadow"), c.shadow) << c.what;
        EXPECT_FALSE(box.exists(kTemp)) << c.what;
        EXPECT_FALSE(box.exists(kMarker)) << c.what;
    }
    Sandbox box;
    provision(box);
    box.remove("/etc/shadow");
    expect_failure(run_program(box), "failed to read /etc/shadow", "no shadow file");
    EXPECT_FALSE(box.exists(kMarker));
}

// A directory at the temporary path cannot be removed by the run: it fails before writing.
TEST(Failures, DirectoryAtTheTemporaryPath) {
    Sandbox box;
    provision(box);
    box.mkdir(kTemp, 0700);
    expect_failure(run_program(box), "failed to open temporary shadow file", "");
    EXPECT_EQ(box.read("/etc/shadow"), kShadow);
    EXPECT_FALSE(box.exists(kMarker));
    struct stat st {};
    ASSERT_EQ(::lstat(box.host(kTemp).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// Content that outgrows the size fstat gave: up to 4094 bytes more are read, 4095 are refused.
// The file really grows between its size and its read (see grow_shim.cpp).
TEST(Failures, ReadLimitBeyondTheStatedSize) {
    for (std::size_t growth : {std::size_t{4094}, std::size_t{4095}}) {
        SCOPED_TRACE(growth);
        const std::string head = "root::19000:0:99999:7:::\n#";
        const std::string tail = "\nadmin:!:19000:0:99999:7::";
        const std::string feed = std::string(growth - tail.size(), 'x') + tail;
        Sandbox box;
        provision(box);
        box.write("/etc/shadow", head, 0640);
        box.write("/feed/grow", feed);
        box.write("/shim/libgrow.so", zu_test::read_host_file(GROW_SHIM_PATH), 0755);
        RunResult r = run_program(
            box, RunOptions{.env = {"LD_PRELOAD=/shim/libgrow.so", "ZU_GROW_FEED=/feed/grow"}});
        EXPECT_FALSE(box.exists(kTemp));
        if (growth == 4095) {
            expect_failure(r, "failed to read /etc/shadow", "");
            EXPECT_FALSE(box.exists(kMarker));
            EXPECT_EQ(box.read("/etc/shadow"), head + feed);  // grown, never rewritten
            continue;
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
        expect_provisioned(box.read("/etc/shadow"), head + feed);
        EXPECT_TRUE(box.exists(kMarker));
    }
}

// Something other than a regular file at a path the boot reads: a FIFO would hold the boot in
// open or read for good. Each is refused at once, and nothing is written. A writer that feeds a
// good line after a while stands ready, so a program that waits is seen to wait, not hang.
TEST(Failures, FifoInsteadOfADeviceFileIsRefusedAtOnce) {
    const struct {
        std::string path;
        std::string feed;  // what a waiting program would eventually read
    } cases[] = {
        {"/etc/shadow", kShadow},
        {"/sys/class/net/eth0/address", "aa:bb:cc:dd:ee:ff\n"},
        {"/tmp/sysinfo/model", "RT-2400\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Sandbox box;
        provision(box);
        box.remove(c.path);
        ASSERT_EQ(::mkfifo(box.host(c.path).c_str(), 0640), 0);
        box.write("/feed/line", c.feed);
        // Fed again and again: a waiting program reads each file once per account.
        pid_t writer = start_host({"sh", "-c", "sleep 20; while cat \"$1\" > \"$2\"; do :; done",
                                   "sh", box.host("/feed/line"), box.host(c.path)});
        const auto start = std::chrono::steady_clock::now();
        RunResult r = run_program(box);
        const auto took = std::chrono::steady_clock::now() - start;
        stop_host(writer);
        EXPECT_LT(took, std::chrono::seconds(10));
        expect_failure(r, "failed to read " + c.path, "");
        struct stat st {};
        ASSERT_EQ(::lstat(box.host(c.path).c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        if (c.path != "/etc/shadow") {
            EXPECT_EQ(box.read("/etc/shadow"), kShadow);
        }
        EXPECT_FALSE(box.exists(kMarker));
        EXPECT_FALSE(box.exists(kTemp));
    }
}

// The second account's line is missing: the first account's new line stays, nothing is marked.
TEST(Failures, SecondAccountMissingKeepsFirstDone) {
    Sandbox box;
    provision(box);
    const std::string shadow = "root:*:1:::::\ndaemon:*:1:::::\n";
    box.write("/etc/shadow", shadow, 0600);
    expect_failure(run_program(box), "GUI uid 100 user entry not found in /etc/shadow", "");
    std::string now = box.read("/etc/shadow");
    std::string root_hash = password_field(now, "root");
    EXPECT_TRUE(is_hash_of(root_hash, kRootPassword));
    EXPECT_EQ(now, with_field(shadow, "root", root_hash));
    EXPECT_FALSE(box.exists(kMarker));
}

struct Injection {
    const char *what;
    std::string call;    // system call name as strace knows it
    std::string needle;  // picks the program's own call out of a traced run
    std::string fault;   // error=... or retval=...
    const char *message;
    bool all_later = false;  // inject into that call and every later one
};

TEST(Failures, InjectedIntoTheShadowRewrite) {
    const std::string grown = "retval=" + std::to_string(kShadow.size() + 4095);
    const Injection injections[] = {
        {"fstat", kFstatCall, "</etc/shadow>", "error=EIO", "failed to read /etc/shadow"},
        {"read", "read", "</etc/shadow>", "error=EIO", "failed to read /etc/shadow"},
        {"read interrupted", "read", "</etc/shadow>", "error=EINTR", "failed to read /etc/shadow"},
        {"file grew by 4095 bytes", "read", "</etc/shadow>", grown, "failed to read /etc/shadow"},
        {"open temporary", "openat", "shadow.zu-firstboot-password", "error=EACCES",
         "failed to open temporary shadow file"},
        {"fchown", "fchown", "shadow.zu-firstboot-password", "error=EPERM", ""},
        {"fchmod", "fchmod", "shadow.zu-firstboot-password", "error=EPERM", ""},
        {"write", "write", "shadow.zu-firstboot-password", "error=ENOSPC", ""},
        {"write moves nothing", "write", "shadow.zu-firstboot-password", "retval=0", "", true},
        {"fsync", "fsync", "shadow.zu-firstboot-password", "error=EIO", ""},
        {"close", "close", "shadow.zu-firstboot-password", "error=EIO", ""},
        {"rename", "rename", "shadow.zu-firstboot-password", "error=EIO",
         "failed to replace /etc/shadow"},
    };
    // A leftover from an earlier boot is removed on every path that fails after the read.
    auto setup = [](Sandbox &b) {
        provision(b);
        b.write(kTemp, "leftover");
    };
    for (const Injection &i : injections) {
        int n = find_call(setup, i.call, i.needle);
        ASSERT_GT(n, 0) << i.what;
        Sandbox box;
        setup(box);
        RunResult r =
            run_program(box, inject(i.call, i.fault, std::to_string(n) + (i.all_later ? "+" : "")));
        expect_failure(r, i.message, i.what);
        EXPECT_EQ(box.read("/etc/shadow"), kShadow) << i.what;
        EXPECT_FALSE(box.exists(kMarker)) << i.what;
        bool read_failed = std::string(i.message) == "failed to read /etc/shadow";
        EXPECT_EQ(box.exists(kTemp), read_failed) << i.what;
    }
}

TEST(Failures, SecondRenameFailsAfterFirstAccountIsDone) {
    int n = find_call(provision, "rename", "shadow.zu-firstboot-password", 2);
    ASSERT_GT(n, 0);
    Sandbox box;
    provision(box);
    expect_failure(run_program(box, inject("rename", "error=EIO", std::to_string(n))),
                   "failed to replace /etc/shadow", "");
    std::string now = box.read("/etc/shadow");
    std::string root_hash = password_field(now, "root");
    EXPECT_TRUE(is_hash_of(root_hash, kRootPassword));
    EXPECT_EQ(now, with_field(kShadow, "root", root_hash));
    EXPECT_FALSE(box.exists(kMarker));
    EXPECT_FALSE(box.exists(kTemp));
}

// A cut between the two halves of a rename made as a link and an unlink leaves the temporary
// name as a second name of /etc/shadow. Nothing is written through it, even when the write fails,
// and no run leaves it behind.
TEST(Failures, TemporaryNameOfTheShadowItselfIsNotWrittenThrough) {
    auto setup = [](Sandbox &b) {
        provision(b);
        ASSERT_EQ(::link(b.host("/etc/shadow").c_str(), b.host(kTemp).c_str()), 0);
    };
    int n = find_call(setup, "write", "shadow.zu-firstboot-password");
    ASSERT_GT(n, 0);
    Sandbox box;
    setup(box);
    expect_failure(run_program(box, inject("write", "error=ENOSPC", std::to_string(n))), "", "");
    expect_untouched(box, "failed write");

    ASSERT_EQ(::link(box.host("/etc/shadow").c_str(), box.host(kTemp).c_str()), 0);
    EXPECT_EQ(run_program(box).status, 0);
    expect_provisioned(box.read("/etc/shadow"));
    EXPECT_FALSE(box.exists(kTemp));
}

TEST(Failures, RandomSourceFails) {
    int n = find_call(provision, "getrandom", ", 16, 0)");
    ASSERT_GT(n, 0);
    Sandbox box;
    provision(box);
    expect_failure(run_program(box, inject("getrandom", "error=EIO", std::to_string(n))),
                   "failed to read random salt", "");
    expect_untouched(box, "getrandom");
}

// Interrupted calls are repeated and partial transfers continued: the result is the same device.
TEST(Transfers, InterruptedAndPartialCallsAreCarriedOn) {
    int random = find_call(provision, "getrandom", ", 16, 0)");
    int write = find_call(provision, "write", "shadow.zu-firstboot-password");
    ASSERT_GT(random, 0);
    ASSERT_GT(write, 0);
    const struct {
        const char *what;
        bool shim;
        RunOptions options;
    } runs[] = {
        {"getrandom EINTR", false, inject("getrandom", "error=EINTR", std::to_string(random))},
        {"write EINTR", false, inject("write", "error=EINTR", std::to_string(write))},
        {"short getrandom and writes", true, {}},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.what);
        Sandbox box;
        provision(box);
        RunOptions options = run.options;
        if (run.shim)
            options.env = preload_short_io(box);
        std::vector<std::string> randoms = traced(box, "getrandom", options);
        expect_provisioned(box.read("/etc/shadow"));
        EXPECT_TRUE(box.exists(kMarker));
        if (run.shim) {
            // The shim really shortened the first request: 5 bytes, then the 11 still missing.
            std::string calls;
            for (const std::string &c : randoms)
                calls += c + "\n";
            EXPECT_NE(calls.find(", 5, 0) = 5\ngetrandom("), std::string::npos) << calls;
            EXPECT_NE(calls.find(", 11, 0) = 11\n"), std::string::npos) << calls;
        }
    }
}

TEST(Failures, CompletionMarker) {
    const Injection injections[] = {
        {"sync of /etc before the marker", "fsync", "</etc>)", "error=EIO",
         "failed to create firstboot marker"},
        {"open of the marker", "openat", "password-set\"", "error=EIO",
         "failed to create firstboot marker"},
        {"fsync of the marker", "fsync", "password-set>", "error=EIO",
         "failed to create firstboot marker"},
    };
    for (const Injection &i : injections) {
        int n = find_call(provision, i.call, i.needle);
        ASSERT_GT(n, 0) << i.what;
        Sandbox box;
        provision(box);
        expect_failure(run_program(box, inject(i.call, i.fault, std::to_string(n))), i.message,
                       i.what);
        EXPECT_FALSE(box.exists(kMarker)) << i.what;
        // Both lines were stored; the next boot stores the same passwords again and marks done.
        RunResult again = run_program(box);
        EXPECT_EQ(again.status, 0) << i.what;
        expect_provisioned(box.read("/etc/shadow"));
        EXPECT_TRUE(box.exists(kMarker)) << i.what;
    }
}

// Once the marker itself is synced, a failing sync of /etc is reported but the marker stays:
// the next boot (the upgrade archive gone by then) must not provision over the user's password.
TEST(CompletionMarker, SyncedMarkerSurvivesAFailedDirectorySync) {
    const std::string user_hash = "$6$usersalt$kept.by.the.user";
    const std::string user_shadow = with_field(kShadow, "root", user_hash);
    const struct {
        const char *what;
        bool upgrade;
        const char *message;
    } cases[] = {
        {"upgrade boot", true, "failed to create firstboot marker during sysupgrade"},
        {"first boot", false, "failed to create firstboot marker"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto setup = [&](Sandbox &b) {
            provision(b);
            if (c.upgrade) {
                b.write("/etc/shadow", user_shadow, 0640);
                b.write("/sysupgrade.tgz", "archive");
            }
        };
        // The second sync of /etc is the one after the marker's own.
        int n = find_call(setup, "fsync", "</etc>)", 2);
        ASSERT_GT(n, 0);
        Sandbox box;
        setup(box);
        expect_failure(run_program(box, inject("fsync", "error=EIO", std::to_string(n))), c.message,
                       "");
        EXPECT_TRUE(box.exists(kMarker));
        if (c.upgrade) {
            EXPECT_EQ(box.read("/etc/shadow"), user_shadow);
            box.remove("/sysupgrade.tgz");
        } else {
            expect_provisioned(box.read("/etc/shadow"));
            box.write("/etc/shadow", user_shadow, 0640);  // the user sets a password
        }
        RunResult next = run_program(box);
        EXPECT_EQ(next.status, 0);
        EXPECT_TRUE(next.log.empty()) << next.log[0].raw;
        EXPECT_EQ(box.read("/etc/shadow"), user_shadow);
    }
}

// Filesystems that cannot sync directories answer EINVAL: that is no reason to fail.
TEST(CompletionMarker, DirectorySyncUnsupportedCountsAsDone) {
    Sandbox box;
    provision(box);
    RunResult r = run_program(box, RunOptions{.strace = {"-y", "-P", "/etc", "-e", "trace=fsync",
                                                         "-e", "inject=fsync:error=EINVAL"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty());
    EXPECT_TRUE(box.exists(kMarker));
    // Both directory syncs were refused, and nothing else was.
    std::size_t refused = 0;
    for (std::size_t at = 0;
         (at = r.err.find("EINVAL (Invalid argument) (INJECTED)", at)) != std::string::npos; ++at)
        ++refused;
    EXPECT_EQ(refused, 2u) << r.err;
}

// Another process won the race to the exclusive create: that is success, silently.
TEST(CompletionMarker, CreatedMeanwhileCountsAsDone) {
    int n = find_call(provision, "openat", "password-set\"");
    ASSERT_GT(n, 0);
    Sandbox box;
    provision(box);
    RunResult r = run_program(box, inject("openat", "error=EEXIST", std::to_string(n)));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty());
}

TEST(CompletionMarker, FailsDuringUpgrade) {
    auto setup = [](Sandbox &b) {
        provision(b);
        b.write("/sysupgrade.tgz", "archive");
    };
    for (const Injection &i : {Injection{"sync of /etc", "fsync", "</etc>)", "error=EIO", ""},
                               Injection{"open", "openat", "password-set\"", "error=EROFS", ""}}) {
        int n = find_call(setup, i.call, i.needle);
        ASSERT_GT(n, 0) << i.what;
        Sandbox box;
        setup(box);
        expect_failure(run_program(box, inject(i.call, i.fault, std::to_string(n))),
                       "failed to create firstboot marker during sysupgrade", i.what);
        expect_untouched(box, i.what);
    }
}

// A C library without SHA-512 crypt must leave the device as it was, to try again next boot.
TEST(Failures, CryptWithoutSha512WritesNothing) {
    for (bool star : {false, true}) {
        SCOPED_TRACE(star ? "crypt gives \"*\"" : "crypt gives null");
        Sandbox box;
        provision(box);
        box.write("/shim/libcrypt_shim.so", zu_test::read_host_file(CRYPT_SHIM_PATH), 0755);
        RunOptions options{.env = {"LD_PRELOAD=/shim/libcrypt_shim.so"}};
        if (star)
            options.env.push_back("ZU_CRYPT_STAR=1");
        RunResult r = run_program(box, options);
        expect_failure(r, "failed to create sha512 shadow hash", "");
        expect_untouched(box, "");
    }
}

}  // namespace
}  // namespace fb_test
