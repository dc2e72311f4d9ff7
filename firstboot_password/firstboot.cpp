#include "firstboot.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "device_password.hpp"
#include "marker.hpp"
#include "report.hpp"
#include "shadow_file.hpp"
#include "shadow_hash.hpp"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;

int resolve_username(AccountEntry *entry) {
    const unsigned long uid = entry->uid;
    const struct passwd *pw = getpwuid(entry->uid);
    if (pw == nullptr || pw->pw_name == nullptr || pw->pw_name[0] == '\0') {
        report_error("failed to resolve %s uid %lu username", entry->label, uid);
        return -1;
    }
    int length = std::snprintf(entry->username.data(), entry->username.size(), "%s", pw->pw_name);
    if (length < 0 || static_cast<std::size_t>(length) >= entry->username.size()) {
        report_error("%s uid %lu username is too long", entry->label, uid);
        return -1;
    }
    return 0;
}

// Every password and hash exists before "/etc/shadow" is touched at all.
int run_phases(AccountTable *table) {
    for (AccountEntry &entry : *table) {
        if (resolve_username(&entry) != 0 || derive_device_password(&entry) != 0 ||
            make_shadow_hash(&entry) != 0)
            return -1;
    }
    for (const AccountEntry &entry : *table) {
        if (replace_shadow_password(&entry) != 0)
            return -1;
    }
    if (create_completion_marker() != 0) {
        report_error("failed to create firstboot marker");
        return -1;
    }
    return 0;
}

}  // namespace

void init_account_table(AccountTable *table) {
    wipe(table->data(), sizeof *table);
    (*table)[0].uid = 0;
    (*table)[0].label = "CLI";
    (*table)[1].uid = 100;
    (*table)[1].label = "GUI";
}

int run_firstboot() {
    AccountTable table;
    init_account_table(&table);
    // Any name at the marker path means done, a dangling link too: the exclusive create that
    // makes the marker sees it that way, and following the link here would provision every boot.
    struct stat marker {};
    if (lstat(kMarkerPath, &marker) == 0)
        return kExitDone;
    if (geteuid() != 0) {
        report_error("must run as root");
        return kExitFailed;
    }
    if (access(kUpgradeArchivePath, F_OK) == 0 || access(kUpgradeTarPath, F_OK) == 0) {
        if (create_completion_marker() != 0) {
            report_error("failed to create firstboot marker during sysupgrade");
            return kExitFailed;
        }
        return kExitDone;
    }
    int result = run_phases(&table);
    wipe(table.data(), sizeof table);
    return result == 0 ? kExitDone : kExitFailed;
}
