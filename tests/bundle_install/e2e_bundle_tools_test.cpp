// The host tools for bundles: bundle-check must say what the installer really does with every
// bundle of our suite, and bundle-pack must build only bundles the device installs as intended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "shell_command.hpp"

namespace bi_test {
namespace {

constexpr const char *kCheck = BUNDLE_CHECK_PATH;
constexpr const char *kPack = BUNDLE_PACK_PATH;

// An opkg that behaves as the real one does about its file: a package that is not a regular file
// cannot be installed. Records each path followed by a NUL, since a path may hold any other byte.
const char *const kFileOpkg = R"(#!/bin/sh
printf '%s\0' "$2" >> /tmp/opkg.paths
[ -f "$2" ] || { echo "opkg: no package file" >&2; exit 1; }
exit 0
)";

std::string shell_word(const std::string &text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string every_byte(const std::string &except) {
    std::string bytes;
    for (int c = 1; c <= 255; ++c)
        if (except.find(static_cast<char>(c)) == std::string::npos)
            bytes += static_cast<char>(c);
    return bytes;
}

// Text after `label` up to the next line end, or "<none>".
std::string line_after(const std::string &text, const std::string &label) {
    auto at = text.find(label);
    if (at == std::string::npos)
        return "<none>";
    at += label.size();
    return text.substr(at, text.find('\n', at) - at);
}

// The commands bundle-check printed, in order (a command may hold line ends inside quotes).
std::vector<std::string> check_commands(const std::string &out) {
    std::vector<std::string> commands;
    const std::string label = "Command: ";
    for (auto at = out.find("\n" + label); at != std::string::npos;) {
        at += 1 + label.size();
        auto next = out.find("\n" + label, at);
        auto ok = out.find("\nOK: ", at);
        auto end = std::min(next, ok);
        commands.push_back(out.substr(at, (end == std::string::npos ? out.size() - 1 : end) - at));
        at = next;
    }
    return commands;
}

class BundleTools : public BundleInstall {
  protected:
    void SetUp() override {
        BundleInstall::SetUp();
        box.write("/stub/opkg", kFileOpkg, 0755);
        box.mkdir("/tmp/check", 0777);
    }

    // bundle-check as an ordinary user inside the sandbox: it must not need root, and it must
    // leave no trace, least of all the device's update directory.
    RunResult check(const std::string &archive, const std::string &cwd = "/") {
        RunResult r =
            box.run({kCheck, archive}, {.uid = 1000, .env = {"TMPDIR=/tmp/check"}, .cwd = cwd});
        EXPECT_FALSE(box.exists("/tmp/update")) << "bundle-check used the update directory";
        EXPECT_EQ(zu_test::host_shell("test -z \"$(ls -A '" + box.host("/tmp/check") + "')\""), 0)
            << "bundle-check left files behind";
        return r;
    }

    // Paths the package manager was called with, in order.
    std::vector<std::string> opkg_paths() {
        std::vector<std::string> paths;
        if (!box.exists("/tmp/opkg.paths"))
            return paths;
        std::string all = box.read("/tmp/opkg.paths");
        for (std::size_t at = 0; at < all.size();) {
            auto end = all.find('\0', at);
            paths.push_back(all.substr(at, end - at));
            at = end + 1;
        }
        return paths;
    }

    // Checks the bundle, then installs it, and holds the two against each other.
    void expect_agreement(const std::string &archive, const std::string &cwd = "/") {
        RunResult checked = check(archive, cwd);
        reset();
        box.remove("/tmp/opkg.paths");
        RunResult installed = install({archive}, {.cwd = cwd});
        EXPECT_EQ(checked.status, installed.status) << "check:\n"
                                                    << checked.out << checked.err << "install:\n"
                                                    << installed.out << installed.err;
        EXPECT_EQ(line_after(checked.out, "Manifest: "),
                  line_after(installed.out, "Found manifest file at: "));
        // What the installer ran is what the check listed, up to the installer's first failure.
        std::vector<std::string> listed = check_commands(checked.out);
        std::vector<std::string> ran = opkg_paths();
        ASSERT_LE(ran.size(), listed.size()) << checked.out;
        for (std::size_t i = 0; i < ran.size(); ++i) {
            char word[4 * kTextSize];
            ASSERT_EQ(shell_quote(ran[i], word, sizeof word), 0);
            EXPECT_EQ(listed[i], std::string("opkg install ") + word);
        }
        if (installed.status == 0) {
            EXPECT_EQ(ran.size(), listed.size());
            EXPECT_EQ(checked.err.find("Missing"), std::string::npos) << checked.err;
        } else {
            EXPECT_NE(checked.err, "");
        }
        reset();
        box.remove("/tmp/opkg.paths");
    }
};

struct AgreementCase {
    std::string what;
    std::string archive;
    BundleFiles files;
    std::string cwd = "/";
};

std::vector<AgreementCase> agreement_cases() {
    const std::string ok = R"({"order":["pkg-a"]})";
    std::vector<AgreementCase> cases = {
        {"two packages in order",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", R"({"version":"1.2","order":["pkg-b.ipk","pkg-a.ipk"]})"},
          {"bundle/pkg-a.ipk", "a"},
          {"bundle/pkg-b.ipk", "b"}}},
        {"nested elements, relative archive",
         "fw-1.2.tar.gz",
         {{"fw-1.2/manifest.txt", R"({"order":["sub/pkg-b","/pkg-c"]})"},
          {"fw-1.2/sub/pkg-b", "b"},
          {"fw-1.2/pkg-c", "c"}},
         "/mnt/usb"},
        {"relative argument through . and ..",
         "./sub/.././fw-1.2.tar.gz",
         {{"fw-1.2/manifest.txt", ok}, {"fw-1.2/pkg-a", "a"}},
         "/mnt/usb"},
        {"absolute argument climbing above its folder",
         "/mnt/usb/sub/../../usb/fw-1.2.tar.gz",
         {{"fw-1.2/manifest.txt", ok}}},
        {"nested elements missing",
         "/mnt/usb/fw-1.2.tar.gz",
         {{"fw-1.2/manifest.txt", R"({"order":["sub/pkg-b","/pkg-c"]})"}}},
        {"no manifest",
         "/tmp/bundle.tar.gz",
         {{"bundle/pkg-a.ipk", "a"}, {"bundle/manifest.json", "{}"}}},
        {"manifest read up to a NUL byte",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", std::string("{\"order\":[\"a\"]}\0garbage", 24)},
          {"bundle/a", "a"}}},
        {"element not a string after a good one",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", R"({"order":["pkg-a",5,"pkg-c"]})"},
          {"bundle/pkg-a", "a"},
          {"bundle/pkg-c", "c"}}},
        {"second of three missing",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", R"({"order":["pkg-a","sub/pkg-b","pkg-c"]})"},
          {"bundle/pkg-a", "a"},
          {"bundle/pkg-c", "c"}}},
        {"empty order", "/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":[]})"}}},
        {"archive renamed away from its folder",
         "/tmp/bundle-v2.tar.gz",
         {{"bundle/manifest.txt", ok}, {"bundle/pkg-a", "a"}}},
        {"manifest elsewhere, packages in the named folder",
         "/tmp/bundle.tar.gz",
         {{"other/manifest.txt", ok}, {"bundle/pkg-a", "a"}}},
        {"manifest that is a link inside the bundle",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", "->../meta/order.json"},
          {"meta/order.json", ok},
          {"bundle/pkg-a", "a"}}},
        {"linked directory not searched",
         "/tmp/bundle.tar.gz",
         {{"bundle/link", "->/mnt/usb/elsewhere"}}},
        {"manifest linked to a directory",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", "->/tmp"}}},
        {"manifest linked to nothing",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", "->/nonexistent"}}},
        {"package that is a folder",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", R"({"order":["pkg-a",""]})"}, {"bundle/pkg-a/x", "a"}}},
        {"elements that would be shell code",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", R"j({"order":["a.ipk; touch /tmp/pwned","$(touch /tmp/pwned)",)j"
                                  R"j("it's `touch /tmp/pwned`"]})j"},
          {"bundle/a.ipk; touch ", "x"},
          {"bundle/it's `touch ", "x"}}},
        {"archive and package with blanks",
         "/mnt/usb/my bundle.tar.gz",
         {{"my bundle/manifest.txt", R"({"order":["a b"]})"}, {"my bundle/a b", "x"}}},
        {"package path too long",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", json_order({std::string(520, 'p'), "pkg-b"})}}},
        {"install command too long",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", json_order({std::string(200, '\''), "pkg-b"})},
          {"bundle/" + std::string(200, '\''), "x"}}},
        {"elements holding every byte",
         "/tmp/bundle.tar.gz",
         {{"bundle/manifest.txt", json_order({every_byte(""), "x|touch /tmp/canary"})}}},
    };
    for (const std::string &base :
         {every_byte("/\n").substr(0, 126), every_byte("/\n").substr(126),
          std::string("x$(touch canary)';touch canary;'`touch canary`"), std::string("-rf")}) {
        cases.push_back({"archive name " + base,
                         "/mnt/usb/" + base + ".tar.gz",
                         {{"manifest.txt", ok}, {base + "/pkg-a", "a"}}});
    }
    // Unpack commands around the device's 511 characters: the argument reaches the installer as
    // given, so the check's command is exactly as long as the device's.
    for (std::size_t length : {459, 460, 462, 463}) {
        std::string archive = "/mnt/usb/" + std::string(200, 'd') + "/";
        std::string base(length - archive.size() - 7, 'u');
        cases.push_back({"archive argument of " + std::to_string(length),
                         archive + base + ".tar.gz",
                         {{base + "/manifest.txt", R"({"order":[]})"}}});
    }
    // The deepest trees of the suite: a manifest path of 511 characters is found, 512 is not.
    std::string dir = "bundle";
    for (int level = 2; level < 64; ++level) {
        char name[8];
        std::snprintf(name, sizeof name, "/dir-%02d", level);
        dir += name;
    }
    for (std::size_t length : {511, 512}) {
        std::string last(length - std::string("/tmp/update/").size() - dir.size() - 2 - 12, 'm');
        cases.push_back({"manifest path of " + std::to_string(length),
                         "/tmp/bundle.tar.gz",
                         {{dir + "/" + last + "/manifest.txt", ok}, {"bundle/pkg-a", "a"}}});
    }
    return cases;
}

TEST_F(BundleTools, CheckAgreesWithTheInstaller) {
    for (const AgreementCase &c : agreement_cases()) {
        SCOPED_TRACE(c.what);
        make_bundle(c.archive[0] == '/' ? c.archive : c.cwd + "/" + c.archive, c.files);
        expect_agreement(c.archive, c.cwd);
    }
}

TEST_F(BundleTools, CheckAgreesOnManifestFailures) {
    for (const char *manifest : {"{\"order\":", "[\"a\",\"b\"]", "", "{\"other\":[\"a\"]}",
                                 "{\"Order\":[\"a\"]}", "{\"order\":{\"a\":\"b\"}}",
                                 "{\"order\":\"a\"}", "{\"order\":5}", "{\"order\":[null]}"}) {
        SCOPED_TRACE(manifest);
        make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", manifest}});
        expect_agreement("/tmp/bundle.tar.gz");
    }
}

TEST_F(BundleTools, CheckAgreesOnBrokenArchivesAndFifos) {
    box.write("/tmp/bundle.tar.gz", "this is not gzip data\n");
    expect_agreement("/tmp/bundle.tar.gz");
    std::string archive = box.host("/tmp/fifo.tar.gz");
    ASSERT_EQ(zu_test::host_shell("d=$(mktemp -d) && mkdir \"$d/fifo\" && "
                                  "mkfifo \"$d/fifo/manifest.txt\" && tar -czf '" +
                                  archive + "' -C \"$d\" fifo && rm -rf \"$d\""),
              0);
    expect_agreement("/tmp/fifo.tar.gz");
}

// The device reads as root what an ordinary user could not; so must the check.
TEST_F(BundleTools, CheckAgreesOnClosedFoldersAndFiles) {
    std::string archive = box.host("/tmp/closed.tar.gz");
    ASSERT_EQ(
        zu_test::host_shell("d=$(mktemp -d) && mkdir -p \"$d/closed/locked\" && "
                            "echo '{\"order\":[\"pkg-a\"]}' > \"$d/closed/locked/manifest.txt\" && "
                            "echo a > \"$d/closed/pkg-a\" && chmod 0 \"$d/closed/pkg-a\" "
                            "\"$d/closed/locked/manifest.txt\" \"$d/closed/locked\" && "
                            "tar -czf '" +
                            archive + "' -C \"$d\" closed && rm -rf \"$d\""),
        0);
    RunResult r = check("/tmp/closed.tar.gz");
    EXPECT_EQ(r.status, 0) << r.err;
    expect_agreement("/tmp/closed.tar.gz");
}

TEST_F(BundleTools, CheckAgreesOnTenThousandEntries) {
    BundleFiles files = package_grid();
    for (const char *decoy : {"Manifest.txt", "manifest.txt~", "manifest.txt/readme"})
        files.push_back({std::string("bundle/d13/") + decoy, R"({"order":["decoy"]})"});
    files.push_back({"bundle/d57/deeper/manifest.txt", R"({"order":["d00/pkg-00.ipk"]})"});
    make_bundle("/tmp/bundle.tar.gz", files);
    expect_agreement("/tmp/bundle.tar.gz");
}

// The whole report for a good bundle and for one whose archive was renamed.
TEST_F(BundleTools, CheckReportsCommandsAndProblems) {
    make_bundle("/tmp/fw.tar.gz", {{"fw-1.2/manifest.txt", R"({"order":["b c.ipk","a.ipk"]})"},
                                   {"fw-1.2/b c.ipk", "b"}});
    ASSERT_EQ(zu_test::host_shell("cp " + shell_word(box.host("/tmp/fw.tar.gz")) + " " +
                                  shell_word(box.host("/tmp/fw-1.2.tar.gz"))),
              0);
    RunResult good = check("/tmp/fw-1.2.tar.gz");
    EXPECT_EQ(good.status, 1);
    EXPECT_EQ(good.out,
              "Signature: not checked (no -P KEYFOLDER)\n"
              "Manifest: /tmp/update/fw-1.2/manifest.txt\n"
              "Package folder: /tmp/update/fw-1.2\n"
              "Command: opkg install '/tmp/update/fw-1.2/b c.ipk'\n"
              "Command: opkg install /tmp/update/fw-1.2/a.ipk\n");
    EXPECT_EQ(good.err,
              "Missing package: /tmp/update/fw-1.2/a.ipk\n"
              "Failed to install a.ipk\n"
              "Update failed\n");

    RunResult renamed = check("/tmp/fw.tar.gz");
    EXPECT_EQ(renamed.status, 1);
    EXPECT_EQ(renamed.out,
              "Signature: not checked (no -P KEYFOLDER)\n"
              "Manifest: /tmp/update/fw-1.2/manifest.txt\n"
              "Package folder: /tmp/update/fw\n"
              "Command: opkg install '/tmp/update/fw/b c.ipk'\n");
    EXPECT_EQ(renamed.err,
              "Missing package: /tmp/update/fw/b c.ipk\n"
              "Failed to install b c.ipk\n"
              "Update failed\n"
              "Hint: the manifest lies in /tmp/update/fw-1.2, but packages are taken from "
              "/tmp/update/fw, the folder named after the bundle's file name\n");

    // The device's /tmp lists the newest entry of a folder first: "two/old" was made last.
    make_bundle("/tmp/two.tar.gz", {{"two/manifest.txt", R"({"order":["a"]})"},
                                    {"two/a", "a"},
                                    {"two/old/manifest.txt", R"({"order":["b"]})"},
                                    {"two/old/b", "b"}});
    RunResult two = check("/tmp/two.tar.gz");
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.out,
              "Signature: not checked (no -P KEYFOLDER)\n"
              "Manifest: /tmp/update/two/old/manifest.txt\n"
              "Package folder: /tmp/update/two\n"
              "Command: opkg install /tmp/update/two/b\n");
    EXPECT_EQ(two.err,
              "Missing package: /tmp/update/two/b\n"
              "Failed to install b\n"
              "Update failed\n"
              "Warning: 2 files named manifest.txt; the device takes "
              "/tmp/update/two/old/manifest.txt, the first its search finds (/tmp lists the "
              "newest entry of a folder first)\n"
              "Warning: also /tmp/update/two/manifest.txt\n"
              "Hint: the manifest lies in /tmp/update/two/old, but packages are taken from "
              "/tmp/update/two, the folder named after the bundle's file name\n");
    RunResult none = check("/tmp/none.tar.gz");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "bundle-check: cannot read /tmp/none.tar.gz: No such file or directory\n");
}

