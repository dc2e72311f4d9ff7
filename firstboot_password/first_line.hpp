// Reading the one-line facts the firmware keeps in files (MAC address, model name).
#pragma once

#include <cstddef>

// One read of at most size - 1 bytes, cut at the first "\n" or "\r"; 0 when that leaves a
// non-empty text in `buffer`, -1 when the file cannot be read or the line is empty.
int read_first_line(const char *path, char *buffer, std::size_t size);
