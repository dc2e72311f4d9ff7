#include "device_password.hpp"

#include <cstring>

#include "first_line.hpp"
#include "report.hpp"

namespace {

constexpr const char *kBase62Alphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kBase = 62;

struct Base62Digits {
    std::array<char, kBase62TextSize> data;  // least significant first
    std::size_t count;
};

// Appends the `width` digits of one group; the last group stops at its most significant non-zero
// digit, and zero itself is "0". False when the digits no longer fit.
bool append_group(Base62Digits *digits, std::uint32_t group, unsigned width, bool last) {
    for (unsigned k = 0; k < width; ++k) {
        if (k > 0 && group == 0 && last)
            break;
        if (digits->count == digits->data.size())
            return false;
        digits->data[digits->count++] = kBase62Alphabet[group % kBase];
        group /= kBase;
    }
    return true;
}

// Long division of the big-endian number in `work` by 62^width, which with a limb shifted in must
// stay within Wide, so each pass yields `width` digits. Two passes share one loop, the second
// dividing each quotient limb as the first produces it, so that their chains of dependent steps
// overlap. Leaves `work` zero.
template <typename Limb, typename Wide, unsigned width, std::size_t size>
bool divide_out(std::array<Limb, size> *work, Base62Digits *digits) {
    constexpr Wide kGroup = [] {
        Wide group = 1;
        for (unsigned k = 0; k < width; ++k)
            group *= kBase;
        return group;
    }();
    constexpr unsigned kShift = 8 * sizeof(Limb);
    static_assert(kGroup << kShift >> kShift == kGroup, "a step must fit the wide type");
    std::size_t first = 0;  // first non-zero limb
    while (first < size && (*work)[first] == 0)
        ++first;
    do {
        Wide low = 0, high = 0, between = 0;
        for (std::size_t i = first; i < size; ++i) {
            Wide x = low << kShift | (*work)[i];
            Wide q = x / kGroup;
            low = x % kGroup;
            between |= q;
            Wide y = high << kShift | q;
            (*work)[i] = static_cast<Limb>(y / kGroup);
            high = y % kGroup;
        }
        while (first < size && (*work)[first] == 0)
            ++first;
        bool ok = append_group(digits, static_cast<std::uint32_t>(low), width, between == 0) &&
                  (between == 0 ||
                   append_group(digits, static_cast<std::uint32_t>(high), width, first == size));
        if (!ok)
            return false;
    } while (first < size);
    return true;
}

}  // namespace

int base62_encode(const Sha256Digest &digest, Base62Text *text) {
    // Dividing by 62 a byte at a time is the plain way; dividing by a power of 62 gives the same
    // digits in a fraction of the steps, which factory tools deriving whole production batches
    // need. Where a 64-bit divide is native, 32-bit limbs go by 62^5; elsewhere (the device has no
    // 64-bit divide without the runtime library) bytes go by 62^4 in 32-bit arithmetic.
    Base62Digits digits;
    digits.count = 0;
    bool ok = false;
    if constexpr (sizeof(void *) >= 8) {
        std::array<std::uint32_t, kSha256DigestSize / 4> work;
        for (std::size_t i = 0; i < work.size(); ++i)
            work[i] = static_cast<std::uint32_t>(digest[4 * i]) << 24 |
                      static_cast<std::uint32_t>(digest[4 * i + 1]) << 16 |
                      static_cast<std::uint32_t>(digest[4 * i + 2]) << 8 |
                      static_cast<std::uint32_t>(digest[4 * i + 3]);
        ok = divide_out<std::uint32_t, std::uint64_t, 5>(&work, &digits);
        if (ok)
            wipe(work.data(), sizeof work);
    } else {
        Sha256Digest work = digest;
        ok = divide_out<std::uint8_t, std::uint32_t, 4>(&work, &digits);
        if (ok)
            wipe(work.data(), work.size());
    }
    if (!ok || digits.count == digits.data.size()) {
        report_error("failed to base62 encode password digest");
        return -1;
    }
    for (std::size_t i = 0; i < digits.count; ++i)
        (*text)[i] = digits.data[digits.count - 1 - i];
    (*text)[digits.count] = '\0';
    wipe(digits.data.data(), digits.data.size());
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
