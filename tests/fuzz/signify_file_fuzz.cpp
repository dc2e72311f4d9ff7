// Public key and signature files over any bytes: a file is taken exactly when it is the one
// canonical spelling of its contents, and then its fields are those bytes.
#include "fuzz_check.hpp"
#include "signature.hpp"

#include <cstring>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every alphabet character's six bits in order, whatever stands between them; partial bytes
// dropped.
std::string lenient_decode(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const auto at = kAlphabet.find(c);
        if (at == std::string_view::npos)
            continue;
        bits = (bits << 6 | static_cast<unsigned>(at)) & 0xffffu;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

std::string encode(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned group = 0;
        for (std::size_t j = 0; j < 3; ++j)
            group =
                group << 8 | (i + j < bytes.size() ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            out += j <= bytes.size() - i ? kAlphabet[(group >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
}

// Whether the file is exactly what signify writes for the bytes it holds, of this length.
bool canonical(std::string_view file, std::size_t length, std::string *payload) {
    const std::string_view header = "untrusted comment: ";
    const std::size_t end = file.find('\n');
    if (end == std::string_view::npos || !file.starts_with(header) || end == header.size() ||
        file.find('\0') != std::string_view::npos)
        return false;
    *payload = lenient_decode(file.substr(end + 1));
    if (payload->size() != length || payload->compare(0, 2, "Ed") != 0)
        return false;
    return std::string(file.substr(0, end + 1)) + encode(*payload) + "\n" == file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An exact-size heap copy: a read past the file's bytes trips the address checker.
    char *copy = static_cast<char *>(std::malloc(size == 0 ? 1 : size));
    if (size > 0)
        std::memcpy(copy, data, size);
    const std::string_view file(copy, size);
    const bool fits = size <= kSignifyFileMax;

    std::string payload;
    SignifyKey key{};
    const bool key_ok = parse_public_key(copy, size, &key) == 0;
    FUZZ_CHECK(key_ok == (fits && canonical(file, 42, &payload)));
    if (key_ok) {
        FUZZ_CHECK(std::memcmp(key.number.data(), payload.data() + 2, 8) == 0);
        FUZZ_CHECK(std::memcmp(key.key.data(), payload.data() + 10, 32) == 0);
    }
    SignifySignature sig{};
    const bool sig_ok = parse_signature(copy, size, &sig) == 0;
    FUZZ_CHECK(sig_ok == (fits && canonical(file, 74, &payload)));
    if (sig_ok) {
        FUZZ_CHECK(std::memcmp(sig.number.data(), payload.data() + 2, 8) == 0);
        FUZZ_CHECK(std::memcmp(sig.signature.data(), payload.data() + 10, 64) == 0);
    }
    std::free(copy);
    return 0;
}
