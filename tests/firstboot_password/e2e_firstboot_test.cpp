// First boots of the real program on a simulated device: the success path and every start-up
// decision, with what each leaves on disk and in the log.
#include <sys/stat.h>

#include <gtest/gtest.h>

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
