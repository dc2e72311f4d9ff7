#include "signature.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "shell_command.hpp"

namespace {

constexpr std::string_view kCommentHeader = "untrusted comment: ";
constexpr std::uint8_t kAlgorithm[2] = {'E', 'd'};

constexpr const char *kMsgKeyDir = "Cannot read key folder: %s\n";
constexpr const char *kMsgArchiveOpen = "Cannot open archive: %s\n";
constexpr const char *kMsgArchiveType = "Archive is not a regular file: %s\n";
constexpr const char *kMsgArchiveWritable = "Archive is writable by another account: %s\n";
constexpr const char *kMsgArchiveMap = "Archive too large to check: %s\n";
constexpr const char *kMsgSigMissing = "Missing signature: %s\n";
constexpr const char *kMsgSigOpen = "Cannot read signature: %s\n";
constexpr const char *kMsgSigType = "Signature is not a regular file: %s\n";
constexpr const char *kMsgSigMalformed = "Malformed signature: %s\n";
constexpr const char *kMsgNoKey = "No trusted key %s for signature: %s\n";
constexpr const char *kMsgBadSig = "Signature does not verify: %s\n";

struct FdHolder {
    int fd;
    ~FdHolder() {
        if (fd >= 0)
            close(fd);
    }
    int release() {
        int kept = fd;
        fd = -1;
        return kept;
    }
};

struct DirHolder {
    DIR *dir;
    ~DirHolder() {
        if (dir != nullptr)
            closedir(dir);
    }
};

struct Mapping {
    void *data;
    std::size_t size;
    ~Mapping() {
        if (data != MAP_FAILED && size > 0)
            munmap(data, size);
    }
};

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes exactly size bytes from padded base64 in its one canonical spelling: no blanks, the
// padding the size calls for, unused low bits zero. Anything else is not a file we wrote.
bool decode_base64(std::string_view text, std::uint8_t *out, std::size_t size) {
    if (text.size() != (size + 2) / 3 * 4)
        return false;
    const std::size_t padding = (3 - size % 3) % 3;
    std::size_t written = 0;
    for (std::size_t group = 0; group < text.size(); group += 4) {
        const bool last = group + 4 == text.size();
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[group + i];
            int value = 0;
            if (last && i >= 4 - padding) {
                if (c != '=')
                    return false;
            } else if ((value = base64_value(c)) < 0) {
                return false;
            }
            bits = bits << 6 | static_cast<std::uint32_t>(value);
        }
        const std::size_t take = last ? 3 - padding : 3;
        if (last && padding > 0 && (bits & ((1u << (8 * padding)) - 1)) != 0)
            return false;
        for (std::size_t i = 0; i < take; ++i)
            out[written++] = static_cast<std::uint8_t>(bits >> (16 - 8 * i));
    }
    return written == size;
}

// A comment line, then one base64 line of exactly size bytes starting with the algorithm, and
// nothing after it.
int parse_signify(const char *text, std::size_t length, std::uint8_t *out, std::size_t size) {
    if (text == nullptr || length > kSignifyFileMax)
        return -1;
    const std::string_view file(text, length);
    if (file.find('\0') != std::string_view::npos || !file.starts_with(kCommentHeader))
        return -1;
    const std::size_t comment_end = file.find('\n');
    // The comment may be anything but must be there; signify refuses an empty one too.
    if (comment_end == std::string_view::npos || comment_end == kCommentHeader.size())
        return -1;
    const std::size_t data_start = comment_end + 1;
    if (file.back() != '\n' || data_start >= file.size())
        return -1;
    // Built from the pointer: substr() would bring in the runtime library's out-of-range throw.
    const std::string_view data(file.data() + data_start, file.size() - 1 - data_start);
    if (!decode_base64(data, out, size))
        return -1;
    return std::memcmp(out, kAlgorithm, sizeof kAlgorithm) == 0 ? 0 : -1;
}

enum class ReadResult { kOk, kMissing, kUnreadable, kNotRegular, kTooLarge };

// Reads a whole small file without ever blocking on it: a FIFO or a device is refused after
// open, before any read.
ReadResult read_small_file(const char *path, char *buffer, std::size_t size, std::size_t *length) {
    FdHolder file{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0)
        return errno == ENOENT ? ReadResult::kMissing : ReadResult::kUnreadable;
    struct stat st {};
    if (fstat(file.fd, &st) != 0)
        return ReadResult::kUnreadable;
    if (!S_ISREG(st.st_mode))
        return ReadResult::kNotRegular;
    std::size_t have = 0;
    while (have < size) {
        ssize_t n = read(file.fd, buffer + have, size - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadResult::kUnreadable;
        if (n == 0) {
            *length = have;
            return ReadResult::kOk;
        }
        have += static_cast<std::size_t>(n);
    }
    return ReadResult::kTooLarge;
}

void key_number_hex(const KeyNumber &number, char (&out)[2 * 8 + 1]) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < number.size(); ++i) {
        out[2 * i] = kDigits[number[i] >> 4];
        out[2 * i + 1] = kDigits[number[i] & 0x0f];
    }
    out[2 * number.size()] = '\0';
}