// A device's /tmp/update keeps what earlier bundles left; the check starts from an empty one and
// leaves this machine's alone.
TEST_F(BundleTools, CheckSeesNoLeftoversAndLeavesTheUpdateDirectoryAlone) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/pkg-a", "a"}});
    box.write("/tmp/update/old/manifest.txt", R"({"order":[]})");
    box.mkdir("/tmp/update", 0777);
    RunResult r = box.run({kCheck, "/tmp/bundle.tar.gz"}, {.uid = 1000});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Signature: not checked (no -P KEYFOLDER)\n");
    EXPECT_EQ(r.err, "Failed to find manifest file\n");
    EXPECT_EQ(zu_test::host_shell("cd " + shell_word(box.host("/tmp/update")) +
                                  " && test \"$(find . | sort | tr '\\n' ' ')\" = "
                                  "'. ./old ./old/manifest.txt '"),
              0);
}

// Bundles on which a build host's GNU tar and the device's BusyBox tar disagree, from
// odd_bundles.py; the answers are what the emulated router does with each.
struct DeviceVerdict {
    std::string name;
    int status;
    std::string manifest;  // "" when the device finds none
    std::vector<std::string> commands;
    std::string first_error;  // the report's first line on standard error
};

std::vector<DeviceVerdict> device_verdicts() {
    auto install = [](const std::string &path) { return "opkg install /tmp/update/" + path; };
    return {
        {"two-manifests",
         1,
         "/tmp/update/other/manifest.txt",
         {install("two/b.ipk")},
         "Missing package: /tmp/update/two/b.ipk"},
        {"gnu-sparse", 1, "", {}, "tar: unknown typeflag: 0x53"},
        {"pax-sparse",
         1,
         "/tmp/update/psparse/manifest.txt",
         {install("psparse/a.ipk")},
         "Missing package: /tmp/update/psparse/a.ipk"},
        {"zip-named-tar-gz", 1, "", {}, "tar: invalid magic"},
        {"typeflag-A", 1, "", {}, "tar: unknown typeflag: 0x41"},
        {"typeflag-N", 1, "", {}, "tar: unknown typeflag: 0x4e"},
        {"dotdot-member",
         0,
         "/tmp/update/dotdot/manifest.txt",
         {install("dotdot/a.ipk")},
         "tar: removing leading 'dotdot/../../' from member names"},
        {"trailing-garbage", 0, "/tmp/update/garbage/manifest.txt", {install("garbage/a.ipk")}, ""},
        {"char-device", 0, "/tmp/update/chr/manifest.txt", {install("chr/a.ipk")}, ""},
        {"climbing-element",
         0,
         "/tmp/update/fw/manifest.txt",
         {install("fw/../../../tmp/update/fw/a.ipk")},
         ""},
        {"manifest-link-into-update",
         0,
         "/tmp/update/linked/manifest.txt",
         {install("linked/a.ipk")},
         ""},
        {"failure-stops-the-run",
         1,
         "/tmp/update/stop/manifest.txt",
         {install("stop/a.ipk"), install("stop/b.ipk")},
         "Missing package: /tmp/update/stop/b.ipk"},
        {"dot-member-by-user", 0, "/tmp/update/dot/manifest.txt", {install("dot/a.ipk")}, ""},
    };
}

