#include "sha256.hpp"

#include "report.hpp"

namespace {

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t rotr(std::uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

// Bytes are assembled one at a time: the block may sit at any address, and MIPS traps
// unaligned word loads.
void compress(Sha256Context *ctx, const std::uint8_t *block) {
    std::array<std::uint32_t, 64> w;
    for (unsigned i = 0; i < 16; ++i) {
        w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 |
               static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(block[4 * i + 2]) << 8 |
               static_cast<std::uint32_t>(block[4 * i + 3]);
    }
    for (unsigned i = 16; i < 64; ++i) {
        std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    std::uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (unsigned i = 0; i < 64; ++i) {
        std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        std::uint32_t ch = (e & f) ^ (~e & g);
        std::uint32_t t1 = h + s1 + ch + kRoundConstants[i] + w[i];
        std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        std::uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
    // The schedule is password material on the stack; leave none of it behind.
    wipe(w.data(), sizeof w);
    ctx->bit_count += kSha256BlockSize * 8;
}

}  // namespace

void sha256_init(Sha256Context *ctx) {
    ctx->state = kInitialState;
    ctx->bit_count = 0;
    ctx->block = {};
    ctx->fill = 0;
}

void sha256_update(Sha256Context *ctx, const void *data, std::size_t length) {
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(data);
    while (length > 0) {
        std::size_t room = kSha256BlockSize - ctx->fill;
        std::size_t take = length < room ? length : room;
        for (std::size_t i = 0; i < take; ++i)
            ctx->block[ctx->fill + i] = bytes[i];
        ctx->fill += static_cast<std::uint32_t>(take);
        bytes += take;
        length -= take;
        if (ctx->fill == kSha256BlockSize) {
            compress(ctx, ctx->block.data());
            ctx->fill = 0;
        }
    }
}

void sha256_final(Sha256Context *ctx, Sha256Digest *digest) {
    std::uint64_t total_bits = ctx->bit_count + static_cast<std::uint64_t>(ctx->fill) * 8;
    std::uint32_t at = ctx->fill;
    ctx->block[at++] = 0x80;
    if (at > kSha256BlockSize - 8) {
        while (at < kSha256BlockSize)
            ctx->block[at++] = 0;
        compress(ctx, ctx->block.data());
        at = 0;
    }
    while (at < kSha256BlockSize - 8)
        ctx->block[at++] = 0;
    for (unsigned i = 0; i < 8; ++i)
        ctx->block[kSha256BlockSize - 1 - i] = static_cast<std::uint8_t>(total_bits >> (8 * i));
    compress(ctx, ctx->block.data());
    ctx->fill = 0;
    for (unsigned i = 0; i < 8; ++i) {
        (*digest)[4 * i] = static_cast<std::uint8_t>(ctx->state[i] >> 24);
        (*digest)[4 * i + 1] = static_cast<std::uint8_t>(ctx->state[i] >> 16);
        (*digest)[4 * i + 2] = static_cast<std::uint8_t>(ctx->state[i] >> 8);
        (*digest)[4 * i + 3] = static_cast<std::uint8_t>(ctx->state[i]);
    }
}