// Opens the archive once; what is verified and later unpacked is this descriptor's file, which
// only root (or we) can change.
int open_archive(const char *archive) {
    FdHolder file{open(archive, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0) {
        std::fprintf(stderr, kMsgArchiveOpen, archive);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, kMsgArchiveType, archive);
        return -1;
    }
    if ((st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::fprintf(stderr, kMsgArchiveWritable, archive);
        return -1;
    }
    // tar reads it as standard input later; it must block as files do.
    int flags = fcntl(file.fd, F_GETFL);
    if (flags < 0 || fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        std::fprintf(stderr, kMsgArchiveOpen, archive);
        return -1;
    }
    return file.release();
}

int read_signature(const char *path, SignifySignature *signature) {
    char text[kSignifyFileMax + 1];
    std::size_t length = 0;
    switch (read_small_file(path, text, sizeof text, &length)) {
        case ReadResult::kOk:
            break;
        case ReadResult::kMissing:
            std::fprintf(stderr, kMsgSigMissing, path);
            return -1;
        case ReadResult::kUnreadable:
            std::fprintf(stderr, kMsgSigOpen, path);
            return -1;
        case ReadResult::kNotRegular:
            std::fprintf(stderr, kMsgSigType, path);
            return -1;
        case ReadResult::kTooLarge:
            std::fprintf(stderr, kMsgSigMalformed, path);
            return -1;
    }
    if (parse_signature(text, length, signature) != 0) {
        std::fprintf(stderr, kMsgSigMalformed, path);
        return -1;
    }
    return 0;
}

// Verifies the mapped archive against every readable key in the folder with the signature's key
// number. 1 verified, 0 no such key, -1 a key but no match.
int verify_with_keys(DIR *dir, const char *key_dir, const SignifySignature &signature,
                     const unsigned char *message, std::size_t size) {
    bool found = false;
    rewinddir(dir);
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        char path[kTextSize];
        int n = std::snprintf(path, sizeof path, "%s/%s", key_dir, entry->d_name);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
            continue;
        char text[kSignifyFileMax + 1];
        std::size_t length = 0;
        SignifyKey key{};
        // Whatever is not a readable key is simply not trusted.
        if (read_small_file(path, text, sizeof text, &length) != ReadResult::kOk ||
            parse_public_key(text, length, &key) != 0 || key.number != signature.number)
            continue;
        found = true;
        // No sodium_init(): Ed25519 verification uses no implementation picked at run time and
        // no randomness, while initialising would seed the random source (which can wait for
        // entropy early in boot) and link in code the device never runs.
        if (crypto_sign_verify_detached(signature.signature.data(), message, size,
                                        key.key.data()) == 0)
            return 1;
    }
    return found ? -1 : 0;
}

}  // namespace

bool has_entries(DIR *dir) {
    while (const dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            return true;
    return false;
}

int parse_public_key(const char *text, std::size_t length, SignifyKey *out) {
    std::uint8_t raw[2 + 8 + 32];
    if (parse_signify(text, length, raw, sizeof raw) != 0)
        return -1;
    std::memcpy(out->number.data(), raw + 2, out->number.size());
    std::memcpy(out->key.data(), raw + 10, out->key.size());
    return 0;
}

int parse_signature(const char *text, std::size_t length, SignifySignature *out) {
    std::uint8_t raw[2 + 8 + 64];
    if (parse_signify(text, length, raw, sizeof raw) != 0)
        return -1;
    std::memcpy(out->number.data(), raw + 2, out->number.size());
    std::memcpy(out->signature.data(), raw + 10, out->signature.size());
    return 0;
}

int check_bundle_signature(const char *archive, const char *key_dir, int *verified_fd) {
    *verified_fd = -1;
    DirHolder keys{opendir(key_dir)};
    if (keys.dir == nullptr) {
        if (errno == ENOENT)
            return 0;
        // A folder we cannot list might hold keys: refusing is the safe reading.
        std::fprintf(stderr, kMsgKeyDir, key_dir);
        return -1;
    }
    if (!has_entries(keys.dir))
        return 0;

    FdHolder file{open_archive(archive)};
    if (file.fd < 0)
        return -1;
    char sig_path[kTextSize];
    int n = std::snprintf(sig_path, sizeof sig_path, "%s%s", archive, kSignatureSuffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof sig_path) {
        std::fprintf(stderr, "Path too long: %s%s\n", archive, kSignatureSuffix);
        return -1;
    }
    SignifySignature signature{};
    if (read_signature(sig_path, &signature) != 0)
        return -1;

    struct stat st {};
    if (fstat(file.fd, &st) != 0 || static_cast<std::uintmax_t>(st.st_size) > SIZE_MAX) {
        std::fprintf(stderr, kMsgArchiveMap, archive);
        return -1;
    }
    // Mapped, not read into the heap: a router's RAM is smaller than some bundles.
    Mapping map{MAP_FAILED, static_cast<std::size_t>(st.st_size)};
    static const unsigned char kEmpty[1] = {0};
    const unsigned char *message = kEmpty;
    if (map.size > 0) {
        map.data = mmap(nullptr, map.size, PROT_READ, MAP_PRIVATE, file.fd, 0);
        if (map.data == MAP_FAILED) {
            std::fprintf(stderr, kMsgArchiveMap, archive);
            return -1;
        }
        (void)madvise(map.data, map.size, MADV_SEQUENTIAL);
        message = static_cast<const unsigned char *>(map.data);
    }
    int verdict = verify_with_keys(keys.dir, key_dir, signature, message, map.size);
    if (verdict == 0) {
        char hex[2 * 8 + 1];
        key_number_hex(signature.number, hex);
        std::fprintf(stderr, kMsgNoKey, hex, sig_path);
        return -1;
    }
    if (verdict < 0) {
        std::fprintf(stderr, kMsgBadSig, archive);
        return -1;
    }
    *verified_fd = file.release();
    return 0;
}
