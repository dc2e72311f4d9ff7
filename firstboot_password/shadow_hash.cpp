#include "shadow_hash.hpp"

#include <crypt.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report.hpp"

namespace {

constexpr const char *kSaltAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz./";
constexpr const char *kSha512Prefix = "$6$";

// Blocks until the kernel's pool is ready; short reads and interrupted calls are carried on.
int fill_random(std::array<std::uint8_t, kSaltBytes> *random) {
    std::size_t have = 0;
    while (have < random->size()) {
        ssize_t got = getrandom(random->data() + have, random->size() - have, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        have += static_cast<std::size_t>(got);
    }
    return 0;
}

}  // namespace

void make_salt_setting(const std::array<std::uint8_t, kSaltBytes> &random, char *setting) {
    std::size_t at = 0;
    for (const char *p = kSha512Prefix; *p != '\0'; ++p)
        setting[at++] = *p;
    for (std::uint8_t byte : random)
        setting[at++] = kSaltAlphabet[byte & 0x3f];
    setting[at++] = '$';
    setting[at] = '\0';
}

int make_shadow_hash(AccountEntry *entry) {
    std::array<std::uint8_t, kSaltBytes> random;
    std::array<char, kSaltTextSize> setting{};
    if (fill_random(&random) != 0) {
        report_error("failed to read random salt");
        return -1;
    }
    make_salt_setting(random, setting.data());
    const char *hash = crypt(entry->password.data(), setting.data());
    int result = -1;
    if (hash == nullptr || std::strncmp(hash, kSha512Prefix, std::strlen(kSha512Prefix)) != 0) {
        report_error("failed to create sha512 shadow hash");
    } else {
        int length =
            std::snprintf(entry->shadow_hash.data(), entry->shadow_hash.size(), "%s", hash);
        if (length < 0 || static_cast<std::size_t>(length) >= entry->shadow_hash.size())
            report_error("shadow hash is too long");
        else
            result = 0;
    }
    wipe(random.data(), random.size());
    wipe(setting.data(), setting.size());
    return result;
}
