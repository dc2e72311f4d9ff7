#include "shadow_hash.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SaltSetting, LowSixBitsPickFromCryptAlphabet) {
    std::array<std::uint8_t, kSaltBytes> random = {0x40, 0x7f, 0x00, 0x3f, 0x0a, 0x24, 0x3e, 0xff,
                                                   0x80, 0xc1, 0x25, 0x09, 0x10, 0x11, 0x12, 0x13};
    char setting[kSaltTextSize];
    make_salt_setting(random, setting);
    EXPECT_STREQ(setting, "$6$0/0/Aa./01b9GHIJ$");
}

}  // namespace
