// The installer's main paths and its reported failures, end to end.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace bi_test {
namespace {

TEST_F(BundleInstall, InstallsEveryPackageInOrderWithOutputInOrder) {
    make_bundle(
        "/tmp/bundle.tar.gz",
        {
            {"bundle/manifest.txt", R"({"version":"1.2","order":["pkg-b.ipk","pkg-a.ipk"]})"},
            {"bundle/pkg-a.ipk", "a"},
            {"bundle/pkg-b.ipk", "b"},
        });
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0);
    // stdout is a file here: our lines and the children's must still come in order.
    EXPECT_EQ(r.out,
              "bundle/\n"
              "bundle/manifest.txt\n"
              "bundle/pkg-a.ipk\n"
              "bundle/pkg-b.ipk\n"
              "Found manifest file at: /tmp/update/bundle/manifest.txt\n"
              "opkg: installing pkg-b.ipk\n"
              "opkg: installing pkg-a.ipk\n"
              "Update successful\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(opkg_log(),
              "[install][/tmp/update/bundle/pkg-b.ipk]\n"
              "[install][/tmp/update/bundle/pkg-a.ipk]\n");
    EXPECT_EQ(box.read("/tmp/update/bundle/pkg-a.ipk"), "a");
}

TEST_F(BundleInstall, RelativeArchivePathAndNestedElements) {
    make_bundle("/mnt/usb/fw-1.2.tar.gz",
                {
                    {"fw-1.2/manifest.txt", R"({"order":["sub/pkg-b","/pkg-c"]})"},
                });
    RunResult r = install({"fw-1.2.tar.gz"}, {.cwd = "/mnt/usb"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(opkg_log(),
              "[install][/tmp/update/fw-1.2/sub/pkg-b]\n"
              "[install][/tmp/update/fw-1.2//pkg-c]\n");
}

TEST_F(BundleInstall, UsageWithoutExactlyOneArgument) {
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        RunResult r = install(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("Usage: ") + kProgram + " <tar.gz file>\n");
    }
    EXPECT_FALSE(box.exists("/tmp/update"));
}

TEST_F(BundleInstall, CorruptArchiveFailsToExtract) {
    box.write("/tmp/bundle.tar.gz", "this is not gzip data\n");
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string tail = "Failed to extract tar.gz file\n";
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_NE(r.err, tail);  // tar said why first
    EXPECT_EQ(opkg_log(), "<no opkg run>");
}

// Stand-ins for mkdir and tar show the unpack command's words; a failing mkdir stops tar.
TEST_F(BundleInstall, UnpackCommandWords) {
    const char *logger =
        "#!/bin/sh\nprintf '[%s]' \"${0##*/}\" \"$@\" >> /tmp/unpack.log\n"
        "echo >> /tmp/unpack.log\nexit $(cat /stub/status-${0##*/})\n";
    box.write("/stub/mkdir", logger, 0755);
    box.write("/stub/tar", logger, 0755);
    struct Case {
        const char *archive;
        const char *mkdir_status;
        const char *log;
    } cases[] = {
        {"/mnt/usb/fw-1.2.tar.gz", "0",
         "[mkdir][-p][/tmp/update]\n[tar][--no-same-permissions][-xzvof][/mnt/usb/"
         "fw-1.2.tar.gz][-C][/tmp/update]\n"},
        {"my bundle;id.tar.gz", "0",
         "[mkdir][-p][/tmp/update]\n[tar][--no-same-permissions][-xzvof][my "
         "bundle;id.tar.gz][-C][/tmp/update]\n"},
        {"/mnt/usb/fw-1.2.tar.gz", "1", "[mkdir][-p][/tmp/update]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.archive);
        box.write("/stub/status-mkdir", c.mkdir_status);
        box.write("/stub/status-tar", "2");
        box.remove("/tmp/unpack.log");
        RunResult r = install({c.archive});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Failed to extract tar.gz file\n");
        EXPECT_EQ(box.read("/tmp/unpack.log"), c.log);
    }
}

TEST_F(BundleInstall, MissingArchiveFailsToExtract) {
    RunResult r = install({"/mnt/usb/none.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to extract tar.gz file\n"), std::string::npos) << r.err;
}

TEST_F(BundleInstall, BundleWithoutManifest) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/pkg-a.ipk", "a"}, {"bundle/manifest.json", "{}"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "bundle/\nbundle/manifest.json\nbundle/pkg-a.ipk\n");
    EXPECT_EQ(r.err, "Failed to find manifest file\n");
}

TEST_F(BundleInstall, ManifestFailures) {
    struct Case {
        const char *manifest;
        const char *err;
    } cases[] = {
        {"{\"order\":", "Failed to parse JSON manifest\n"},
        {"[\"a\",\"b\"]", "Failed to parse JSON manifest\n"},
        {"", "Failed to parse JSON manifest\n"},
        {"{\"other\":[\"a\"]}", "Invalid manifest format: 'order' is not an array\n"},
        {"{\"Order\":[\"a\"]}", "Invalid manifest format: 'order' is not an array\n"},
        {"{\"order\":{\"a\":\"b\"}}", "Invalid manifest format: 'order' is not an array\n"},
        {"{\"order\":\"a\"}", "Invalid manifest format: 'order' is not an array\n"},
        {"{\"order\":5}", "Invalid manifest format: 'order' is not an array\n"},
        {"{\"order\":[null]}", "Invalid manifest format: 'order' item is not a string\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.manifest);
        make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", c.manifest}});
        RunResult r = install({"/tmp/bundle.tar.gz"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out,
                  "bundle/\nbundle/manifest.txt\n"
                  "Found manifest file at: /tmp/update/bundle/manifest.txt\n");
        EXPECT_EQ(r.err, std::string(c.err) + "Update failed\n");
        EXPECT_EQ(opkg_log(), "<no opkg run>");
    }
}

TEST_F(BundleInstall, ManifestIsReadOnlyUpToANulByte) {
    make_bundle("/tmp/bundle.tar.gz",
                {{"bundle/manifest.txt", std::string("{\"order\":[\"a\"]}\0garbage", 24)}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/a]\n");
}

TEST_F(BundleInstall, ElementNotAStringAfterAGoodOne) {
    make_bundle("/tmp/bundle.tar.gz",
                {{"bundle/manifest.txt", R"({"order":["pkg-a",5,"pkg-c"]})"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Invalid manifest format: 'order' item is not a string\nUpdate failed\n");
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/pkg-a]\n");
}

TEST_F(BundleInstall, StopsAtTheFirstPackageThatFails) {
    box.write("/stub/fail", "pkg-b\npkg-c\n");
    make_bundle("/tmp/bundle.tar.gz",
                {{"bundle/manifest.txt", R"({"order":["pkg-a","sub/pkg-b","pkg-c"]})"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "bundle/\nbundle/manifest.txt\n"
              "Found manifest file at: /tmp/update/bundle/manifest.txt\n"
              "opkg: installing pkg-a\n"
              "opkg: installing pkg-b\n");
    EXPECT_EQ(r.err, "opkg: cannot install pkg-b\nFailed to install sub/pkg-b\nUpdate failed\n");
    EXPECT_EQ(opkg_log(),
              "[install][/tmp/update/bundle/pkg-a]\n"
              "[install][/tmp/update/bundle/sub/pkg-b]\n");
}

TEST_F(BundleInstall, MissingPackageManagerFailsTheInstall) {
    box.remove("/stub/opkg");
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":["pkg-a"]})"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    const std::string tail = "Failed to install pkg-a\nUpdate failed\n";
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
}

TEST_F(BundleInstall, EmptyOrderInstallsNothing) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":[]})"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "bundle/\nbundle/manifest.txt\n"
              "Found manifest file at: /tmp/update/bundle/manifest.txt\n"
              "Update successful\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(opkg_log(), "<no opkg run>");
}

TEST_F(BundleInstall, PackagesComeFromTheArchiveNameNotTheManifestPlace) {
    make_bundle("/tmp/bundle.tar.gz", {{"other/manifest.txt", R"({"order":["pkg-a"]})"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Found manifest file at: /tmp/update/other/manifest.txt\n"),
              std::string::npos);
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/pkg-a]\n");
}

TEST_F(BundleInstall, SymlinkNamedManifestIsUsed) {
    make_bundle("/tmp/bundle.tar.gz", {
                                          {"bundle/manifest.txt", "->../meta/order.json"},
                                          {"meta/order.json", R"({"order":["pkg-a"]})"},
                                      });
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Found manifest file at: /tmp/update/bundle/manifest.txt\n"),
              std::string::npos);
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/pkg-a]\n");
}

TEST_F(BundleInstall, SymlinkedDirectoryIsNotSearched) {
    box.write("/mnt/usb/elsewhere/manifest.txt", R"({"order":["evil"]})");
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/link", "->/mnt/usb/elsewhere"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to find manifest file\n");
    EXPECT_EQ(opkg_log(), "<no opkg run>");
}

TEST_F(BundleInstall, UnreadableManifestIsReported) {
    // A link named like the manifest may point at something that cannot be read as a file.
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", "->/tmp"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to read manifest file\nUpdate failed\n");
}

// A bundle can carry a FIFO; read as the manifest it would hold the installer forever.
TEST_F(BundleInstall, ManifestThatIsAFifoIsRefused) {
    std::string archive = box.host("/tmp/bundle.tar.gz");
    ASSERT_EQ(zu_test::host_shell("d=$(mktemp -d) && mkdir \"$d/bundle\" && "
                                  "mkfifo \"$d/bundle/manifest.txt\" && tar -czf '" +
                                  archive + "' -C \"$d\" bundle && rm -rf \"$d\""),
              0);
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to read manifest file\nUpdate failed\n");
    EXPECT_EQ(opkg_log(), "<no opkg run>");
}

TEST_F(BundleInstall, ManifestSizeThatCannotBeDeterminedIsReported) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":["pkg-a"]})"}});
    // Only the installer itself is traced, so the shell and tar seek as usual.
    RunResult r =
        install({"/tmp/bundle.tar.gz"},
                {.strace = {"-o", "/dev/null", "-e", "trace=lseek", "-e", "inject=lseek:error=EIO"},
                 // The leak checker cannot run under ptrace.
                 .env = {"LSAN_OPTIONS=detect_leaks=0"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to read manifest file\nUpdate failed\n");
    EXPECT_EQ(opkg_log(), "<no opkg run>");
}

TEST_F(BundleInstall, ManifestThatCannotBeOpenedIsReported) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", "->/nonexistent"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fopen: No such file or directory\nUpdate failed\n");
}

// Texts from the bundle and the command line reach the shell as single words.
TEST_F(BundleInstall, ElementsCannotInjectShellCommands) {
    make_bundle(
        "/tmp/bundle.tar.gz",
        {{"bundle/manifest.txt", R"j({"order":["a.ipk; touch /tmp/pwned","$(touch /tmp/pwned)",)j"
                                 R"j("it's `touch /tmp/pwned`",""]})j"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(opkg_log(),
              "[install][/tmp/update/bundle/a.ipk; touch /tmp/pwned]\n"
              "[install][/tmp/update/bundle/$(touch /tmp/pwned)]\n"
              "[install][/tmp/update/bundle/it's `touch /tmp/pwned`]\n"
              "[install][/tmp/update/bundle/]\n");
    EXPECT_FALSE(box.exists("/tmp/pwned"));
}

TEST_F(BundleInstall, ArchivePathWithBlanks) {
    make_bundle("/mnt/usb/my bundle.tar.gz", {{"my bundle/manifest.txt", R"({"order":["a b"]})"}});
    RunResult r = install({"/mnt/usb/my bundle.tar.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Found manifest file at: /tmp/update/my bundle/manifest.txt\n"),
              std::string::npos);
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/my bundle/a b]\n");
}

TEST_F(BundleInstall, TooLongTextsAreRefusedBeforeRunning) {
    const std::string long_name(520, 'p');
    const std::string quotes(200, '\'');
    struct Case {
        std::string element;
        std::string err;
    } cases[] = {
        {long_name, "Path too long: /tmp/update/bundle/" + long_name + "\n"},
        // The path fits, but not once every quote is escaped for the shell.
        {quotes, "Command too long: opkg install /tmp/update/bundle/" + quotes + "\n"},
    };
    for (const auto &c : cases) {
        make_bundle("/tmp/bundle.tar.gz",
                    {{"bundle/manifest.txt", "{\"order\":[\"" + c.element + "\",\"pkg-b\"]}"}});
        RunResult r = install({"/tmp/bundle.tar.gz"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err + "Failed to install " + c.element + "\nUpdate failed\n");
        EXPECT_EQ(opkg_log(), "<no opkg run>");
    }
}

TEST_F(BundleInstall, TooLongArchivePathIsRefusedBeforeRunning) {
    const std::string dir = "/mnt/usb/" + std::string(230, 'd') + "/" + std::string(230, 'e');
    const std::string archive = dir + "/b.tar.gz";
    make_bundle(archive, {{"b/manifest.txt", R"({"order":["pkg-a"]})"}});
    RunResult r = install({archive});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Command too long: mkdir -p /tmp/update && tar --no-same-permissions -xzvof " +
                         archive + " -C /tmp/update\nFailed to extract tar.gz file\n");
    EXPECT_FALSE(box.exists("/tmp/update/b"));
}

TEST_F(BundleInstall, PlantedUpdateDirectoryIsRefused) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":["pkg-a"]})"}});
    struct Case {
        const char *what;
        const char *setup;  // run on the host with $T the sandbox's /tmp
    } cases[] = {
        {"symlink", "mkdir \"$T/chosen\" && ln -s chosen \"$T/update\""},
        {"other owner", "mkdir \"$T/update\" && chown 1000:1000 \"$T/update\""},
        {"regular file", "touch \"$T/update\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string t = box.host("/tmp");
        ASSERT_EQ(
            zu_test::host_shell("T='" + t + "'; rm -rf \"$T/update\" \"$T/chosen\"; " + c.setup),
            0);
        RunResult r = install({"/tmp/bundle.tar.gz"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Refusing unsafe update directory: /tmp/update\n");
        EXPECT_FALSE(box.exists("/tmp/chosen/bundle"));
        EXPECT_FALSE(box.exists("/tmp/update/bundle"));
    }
}

TEST_F(BundleInstall, ExistingUpdateDirectoryOfRootIsReused) {
    box.mkdir("/tmp/update", 0700);
    box.write("/tmp/update/old/keep", "kept");
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":[]})"}});
    RunResult r = install({"/tmp/bundle.tar.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.read("/tmp/update/old/keep"), "kept");
}

TEST(BundleInstallFootprint, NeedsNoCxxRuntime) {
#ifdef ZU_SANITIZE
    GTEST_SKIP() << "the sanitizer build links its own runtime";
#else
    std::string out;
    FILE *pipe = ::popen((std::string("readelf -d '") + kProgram + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char chunk[4096];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        out.append(chunk, n);
    ASSERT_EQ(::pclose(pipe), 0);
    EXPECT_NE(out.find("(NEEDED)"), std::string::npos) << out;
    EXPECT_EQ(out.find("libstdc++"), std::string::npos) << out;
    EXPECT_EQ(out.find("libgcc_s"), std::string::npos) << out;
#endif
}

}  // namespace
}  // namespace bi_test
