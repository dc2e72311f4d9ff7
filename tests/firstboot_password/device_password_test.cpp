#include "device_password.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

Sha256Digest number(std::initializer_list<std::uint8_t> low_bytes) {
    Sha256Digest digest{};
    std::size_t at = digest.size() - low_bytes.size();
    for (std::uint8_t b : low_bytes)
        digest[at++] = b;
    return digest;
}

// The text, or "<failed>"; never reads past the buffer, whatever the encoder left in it.
std::string encode(const Sha256Digest &digest) {
    Base62Text text;
    text.fill('#');
    if (base62_encode(digest, &text) != 0)
        return "<failed>";
    return std::string(text.data(), strnlen(text.data(), text.size()));
}

TEST(Base62, SmallNumbersAndBoundaries) {
    EXPECT_EQ(encode(number({0})), "0");
    EXPECT_EQ(encode(number({61})), "z");
    EXPECT_EQ(encode(number({62})), "10");
    EXPECT_EQ(encode(number({1, 0})), "48");
    EXPECT_EQ(encode(number({0x0f, 0x03})), "zz");   // 62 * 62 - 1 = 3843
    EXPECT_EQ(encode(number({0x0f, 0x04})), "100");  // 3844
}

TEST(Base62, FullWidthDigests) {
    Sha256Digest abc;
    Sha256Context ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, "abc", 3);
    sha256_final(&ctx, &abc);
    EXPECT_EQ(encode(abc), "iDUK5mbjE0q8kxKur8d0acwb3mlMY7nzH5i6WpR5bav");

    Sha256Digest top;
    top.fill(0xff);
    EXPECT_EQ(encode(top), "yhjskwdA6OZ1AL1YmHWZWm8LLG7HjnuCA2j5rOw8Xp1");  // 2^256 - 1
}

struct KnownAnswer {
    const char *mac;
    const char *model;
    const char *user;
    const char *password;
};

TEST(DevicePassword, KnownAnswers) {
    const KnownAnswer answers[] = {
        {"aa:bb:cc:dd:ee:ff", "RT-2400", "root", "Q91KX3qIkFdZ0K0W"},
        {"aa:bb:cc:dd:ee:ff", "RT-2400", "admin", "I5J9Z7f8R70gM2mq"},
        // No case folding: the same MAC in upper case is another device as far as we know.
        {"AA:BB:CC:DD:EE:FF", "RT-2400", "root", "Jw78YDDPL34WLD8S"},
    };
    for (const KnownAnswer &a : answers) {
        char password[kPasswordSize];
        std::memset(password, '#', sizeof password);
        ASSERT_EQ(compute_device_password(a.mac, a.model, a.user, password), 0);
        EXPECT_STREQ(password, a.password) << a.mac << " " << a.model << " " << a.user;
    }
}

}  // namespace
