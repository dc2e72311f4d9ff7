// The factory password: 16 base-62 characters of SHA-256 over MAC line, model line and user name.
#pragma once

#include <array>
#include <cstddef>

#include "account.hpp"
#include "sha256.hpp"

constexpr const char *kMacPath = "/sys/class/net/eth0/address";
constexpr const char *kModelPath = "/tmp/sysinfo/model";
constexpr std::size_t kMacLineSize = 64;
constexpr std::size_t kModelLineSize = 256;
constexpr std::size_t kIdentifierSize = 384;
constexpr std::size_t kBase62TextSize = 64;

using Base62Text = std::array<char, kBase62TextSize>;

// Writes the digest, read as one big-endian number, in base 62 (most significant digit first,
// no leading "0"); -1 after reporting a failure.
int base62_encode(const Sha256Digest &digest, Base62Text *text);

// Working storage of one derivation: everything in it is password material.
struct PasswordWork {
    std::array<char, kIdentifierSize> identifier;
    Sha256Digest digest;
    Sha256Context ctx;
    Base62Text text;
};

// The derivation in caller-provided storage, which it leaves holding secrets: hashes
// "mac|model|username" and keeps the first 16 base-62 digits in `password` (17 places). Reports
// its own failures; -1 leaves `password` untouched. Lets a batch reuse one storage throughout.
int derive_password_in(PasswordWork *work, const char *mac_line, const char *model_line,
                       const char *username, char *password);

// Zeroes the whole storage.
void wipe_password_work(PasswordWork *work);

// Steps that need no files: hashes "mac|model|username" and keeps the first 16 base-62 digits in
// `password` (17 places). Reports its own failures; -1 leaves `password` untouched.
int compute_device_password(const char *mac_line, const char *model_line, const char *username,
                            char *password);

// Reads the MAC and model lines afresh and fills entry->password from them and entry->username.
int derive_device_password(AccountEntry *entry);
