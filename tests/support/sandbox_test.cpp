#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace zu_test {
namespace {

// The sandbox is what keeps the host's own /etc safe: prove it isolates before anything relies on
// it.
TEST(Sandbox, RunsInPrivateTreeWithOwnFilesAndStatus) {
    Sandbox box;
    box.write("/etc/marker-file", "inside\n");
    RunResult r = box.run({"/bin/sh", "-c",
                           "cat /etc/marker-file; test -e /etc/os-release || echo no-host-etc; "
                           "echo written > /tmp/out; id -u; echo oops >&2; exit 3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "inside\nno-host-etc\n0\n");
    EXPECT_EQ(r.err, "oops\n");
    EXPECT_EQ(box.read("/tmp/out"), "written\n");
}

TEST(Sandbox, DropsToAnotherUserAndReadsSyslog) {
    Sandbox box;
    RunResult r = box.run({"/bin/sh", "-c", "id -u; logger --rfc3164 -t probe -p auth.err hello"},
                          RunOptions{.uid = 1000});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1000\n");
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].priority, 35);
    // logger puts a host name before its tag, the C library's syslog does not.
    EXPECT_NE(r.log[0].raw.find(" probe: hello"), std::string::npos) << r.log[0].raw;
    EXPECT_EQ(r.log[0].text, "hello");
}

}  // namespace
}  // namespace zu_test
