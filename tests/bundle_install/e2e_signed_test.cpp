// Signed bundles end to end: keys and signatures made by signify-openbsd, the installer run with
// and without a key folder. A refused bundle leaves no update directory and runs no command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace bi_test {
namespace {

constexpr const char *kArchive = "/tmp/bundle.tar.gz";
constexpr const char *kSig = "/tmp/bundle.tar.gz.sig";
constexpr const char *kKeys = "/etc/bundle-install/keys";

// Records every command the installer starts and fails it.
constexpr const char *kRecorder =
    "#!/bin/sh\nprintf '[%s]' \"${0##*/}\" \"$@\" >> /tmp/ran.log\necho >> /tmp/ran.log\nexit 1\n";

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_decode(const std::string &text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        auto at = kAlphabet.find(c);
        if (at == std::string::npos)
            break;
        bits = bits << 6 | static_cast<unsigned>(at);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

std::string base64_encode(const std::string &bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned group = 0;
        for (std::size_t j = 0; j < 3; ++j)
            group =
                group << 8 | (i + j < bytes.size() ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            out += j <= (bytes.size() - i) ? kAlphabet[(group >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
}

std::string hex(const std::string &bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

struct KeyPair {
    std::string pub;  // host paths
    std::string sec;
    std::string number;  // the key number in lower-case hex
};

class Signed : public BundleInstall {
  protected:
    KeyPair a, b, foreign;

    void SetUp() override {
        BundleInstall::SetUp();
        a = make_key("a");
        b = make_key("b");
        foreign = make_key("foreign");
        make_bundle(kArchive, {{"bundle/manifest.txt", R"({"order":["pkg-a.ipk"]})"},
                               {"bundle/pkg-a.ipk", "a"}});
    }

    KeyPair make_key(const std::string &name) {
        KeyPair key{box.root() + "/" + name + ".pub", box.root() + "/" + name + ".sec", ""};
        EXPECT_EQ(
            zu_test::host_shell("signify-openbsd -G -n -p '" + key.pub + "' -s '" + key.sec + "'"),
            0);
        std::string text = zu_test::read_host_file(key.pub);
        std::string line = text.substr(text.find('\n') + 1);
        key.number = hex(base64_decode(line).substr(2, 8));
        return key;
    }

    // Trusts the key under its number, as the firmware names its keys, or under another name.
    void trust(const KeyPair &key, const std::string &name = "") {
        box.write(std::string(kKeys) + "/" + (name.empty() ? key.number : name),
                  zu_test::read_host_file(key.pub));
    }

    void sign(const KeyPair &key, const std::string &archive = kArchive) {
        ASSERT_EQ(zu_test::host_shell("signify-openbsd -S -s '" + key.sec + "' -m '" +
                                      box.host(archive) + "'"),
                  0);
    }

    // signify-openbsd's own verdict on the archive with any of the given keys.
    bool signify_accepts(const std::vector<KeyPair> &keys) {
        for (const auto &key : keys)
            if (zu_test::host_shell("signify-openbsd -V -q -p '" + key.pub + "' -x '" +
                                    box.host(kSig) + "' -m '" + box.host(kArchive) +
                                    "' 2>/dev/null") == 0)
                return true;
        return false;
    }

    // The archive as it was, no signature, and both a and b trusted: each case starts here.
    void start_over(const std::string &pristine) {
        box.remove(kSig);
        box.remove(kKeys);
        box.remove(kArchive);
        box.write(kArchive, pristine);
        trust(a);
        trust(b);
    }

    void expect_installed(const RunResult &r) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out,
                  "bundle/\nbundle/manifest.txt\nbundle/pkg-a.ipk\n"
                  "Found manifest file at: /tmp/update/bundle/manifest.txt\n"
                  "opkg: installing pkg-a.ipk\nUpdate successful\n");
        EXPECT_EQ(opkg_log(), "[install][/tmp/update/bundle/pkg-a.ipk]\n");
    }
};

// Key files' names do not matter: the signature's key number picks the key.
TEST_F(Signed, EitherOfTwoTrustedKeysInstalls) {
    trust(a);
    trust(b, "vendor-2027.pub");
    for (const KeyPair *key : {&a, &b}) {
        SCOPED_TRACE(key->number);
        sign(*key);
        expect_installed(install({kArchive}));
        EXPECT_EQ(box.read("/tmp/update/bundle/pkg-a.ipk"), "a");
        reset();
    }
}

// Without keys nothing changes: no signature is read, however broken, and tar gets the path.
TEST_F(Signed, WithoutKeysUnsignedBundlesInstallAsBefore) {
    box.write(kSig, "garbage\n");
    for (bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "empty key folder" : "no key folder");
        if (folder)
            box.mkdir(kKeys);
        expect_installed(install({kArchive}));
        reset();
    }
}

// tar reads the very bytes that were verified, from its standard input; later commands get our
// own standard input back and never the archive.
TEST_F(Signed, TarReadsTheVerifiedDescriptor) {
    trust(a);
    sign(a);
    box.write("/stub/tar",
              "#!/bin/sh\nprintf '[%s]' \"$@\" > /tmp/tar.args\ncat > /tmp/tar.stdin\n"
              "exec /bin/tar \"$@\" < /tmp/tar.stdin\n",
              0755);
    box.write("/stub/opkg",
              "#!/bin/sh\nls -l /proc/$$/fd/ | grep -c bundle.tar.gz > /tmp/opkg.fds\n"
              "echo \"opkg: installing ${2##*/}\"\n",
              0755);
    RunResult r = install({kArchive});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.read("/tmp/tar.args"), "[--no-same-permissions][-xzvof][-][-C][/tmp/update]");
    EXPECT_EQ(box.read("/tmp/tar.stdin"), box.read(kArchive));
    EXPECT_EQ(box.read("/tmp/opkg.fds"), "0\n");
}

TEST_F(Signed, RefusedBeforeAnythingIsUnpacked) {
    const std::string tampered_note = "Signature does not verify: /tmp/bundle.tar.gz\n";
    const std::string malformed = "Malformed signature: /tmp/bundle.tar.gz.sig\n";
    const std::string not_regular = "Signature is not a regular file: /tmp/bundle.tar.gz.sig\n";
    // Edits the signature file's base64 line.
    auto edit_line = [&](const std::function<std::string(const std::string &)> &change) {
        std::string text = box.read(kSig);
        auto start = text.find('\n') + 1;
        std::string line = text.substr(start, text.size() - start - 1);
        box.write(kSig, text.substr(0, start) + change(line) + "\n");
    };
    auto edit_bytes = [&](const std::function<void(std::string &)> &change) {
        edit_line([&](const std::string &line) {
            std::string bytes = base64_decode(line);
            change(bytes);
            return base64_encode(bytes);
        });
    };
    enum Verdict { kNotAsked, kRefuses, kAccepts };
    struct Case {
        const char *what;
        std::function<void()> setup;
        std::string err;
        // What signify-openbsd says of the same signature file and trusted keys.
        Verdict signify = kNotAsked;
        uid_t uid = 0;
    } cases[] = {
        {"one byte of the archive changed",
         [&] {
             sign(a);
             std::string bytes = box.read(kArchive);
             bytes[bytes.size() / 2] ^= 1;
             box.write(kArchive, bytes);
         },
         tampered_note, kRefuses},
        {"signed by a key not trusted", [&] { sign(foreign); },
         "No trusted key " + foreign.number + " for signature: /tmp/bundle.tar.gz.sig\n", kRefuses},
        {"another key's signature under a trusted key number",
         [&] {
             sign(foreign);
             edit_bytes([&](std::string &bytes) {
                 std::string text = zu_test::read_host_file(a.pub);
                 bytes = bytes.substr(0, 2) +
                         base64_decode(text.substr(text.find('\n') + 1)).substr(2, 8) +
                         bytes.substr(10);
             });
         },
         tampered_note, kRefuses},
        {"signature missing", [] {}, "Missing signature: /tmp/bundle.tar.gz.sig\n"},
        {"signature empty", [&] { box.write(kSig, ""); }, malformed, kRefuses},
        {"signature truncated",
         [&] {
             sign(a);
             std::string text = box.read(kSig);
             box.write(kSig, text.substr(0, text.size() - 20));
         },
         malformed, kRefuses},
        {"bad base64",
         [&] {
             sign(a);
             edit_line([](std::string l) { return l.substr(0, 9) + "!" + l.substr(10); });
         },
         malformed, kRefuses},
        // signify skips blanks in base64; only the form it writes is taken here.
        {"blank inside the base64",
         [&] {
             sign(a);
             edit_line([](std::string l) { return l.substr(0, 40) + " " + l.substr(40); });
         },
         malformed, kAccepts},
        {"wrong algorithm bytes",
         [&] {
             sign(a);
             edit_bytes([](std::string &bytes) { bytes[1] = 'X'; });
         },
         malformed, kRefuses},
        {"one byte short",
         [&] {
             sign(a);
             edit_bytes([](std::string &bytes) { bytes.pop_back(); });
         },
         malformed, kRefuses},
        {"one byte long",
         [&] {
             sign(a);
             edit_bytes([](std::string &bytes) { bytes += 'x'; });
         },
         malformed, kRefuses},
        {"a public key in place of a signature",
         [&] { box.write(kSig, zu_test::read_host_file(a.pub)); }, malformed, kRefuses},
        {"no comment line",
         [&] {
             sign(a);
             std::string text = box.read(kSig);
             box.write(kSig, text.substr(text.find('\n') + 1));
         },
         malformed, kRefuses},
        {"signature is a directory", [&] { box.mkdir(kSig); }, not_regular},
        {"signature is a FIFO", [&] { ASSERT_EQ(mkfifo(box.host(kSig).c_str(), 0644), 0); },
         not_regular},
        {"signature unreadable",
         [&] {
             sign(a);
             chmod(box.host(kSig).c_str(), 0600);
         },
         "Cannot read signature: /tmp/bundle.tar.gz.sig\n", kNotAsked, 1000},
        {"key folder holds only junk",
         [&] {
             sign(a);
             box.remove(kKeys);
             box.write(std::string(kKeys) + "/" + a.number, "not a key\n");
             box.write(std::string(kKeys) + "/secret", zu_test::read_host_file(a.sec));
             box.mkdir(std::string(kKeys) + "/dir");
             ASSERT_EQ(mkfifo(box.host(std::string(kKeys) + "/fifo").c_str(), 0644), 0);
         },
         "No trusted key " + a.number + " for signature: /tmp/bundle.tar.gz.sig\n"},
        {"key folder unreadable",
         [&] {
             sign(a);
             chmod(box.host(kKeys).c_str(), 0700);
         },
         "Cannot read key folder: /etc/bundle-install/keys\n", kNotAsked, 1000},
        {"key folder is a file",
         [&] {
             sign(a);
             box.remove(kKeys);
             box.write(kKeys, zu_test::read_host_file(a.pub));
         },
         "Cannot read key folder: /etc/bundle-install/keys\n"},
        {"archive missing",
         [&] {
             sign(a);
             box.remove(kArchive);
         },
         "Cannot open archive: /tmp/bundle.tar.gz\n"},
        {"archive is a FIFO",
         [&] {
             box.remove(kArchive);
             ASSERT_EQ(mkfifo(box.host(kArchive).c_str(), 0644), 0);
         },
         "Archive is not a regular file: /tmp/bundle.tar.gz\n"},
        {"archive group-writable",
         [&] {
             sign(a);
             chmod(box.host(kArchive).c_str(), 0664);
         },
         "Archive is writable by another account: /tmp/bundle.tar.gz\n"},
        {"archive owned by another account",
         [&] {
             sign(a);
             ASSERT_EQ(chown(box.host(kArchive).c_str(), 1000, 1000), 0);
         },
         "Archive is writable by another account: /tmp/bundle.tar.gz\n"},
    };
    const std::string pristine = box.read(kArchive);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        start_over(pristine);
        c.setup();
        for (const char *command : {"mkdir", "tar", "opkg"})
            box.write(std::string("/stub/") + command, kRecorder, 0755);
        box.remove("/tmp/ran.log");

        auto start = std::chrono::steady_clock::now();
        RunResult r = install({kArchive}, {.uid = c.uid});
        auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(box.exists("/tmp/update"));
        EXPECT_FALSE(box.exists("/tmp/ran.log")) << box.read("/tmp/ran.log");
        EXPECT_LT(seconds.count(), 10.0);  // a FIFO must not make it wait for a writer
        if (c.signify != kNotAsked) {
            EXPECT_EQ(signify_accepts({a, b}), c.signify == kAccepts);
        }
    }
    // The same set-up with the untouched archive and a good signature installs: the refusals
    // above come from what each case changed.
    box.remove(kSig);
    box.remove(kKeys);
    box.remove("/stub");
    box.write(kArchive, pristine);
    trust(a);
    sign(a);
    EXPECT_TRUE(signify_accepts({a}));
    BundleInstall::SetUp();
    expect_installed(install({kArchive}));
}

#ifdef BUNDLE_CHECK_PATH
// bundle-check -P judges the signature as a firmware with those keys would, before the rest of
// its report, and agrees with the installer and with signify-openbsd; without -P it says it did
// not look.
TEST_F(Signed, CheckWithKeysGivesTheDevicesVerdict) {
    const std::string report_tail =
        "Manifest: /tmp/update/bundle/manifest.txt\n"
        "Package folder: /tmp/update/bundle\n"
        "Command: opkg install /tmp/update/bundle/pkg-a.ipk\n"
        "OK: the device would install every package (1)\n";
    struct Case {
        const char *what;
        std::function<void()> setup;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {"signed by a trusted key", [&] { sign(a); }, 0, "Signature: good\n" + report_tail, ""},
        // Its owner and mode here say nothing of the device: root copies it there.
        {"signed, group-writable on this machine",
         [&] {
             sign(b);
             chmod(box.host(kArchive).c_str(), 0664);
         },
         0, "Signature: good\n" + report_tail, ""},
        {"one byte changed",
         [&] {
             sign(a);
             std::string bytes = box.read(kArchive);
             bytes[bytes.size() / 2] ^= 1;
             box.write(kArchive, bytes);
         },
         1, "Signature: refused\n", "Signature does not verify: /tmp/bundle.tar.gz\n"},
        {"signed by a foreign key", [&] { sign(foreign); }, 1, "Signature: refused\n",
         "No trusted key " + foreign.number + " for signature: /tmp/bundle.tar.gz.sig\n"},
        {"unsigned", [] {}, 1, "Signature: refused\n",
         "Missing signature: /tmp/bundle.tar.gz.sig\n"},
        {"signature is a FIFO", [&] { ASSERT_EQ(mkfifo(box.host(kSig).c_str(), 0644), 0); }, 1,
         "Signature: refused\n", "Signature is not a regular file: /tmp/bundle.tar.gz.sig\n"},
    };
    const std::string pristine = box.read(kArchive);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        start_over(pristine);
        c.setup();
        RunResult checked = box.run({BUNDLE_CHECK_PATH, "-P", kKeys, kArchive}, {.uid = 1000});
        EXPECT_EQ(checked.status, c.status) << checked.err;
        EXPECT_EQ(checked.out, c.out);
        EXPECT_EQ(checked.err, c.err);
        EXPECT_FALSE(box.exists("/tmp/update"));
        struct stat sig {};
        if (lstat(box.host(kSig).c_str(), &sig) == 0 && S_ISREG(sig.st_mode)) {
            EXPECT_EQ(signify_accepts({a, b}), c.status == 0);
        }
        chmod(box.host(kArchive).c_str(), 0644);
        RunResult installed = install({kArchive});
        EXPECT_EQ(installed.status, c.status) << installed.err;
        EXPECT_EQ(installed.err, c.err);
        reset();
    }

    box.remove(kSig);
    RunResult unchecked = box.run({BUNDLE_CHECK_PATH, kArchive}, {.uid = 1000});
    EXPECT_EQ(unchecked.status, 0) << unchecked.err;
    EXPECT_EQ(unchecked.out, "Signature: not checked (no -P KEYFOLDER)\n" + report_tail);

    box.remove(kKeys);
    box.mkdir(kKeys);
    RunResult empty = box.run({BUNDLE_CHECK_PATH, "-P", kKeys, kArchive}, {.uid = 1000});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out,
              "Signature: not needed: /etc/bundle-install/keys holds no key, so "
              "unsigned bundles install\n" +
                  report_tail);

    RunResult no_folder = box.run({BUNDLE_CHECK_PATH, "-P", "/nowhere", kArchive}, {.uid = 1000});
    EXPECT_EQ(no_folder.status, 2);
    EXPECT_EQ(no_folder.err, "bundle-check: cannot run the check: /nowhere is not a key folder\n");
}
#endif

}  // namespace
}  // namespace bi_test
