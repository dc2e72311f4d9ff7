// Every failure the installer can meet on the way, provoked in a real run: a directory or the
// manifest that cannot be opened, a shell that cannot start, tar or the package manager ended by a
// signal. Each gives its message; each but a subdirectory passed over ends the run with status 1
// and nothing installed after it. System-call failures are injected with strace at the
// installer's own call, found in a first traced run.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace bi_test {
namespace {

constexpr const char *kArchive = "/tmp/bundle.tar.gz";

// The shell's own report of a child that a signal ended.
constexpr const char *kShellKilled = "Killed\n";

struct Errno {
    const char *name;
    const char *text;
};
constexpr Errno kErrnos[] = {
    {"EACCES", "Permission denied"},
    {"EMFILE", "Too many open files"},
};

class Faults : public BundleInstall {
  protected:
    void SetUp() override {
        BundleInstall::SetUp();
        make_bundle(kArchive, {
                                  {"bundle/manifest.txt", R"({"order":["pkg-a","pkg-b","pkg-c"]})"},
                                  {"bundle/pkg-a", "a"},
                              });
    }

    static constexpr const char *kListing = "bundle/\nbundle/manifest.txt\nbundle/pkg-a\n";
    static constexpr const char *kFound =
        "Found manifest file at: /tmp/update/bundle/manifest.txt\n";
};

TEST_F(Faults, UpdateDirectoryCannotBeOpenedForTheSearch) {
    // opendir's open, not the update directory's own checks (which never block).
    int when =
        occurrence(traced({kArchive}, "openat"), "openat", {"\"/tmp/update\", ", "O_NONBLOCK"});
    ASSERT_GT(when, 0) << "not opened in a traced run";
    for (const Errno &e : kErrnos) {
        SCOPED_TRACE(e.name);
        RunResult r = install({kArchive}, inject("openat", std::string("error=") + e.name, when));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kListing);
        EXPECT_EQ(r.err, std::string("opendir: ") + e.text + "\nFailed to find manifest file\n");
        EXPECT_EQ(opkg_log(), "<no opkg run>");
        reset();
    }
}

// A subdirectory that cannot be opened holds no match; the search goes on with its siblings.
TEST_F(Faults, SubdirectoryThatCannotBeOpenedIsPassedOver) {
    make_bundle(kArchive, {
                              {"one/manifest.txt", R"({"order":["from-one"]})"},
                              {"two/manifest.txt", R"({"order":["from-two"]})"},
                          });
    // Whichever the listing gives first is the one that fails.
    std::vector<std::string> calls = traced({kArchive}, "openat");
    int one = occurrence(calls, "openat", {"\"/tmp/update/one\", ", "O_DIRECTORY"});
    int two = occurrence(calls, "openat", {"\"/tmp/update/two\", ", "O_DIRECTORY"});
    ASSERT_TRUE((one > 0) != (two > 0)) << "the search must stop at the first manifest";
    const std::string other = one > 0 ? "two" : "one";

    RunResult r = install({kArchive}, inject("openat", "error=EACCES", one > 0 ? one : two));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "opendir: Permission denied\n");
    EXPECT_NE(r.out.find("Found manifest file at: /tmp/update/" + other + "/manifest.txt\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/from-" + other + "]\n");
}

TEST_F(Faults, ManifestCannotBeOpened) {
    int when = occurrence(traced({kArchive}, "openat"), "openat",
                          {"\"/tmp/update/bundle/manifest.txt\", ", "O_RDONLY"});
    ASSERT_GT(when, 0) << "not opened in a traced run";
    for (const Errno &e : kErrnos) {
        SCOPED_TRACE(e.name);
        RunResult r = install({kArchive}, inject("openat", std::string("error=") + e.name, when));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string(kListing) + kFound);
        EXPECT_EQ(r.err, std::string("fopen: ") + e.text + "\nUpdate failed\n");
        EXPECT_EQ(opkg_log(), "<no opkg run>");
        reset();
    }
}

// The C library's system() starts the shell with one process-creation call; when that fails,
// glibc reports a shell that exited 127 rather than -1, so no "system: " line comes first.
TEST_F(Faults, ShellCannotStart) {
    std::vector<std::string> calls = traced({kArchive}, "clone,clone3,vfork,fork");
    // Threads (the emulator has one) are not shells: one shell for the unpack and one per package.
    std::string name;
    std::vector<int> shells;  // place of each among the calls of its name
    std::map<std::string, int> seen;
    for (const auto &call : calls) {
        const std::string call_name = call.substr(0, call.find('('));
        int place = ++seen[call_name];
        if (call.find("CLONE_THREAD") != std::string::npos)
            continue;
        if (name.empty())
            name = call_name;
        ASSERT_EQ(call_name, name) << call;
        shells.push_back(place);
    }
    ASSERT_EQ(shells.size(), 4u) << testing::PrintToString(calls);

    struct Case {
        int when;
        bool unpacked;
        std::string out;
        std::string err;
        std::string log;
    } cases[] = {
        {shells[0], false, "", "Failed to extract tar.gz file\n", "<no opkg run>"},
        {shells[2], true, std::string(kListing) + kFound + "opkg: installing pkg-a\n",
         "Failed to install pkg-b\nUpdate failed\n", "[install][/tmp/update/bundle/pkg-a]\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.when);
        RunResult r = install({kArchive}, inject(name, "error=EAGAIN", c.when));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(opkg_log(), c.log);
        EXPECT_EQ(box.exists("/tmp/update/bundle/pkg-a"), c.unpacked);
        reset();
    }
}

// tar unpacks everything and then a signal ends it or the shell that ran it.
TEST_F(Faults, UnpackEndedByASignal) {
    struct Case {
        const char *what;
        const char *kill;
        const char *shell_says;
    } cases[] = {
        {"tar killed", "kill -KILL $$", kShellKilled},
        {"shell killed", "kill -KILL $PPID", ""},
        {"shell terminated", "kill -TERM $PPID", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        box.write("/stub/tar", std::string("#!/bin/sh\n/usr/bin/tar \"$@\"\n") + c.kill + "\n",
                  0755);
        RunResult r = install({kArchive});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kListing);
        EXPECT_EQ(r.err, std::string(c.shell_says) + "Failed to extract tar.gz file\n");
        EXPECT_EQ(opkg_log(), "<no opkg run>");
        // What was unpacked stays.
        EXPECT_EQ(box.read("/tmp/update/bundle/pkg-a"), "a");
        reset();
    }
}

TEST_F(Faults, PackageManagerEndedByASignal) {
    box.write("/stub/kill", "pkg-b\n");
    RunResult r = install({kArchive});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kListing) + kFound + "opkg: installing pkg-a\n");
    EXPECT_EQ(r.err, std::string(kShellKilled) + "Failed to install pkg-b\nUpdate failed\n");
    // pkg-b's run began and was killed; pkg-c was never tried.
    EXPECT_EQ(opkg_log(),
              "[install][/tmp/update/bundle/pkg-a]\n"
              "[install][/tmp/update/bundle/pkg-b]\n");
}

}  // namespace
}  // namespace bi_test
