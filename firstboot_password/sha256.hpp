// SHA-256 of our own: the derivation must not depend on what crypto the firmware happens to carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kSha256DigestSize = 32;
constexpr std::size_t kSha256BlockSize = 64;

using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;

struct Sha256Context {
    std::array<std::uint32_t, 8> state;
    std::uint64_t bit_count;  // bits already compressed
    std::array<std::uint8_t, kSha256BlockSize> block;
    std::uint32_t fill;  // bytes waiting in block
};

// Starts a new digest.
void sha256_init(Sha256Context *ctx);
// Adds `length` bytes; may be called any number of times with any lengths.
void sha256_update(Sha256Context *ctx, const void *data, std::size_t length);
// Pads, finishes and writes the digest, each chaining word big-endian.
void sha256_final(Sha256Context *ctx, Sha256Digest *digest);
