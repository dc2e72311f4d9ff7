// Reading the manifest and installing the packages it lists.
#pragma once

extern "C" {
#include <libubox/blob.h>
}

// The largest manifest read, in bytes. A message attribute's length has 24 bits, so a message
// buffer must stay below 16 MiB or the platform library drops members without a word. JSON grows
// at most about six-fold into a buffer, so a text of 1 MiB stays well below that.
constexpr long kManifestMaxSize = 1L << 20;

// Installs every package of the manifest's "order" array from package_dir, in order, stopping at
// the first failure; 0 when all were installed, -1 after printing why not.
int process_manifest(const char *manifest_path, const char *package_dir);

// Installs one package file with the package manager; 0 or -1.
int install_package(const char *package_path);

// Formats the package manager's command for one package file into command (kTextSize bytes);
// 0, or -1 after printing that it does not fit.
int install_command(const char *package_path, char *command);

// Reads and parses the manifest into buf, which the caller zero-fills first and frees with
// blob_buf_free on every path; 0, or -1 after printing why not.
int load_manifest(const char *manifest_path, struct blob_buf *buf);

// Called for each package of "order" in turn with its text and its path under the package
// directory (null when the path does not fit, after a message); non-zero stops the walk.
using OrderVisit = int (*)(const char *package, const char *path, void *context);

// Walks the loaded manifest's "order" array; 0 when the walk got to its end, -1 when the
// manifest's shape stopped it (after a message) or a visit asked to stop.
int walk_order(struct blob_buf *buf, const char *package_dir, OrderVisit visit, void *context);
