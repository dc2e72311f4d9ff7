#include "manifest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
}

#include "msg_lookup.hpp"
#include "shell_command.hpp"

namespace {

constexpr const char *kOrderName = "order";

struct FileHolder {
    FILE *file;
    ~FileHolder() {
        if (file != nullptr)
            std::fclose(file);
    }
};

struct TextHolder {
    char *text;
    ~TextHolder() { std::free(text); }
};

// Frees the buffer on every path once it has been set up.
struct BufHolder {
    struct blob_buf buf;
    ~BufHolder() { blob_buf_free(&buf); }
};

// Whole file as a NUL-terminated text in a malloc'ed buffer; null after a message.
char *read_manifest(const char *path) {
    // Opened without blocking and checked first: a FIFO planted as the manifest would otherwise
    // hold the installer forever. For a regular file this is what fopen(path, "r") does.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror("fopen");
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        std::fputs("Failed to read manifest file\n", stderr);
        return nullptr;
    }
    FileHolder file{fdopen(fd, "r")};
    if (file.file == nullptr) {
        std::perror("fopen");
        close(fd);
        return nullptr;
    }
    long size = -1;
    if (std::fseek(file.file, 0, SEEK_END) == 0)
        size = std::ftell(file.file);
    if (size < 0 || size > kManifestMaxSize || std::fseek(file.file, 0, SEEK_SET) != 0) {
        std::fputs("Failed to read manifest file\n", stderr);
        return nullptr;
    }
    auto length = static_cast<std::size_t>(size);
    TextHolder text{static_cast<char *>(std::malloc(length + 1))};
    if (text.text == nullptr || std::fread(text.text, 1, length, file.file) != length) {
        std::fputs("Failed to read manifest file\n", stderr);
        return nullptr;
    }
    text.text[length] = '\0';
    char *result = text.text;
    text.text = nullptr;
    return result;
}

}  // namespace

int install_command(const char *package_path, char *command) {
    char quoted[kTextSize];
    bool fits = shell_quote(package_path, quoted, sizeof quoted) == 0;
    if (fits) {
        int n = std::snprintf(command, kTextSize, "opkg install %s", quoted);
        fits = n >= 0 && static_cast<unsigned>(n) < kTextSize;
    }
    if (!fits) {
        std::fprintf(stderr, "Command too long: opkg install %s\n", package_path);
        return -1;
    }
    return 0;
}

int install_package(const char *package_path) {
    char command[kTextSize];
    if (install_command(package_path, command) != 0)
        return -1;
    return run_shell_command(command);
}

int load_manifest(const char *manifest_path, struct blob_buf *buf) {
    TextHolder text{read_manifest(manifest_path)};
    if (text.text == nullptr)
        return -1;
    // A buffer that cannot be set up cannot take the manifest either.
    bool parsed = blob_buf_init(buf, 0) == 0 && blobmsg_add_json_from_string(buf, text.text);
    if (!parsed) {
        std::fputs("Failed to parse JSON manifest\n", stderr);
        return -1;
    }
    return 0;
}

int walk_order(struct blob_buf *buf, const char *package_dir, OrderVisit visit, void *context) {
    struct blob_attr *order = msg_find(buf->head, kOrderName);
    if (order == nullptr || blob_id(order) != BLOBMSG_TYPE_ARRAY) {
        std::fputs("Invalid manifest format: 'order' is not an array\n", stderr);
        return -1;
    }
    MsgWalk walk = msg_walk_start(order);
    while (struct blob_attr *element = msg_walk_next(&walk)) {
        const char *package = msg_string_of(element);
        if (package == nullptr) {
            std::fputs("Invalid manifest format: 'order' item is not a string\n", stderr);
            return -1;
        }
        char path[kTextSize];
        int n = std::snprintf(path, sizeof path, "%s/%s", package_dir, package);
        bool fits = n >= 0 && static_cast<unsigned>(n) < sizeof path;
        if (!fits)
            std::fprintf(stderr, "Path too long: %s/%s\n", package_dir, package);
        if (visit(package, fits ? path : nullptr, context) != 0)
            return -1;
    }
    return 0;
}

namespace {

int install_visit(const char *package, const char *path, void *) {
    if (path == nullptr || install_package(path) != 0) {
        std::fprintf(stderr, "Failed to install %s\n", package);
        return -1;
    }
    return 0;
}

}  // namespace

int process_manifest(const char *manifest_path, const char *package_dir) {
    BufHolder holder{};
    if (load_manifest(manifest_path, &holder.buf) != 0)
        return -1;
    return walk_order(&holder.buf, package_dir, install_visit, nullptr);
}
