#include "device_password.hpp"

#include <cstdint>
#include <cstdio>

#include "first_line.hpp"
#include "report.hpp"

namespace {

constexpr const char *kBase62Alphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kBase = 62;

// Factory hosts derive whole production batches: dividing 32-bit limbs by 62^5 gives the same
// digits as dividing bytes by 62, in a tenth of the steps. The device keeps the plain division,
// which needs no 64-bit divide from the runtime library and less flash.
#if UINTPTR_MAX > 0xffffffffu
#define ZU_BASE62_BY_LIMBS 1
// Digits of the big-endian number in `work` (eight 32-bit limbs), least significant first, by long
// division by 62^5: five digits a pass, and two passes share one loop, the second dividing each
// quotient limb as the first produces it, so that their chains of dependent steps overlap. The
// last group stops at its most significant non-zero digit. -1 once the digits would not fit.
int divide_out(std::array<std::uint32_t, kSha256DigestSize / 4> *work, char *digits,
               std::size_t places, std::size_t *count) {
    constexpr std::uint64_t kGroup = 62ull * 62 * 62 * 62 * 62;
    constexpr unsigned kGroupDigits = 5;
    auto append = [&](std::uint32_t group, bool last) {
        for (unsigned k = 0; k < kGroupDigits; ++k) {
            if (k > 0 && group == 0 && last)
                break;
            if (*count == places)
                return false;
            digits[(*count)++] = kBase62Alphabet[group % kBase];
            group /= kBase;
        }
        return true;
    };
    std::size_t first = 0;  // first non-zero limb
    while (first < work->size() && (*work)[first] == 0)
        ++first;
    do {
        std::uint64_t low = 0, high = 0, between = 0;
        for (std::size_t i = first; i < work->size(); ++i) {
            std::uint64_t x = low << 32 | (*work)[i];
            std::uint64_t q = x / kGroup;
            low = x % kGroup;
            between |= q;
            std::uint64_t y = high << 32 | q;
            (*work)[i] = static_cast<std::uint32_t>(y / kGroup);
            high = y % kGroup;
        }
        while (first < work->size() && (*work)[first] == 0)
            ++first;
        if (!append(static_cast<std::uint32_t>(low), between == 0) ||
            (between != 0 && !append(static_cast<std::uint32_t>(high), first == work->size())))
            return -1;
    } while (first < work->size());
    return 0;
}
#endif

}  // namespace

int base62_encode(const Sha256Digest &digest, Base62Text *text) {
    std::array<char, kBase62TextSize> digits;  // least significant first
    std::size_t count = 0;
#ifdef ZU_BASE62_BY_LIMBS
    {
        std::array<std::uint32_t, kSha256DigestSize / 4> work;
        for (std::size_t i = 0; i < work.size(); ++i)
            work[i] = static_cast<std::uint32_t>(digest[4 * i]) << 24 |
                      static_cast<std::uint32_t>(digest[4 * i + 1]) << 16 |
                      static_cast<std::uint32_t>(digest[4 * i + 2]) << 8 |
                      static_cast<std::uint32_t>(digest[4 * i + 3]);
        if (divide_out(&work, digits.data(), digits.size(), &count) != 0 ||
            count == digits.size()) {
            report_error("failed to base62 encode password digest");
            return -1;
        }
        wipe(work.data(), sizeof work);
    }
#else
    {
        Sha256Digest work = digest;
        std::size_t length = work.size();
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
        wipe(work.data(), work.size());
    }
#endif
    for (std::size_t i = 0; i < count; ++i)
        (*text)[i] = digits[count - 1 - i];
    (*text)[count] = '\0';
    wipe(digits.data(), digits.size());
    return 0;
}

int derive_password_in(PasswordWork *work, const char *mac_line, const char *model_line,
                       const char *username, char *password) {
    int length = std::snprintf(work->identifier.data(), work->identifier.size(), "%s|%s|%s",
                               mac_line, model_line, username);
    if (length < 0 || static_cast<std::size_t>(length) >= work->identifier.size()) {
        report_error("identifier input is too long");
        return -1;
    }
    sha256_init(&work->ctx);
    sha256_update(&work->ctx, work->identifier.data(), static_cast<std::size_t>(length));
    sha256_final(&work->ctx, &work->digest);
    if (base62_encode(work->digest, &work->text) != 0)
        return -1;
    std::size_t digits = 0;
    while (digits < kPasswordLength && work->text[digits] != '\0')
        ++digits;
    if (digits != kPasswordLength) {
        report_error("base62 digest was unexpectedly short");
        return -1;
    }
    for (std::size_t i = 0; i < kPasswordLength; ++i)
        password[i] = work->text[i];
    password[kPasswordLength] = '\0';
    return 0;
}

void wipe_password_work(PasswordWork *work) {
    wipe(work->identifier.data(), work->identifier.size());
    wipe(work->text.data(), work->text.size());
    wipe(work->digest.data(), work->digest.size());
    wipe(&work->ctx, sizeof work->ctx);
}

int compute_device_password(const char *mac_line, const char *model_line, const char *username,
                            char *password) {
    PasswordWork work{};
    int result = derive_password_in(&work, mac_line, model_line, username, password);
    wipe_password_work(&work);
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
