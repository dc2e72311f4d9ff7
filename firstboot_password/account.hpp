// One row of the account table: who gets a factory password, and what it becomes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kUsernameSize = 64;
constexpr std::size_t kPasswordLength = 16;
constexpr std::size_t kPasswordSize = kPasswordLength + 1;
constexpr std::size_t kShadowHashSize = 256;

struct AccountEntry {
    std::uint32_t uid;
    const char *label;
    std::array<char, kUsernameSize> username;
    std::array<char, kPasswordSize> password;
    std::array<char, kShadowHashSize> shadow_hash;
};
