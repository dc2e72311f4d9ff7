#include "device_password.hpp"

#include <cstdio>

#include "first_line.hpp"
#include "report.hpp"

namespace {

constexpr const char *kBase62Alphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kBase = 62;

}  // namespace

int base62_encode(const Sha256Digest &digest, Base62Text *text) {
    Sha256Digest work = digest;
    std::array<char, kBase62TextSize> digits;
    std::size_t length = work.size();
    std::size_t count = 0;
    do {
        unsigned remainder = 0;
        std::size_t stored = 0;
        for (std::size_t i = 0; i < length; ++i) {
            unsigned x = remainder * 256 + work[i];
            unsigned quotient = x / kBase;
            remainder = x % kBase;
            if (quotient != 0 || stored != 0)
                work[stored++] = static_cast<std::uint8_t>(quotient);
        }
        length = stored;
        if (count == digits.size()) {
            report_error("failed to base62 encode password digest");
            return -1;
        }
        digits[count++] = kBase62Alphabet[remainder];
    } while (length != 0);
    if (count == digits.size()) {
        report_error("failed to base62 encode password digest");
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i)
        (*text)[i] = digits[count - 1 - i];
    (*text)[count] = '\0';
    wipe(work.data(), work.size());
    wipe(digits.data(), digits.size());
    return 0;
}

int compute_device_password(const char *mac_line, const char *model_line, const char *username,
                            char *password) {
    std::array<char, kIdentifierSize> identifier;
    Sha256Digest digest{};
    Sha256Context ctx{};
    Base62Text text{};
    int result = -1;
    int length = std::snprintf(identifier.data(), identifier.size(), "%s|%s|%s", mac_line,
                               model_line, username);
    if (length < 0 || static_cast<std::size_t>(length) >= identifier.size()) {
        report_error("identifier input is too long");
    } else {
        sha256_init(&ctx);
        sha256_update(&ctx, identifier.data(), static_cast<std::size_t>(length));
        sha256_final(&ctx, &digest);
        if (base62_encode(digest, &text) == 0) {
            std::size_t digits = 0;
            while (digits < kPasswordLength && text[digits] != '\0')
                ++digits;
            if (digits == kPasswordLength) {
                for (std::size_t i = 0; i < kPasswordLength; ++i)
                    password[i] = text[i];
                password[kPasswordLength] = '\0';
                result = 0;
            } else {
                report_error("base62 digest was unexpectedly short");
            }
        }
    }
    wipe(identifier.data(), identifier.size());
    wipe(text.data(), text.size());
    wipe(digest.data(), digest.size());
    wipe(&ctx, sizeof ctx);
    return result;
}

int derive_device_password(AccountEntry *entry) {
    std::array<char, kMacLineSize> mac;
    std::array<char, kModelLineSize> model;
    if (read_first_line(kMacPath, mac.data(), mac.size()) != 0) {
        report_error("failed to read %s", kMacPath);
        return -1;
    }
    if (read_first_line(kModelPath, model.data(), model.size()) != 0) {
        report_error("failed to read %s", kModelPath);
        return -1;
    }
    int result = compute_device_password(mac.data(), model.data(), entry->username.data(),
                                         entry->password.data());
    wipe(mac.data(), mac.size());
    wipe(model.data(), model.size());
    return result;
}
