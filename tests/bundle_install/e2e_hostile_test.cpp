// Bundles built to hurt: huge manifests, deep and wide trees, and texts holding every byte. The
// installer must end each with a clear message and status, run no text as code, and hand the
// package manager exactly the intended argument.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace bi_test {
namespace {

constexpr const char *kArchive = "/tmp/bundle.tar.gz";
constexpr const char *kCanary = "/tmp/canary";

// Every byte from 1 to 255, in order, less those listed.
std::string every_byte(const std::string &except = "") {
    std::string bytes;
    for (int c = 1; c <= 255; ++c)
        if (except.find(static_cast<char>(c)) == std::string::npos)
            bytes += static_cast<char>(c);
    return bytes;
}

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

using Hostile = BundleInstall;

// Manifests of exactly the largest size read, 1 MiB, and one byte more, which is refused before
// parsing: a bigger text could grow past what a message buffer can hold.
TEST_F(Hostile, ManifestsOfOneMegabyte) {
    constexpr std::size_t kMegabyte = 1 << 20;
    // The object's text, blanks before its closing brace to make it `size` bytes long.
    const auto sized = [](const std::string &open, std::size_t size) {
        return open + std::string(size - open.size() - 1, ' ') + "}";
    };
    std::string names;
    std::size_t count = 0;
    while (names.size() < kMegabyte - 64) {
        char name[16];
        ++count;
        std::snprintf(name, sizeof name, "%s\"p%06zu\"", count > 1 ? "," : "", count);
        names += name;
    }
    // "0," is the text that grows most: 2 bytes become a 12-byte attribute.
    std::string zeros = "0";
    while (zeros.size() < kMegabyte - 64)
        zeros += ",0";
    const std::string huge(kMegabyte - 64, 'x');
    const std::string nested(kMegabyte / 2 - 32, '[');
    struct Case {
        const char *what;
        std::string manifest;
        std::string err;
        std::string log;
    } cases[] = {
        {"big ignored member", sized("{\"blob\":\"" + huge + "\",\"order\":[\"pkg-a\"]", kMegabyte),
         "", "[install][/tmp/update/bundle/pkg-a]\n"},
        {"six-fold growth", sized("{\"order\":[\"pkg-a\"],\"z\":[" + zeros + "]", kMegabyte), "",
         "[install][/tmp/update/bundle/pkg-a]\n"},
        // The package manager refuses the third of about 100,000 names: the walk stops there.
        {"order of 100,000 names", sized("{\"order\":[" + names + "]", kMegabyte),
         "opkg: cannot install p000003\nFailed to install p000003\nUpdate failed\n",
         "[install][/tmp/update/bundle/p000001]\n"
         "[install][/tmp/update/bundle/p000002]\n"
         "[install][/tmp/update/bundle/p000003]\n"},
        {"order of 100,000 names, one byte more",
         sized("{\"order\":[" + names + "]", kMegabyte + 1),
         "Failed to read manifest file\nUpdate failed\n", "<no opkg run>"},
        {"one name of a megabyte", sized("{\"order\":[\"" + huge + "\",\"pkg-a\"]", kMegabyte),
         "Path too long: /tmp/update/bundle/" + huge + "\nFailed to install " + huge +
             "\nUpdate failed\n",
         "<no opkg run>"},
        // Nesting this deep must not exhaust the stack: the parser refuses it.
        {"nested half a million deep",
         sized("{\"order\":[],\"deep\":" + nested + std::string(nested.size(), ']'), kMegabyte),
         "Failed to parse JSON manifest\nUpdate failed\n", "<no opkg run>"},
    };
    box.write("/stub/fail", "p000003\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        make_bundle(kArchive, {{"bundle/manifest.txt", c.manifest}});
        RunResult r = install({kArchive});
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(opkg_log(), c.log);
        reset();
    }
}

// 64 directories deep, one open per level. Paths up to 511 characters are searched; a longer one
// is passed over with a message, never cut (a cut path could name the directory itself).
TEST_F(Hostile, TreeSixtyFourDirectoriesDeep) {
    std::string dir = "bundle";
    for (int level = 2; level < 64; ++level) {
        char name[8];
        std::snprintf(name, sizeof name, "/dir-%02d", level);
        dir += name;
    }
    const std::string prefix = "/tmp/update/" + dir;
    struct Case {
        const char *what;
        std::size_t length;  // of the manifest's path; the 64th directory's name makes it up
        std::string below;   // path from the 64th directory to the manifest
        bool found;
    } cases[] = {
        {"manifest path of 511", 511, "manifest.txt", true},
        {"manifest path of 512", 512, "manifest.txt", false},
        {"directory of 510 with a subdirectory", 510 + 2 + 13, "x/manifest.txt", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string last(c.length - prefix.size() - 2 - c.below.size(), 'm');
        const std::string manifest = prefix + "/" + last + "/" + c.below;
        ASSERT_EQ(manifest.size(), c.length);
        make_bundle(kArchive, {{dir + "/" + last + "/" + c.below, R"({"order":["pkg-a"]})"}});
        RunResult r = install({kArchive});
        if (c.found) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(ends_with(r.out, "Found manifest file at: " + manifest +
                                             "\nopkg: installing pkg-a\nUpdate successful\n"))
                << r.out;
            EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/pkg-a]\n");
        } else {
            // The first path on the way down that does not fit.
            std::string refused = manifest;
            for (auto slash = manifest.find('/', 1); slash != std::string::npos;
                 slash = manifest.find('/', slash + 1))
                if (slash > 511) {
                    refused = manifest.substr(0, slash);
                    break;
                }
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "Path too long: " + refused + "\nFailed to find manifest file\n");
            EXPECT_EQ(opkg_log(), "<no opkg run>");
        }
        reset();
    }
}

