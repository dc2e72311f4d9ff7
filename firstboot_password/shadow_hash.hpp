// The stored form of a password: a SHA-512 crypt hash with a fresh 16-character salt.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "account.hpp"

constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kSaltTextSize = 32;

// Maps each random byte's low six bits to the crypt salt alphabet and frames it as
// "$6$<16 characters>$" in `setting` (kSaltTextSize places).
void make_salt_setting(const std::array<std::uint8_t, kSaltBytes> &random, char *setting);

// Hashes entry->password into entry->shadow_hash; -1 after reporting a failure.
int make_shadow_hash(AccountEntry *entry);