// Checked as an ordinary user, the device's verdict for each: its manifest, the commands it runs
// (none after the first failure) and its exit status.
TEST_F(BundleTools, CheckGivesTheDevicesVerdictWhereHostTarDisagrees) {
    ASSERT_EQ(zu_test::host_shell("python3 " + shell_word(ODD_BUNDLES_SCRIPT) + " " +
                                  shell_word(box.host("/tmp/usb"))),
              0);
    std::string listed = box.read("/tmp/usb/cases");
    std::vector<DeviceVerdict> verdicts = device_verdicts();
    std::size_t rows = 0;
    for (std::size_t at = 0; at < listed.size(); at = listed.find('\n', at) + 1, ++rows) {
        std::string line = listed.substr(at, listed.find('\n', at) - at);
        std::string name = line.substr(0, line.find(' '));
        SCOPED_TRACE(name);
        auto verdict = std::find_if(verdicts.begin(), verdicts.end(),
                                    [&](const DeviceVerdict &v) { return v.name == name; });
        ASSERT_NE(verdict, verdicts.end());
        RunResult r = check("/tmp/usb/" + line.substr(line.find(' ') + 1));
        EXPECT_EQ(r.status, verdict->status) << r.out << r.err;
        EXPECT_EQ(line_after(r.out, "Manifest: "),
                  verdict->manifest.empty() ? "<none>" : verdict->manifest);
        EXPECT_EQ(check_commands(r.out), verdict->commands) << r.out;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), verdict->first_error) << r.err;
        if (verdict->status == 0) {
            EXPECT_NE(r.out.find("\nOK: the device would install every package ("),
                      std::string::npos);
        } else if (verdict->manifest.empty()) {
            EXPECT_NE(r.err.find("\nFailed to extract tar.gz file\n"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(rows, verdicts.size());
}

// Without its sandbox the check cannot give the device's verdict: it says so and exits 2.
TEST_F(BundleTools, CheckCannotRunWithoutItsTools) {
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":[]})"}});
    ASSERT_EQ(zu_test::host_shell(
                  "mkdir -p " + shell_word(box.host("/only-bwrap")) + " " +
                  shell_word(box.host("/only-busybox")) + " " + shell_word(box.host("/lonely")) +
                  " && ln -s /usr/bin/bwrap " + shell_word(box.host("/only-bwrap/bwrap")) +
                  " && ln -s /usr/bin/busybox " + shell_word(box.host("/only-busybox/busybox")) +
                  " && cp " + shell_word(kCheck) + " " + shell_word(box.host("/lonely"))),
              0);
    struct Case {
        std::string program;
        std::string path;
        std::string missing;
    } cases[] = {
        {kCheck, "/only-bwrap", "busybox"},
        {kCheck, "/only-busybox", "bwrap (bubblewrap)"},
        {box.host("/lonely/bundle-check"), "/usr/bin", "bundle-install beside bundle-check"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.missing);
        RunResult r = box.run({c.program, "/tmp/bundle.tar.gz"}, {.uid = 1000, .path = c.path});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "bundle-check: cannot run the check: no " + c.missing + " found\n");
    }
}

