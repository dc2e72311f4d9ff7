// The shipped program must run on a firmware without the C++ runtime.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "e2e_support.hpp"

namespace fb_test {
namespace {

TEST(Footprint, NeedsNoCxxRuntime) {
#ifdef ZU_SANITIZE_BUILD
    GTEST_SKIP() << "the sanitizer runtime brings the C++ runtime with it";
#endif
    std::FILE *pipe = ::popen(("readelf -d '" + kProgram + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string needed;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (std::string(line).find("(NEEDED)") != std::string::npos)
            needed += line;
    }
    ASSERT_EQ(::pclose(pipe), 0);
    EXPECT_NE(needed.find("libc.so"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libstdc++"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libgcc_s"), std::string::npos) << needed;
}

}  // namespace
}  // namespace fb_test
