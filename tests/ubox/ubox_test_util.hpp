// Helpers shared by the message-buffer tests.
#pragma once

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdio>
#include <string>

// A buffer initialised with type 0 and freed on scope exit.
struct ScopedBlobBuf {
    blob_buf b{};
    explicit ScopedBlobBuf(bool (*grow)(blob_buf *, int) = nullptr) {
        b.grow = grow;
        init_status = blob_buf_init(&b, 0);
    }
    ~ScopedBlobBuf() { blob_buf_free(&b); }
    ScopedBlobBuf(const ScopedBlobBuf &) = delete;
    ScopedBlobBuf &operator=(const ScopedBlobBuf &) = delete;
    int init_status;
};

inline std::string hex(const void *p, size_t n) {
    std::string out;
    const auto *c = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++) {
        char two[3];
        std::snprintf(two, sizeof(two), "%02x", c[i]);
        out += two;
    }
    return out;
}

// The whole head, as the wire bytes.
inline std::string head_hex(const blob_buf &b) {
    return hex(b.head, blob_raw_len(b.head));
}