// A link out of the bundle points at whatever the device holds there: nothing to vouch for.
TEST_F(BundleTools, CheckRefusesLinksOutOfTheBundle) {
    box.write("/mnt/usb/pkg", "p");
    make_bundle("/tmp/bundle.tar.gz", {{"bundle/manifest.txt", R"({"order":["pkg-a"]})"},
                                       {"bundle/pkg-a", "->/mnt/usb/pkg"}});
    RunResult r = check("/tmp/bundle.tar.gz");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Package /tmp/update/bundle/pkg-a leads out of the bundle\n"
              "Failed to install pkg-a\n"
              "Update failed\n");
}

struct PackRun {
    int status;
    std::string out;
    std::string err;
};

class BundlePack : public BundleTools {
  protected:
    // Runs bundle-pack on the host (it touches no system path) in the sandbox's /src, after the
    // shell words in `before` (environment settings, a tracer).
    PackRun pack(const std::vector<std::string> &args, const std::string &before = "") {
        std::string command =
            "cd " + shell_word(box.host("/src")) + " && " + before + " " + shell_word(kPack);
        for (const auto &arg : args)
            command += ' ' + shell_word(arg);
        command +=
            " > " + shell_word(box.host("/pack.out")) + " 2> " + shell_word(box.host("/pack.err"));
        // Through a script: thousands of names would not fit one argument of `sh -c`.
        box.write("/pack.sh", command + "\n");
        int status = zu_test::host_shell("sh " + shell_word(box.host("/pack.sh")));
        return {status, box.read("/pack.out"), box.read("/pack.err")};
    }

