#include "sha256.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const Sha256Digest &digest) {
    std::string out;
    char byte[3];
    for (auto b : digest) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        out += byte;
    }
    return out;
}

std::string digest_of(const std::string &message, std::size_t piece) {
    Sha256Context ctx;
    sha256_init(&ctx);
    for (std::size_t at = 0; at < message.size(); at += piece)
        sha256_update(&ctx, message.data() + at, std::min(piece, message.size() - at));
    Sha256Digest digest;
    sha256_final(&ctx, &digest);
    return hex(digest);
}

struct Vector {
    std::string message;
    const char *hex;
};

// FIPS 180-4 examples plus lengths around the padding boundaries (55, 56, 63, 64 bytes), each
// fed whole and in pieces that straddle block boundaries.
TEST(Sha256, KnownVectorsWholeAndInPieces) {
    const Vector vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector &v : vectors) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{63}, std::size_t{64},
                                  std::size_t{65}, std::size_t{1000000}}) {
            EXPECT_EQ(digest_of(v.message, piece), v.hex)
                << "length " << v.message.size() << " in pieces of " << piece;
        }
    }
}

}  // namespace
