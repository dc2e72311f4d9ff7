#include "shadow_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report.hpp"

namespace {

// The read buffer belongs to one call and is freed on every path out of it.
struct HeapBuffer {
    char *data = nullptr;
    HeapBuffer() = default;
    HeapBuffer(const HeapBuffer &) = delete;
    HeapBuffer &operator=(const HeapBuffer &) = delete;
    ~HeapBuffer() { std::free(data); }
};

// Reads the whole shadow file into `buffer`; -1 when it cannot (the caller reports).
int read_shadow(HeapBuffer *buffer, std::size_t *length, struct stat *st) {
    // A FIFO or a device here would hold the boot in open or read: only a regular file is read,
    // and the open itself never waits (regular files ignore O_NONBLOCK).
    int fd = open(kShadowPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_size < 0 ||
        static_cast<std::uint64_t>(st->st_size) > SIZE_MAX - kShadowSlack) {
        close(fd);
        return -1;
    }
    std::size_t size = static_cast<std::size_t>(st->st_size);
    buffer->data = static_cast<char *>(std::malloc(size + kShadowSlack));
    if (buffer->data == nullptr) {
        close(fd);
        return -1;
    }
    // size + kShadowSlack - 1 bytes would leave no room for the terminator: treat it as a
    // file still growing under us.
    std::size_t limit = size + kShadowSlack - 1;
    std::size_t have = 0;
    for (;;) {
        ssize_t got = read(fd, buffer->data + have, limit - have);
        if (got < 0) {
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        have += static_cast<std::size_t>(got);
        if (have >= limit) {
            close(fd);
            return -1;
        }
    }
    close(fd);
    buffer->data[have] = '\0';
    *length = have;
    return 0;
}

}  // namespace

FieldLookup find_password_field(std::string_view content, std::string_view username,
                                PasswordField *field) {
    std::size_t line = 0;
    while (line < content.size()) {
        std::size_t newline = content.find('\n', line);
        std::size_t line_end = newline == std::string_view::npos ? content.size() : newline;
        std::string_view text = content.substr(line, line_end - line);
        if (text.size() > username.size() && text.substr(0, username.size()) == username &&
            text[username.size()] == ':') {
            std::size_t second = text.find(':', username.size() + 1);
            if (second == std::string_view::npos)
                return FieldLookup::kMalformed;
            field->start = line + username.size() + 1;
            field->end = line + second;
            return FieldLookup::kFound;
        }
        if (newline == std::string_view::npos)
            break;
        line = newline + 1;
    }
    return FieldLookup::kNoEntry;
}

int write_all(int fd, const void *data, std::size_t length) {
    const char *bytes = static_cast<const char *>(data);
    while (length > 0) {
        ssize_t done = write(fd, bytes, length);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        // A write that moves nothing would spin here for ever at boot.
        if (done == 0) {
            errno = EIO;
            return -1;
        }
        bytes += done;
        length -= static_cast<std::size_t>(done);
    }
    return 0;
}

int replace_shadow_password(const AccountEntry *entry) {
    HeapBuffer buffer;
    std::size_t length = 0;
    struct stat st {};
    if (read_shadow(&buffer, &length, &st) != 0) {
        report_error("failed to read %s", kShadowPath);
        return -1;
    }
    const unsigned long uid = entry->uid;
    std::string_view content(buffer.data, length);
    PasswordField field{};
    switch (find_password_field(content, entry->username.data(), &field)) {
        case FieldLookup::kFound:
            break;
        case FieldLookup::kNoEntry:
            report_error("%s uid %lu user entry not found in %s", entry->label, uid, kShadowPath);
            unlink(kShadowTempPath);
            return -1;
        case FieldLookup::kMalformed:
            report_error("%s uid %lu user shadow entry is malformed", entry->label, uid);
            unlink(kShadowTempPath);
            return -1;
    }

    // Never write through what already sits at the temporary path: a symbolic link would send
    // the shadow content elsewhere, a FIFO would hold the boot, and a second name of the shadow
    // file (left by a cut between the two halves of a rename on some flash filesystems) would
    // have the live file truncated and rewritten in place. A directory stays and fails the create.
    unlink(kShadowTempPath);
    int fd = open(kShadowTempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        report_error("failed to open temporary shadow file");
        unlink(kShadowTempPath);
        return -1;
    }
    const char *hash = entry->shadow_hash.data();
    if (fchown(fd, st.st_uid, st.st_gid) != 0 || fchmod(fd, st.st_mode & 0777) != 0 ||
        write_all(fd, buffer.data, field.start) != 0 ||
        write_all(fd, hash, std::strlen(hash)) != 0 ||
        write_all(fd, buffer.data + field.end, length - field.end) != 0 || fsync(fd) != 0) {
        close(fd);
        unlink(kShadowTempPath);
        return -1;
    }
    if (close(fd) != 0) {
        unlink(kShadowTempPath);
        return -1;
    }
    if (rename(kShadowTempPath, kShadowPath) != 0) {
        report_error("failed to replace %s", kShadowPath);
        unlink(kShadowTempPath);
        return -1;
    }
    return 0;
}
