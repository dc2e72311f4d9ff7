// Who owns the update directory and what lies in it is never the archive's choice: bundles made by
// an ordinary user, a world-writable archive, any umask, and a directory another account could
// write. Each runs with GNU tar and with BusyBox tar, the device's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace bi_test {
namespace {

constexpr const char *kArchive = "/mnt/usb/fw.tar.gz";
constexpr const char *kBusyBox = "/usr/bin/busybox";

struct Tar {
    const char *name;
    bool busybox;
};
constexpr Tar kTars[] = {{"GNU tar", false}, {"BusyBox tar", true}};

struct Owner {
    uid_t uid;
    mode_t mode;
};

Owner owner_of(const std::string &host_path) {
    struct stat st {};
    if (::lstat(host_path.c_str(), &st) != 0)
        return {static_cast<uid_t>(-1), 0};
    return {st.st_uid, st.st_mode & 07777};
}

testing::AssertionResult owned(const Sandbox &box, const std::string &inside, uid_t uid,
                               mode_t mode) {
    Owner o = owner_of(box.host(inside));
    if (o.uid == uid && o.mode == mode)
        return testing::AssertionSuccess();
    char text[96];
    std::snprintf(text, sizeof text, "%s: uid %d mode %04o, not uid %d mode %04o", inside.c_str(),
                  static_cast<int>(o.uid), o.mode, static_cast<int>(uid), mode);
    return testing::AssertionFailure() << text;
}

class UpdateDir : public BundleInstall {
  protected:
    // The device's tar in place of the host's, first on the installer's PATH.
    void use_tar(const Tar &tar) {
        box.remove("/stub/tar");
        if (tar.busybox) {
            ASSERT_EQ(::symlink(kBusyBox, box.host("/stub/tar").c_str()), 0);
        }
    }

    // Packs "fw/" (mode dir_mode) holding manifest.txt and a.ipk (mode file_mode) as the given
    // user would with `tar -czf ARCHIVE -C folder .`: "./" first, the user's owner and modes.
    void make_user_bundle(uid_t uid, mode_t top_mode, mode_t dir_mode, mode_t file_mode) {
        const std::string work = box.root() + "/user";
        char script[1024];
        std::snprintf(script, sizeof script,
                      "rm -rf '%1$s' && mkdir -p '%1$s/top/fw' && "
                      "printf '{\"order\":[\"a.ipk\"]}' > '%1$s/top/fw/manifest.txt' && "
                      "printf a > '%1$s/top/fw/a.ipk' && "
                      "chmod %3$o '%1$s/top/fw/manifest.txt' '%1$s/top/fw/a.ipk' && "
                      "chmod %4$o '%1$s/top/fw' && chmod %5$o '%1$s/top' && "
                      "chown -R %2$d:%2$d '%1$s' && "
                      "setpriv --reuid %2$d --regid %2$d --clear-groups "
                      "tar -czf '%1$s/fw.tar.gz' -C '%1$s/top' . && "
                      "cp '%1$s/fw.tar.gz' '%6$s'",
                      work.c_str(), static_cast<int>(uid), file_mode, dir_mode, top_mode,
                      box.host(kArchive).c_str());
        ASSERT_EQ(zu_test::host_shell(script), 0);
    }

    // Everything an install by root must leave: ours, writable by nobody else, no set-id bit.
    void expect_safe_install(const RunResult &r, mode_t file_mode = 0644) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("Found manifest file at: /tmp/update/fw/manifest.txt\n"
                             "opkg: installing a.ipk\nUpdate successful\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(opkg_log(), "[install][/tmp/update/fw/a.ipk]\n");
        EXPECT_TRUE(owned(box, "/tmp/update", 0, 0755));
        EXPECT_TRUE(owned(box, "/tmp/update/fw", 0, 0755));
        EXPECT_TRUE(owned(box, "/tmp/update/fw/a.ipk", 0, file_mode & 0755));
        EXPECT_TRUE(owned(box, "/tmp/update/fw/manifest.txt", 0, file_mode & 0755));
    }
};

// A bundle packed by an ordinary account carries its uid and modes on every member, "./" first.
// Installed twice: the second run must find the directory as the first one left it.
TEST_F(UpdateDir, BundleOfAnOrdinaryUserGivesItNothing) {
    struct Case {
        const char *what;
        mode_t top, dir, file;
    } cases[] = {
        {"group-writable, as umask 002 makes it", 0775, 0775, 0664},
        {"world-writable", 0777, 0777, 0666},
        // Tar would close the directory to everyone else; it is opened again.
        {"top folder closed", 0700, 0755, 0644},
        {"set-id bits", 07777, 06777, 06777},
    };
    for (const Tar &tar : kTars) {
        use_tar(tar);
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(tar.name) + ", " + c.what);
            make_user_bundle(1000, c.top, c.dir, c.file);
            for (int run = 1; run <= 2; ++run) {
                SCOPED_TRACE(run);
                box.remove("/tmp/opkg.log");
                expect_safe_install(install({kArchive}), c.file);
            }
            reset();
        }
    }
}

// The directory is made 0755 whatever the umask; what tar unpacks is never group- or
// other-writable.
TEST_F(UpdateDir, AnyUmask) {
    for (const Tar &tar : kTars) {
        use_tar(tar);
        for (mode_t mask : {000, 077}) {
            SCOPED_TRACE(std::string(tar.name) + ", umask " + std::to_string(mask));
            make_user_bundle(0, 0755, 0777, 0666);
            mode_t old = ::umask(mask);
            RunResult r = install({kArchive});
            ::umask(old);
            expect_safe_install(r);
            reset();
        }
    }
}

// A directory that another account can write may already hold its links: refused before tar
// runs, so nothing reaches where a planted link points.
TEST_F(UpdateDir, WritableByOthersIsRefusedBeforeUnpacking) {
    box.write("/etc/passwd", "root:x:0:0::/root:/bin/sh\n");
    for (const Tar &tar : kTars) {
        use_tar(tar);
        for (mode_t mode : {0775, 0757, 01777, 0770}) {
            SCOPED_TRACE(std::string(tar.name) + ", mode " + std::to_string(mode));
            make_user_bundle(0, 0755, 0755, 0644);
            box.mkdir("/tmp/update", mode);
            ASSERT_EQ(::symlink("/etc", box.host("/tmp/update/fw").c_str()), 0);
            RunResult r = install({kArchive});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "Refusing unsafe update directory: /tmp/update\n");
            EXPECT_FALSE(box.exists("/etc/a.ipk"));
            EXPECT_FALSE(box.exists("/etc/manifest.txt"));
            EXPECT_EQ(box.read("/etc/passwd"), "root:x:0:0::/root:/bin/sh\n");
            EXPECT_EQ(opkg_log(), "<no opkg run>");
            reset();
        }
    }
}

// A directory that cannot be given back its mode is not installed from.
TEST_F(UpdateDir, RepairThatFailsInstallsNothing) {
    make_user_bundle(1000, 0700, 0755, 0644);
    for (const char *call : {"fchmod", "fchown"}) {
        SCOPED_TRACE(call);
        box.mkdir("/tmp/update", 0755);  // made beforehand: only the repair calls these
        RunResult r = install({kArchive}, inject(call, "error=EPERM", 1));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string(call) +
                             ": Operation not permitted\n"
                             "Refusing unsafe update directory: /tmp/update\n");
        EXPECT_EQ(opkg_log(), "<no opkg run>");
        reset();
    }
}

}  // namespace
}  // namespace bi_test
