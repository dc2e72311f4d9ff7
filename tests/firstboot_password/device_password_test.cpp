#include "device_password.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

// Schoolbook long division by 62, one byte at a time: the plainest statement of the encoding.
std::string bytewise_base62(Sha256Digest work) {
    const char *alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string digits;
    std::size_t length = work.size();
    do {
        unsigned r = 0;
        std::size_t stored = 0;
        for (std::size_t i = 0; i < length; ++i) {
            unsigned x = r * 256 + work[i];
            r = x % 62;
            if (x / 62 != 0 || stored != 0)
                work[stored++] = static_cast<std::uint8_t>(x / 62);
        }
        length = stored;
        digits.insert(digits.begin(), alphabet[r]);
    } while (length != 0);
    return digits;
}

TEST(Base62, AgreesWithBytewiseDivision) {
    std::vector<Sha256Digest> cases;
    // Numbers of every byte length, around powers of 62 and with zero limbs inside.
    for (std::size_t n = 1; n <= 32; ++n) {
        Sha256Digest d{};
        d[32 - n] = 1;
        cases.push_back(d);
        d[32 - n] = 0xff;
        cases.push_back(d);
    }
    for (unsigned e = 1; e <= 42; ++e) {  // 62^e - 1, 62^e and 62^e + 1
        Sha256Digest p{};
        p[31] = 1;
        for (unsigned k = 0; k < e; ++k) {
            unsigned carry = 0;
            for (std::size_t i = 32; i-- > 0;) {
                unsigned x = p[i] * 62u + carry;
                p[i] = static_cast<std::uint8_t>(x);
                carry = x >> 8;
            }
        }
        Sha256Digest below = p, above = p;
        for (std::size_t i = 32; i-- > 0 && below[i]-- == 0;) {
        }
        for (std::size_t i = 32; i-- > 0 && ++above[i] == 0;) {
        }
        cases.insert(cases.end(), {below, p, above});
    }
    Sha256Digest sparse{};
    sparse[0] = 0x80;
    sparse[31] = 1;
    cases.push_back(sparse);
    std::uint64_t seed = 0x9e3779b97f4a7c15;
    for (int i = 0; i < 20000; ++i) {
        Sha256Digest d;
        for (auto &b : d) {
            seed = seed * 6364136223846793005 + 1442695040888963407;
            b = static_cast<std::uint8_t>(seed >> 56);
        }
        // Short numbers too: clear a random number of leading bytes.
        for (std::size_t z = static_cast<std::size_t>((seed >> 8) % 33), j = 0; j < z && i % 4 == 0;
             ++j)
            d[j] = 0;
        cases.push_back(d);
    }
    for (const Sha256Digest &d : cases)
        ASSERT_EQ(encode(d), bytewise_base62(d));
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
    // The longest lines the device reads and the longest user name: 383 characters, which fit.
    const std::string mac(63, 'm'), model(255, 'x'), user(63, 'u');
    char longest[kPasswordSize];
    ASSERT_EQ(compute_device_password(mac.c_str(), model.c_str(), user.c_str(), longest), 0);
    EXPECT_STREQ(longest, "NH0DhngpoCFghel6");
    for (const KnownAnswer &a : answers) {
        char password[kPasswordSize];
        std::memset(password, '#', sizeof password);
        ASSERT_EQ(compute_device_password(a.mac, a.model, a.user, password), 0);
        EXPECT_STREQ(password, a.password) << a.mac << " " << a.model << " " << a.user;
    }
}

}  // namespace