    // What /src holds, one name a line: a refused or failed run adds nothing, not even a
    // temporary file.
    std::string src_listing() {
        EXPECT_EQ(zu_test::host_shell("ls -A " + shell_word(box.host("/src")) + " > " +
                                      shell_word(box.host("/listing"))),
                  0);
        return box.read("/listing");
    }

    // Every member as the given tar unpacks it as root (owners restored): "uid:gid mode path".
    std::string unpacked(const std::string &archive, const std::string &tar) {
        const std::string out = box.root() + "/unpacked";
        EXPECT_EQ(zu_test::host_shell("rm -rf " + shell_word(out) + " && mkdir " + shell_word(out) +
                                      " && " + tar + " -xzf " + shell_word(archive) + " -C " +
                                      shell_word(out) + " && cd " + shell_word(out) +
                                      " && find . -mindepth 1 -printf '%U:%G %m %p\\n' | sort > " +
                                      shell_word(box.root() + "/unpacked.list")),
                  0)
            << tar;
        return zu_test::read_host_file(box.root() + "/unpacked.list");
    }
};

// Names that an option parser or a remote-archive rule would have misread go in as files.
TEST_F(BundlePack, PackedBundleChecksAndInstallsInTheGivenOrder) {
    box.write("/src/b c.ipk", "package b");
    box.write("/src/sub/it's.ipk", "package a");
    box.write("/src/-x.ipk", "package x", 0755);
    box.mkdir("/src/host:dir");
    struct Case {
        std::string output;  // inside /src
        std::string archive;
        bool busybox;  // the installer unpacks with the device's tar
    } cases[] = {
        {box.host("/mnt/usb/fw-1.2.tar.gz"), "/mnt/usb/fw-1.2.tar.gz", false},
        {"host:dir/fw-1.2.tar.gz", "/src/host:dir/fw-1.2.tar.gz", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.output);
        PackRun p = pack({"-o", c.output, "b c.ipk", "sub/it's.ipk", "-x.ipk"});
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_EQ(p.out, c.output + ": folder fw-1.2, 3 packages\n");
        EXPECT_EQ(p.err, "");
        // Sorted by name, owned by root, fixed modes whatever the files' own.
        const std::string expected =
            "0:0 644 ./fw-1.2/-x.ipk\n"
            "0:0 644 ./fw-1.2/b c.ipk\n"
            "0:0 644 ./fw-1.2/it's.ipk\n"
            "0:0 644 ./fw-1.2/manifest.txt\n"
            "0:0 755 ./fw-1.2\n";
        EXPECT_EQ(unpacked(box.host(c.archive), "tar"), expected);
        EXPECT_EQ(unpacked(box.host(c.archive), "busybox tar"), expected);
        EXPECT_EQ(zu_test::host_shell("tar -tzf " + shell_word(box.host(c.archive)) + " > " +
                                      shell_word(box.host("/list"))),
                  0);
        EXPECT_EQ(box.read("/list"),
                  "fw-1.2/\nfw-1.2/-x.ipk\nfw-1.2/b c.ipk\nfw-1.2/it's.ipk\n"
                  "fw-1.2/manifest.txt\n");

        RunResult checked = check(c.archive);
        EXPECT_EQ(checked.status, 0) << checked.err;
        EXPECT_EQ(checked.out,
                  "Signature: not checked (no -P KEYFOLDER)\n"
                  "Manifest: /tmp/update/fw-1.2/manifest.txt\n"
                  "Package folder: /tmp/update/fw-1.2\n"
                  "Command: opkg install '/tmp/update/fw-1.2/b c.ipk'\n"
                  "Command: opkg install '/tmp/update/fw-1.2/it'\\''s.ipk'\n"
                  "Command: opkg install /tmp/update/fw-1.2/-x.ipk\n"
                  "OK: the device would install every package (3)\n");
        box.remove("/tmp/opkg.paths");
        box.remove("/stub/tar");
        if (c.busybox) {
            ASSERT_EQ(::symlink("/usr/bin/busybox", box.host("/stub/tar").c_str()), 0);
        }
        RunResult installed = install({c.archive});
        EXPECT_EQ(installed.status, 0) << installed.err;
        EXPECT_EQ(opkg_paths(), (std::vector<std::string>{"/tmp/update/fw-1.2/b c.ipk",
                                                          "/tmp/update/fw-1.2/it's.ipk",
                                                          "/tmp/update/fw-1.2/-x.ipk"}));
        EXPECT_EQ(box.read("/tmp/update/fw-1.2/it's.ipk"), "package a");
        EXPECT_EQ(box.read("/tmp/update/fw-1.2/manifest.txt"),
                  "{\"order\":[\"b c.ipk\",\"it's.ipk\",\"-x.ipk\"]}\n");
        reset();
    }
}

