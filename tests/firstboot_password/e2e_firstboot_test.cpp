// First boots of the real program on a simulated device: the success path and every start-up
// decision, with what each leaves on disk and in the log.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "e2e_support.hpp"

namespace fb_test {
namespace {

struct stat stat_of(Sandbox &box, const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::lstat(box.host(path).c_str(), &st), 0) << path;
    return st;
}

TEST(FirstBoot, SetsBothPasswordsAndMarksDone) {
    Sandbox box;
    provision(box);
    RunResult r = run_program(box);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty()) << r.log[0].raw;

    std::string shadow = box.read("/etc/shadow");
    expect_provisioned(shadow);

    struct stat st = stat_of(box, "/etc/shadow");
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 42u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    struct stat marker = stat_of(box, kMarker);
    EXPECT_TRUE(S_ISREG(marker.st_mode));
    EXPECT_EQ(marker.st_size, 0);
    EXPECT_EQ(marker.st_mode & 07777, 0600u);
    EXPECT_FALSE(box.exists(kTemp));

    // Once marked, a later boot changes nothing.
    RunResult again = run_program(box);
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(again.log.empty());
    EXPECT_EQ(box.read("/etc/shadow"), shadow);
}

TEST(FirstBoot, FreshSaltEachDeviceRunSamePasswords) {
    Sandbox one, two;
    provision(one);
    provision(two);
    ASSERT_EQ(run_program(one).status, 0);
    ASSERT_EQ(run_program(two).status, 0);
    std::string first = password_field(one.read("/etc/shadow"), "root");
    std::string second = password_field(two.read("/etc/shadow"), "root");
    EXPECT_NE(first, second);
    EXPECT_TRUE(is_hash_of(first, kRootPassword));
    EXPECT_TRUE(is_hash_of(second, kRootPassword));
}

TEST(FirstBoot, SpecialModeBitsAreNotCarriedAndLeftoverTempIsReplaced) {
    Sandbox box;
    provision(box);
    box.write("/etc/shadow", kShadow, 06640);
    ASSERT_EQ(::chmod(box.host("/etc/shadow").c_str(), 06640), 0);
    box.write(kTemp, "half-written junk from an interrupted boot", 0644);
    ASSERT_EQ(run_program(box).status, 0);
    EXPECT_EQ(stat_of(box, "/etc/shadow").st_mode & 07777, 0640u);
    EXPECT_FALSE(box.exists(kTemp));
    EXPECT_TRUE(is_hash_of(password_field(box.read("/etc/shadow"), "admin"), kAdminPassword));
}

