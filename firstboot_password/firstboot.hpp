// The provisioner's run: start-up decisions, then derive and hash, then store, then mark done.
#pragma once

#include <array>

#include "account.hpp"

constexpr const char *kUpgradeArchivePath = "/sysupgrade.tgz";
constexpr const char *kUpgradeTarPath = "/tmp/sysupgrade.tar";

using AccountTable = std::array<AccountEntry, 2>;

// Zeroes the table and sets its two fixed rows: uid 0 "CLI", then uid 100 "GUI".
void init_account_table(AccountTable *table);

// The whole program; returns the exit status (0 done or nothing to do, 1 failed).
int run_firstboot();
