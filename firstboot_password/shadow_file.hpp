// Storing a hash in "/etc/shadow": one field of one line replaced, the file swapped in atomically.
#pragma once

#include <cstddef>
#include <string_view>

#include "account.hpp"

constexpr const char *kShadowPath = "/etc/shadow";
constexpr const char *kShadowTempPath = "/etc/shadow.zu-firstboot-password";
// Room beyond the size fstat gave, for a file that grows while we read it.
constexpr std::size_t kShadowSlack = 4096;

enum class FieldLookup { kFound, kNoEntry, kMalformed };

// Offsets into the content: `start` just after the ":" that ends the name, `end` at the ":" that
// ends the password field.
struct PasswordField {
    std::size_t start;
    std::size_t end;
};

// Finds the password field of the first line whose name is exactly `username`. Pure: used on
// the bytes read, so whatever they hold (even zero bytes) is only looked at, never trusted.
FieldLookup find_password_field(std::string_view content, std::string_view username,
                                PasswordField *field);

// Writes every byte, resuming after partial writes and EINTR; -1 on any other error.
int write_all(int fd, const void *data, std::size_t length);

// Replaces entry's password field with entry->shadow_hash through a temporary file and rename,
// keeping owner, group and permission bits. Reports most failures; the rest end silently.
int replace_shadow_password(const AccountEntry *entry);