// Whatever sits at the temporary path is removed, never written through: the run leaves a shadow
// file of its own, one name, and every other file as it was.
TEST(FirstBoot, NothingAtTheTemporaryPathIsWrittenThrough) {
    const struct {
        const char *what;
        std::function<void(Sandbox &)> plant;
    } cases[] = {
        {"link to passwd",
         [](Sandbox &b) { ASSERT_EQ(::symlink("passwd", b.host(kTemp).c_str()), 0); }},
        {"link to the shadow file",
         [](Sandbox &b) { ASSERT_EQ(::symlink("shadow", b.host(kTemp).c_str()), 0); }},
        {"dangling link",
         [](Sandbox &b) { ASSERT_EQ(::symlink("missing", b.host(kTemp).c_str()), 0); }},
        {"hard link to the shadow file",
         [](Sandbox &b) {
             ASSERT_EQ(::link(b.host("/etc/shadow").c_str(), b.host(kTemp).c_str()), 0);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox box;
        provision(box);
        // A third name of the old shadow file shows whether that file was rewritten in place.
        box.mkdir("/keep");
        ASSERT_EQ(::link(box.host("/etc/shadow").c_str(), box.host("/keep/old-shadow").c_str()), 0);
        c.plant(box);
        RunResult r = run_program(box);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
        expect_provisioned(box.read("/etc/shadow"));
        struct stat st = stat_of(box, "/etc/shadow");
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(box.read("/keep/old-shadow"), kShadow);
        EXPECT_EQ(box.read("/etc/passwd"), kPasswd);
        EXPECT_EQ(stat_of(box, "/etc/passwd").st_mode & 07777, 0644u);
        EXPECT_FALSE(box.exists(kTemp));
        EXPECT_TRUE(box.exists(kMarker));
    }
}

// A FIFO at the temporary path once held the boot for ever. Should a run block on it, a reader
// appears after a minute to let it end, and leaves a note that it had to.
TEST(FirstBoot, FifoAtTheTemporaryPathIsRemoved) {
    Sandbox box;
    provision(box);
    ASSERT_EQ(::mkfifo(box.host(kTemp).c_str(), 0600), 0);
    const std::string note = box.host("/tmp/run-blocked");
    pid_t watchdog =
        start_host({"/bin/sh", "-c", "sleep 60; : > \"$2\"; exec cat \"$1\" > /dev/null", "sh",
                    box.host(kTemp), note});
    RunResult r = run_program(box);
    stop_host(watchdog);
    EXPECT_FALSE(box.exists("/tmp/run-blocked"));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
    expect_provisioned(box.read("/etc/shadow"));
    EXPECT_FALSE(box.exists(kTemp));
    EXPECT_TRUE(box.exists(kMarker));
}

// Only the two password fields change: zero bytes, a later line of the same name and whatever
// follows an account's line are written back byte for byte.
TEST(FirstBoot, EveryOtherByteIsWrittenBackUnchanged) {
    using namespace std::string_literals;
    const std::string shadow =
        "daemon:*:0:0\0hidden:99999:7:::\n"s
        "root::19000:0:99999:7:\0:\xff:\n"s
        "admin:!:19000:0:99999:7::\n"s
        "root:second:1:::::\n"s
        "\0\0tail without a line end\0\x01"s;
    Sandbox box;
    provision(box);
    box.write("/etc/shadow", shadow, 0640);
    RunResult r = run_program(box);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
    expect_provisioned(box.read("/etc/shadow"), shadow);
}

TEST(FirstBoot, NameOfSixtyThreeCharactersIsAccepted) {
    Sandbox box;
    provision(box);
    std::string name(63, 'r');
    box.write("/etc/passwd", name + ":x:0:0::/root:/bin/ash\nadmin:x:100:100::/:/bin/ash\n");
    box.write("/etc/shadow", name + ":*:1:::::\nadmin:*:1:::::\n", 0600);
    RunResult r = run_program(box);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty());
    EXPECT_NE(password_field(box.read("/etc/shadow"), name).rfind("$6$", 0), std::string::npos);
}

TEST(StartUp, MarkerPresentMeansNothingToDoEvenForOtherUsers) {
    for (uid_t uid : {0u, 1000u}) {
        Sandbox box;
        provision(box);
        box.write(kMarker, "");
        RunResult r = run_program(box, RunOptions{.uid = uid});
        EXPECT_EQ(r.status, 0) << "uid " << uid;
        EXPECT_TRUE(r.log.empty()) << "uid " << uid;
        EXPECT_EQ(box.read("/etc/shadow"), kShadow);
    }
}

// Any name at the marker path means done, also a link to nothing: following it would otherwise
// put the factory passwords back at every boot.
TEST(StartUp, MarkerThatIsADanglingLinkMeansDone) {
    // Relative targets: the test never points a link at the host's own files.
    for (const char *target : {"missing", ".zu-uid0-uid100-password-set"}) {
        SCOPED_TRACE(target);
        Sandbox box;
        provision(box);
        ASSERT_EQ(::symlink(target, box.host(kMarker).c_str()), 0);
        RunResult r = run_program(box);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
        EXPECT_EQ(box.read("/etc/shadow"), kShadow);
        EXPECT_FALSE(box.exists(kTemp));
    }
}

TEST(StartUp, RefusesToRunAsAnotherUser) {
    Sandbox box;
    provision(box);
    RunResult r = run_program(box, RunOptions{.uid = 1000});
    EXPECT_EQ(r.status, 1);
    expect_one_message(r, "must run as root");
    EXPECT_FALSE(box.exists(kMarker));
    EXPECT_EQ(box.read("/etc/shadow"), kShadow);
}

TEST(StartUp, UpgradeInProgressOnlyMarksDone) {
    for (const char *upgrade : {"/sysupgrade.tgz", "/tmp/sysupgrade.tar"}) {
        Sandbox box;
        provision(box);
        box.write(upgrade, "archive");
        RunResult r = run_program(box);
        EXPECT_EQ(r.status, 0) << upgrade;
        EXPECT_TRUE(r.log.empty()) << upgrade;
        EXPECT_TRUE(box.exists(kMarker)) << upgrade;
        EXPECT_EQ(box.read("/etc/shadow"), kShadow) << upgrade;
    }
}

}  // namespace
}  // namespace fb_test
