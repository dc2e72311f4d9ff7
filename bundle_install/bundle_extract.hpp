// Unpacking the bundle into the update directory.
#pragma once

// Where bundles are unpacked; created if missing, never cleared.
constexpr const char *kUpdateDir = "/tmp/update";

// Refuses (message on stderr, -1) a directory at path that another account could have planted:
// a symbolic link, not a directory, or not owned by us or root. Creates it first when missing.
int check_update_dir(const char *path);

// Unpacks the archive into directory with mkdir and tar through the shell; 0 or -1.
int extract_bundle(const char *archive, const char *directory);

// Unpacks the archive open on fd (its verified bytes) into directory: tar reads it as its
// standard input, so no one can swap the file behind its path. 0 or -1.
int extract_bundle_from(int fd, const char *directory);
