// Builders for the attribute buffer. The buffer may move when it grows, so everything
// that must survive a growth (the open container, cookies) is kept as an offset.
extern "C" {
#include <libubox/blobmsg.h>
}

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// An attribute's length field has 24 bits; the whole buffer lives in one top attribute.
constexpr size_t kMaxRawLen = BLOB_ATTR_LEN_MASK;
constexpr size_t kMaxNameLen = UINT16_MAX;
constexpr int kGrowStep = 256;
// Cookies are offsets of the enclosing container, biased so that offset 0 is not null.
constexpr uintptr_t kCookieBias = 1;

size_t pad4(size_t len) {
    return (len + BLOB_ATTR_ALIGN - 1) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1);
}

void store_be16(void *p, uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    memcpy(p, b, sizeof(b));
}

void store_be32(void *p, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    memcpy(p, b, sizeof(b));
}

void store_be64(void *p, uint64_t v) {
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(static_cast<char *>(p) + 4, static_cast<uint32_t>(v));
}

void set_raw_len(blob_attr *attr, size_t len) {
    const uint32_t word = blob_load_be32(attr) & ~BLOB_ATTR_LEN_MASK;
    store_be32(attr, word | static_cast<uint32_t>(len));
}

char *base(const blob_buf *buf) {
    return static_cast<char *>(buf->buf);
}

size_t head_offset(const blob_buf *buf) {
    return static_cast<size_t>(reinterpret_cast<char *>(buf->head) - base(buf));
}

// Doubling keeps many small additions linear; a failed realloc leaves the old block intact.
bool default_grow(blob_buf *buf, int minlen) {
    if (minlen <= 0 || buf->buflen < 0)
        return false;
    const size_t want = static_cast<size_t>(buf->buflen) + static_cast<size_t>(minlen);
    size_t len = static_cast<size_t>(buf->buflen) * 2;
    if (len < want)
        len = (want + kGrowStep - 1) / kGrowStep * kGrowStep;
    if (len > INT32_MAX)
        return false;
    void *p = realloc(buf->buf, len);
    if (!p)
        return false;
    buf->buf = p;
    buf->buflen = static_cast<int>(len);
    return true;
}

// Makes room for `end` bytes from the buffer's start; the head keeps its offset.
bool reserve(blob_buf *buf, size_t end, size_t head_off) {
    if (buf->buflen >= 0 && end <= static_cast<size_t>(buf->buflen))
        return true;
    const size_t have = buf->buflen > 0 ? static_cast<size_t>(buf->buflen) : 0;
    const bool grown = buf->grow(buf, static_cast<int>(end - have));
    if (!buf->buf)
        return false;
    // The block may have moved even when it is still too small.
    buf->head = reinterpret_cast<blob_attr *>(base(buf) + head_off);
    return grown && buf->buflen >= 0 && static_cast<size_t>(buf->buflen) >= end;
}

// Appends a named attribute with room for payload_len bytes after its header, padding
// zeroed, without counting it in the open container yet. Null when it cannot be added.
blob_attr *append_attr(blob_buf *buf, int type, const char *name, size_t payload_len) {
    if (!buf || !buf->head || !buf->buf || !buf->grow || type < 0 ||
        type > static_cast<int>(BLOB_ATTR_ID_MASK >> BLOB_ATTR_ID_SHIFT))
        return nullptr;
    if (!name)
        name = "";
    const size_t namelen = strlen(name);
    if (namelen > kMaxNameLen || payload_len > kMaxRawLen)
        return nullptr;
    const size_t hdrlen = static_cast<size_t>(blobmsg_hdrlen(static_cast<unsigned>(namelen)));
    const size_t raw = sizeof(blob_attr) + hdrlen + payload_len;
    const size_t head_off = head_offset(buf);
    // The open container is always the last thing in the buffer and ends aligned.
    const size_t end = head_off + blob_raw_len(buf->head);
    if (raw > kMaxRawLen || end + pad4(raw) > kMaxRawLen)
        return nullptr;
    if (!reserve(buf, end + pad4(raw), head_off))
        return nullptr;

    char *p = base(buf) + end;
    memset(p, 0, pad4(raw));
    store_be32(p, BLOB_ATTR_EXTENDED | static_cast<uint32_t>(type) << BLOB_ATTR_ID_SHIFT |
                      static_cast<uint32_t>(raw));
    store_be16(p + sizeof(blob_attr), static_cast<uint16_t>(namelen));
    memcpy(p + sizeof(blob_attr) + sizeof(blobmsg_hdr), name, namelen);
    return reinterpret_cast<blob_attr *>(p);
}