// The same inputs give the same bytes: no time, owner, mode or order of this machine gets in.
TEST_F(BundlePack, SameInputsGiveTheSameBytes) {
    box.write("/src/b.ipk", "package b");
    box.write("/src/a.ipk", std::string(100000, 'a'));
    ASSERT_EQ(pack({"-o", "one.tar.gz", "b.ipk", "a.ipk"}).status, 0);
    const std::string first = box.read("/src/one.tar.gz");
    // gzip's header: no file name, time 0.
    EXPECT_EQ(first.substr(0, 8), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8));

    ::sleep(1);
    ASSERT_EQ(zu_test::host_shell("cd " + shell_word(box.host("/src")) +
                                  " && touch a.ipk && chmod 600 b.ipk && chown 1000:1000 b.ipk"),
              0);
    ASSERT_EQ(pack({"-o", "one.tar.gz", "b.ipk", "a.ipk"}, "umask 077;").status, 0);
    EXPECT_EQ(box.read("/src/one.tar.gz"), first);

    struct Case {
        const char *epoch;
        std::string time;  // as tar lists it
        std::string err;
    } cases[] = {
        {"1700000000", "2023-11-14 22:13:20", ""},
        {"0", "1970-01-01 00:00:00", ""},
        {"8589934591", "2242-03-16 12:56:31", ""},
        {"8589934592", "1970-01-01 00:00:00",
         "bundle-pack: SOURCE_DATE_EPOCH is not a number of seconds; using 0\n"},
        {"17e8", "1970-01-01 00:00:00",
         "bundle-pack: SOURCE_DATE_EPOCH is not a number of seconds; using 0\n"},
        {"", "1970-01-01 00:00:00",
         "bundle-pack: SOURCE_DATE_EPOCH is not a number of seconds; using 0\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.epoch);
        PackRun p = pack({"-o", "e.tar.gz", "b.ipk"}, "SOURCE_DATE_EPOCH=" + shell_word(c.epoch));
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, c.err);
        ASSERT_EQ(
            zu_test::host_shell("TZ=UTC tar -tvzf " + shell_word(box.host("/src/e.tar.gz")) +
                                " --full-time --numeric-owner > " + shell_word(box.host("/list"))),
            0);
        EXPECT_EQ(box.read("/list"), "drwxr-xr-x 0/0               0 " + c.time + " e/\n" +
                                         "-rw-r--r-- 0/0               9 " + c.time + " e/b.ipk\n" +
                                         "-rw-r--r-- 0/0              20 " + c.time +
                                         " e/manifest.txt\n");
    }
}

