// Labels for a production batch: the passwords a device sets at first boot, line by line.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.hpp"

namespace fb_test {
namespace {

struct LabelRun {
    int status;
    std::string out;
    std::string err;
};

// Runs the label tool on the host (it touches no system file) with `input` as standard input.
LabelRun label(Sandbox &box, const std::string &input, const std::string &args) {
    box.write("/label/in", input);
    std::string dir = box.host("/label");
    int status = zu_test::host_shell("'" + std::string(FACTORY_LABEL_PATH) + "' " + args + " < '" +
                                     dir + "/in' > '" + dir + "/out' 2> '" + dir + "/err'");
    return {status, box.read("/label/out"), box.read("/label/err")};
}

TEST(FactoryLabel, BatchLinesCarryTheDevicePasswords) {
    Sandbox box;
    LabelRun r = label(box,
                       "aa:bb:cc:dd:ee:ff,RT-2400\n"
                       "aa:bb:cc:dd:ee:ff,RT-2400\r\n"  // a spreadsheet's line end
                       "aa:bb:cc:dd:ee:ff,RT-2400",     // and none at the end
                       "--batch root admin");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string line = std::string("aa:bb:cc:dd:ee:ff,RT-2400,root ") + kRootPassword +
                             ",admin " + kAdminPassword + "\n";
    EXPECT_EQ(r.out, line + line + line);

    LabelRun empty = label(box, "", "--batch root");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
}

// The label of a device that really booted verifies against what it stored, for a model the
// device reads with a comma and blanks in it.
TEST(FactoryLabel, BatchAgreesWithAProvisionedDevice) {
    Sandbox box;
    provision(box);
    box.write("/sys/class/net/eth0/address", "00:1a:2b:3c:4d:5e\n");
    box.write("/tmp/sysinfo/model", "ZU Router, rev 2 \n");
    ASSERT_EQ(run_program(box).status, 0);
    std::string shadow = box.read("/etc/shadow");

    LabelRun r = label(box, "00:1a:2b:3c:4d:5e,ZU Router, rev 2 \n", "--batch root admin");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string prefix = "00:1a:2b:3c:4d:5e,ZU Router, rev 2 ,root ";
    ASSERT_EQ(r.out.size(), prefix.size() + 16 + 7 + 16 + 1) << r.out;
    ASSERT_EQ(r.out.substr(0, prefix.size()), prefix);
    EXPECT_EQ(r.out.substr(prefix.size() + 16, 7), ",admin ");
    std::string root = r.out.substr(prefix.size(), 16);
    std::string admin = r.out.substr(prefix.size() + 16 + 7, 16);
    EXPECT_NE(root, kRootPassword);
    EXPECT_TRUE(is_hash_of(password_field(shadow, "root"), root.c_str()));
    EXPECT_TRUE(is_hash_of(password_field(shadow, "admin"), admin.c_str()));
}

// Every malformed line is named by its number; the good ones around it are still labelled.
TEST(FactoryLabel, MalformedLinesAreReportedAndTheRestLabelled) {
    Sandbox box;
    const std::string good = "aa:bb:cc:dd:ee:ff,RT-2400";
    const std::string input = good + "\n" +                                             // 1
                              "aa:bb:cc:dd:ee:ff\n" +                                   // 2
                              "\n" +                                                    // 3
                              "AA:BB:CC:DD:EE:FF,RT-2400\n" +                           // 4
                              "aabbccddeeff,RT-2400\n" +                                // 5
                              "aa:bb:cc:dd:ee:ff,\n" +                                  // 6
                              "aa:bb:cc:dd:ee:ff," + std::string(256, 'm') + "\n" +     // 7
                              "aa:bb:cc:dd:ee:ff,RT\r2400\n" +                          // 8
                              "aa:bb:cc:dd:ee:ff," + std::string(100000, 'x') + "\n" +  // 9
                              good + "\n";                                              // 10
    LabelRun r = label(box, input, "--batch root");
    EXPECT_EQ(r.status, 1);
    const std::string line = good + ",root " + kRootPassword + "\n";
    EXPECT_EQ(r.out, line + line);
    EXPECT_EQ(r.err,
              "zu-factory-label: line 2: no comma between MAC and model\n"
              "zu-factory-label: line 3: empty line\n"
              "zu-factory-label: line 4: the MAC is not six lower-case hex pairs joined by colons,"
              " as the device holds it\n"
              "zu-factory-label: line 5: the MAC is not six lower-case hex pairs joined by colons,"
              " as the device holds it\n"
              "zu-factory-label: line 6: empty model\n"
              "zu-factory-label: line 7: the model is longer than the 255 characters the device "
              "reads\n"
              "zu-factory-label: line 8: the model holds a NUL or carriage return, which ends the "
              "device's line\n"
              "zu-factory-label: line 9: too long to be a MAC and a model\n");
}

TEST(FactoryLabel, BatchRefusesUserNamesTheDeviceCannotHave) {
    Sandbox box;
    for (const std::string &args :
         {std::string("--batch"), std::string("--batch root ''"), std::string("--batch 'a,b'"),
          std::string("--batch 'a b'"), "--batch " + std::string(64, 'u')}) {
        SCOPED_TRACE(args);
        LabelRun r = label(box, "aa:bb:cc:dd:ee:ff,RT-2400\n", args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    LabelRun longest = label(box, "aa:bb:cc:dd:ee:ff,RT-2400\n", "--batch " + std::string(63, 'u'));
    EXPECT_EQ(longest.status, 0) << longest.err;
}

TEST(FactoryLabel, OutputThatCannotBeWrittenIsAnError) {
    Sandbox box;
    int status =
        zu_test::host_shell("echo aa:bb:cc:dd:ee:ff,RT-2400 | '" + std::string(FACTORY_LABEL_PATH) +
                            "' --batch root > /dev/full 2> /dev/null");
    EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace fb_test
