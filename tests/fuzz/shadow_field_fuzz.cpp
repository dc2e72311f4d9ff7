// Finding an account's password field in any shadow contents, and the splice it delimits.
#include <algorithm>
#include <cstring>

#include "fuzz_check.hpp"
#include "shadow_file.hpp"

namespace {

constexpr std::string_view kHashAlphabet =
    "$./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The rule stated plainly: the first line that starts with the name and a ":"; the field runs
// to the next ":" of that line.
FieldLookup reference(std::string_view content, std::string_view user, PasswordField *field) {
    std::size_t line = 0;
    for (;;) {
        std::size_t end = content.find('\n', line);
        std::string_view text = content.substr(
            line, end == std::string_view::npos ? std::string_view::npos : end - line);
        if (text.starts_with(user) && text.size() > user.size() && text[user.size()] == ':') {
            std::size_t second = text.find(':', user.size() + 1);
            if (second == std::string_view::npos)
                return FieldLookup::kMalformed;
            *field = PasswordField{line + user.size() + 1, line + second};
            return FieldLookup::kFound;
        }
        if (end == std::string_view::npos)
            return FieldLookup::kNoEntry;
        line = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    // Byte 0: user name length (0 to 15), byte 1: hash length (0 to 127); then the user name,
    // then the file contents. The hash is made from the contents' first bytes.
    const std::size_t user_len = std::min<std::size_t>(data[0] % 16, size - 2);
    const std::size_t hash_len = data[1] % 128;
    const char *bytes = reinterpret_cast<const char *>(data);
    const std::string user(bytes + 2, user_len);
    const std::size_t content_len = size - 2 - user_len;

    // An exact-size copy: a read past the contents trips the address checker.
    char *copy = static_cast<char *>(std::malloc(content_len == 0 ? 1 : content_len));
    std::memcpy(copy, bytes + 2 + user_len, content_len);
    const std::string_view content(copy, content_len);

    PasswordField field{~std::size_t{0}, ~std::size_t{0}};
    const FieldLookup got = find_password_field(content, user, &field);
    PasswordField want_field{};
    const FieldLookup want = reference(content, user, &want_field);
    FUZZ_CHECK(got == want);

    if (got == FieldLookup::kFound) {
        FUZZ_CHECK(field.start == want_field.start && field.end == want_field.end);
        // The field sits between the colon after the name and the next colon, on one line.
        FUZZ_CHECK(field.start >= user.size() + 1 && field.start <= field.end &&
                   field.end < content.size());
        FUZZ_CHECK(content[field.start - 1] == ':' && content[field.end] == ':');
        const std::string_view old_field = content.substr(field.start, field.end - field.start);
        FUZZ_CHECK(old_field.find_first_of(":\n") == std::string_view::npos);
        const std::size_t line = field.start - user.size() - 1;
        FUZZ_CHECK(line == 0 || content[line - 1] == '\n');
        FUZZ_CHECK_EQ(content.substr(line, user.size()), user);

        // The splice the rewrite writes: everything before the field, the hash, everything from
        // the closing colon on.
        std::string hash;
        for (std::size_t i = 0; i < hash_len; i++)
            hash += kHashAlphabet[static_cast<unsigned char>(i < content.size() ? content[i] : 0) %
                                  kHashAlphabet.size()];
        const std::string spliced = std::string(content.substr(0, field.start)) + hash +
                                    std::string(content.substr(field.end));
        FUZZ_CHECK(spliced.size() == content.size() - old_field.size() + hash.size());
        FUZZ_CHECK_EQ(std::string_view(spliced).substr(0, field.start),
                      content.substr(0, field.start));
        FUZZ_CHECK_EQ(std::string_view(spliced).substr(field.start + hash.size()),
                      content.substr(field.end));
        // Searched again, the same line now carries the hash: a second run over the rewritten
        // file (the second account's) sees the first one's change, and nothing else moved.
        PasswordField again{};
        FUZZ_CHECK(find_password_field(spliced, user, &again) == FieldLookup::kFound);
        FUZZ_CHECK(again.start == field.start && again.end == field.start + hash.size());
    }
    std::free(copy);
    return 0;
}
