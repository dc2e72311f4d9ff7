// The provisioner's only reporting channel, and the zero fill for its secrets.
#pragma once

#include <cstddef>

constexpr const char *kLogIdent = "zu-firstboot-password";

// Logs one message at LOG_ERR to the auth facility, opening and closing the log around it.
void report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Zeroes `length` bytes one at a time through a volatile pointer, so the store is never dropped.
void wipe(void *buffer, std::size_t length);
