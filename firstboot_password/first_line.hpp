// Reading the one-line facts the firmware keeps in files (MAC address, model name).
#pragma once

#include <cstddef>

// One read of at most size - 1 bytes, cut at the first "\n" or "\r"; 0 when that leaves a
// non-empty text in `buffer`, -1 when the file cannot be read, is not a regular file, or the
// line is empty. Never waits: this is what the device reads at boot.
int read_first_line(const char *path, char *buffer, std::size_t size);

// The same for any readable file, pipes included, waiting for their data: for tools on a
// factory PC, where a line may come from a shell's process substitution.
int read_first_line_any(const char *path, char *buffer, std::size_t size);
