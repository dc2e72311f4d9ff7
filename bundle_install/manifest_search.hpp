// Depth-first search of the unpacked tree for the manifest.
#pragma once

// Path of the first entry called name below directory, in a malloc'ed buffer of kTextSize bytes
// that the caller frees; null when none. Never follows symbolic links into directories.
char *find_file_recursive(const char *directory, const char *name);
