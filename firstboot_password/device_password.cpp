#include "device_password.hpp"

#include <cstring>

#include "first_line.hpp"
#include "report.hpp"

namespace {

constexpr const char *kBase62Alphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kBase = 62;

}  // namespace

int base62_encode(const Sha256Digest &digest, Base62Text *text) {
    // 62^5 fits a 32-bit word, so one pass of long division over eight 32-bit limbs yields five
    // digits: the digits of the byte-wise division, in a tenth of the steps (factory tools derive
    // whole production batches with this).
    constexpr std::uint32_t kGroup = kBase * kBase * kBase * kBase * kBase;
    constexpr unsigned kGroupDigits = 5;
    std::array<std::uint32_t, kSha256DigestSize / 4> limbs;  // most significant first
    for (std::size_t i = 0; i < limbs.size(); ++i)
        limbs[i] = static_cast<std::uint32_t>(digest[4 * i]) << 24 |
                   static_cast<std::uint32_t>(digest[4 * i + 1]) << 16 |
                   static_cast<std::uint32_t>(digest[4 * i + 2]) << 8 |
                   static_cast<std::uint32_t>(digest[4 * i + 3]);
    std::array<char, kBase62TextSize> digits;  // least significant first
    std::size_t first = 0;                     // first non-zero limb
    while (first < limbs.size() && limbs[first] == 0)
        ++first;
    std::size_t count = 0;
    do {
        std::uint64_t remainder = 0;
        for (std::size_t i = first; i < limbs.size(); ++i) {
            std::uint64_t x = remainder << 32 | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(x / kGroup);
            remainder = x % kGroup;
        }
        while (first < limbs.size() && limbs[first] == 0)
            ++first;
        auto group = static_cast<std::uint32_t>(remainder);
        // The last group stops at its most significant non-zero digit; zero itself is "0".
        for (unsigned k = 0; k < kGroupDigits; ++k) {
            if (k > 0 && group == 0 && first == limbs.size())
                break;
            if (count == digits.size()) {
                report_error("failed to base62 encode password digest");
                return -1;
            }
            digits[count++] = kBase62Alphabet[group % kBase];
            group /= kBase;
        }
    } while (first < limbs.size());
    if (count == digits.size()) {
        report_error("failed to base62 encode password digest");
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i)
        (*text)[i] = digits[count - 1 - i];
    (*text)[count] = '\0';
    wipe(limbs.data(), sizeof limbs);
    wipe(digits.data(), digits.size());
    return 0;
}

int derive_password_in(PasswordWork *work, const char *mac_line, const char *model_line,
                       const char *username, char *password) {
    // "%s|%s|%s" joined by hand: a batch derives a million of these, and the formatter was a
    // sixth of the cost.
    const std::size_t lengths[] = {std::strlen(mac_line), std::strlen(model_line),
                                   std::strlen(username)};
    const char *parts[] = {mac_line, model_line, username};
    std::size_t length = lengths[0] + lengths[1] + lengths[2] + 2;
    if (length >= work->identifier.size()) {
        report_error("identifier input is too long");
        return -1;
    }
    char *at = work->identifier.data();
    for (std::size_t i = 0; i < 3; ++i) {
        if (i > 0)
            *at++ = '|';
        std::memcpy(at, parts[i], lengths[i]);
        at += lengths[i];
    }
    *at = '\0';
    sha256_init(&work->ctx);
    sha256_update(&work->ctx, work->identifier.data(), length);
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
