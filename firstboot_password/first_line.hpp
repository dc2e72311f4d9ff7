// Reading the one-line facts the firmware keeps in files (MAC address, model name).
#pragma once

#include <cstddef>

// One read of at most size - 1 bytes from fd, which it then closes, cut at the first "\n" or
// "\r"; 0 when that leaves a non-empty text in `buffer`, -1 when nothing could be read or the line
// is empty.
int read_first_line_fd(int fd, char *buffer, std::size_t size);

// The same from the file at path, which must be a regular file. Never waits: this is what the
// device reads at boot.
int read_first_line(const char *path, char *buffer, std::size_t size);