// 10,000 entries with look-alike names; only one is the manifest.
TEST_F(Hostile, TenThousandEntries) {
    BundleFiles files = package_grid();
    for (const char *decoy : {"Manifest.txt", "manifest.txt~", "manifest.txt.bak", " manifest.txt",
                              "manifest.tx", "manifest.txt/readme", "manifest.json"})
        files.push_back({std::string("bundle/d13/") + decoy, R"({"order":["decoy"]})"});
    files.push_back({"bundle/d57/deeper/manifest.txt", R"({"order":["pkg-a"]})"});
    ASSERT_GE(files.size(), 10000u);
    make_bundle(kArchive, files);

    auto start = std::chrono::steady_clock::now();
    RunResult r = install({kArchive});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ends_with(r.out,
                          "Found manifest file at: /tmp/update/bundle/d57/deeper/manifest.txt\n"
                          "opkg: installing pkg-a\nUpdate successful\n"));
    EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/pkg-a]\n");
    EXPECT_LT(seconds, 20.0);
}

// Texts that would run commands if the shell saw them unquoted.
const std::vector<std::string> kInjections = {
    "x'; touch /tmp/canary; '", "x\"; touch /tmp/canary; \"", "$(touch /tmp/canary)",
    "`touch /tmp/canary`",      "\ntouch /tmp/canary\n",      "x\\'; touch /tmp/canary #",
    "-; touch /tmp/canary",     "x|touch /tmp/canary",        "x&touch /tmp/canary&",
};

TEST_F(Hostile, ElementsHoldingEveryByte) {
    std::vector<std::string> elements = {every_byte()};
    elements.insert(elements.end(), kInjections.begin(), kInjections.end());
    for (int c = 1; c <= 255; ++c)
        elements.push_back(std::string(1, static_cast<char>(c)));
    std::string expected;
    for (const auto &e : elements)
        expected += "[install][/tmp/update/bundle/" + e + "]\n";

    make_bundle(kArchive, {{"bundle/manifest.txt", json_order(elements)}});
    RunResult r = install({kArchive});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ends_with(r.out, "Update successful\n"));
    EXPECT_EQ(opkg_log(), expected);
    EXPECT_FALSE(box.exists(kCanary));
}

// The failure message names the element as it stands, whatever it holds.
TEST_F(Hostile, FailedElementHoldingEveryByteIsNamed) {
    // The stub matches whole lines: a name to refuse cannot hold a line end.
    const std::string name = every_byte("/\n");
    box.write("/stub/fail", name + "\n");
    make_bundle(kArchive, {{"bundle/manifest.txt", json_order({"pkg-a", name, "pkg-c"})}});
    RunResult r = install({kArchive});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, "Failed to install " + name + "\nUpdate failed\n")) << r.err;
    EXPECT_EQ(opkg_log(),
              "[install][/tmp/update/bundle/pkg-a]\n[install][/tmp/update/bundle/" + name + "]\n");
    EXPECT_FALSE(box.exists(kCanary));
}

// Archive names reach tar and the package directory as they stand.
TEST_F(Hostile, ArchiveNamesHoldingEveryByte) {
    // A file name holds at most 255 bytes: the bytes go in two halves.
    const std::string all = every_byte("/");
    struct Case {
        std::string base;
        bool relative_too;
    } cases[] = {
        // GNU tar takes a colon before the first slash for a remote archive (the device's tar
        // does not), so these go by their absolute path only.
        {all.substr(0, 126), false},
        {all.substr(126), true},
        {"x$(touch canary)';touch canary;'`touch canary`\ntouch canary", true},
        // A name that starts like an option must stay an operand.
        {"-rf", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.base);
        const std::string archive = "/mnt/usb/" + c.base + ".tar.gz";
        make_bundle(archive, {{"manifest.txt", R"({"order":["pkg-a"]})"}});
        std::vector<std::string> args = {archive};
        if (c.relative_too)
            args.push_back(c.base + ".tar.gz");
        for (const auto &arg : args) {
            RunResult r = install({arg}, {.cwd = "/mnt/usb"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out,
                      "manifest.txt\nFound manifest file at: /tmp/update/manifest.txt\n"
                      "opkg: installing pkg-a\nUpdate successful\n");
            EXPECT_EQ(opkg_log(), "[install][/tmp/update/" + c.base + "/pkg-a]\n");
            EXPECT_FALSE(box.exists("/mnt/usb/canary"));
            reset();
        }
    }
}

}  // namespace
}  // namespace bi_test