// Counts a finished member in the open container.
void commit(blob_buf *buf, const blob_attr *attr) {
    set_raw_len(buf->head, blob_raw_len(buf->head) + blob_pad_len(attr));
}

void *open_nested(blob_buf *buf, const char *name, int type) {
    blob_attr *attr = append_attr(buf, type, name, 0);
    if (!attr)
        return nullptr;
    const uintptr_t cookie = head_offset(buf) + kCookieBias;
    buf->head = attr;
    return reinterpret_cast<void *>(cookie);
}

void close_nested(blob_buf *buf, void *cookie) {
    if (!buf || !buf->head || !buf->buf || !cookie)
        return;
    const size_t cur = head_offset(buf);
    const uintptr_t off = reinterpret_cast<uintptr_t>(cookie) - kCookieBias;
    // The enclosing container must end exactly where the one being closed starts.
    if (off >= cur || off % BLOB_ATTR_ALIGN != 0)
        return;
    blob_attr *outer = reinterpret_cast<blob_attr *>(base(buf) + off);
    if (off + blob_raw_len(outer) != cur)
        return;
    const blob_attr *inner = buf->head;
    buf->head = outer;
    commit(buf, inner);
}

}  // namespace

extern "C" {

int blob_buf_init(struct blob_buf *buf, int id) {
    if (!buf || id < 0 || id > static_cast<int>(BLOB_ATTR_ID_MASK >> BLOB_ATTR_ID_SHIFT))
        return -EINVAL;
    if (!buf->grow)
        buf->grow = default_grow;
    if (!reserve(buf, sizeof(blob_attr), 0))
        return -ENOMEM;
    buf->head = static_cast<blob_attr *>(buf->buf);
    store_be32(buf->head, static_cast<uint32_t>(id) << BLOB_ATTR_ID_SHIFT | sizeof(blob_attr));
    return 0;
}

void blob_buf_free(struct blob_buf *buf) {
    if (!buf)
        return;
    free(buf->buf);
    buf->buf = nullptr;
    buf->head = nullptr;
    buf->buflen = 0;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len) {
    if (!data && len > 0)
        return -1;
    blob_attr *attr = append_attr(buf, type, name, len);
    if (!attr)
        return -1;
    if (len > 0)
        memcpy(blobmsg_data(attr), data, len);
    commit(buf, attr);
    return 0;
}

int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string) {
    if (!string)
        return -1;
    const size_t len = strlen(string) + 1;
    if (len > kMaxRawLen)
        return -1;
    return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, string, static_cast<unsigned>(len));
}

int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val) {
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT8, name, &val, 1);
}

int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val) {
    uint8_t b[2];
    store_be16(b, val);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT16, name, b, sizeof(b));
}

int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val) {
    uint8_t b[4];
    store_be32(b, val);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, b, sizeof(b));
}

int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val) {
    uint8_t b[8];
    store_be64(b, val);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, b, sizeof(b));
}

int blobmsg_add_double(struct blob_buf *buf, const char *name, double val) {
    uint64_t bits;
    memcpy(&bits, &val, sizeof(bits));
    uint8_t b[8];
    store_be64(b, bits);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_DOUBLE, name, b, sizeof(b));
}

void *blobmsg_open_table(struct blob_buf *buf, const char *name) {
    return open_nested(buf, name, BLOBMSG_TYPE_TABLE);
}

void *blobmsg_open_array(struct blob_buf *buf, const char *name) {
    return open_nested(buf, name, BLOBMSG_TYPE_ARRAY);
}

void blobmsg_close_table(struct blob_buf *buf, void *cookie) {
    close_nested(buf, cookie);
}

void blobmsg_close_array(struct blob_buf *buf, void *cookie) {
    close_nested(buf, cookie);
}

}  // extern "C"
