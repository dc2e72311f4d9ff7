// Signed bundles: public keys and detached Ed25519 signatures in the signify/usign file format,
// checked against the vendor's keys in the firmware before anything of a bundle is unpacked.
#pragma once

#include <dirent.h>

#include <array>
#include <cstddef>
#include <cstdint>

// The firmware's trusted keys; absent or empty means bundles need no signature.
constexpr const char *kKeyDir = "/etc/bundle-install/keys";

// Appended to the archive's path to name its signature file.
constexpr const char *kSignatureSuffix = ".sig";

// Neither file format comes near this size; anything larger is not one of them.
constexpr std::size_t kSignifyFileMax = 2048;

// Identifies a key; a signature carries the number of the key that made it.
using KeyNumber = std::array<std::uint8_t, 8>;

struct SignifyKey {
    KeyNumber number;
    std::array<std::uint8_t, 32> key;
};

struct SignifySignature {
    KeyNumber number;
    std::array<std::uint8_t, 64> signature;
};

// True when the folder lists anything but "." and "..": any entry in the key folder turns
// signature checks on.
bool has_entries(DIR *dir);

// Parses the exact bytes of a public key file; 0, or -1 when they are not one.
int parse_public_key(const char *text, std::size_t length, SignifyKey *out);

// Parses the exact bytes of a signature file; 0, or -1 when they are not one.
int parse_signature(const char *text, std::size_t length, SignifySignature *out);

// Checks the archive against the key folder before it is unpacked. Returns 0 with *verified_fd
// -1 when the folder holds no entry (no signature needed), 0 with *verified_fd an open
// descriptor of the archive whose bytes were verified (the caller closes it), or -1 after one
// line on stderr saying why the bundle is refused.
int check_bundle_signature(const char *archive, const char *key_dir, int *verified_fd);
