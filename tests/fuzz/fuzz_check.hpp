// What every fuzz target shares: the entry point's signature and a check that stops the run.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace zu_fuzz {

// Bytes as C++ would write them, so a failing report can be turned straight into a seed.
inline std::string escaped(std::string_view bytes) {
    std::string out;
    for (char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Straight to descriptor 2: a target may have swapped the stderr stream for a capture.
[[noreturn]] inline void fail(const char *file, int line, const char *what, std::string_view got,
                              std::string_view want) {
    dprintf(2, "%s:%d: property failed: %s\n", file, line, what);
    if (!got.empty() || !want.empty())
        dprintf(2, "  got:  \"%s\"\n  want: \"%s\"\n", escaped(got).c_str(), escaped(want).c_str());
    std::abort();
}

}  // namespace zu_fuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : zu_fuzz::fail(__FILE__, __LINE__, #cond, {}, {}))
#define FUZZ_CHECK_EQ(got, want)                                                                \
    do {                                                                                        \
        /* copies: either side may be a temporary */                                            \
        const std::string fuzz_got_{std::string_view(got)}, fuzz_want_{std::string_view(want)}; \
        if (fuzz_got_ != fuzz_want_)                                                            \
            zu_fuzz::fail(__FILE__, __LINE__, #got " == " #want, fuzz_got_, fuzz_want_);        \
    } while (0)
