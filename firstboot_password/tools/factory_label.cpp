// zu-factory-label: the factory passwords a device's label carries, from its MAC and model files,
// and a check that a shadow file stores hashes of exactly those passwords. Factory use only.
#include <crypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "account.hpp"
#include "device_password.hpp"
#include "first_line.hpp"
#include "report.hpp"
#include "shadow_file.hpp"

namespace {

constexpr std::size_t kMaxShadowSize = 1 << 20;

void usage() {
    std::fprintf(stderr,
                 "usage: zu-factory-label [--verify SHADOW_FILE] MAC_FILE MODEL_FILE USER...\n");
}

// Reads a whole (small) file into a heap buffer the caller frees; null on failure.
char *read_file(const char *path, std::size_t *length) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return nullptr;
    char *data = static_cast<char *>(std::malloc(kMaxShadowSize));
    std::size_t got = data == nullptr ? 0 : std::fread(data, 1, kMaxShadowSize, file);
    bool ok = data != nullptr && !std::ferror(file) && got < kMaxShadowSize;
    std::fclose(file);
    if (!ok) {
        std::free(data);
        return nullptr;
    }
    *length = got;
    return data;
}

// 0 when the user's stored hash is a hash of `password`.
int verify(std::string_view shadow, const char *user, const char *password) {
    PasswordField field{};
    if (find_password_field(shadow, user, &field) != FieldLookup::kFound)
        return -1;
    char stored[kShadowHashSize];
    int n = std::snprintf(stored, sizeof stored, "%.*s", static_cast<int>(field.end - field.start),
                          shadow.data() + field.start);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof stored)
        return -1;
    if (std::strncmp(stored, "$6$", 3) != 0)
        return -1;
    const char *again = crypt(password, stored);
    return again != nullptr && std::strcmp(again, stored) == 0 ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    int arg = 1;
    const char *shadow_path = nullptr;
    if (argc > 2 && std::strcmp(argv[1], "--verify") == 0) {
        shadow_path = argv[2];
        arg = 3;
    }
    if (argc - arg < 3) {
        usage();
        return 2;
    }
    char mac[kMacLineSize];
    char model[kModelLineSize];
    if (read_first_line(argv[arg], mac, sizeof mac) != 0 ||
        read_first_line(argv[arg + 1], model, sizeof model) != 0) {
        std::fprintf(stderr, "zu-factory-label: cannot read the MAC or model file\n");
        return 2;
    }
    char *shadow = nullptr;
    std::size_t shadow_length = 0;
    if (shadow_path != nullptr && (shadow = read_file(shadow_path, &shadow_length)) == nullptr) {
        std::fprintf(stderr, "zu-factory-label: cannot read %s\n", shadow_path);
        return 2;
    }
    int status = 0;
    for (int i = arg + 2; i < argc; ++i) {
        char password[kPasswordSize];
        if (compute_device_password(mac, model, argv[i], password) != 0) {
            std::fprintf(stderr, "zu-factory-label: cannot derive a password for %s\n", argv[i]);
            status = 2;
            continue;
        }
        if (shadow == nullptr) {
            std::printf("%s %s\n", argv[i], password);
        } else if (verify(std::string_view(shadow, shadow_length), argv[i], password) == 0) {
            std::printf("%s %s: stored hash verifies\n", argv[i], password);
        } else {
            std::printf("%s %s: stored hash does NOT verify\n", argv[i], password);
            status = 1;
        }
        wipe(password, sizeof password);
    }
    std::free(shadow);
    return status;
}
