// Unpacking the bundle into the update directory.
#pragma once

// Where bundles are unpacked; created if missing, never cleared.
constexpr const char *kUpdateDir = "/tmp/update";

// Refuses (message on stderr, -1) a directory at path that another account could have planted
// or could write: a symbolic link, not a directory, not owned by us or root, or writable by group
// or others. Creates it first, mode 0755, when missing.
int check_update_dir(const char *path);

// Formats the unpack command for the archive and directory into command (kTextSize bytes); 0, or
// -1 after printing that it does not fit.
int unpack_command(const char *archive, const char *directory, char *command);

// Unpacks the archive into directory with mkdir and tar through the shell, owners and modes from
// the archive left out; 0 or -1.
int extract_bundle(const char *archive, const char *directory);

// Unpacks the archive open on fd (its verified bytes) into directory: tar reads it as its
// standard input, so no one can swap the file behind its path. 0 or -1.
int extract_bundle_from(int fd, const char *directory);

// After an unpack: gives the directory back its owner and mode 0755 if an archive member for
// the directory itself changed them. -1 (after a message) when it is no longer our directory.
int restore_update_dir(const char *path);