TEST_F(BundlePack, RefusesWhatTheDeviceWouldNotInstallAsIntended) {
    box.write("/src/a.ipk", "a");
    box.write("/src/other/a.ipk", "a2");
    box.write("/src/manifest.txt", "{}");
    box.write("/src/pkg.tar.gz", "a package that looks like a bundle");
    ASSERT_EQ(zu_test::host_shell("cd " + shell_word(box.host("/src")) +
                                  " && ln a.ipk hard.tar.gz && ln -s a.ipk soft.tar.gz"),
              0);
    box.mkdir("/src/dir");
    ASSERT_EQ(zu_test::host_shell("mkfifo " + shell_word(box.host("/src/fifo"))), 0);
    const std::string long_base(248, 'b');
    const std::string long_name(255, 'p');
    const std::string name_101(101, 'n');
    const std::string quotes(200, '\'');
    // The device's unpack command for this name is 521 characters, its install command 473.
    const std::string quoted_output = std::string(110, '\'') + ".tar.gz";
    const std::string base_156(156, 'b');
    for (const std::string &name : {long_name, name_101, quotes})
        box.write("/src/" + name, "p");
    // 10,180 names of 100 characters and one of `last` make a manifest of 1,048,555 + `last`
    // bytes: the quoted names, their commas and the object around them.
    std::vector<std::string> many;
    for (int i = 0; i < 10180; ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%05d", i);
        many.push_back("m/" + std::string(prefix) + std::string(95, 'x'));
        box.write("/src/" + many.back(), "");
    }
    const auto with_last = [&many](std::size_t last) {
        std::vector<std::string> args = many;
        args.push_back("m/" + std::string(last, 'l'));
        return args;
    };
    box.write("/src/m/" + std::string(21, 'l'), "");
    box.write("/src/m/" + std::string(22, 'l'), "");
    const std::string listing = src_listing();
    struct Case {
        std::string output;
        std::vector<std::string> packages;
        std::string err;
    } cases[] = {
        {".tar.gz",
         {"a.ipk"},
         "bundle-pack: .tar.gz: the file name leaves no base name, so the device would take "
         "packages from /tmp/update/ itself\n"},
        {"out/.gz",
         {"a.ipk"},
         "bundle-pack: out/.gz: the file name leaves no base name, so the "
         "device would take packages from /tmp/update/ itself\n"},
        {"b.tar.gz",
         {"a.ipk", "other/a.ipk"},
         "bundle-pack: other/a.ipk: a second package named a.ipk\n"},
        {"b.tar.gz",
         {"dir", "fifo", "none.ipk", "manifest.txt", "dir/"},
         "bundle-pack: dir: not a readable regular file\n"
         "bundle-pack: fifo: not a readable regular file\n"
         "bundle-pack: none.ipk: not a readable regular file (No such file or directory)\n"
         "bundle-pack: manifest.txt: the file name would be taken for the bundle's "
         "manifest.txt\n"
         "bundle-pack: dir/: the file name names no file\n"},
        {long_base + ".tar.gz",
         {long_name},
         "bundle-pack: " + long_base + ".tar.gz: the base name " + long_base +
             " is too long for a tar header\n"
             "bundle-pack: " +
             long_name + ": the path /tmp/update/" + long_base + "/" + long_name +
             " would exceed the device's 511 characters\n"
             "bundle-pack: " +
             long_name + ": the name " + long_base + "/" + long_name +
             " is too long for a tar header\n"},
        {"b.tar.gz",
         {name_101},
         "bundle-pack: " + name_101 + ": the name b/" + name_101 +
             " is too long for a tar header\n"},
        {base_156 + ".tar.gz",
         {"a.ipk"},
         "bundle-pack: " + base_156 + ".tar.gz: the base name " + base_156 +
             " is too long for a tar header\n"
             "bundle-pack: a.ipk: the name " +
             base_156 + "/a.ipk is too long for a tar header\n"},
        {"b.tar.gz",
         {quotes},
         "Command too long: opkg install /tmp/update/b/" + quotes + "\nbundle-pack: " + quotes +
             ": the device's install command would not fit its 511 characters\n" + "bundle-pack: " +
             quotes + ": the name b/" + quotes + " is too long for a tar header\n"},
        {quoted_output,
         {"a.ipk"},
         "Command too long: mkdir -p /tmp/update && tar --no-same-permissions -xzvof " +
             quoted_output + " -C /tmp/update\nbundle-pack: " + quoted_output +
             ": the device's unpack command would not fit its 511 characters\n"},
        {"big.tar.gz", with_last(22),
         "bundle-pack: big.tar.gz: the manifest would be 1048577 bytes, more than the device "
         "reads (1048576)\n"},
        // An output that is one of the inputs, by name, by hard link or through a link.
        {"pkg.tar.gz",
         {"a.ipk", "pkg.tar.gz"},
         "bundle-pack: pkg.tar.gz: is the package pkg.tar.gz itself\n"},
        {"./dir/../pkg.tar.gz",
         {"pkg.tar.gz"},
         "bundle-pack: ./dir/../pkg.tar.gz: is the package pkg.tar.gz itself\n"},
        {"hard.tar.gz", {"a.ipk"}, "bundle-pack: hard.tar.gz: is the package a.ipk itself\n"},
        {"soft.tar.gz", {"a.ipk"}, "bundle-pack: soft.tar.gz: is the package a.ipk itself\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err.substr(0, 200));
        std::vector<std::string> args = {"-o", c.output};
        args.insert(args.end(), c.packages.begin(), c.packages.end());
        PackRun p = pack(args);
        EXPECT_EQ(p.status, 1);
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(src_listing(), listing);
    }
    EXPECT_EQ(box.read("/src/pkg.tar.gz"), "a package that looks like a bundle");
    EXPECT_EQ(box.read("/src/a.ipk"), "a");
    PackRun usage = pack({"a.ipk"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.err, "Usage: bundle-pack -o OUTPUT.tar.gz PACKAGE...\n");

    // A byte less is what the device still reads.
    std::vector<std::string> args = {"-o", "big.tar.gz"};
    for (const std::string &name : with_last(21))
        args.push_back(name);
    PackRun fits = pack(args);
    EXPECT_EQ(fits.status, 0) << fits.err;
    ASSERT_EQ(zu_test::host_shell("tar -xzOf " + shell_word(box.host("/src/big.tar.gz")) +
                                  " big/manifest.txt > " + shell_word(box.host("/manifest"))),
              0);
    EXPECT_EQ(box.read("/manifest").size(), 1048576u);
}

// Whatever happens to the run, the output's name holds the old archive or the whole new one.
TEST_F(BundlePack, FailedOrInterruptedRunLeavesNoHalfArchive) {
    box.write("/src/a.ipk", std::string(200000, 'a'));
    box.write("/src/b.tar.gz", "old archive");
    const std::string listing = src_listing();
    // The leak checker cannot stop the world under ptrace.
    const std::string traced = "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=write ";
    struct Case {
        const char *what;
        std::string inject;
        int status;
        std::string err;
        bool temp_left;  // a killed run cannot clean up: a temporary file, never the output
    } cases[] = {
        {"disk full", "-e inject=write:error=ENOSPC:when=1", 1,
         "bundle-pack: cannot write b.tar.gz: No space left on device\n", false},
        // The shell running the test's script says how the tool ended.
        {"terminated", "-e inject=write:signal=SIGTERM:when=1", 128 + 15, "Terminated\n", false},
        {"killed", "-e inject=write:signal=SIGKILL:when=1", 128 + 9, "Killed\n", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PackRun p = pack({"-o", "b.tar.gz", "a.ipk"}, traced + c.inject);
        EXPECT_EQ(p.status, c.status);
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(box.read("/src/b.tar.gz"), "old archive");
        if (c.temp_left) {
            EXPECT_NE(src_listing(), listing);
            ASSERT_EQ(zu_test::host_shell("rm " + shell_word(box.host("/src")) + "/.bundle-pack.*"),
                      0);
        }
        EXPECT_EQ(src_listing(), listing) << "a temporary file was left";
    }

    PackRun good = pack({"-o", "b.tar.gz", "a.ipk"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(check("/src/b.tar.gz").status, 0);
}

}  // namespace
}  // namespace bi_test
