/* Attribute buffers: a big-endian id/length word, then the payload, padded to 4 bytes.
 * C API; C++ code includes it inside extern "C" { }. */
#ifndef UBOX_COMPAT_BLOB_H
#define UBOX_COMPAT_BLOB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define BLOB_ATTR_ID_MASK 0x7f000000u
#define BLOB_ATTR_ID_SHIFT 24
#define BLOB_ATTR_LEN_MASK 0x00ffffffu
#define BLOB_ATTR_ALIGN 4
#define BLOB_ATTR_EXTENDED 0x80000000u

struct blob_attr {
    uint32_t id_len;
    char data[];
};

struct blob_buf {
    struct blob_attr *head;
    /* Enlarges buf by at least minlen bytes, updating buf and buflen; false if it cannot. */
    bool (*grow)(struct blob_buf *buf, int minlen);
    int buflen;
    void *buf;
};

/* Big-endian loads and stores through memcpy: attributes may sit at any address. */
static inline uint16_t blob_load_be16(const void *p) {
    uint8_t b[2];
    memcpy(b, p, sizeof(b));
    return (uint16_t)((unsigned)b[0] << 8 | b[1]);
}

static inline uint32_t blob_load_be32(const void *p) {
    uint8_t b[4];
    memcpy(b, p, sizeof(b));
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

static inline uint64_t blob_load_be64(const void *p) {
    const uint8_t *b = (const uint8_t *)p;
    return (uint64_t)blob_load_be32(b) << 32 | blob_load_be32(b + 4);
}

/* The attribute's payload, right after the id/length word. Pointer arithmetic rather than
 * attr->data: a member access through a misaligned attribute is itself undefined. */
static inline void *blob_data(const struct blob_attr *attr) {
    return (char *)attr + sizeof(struct blob_attr);
}

/* The attribute's type (7 bits). */
static inline unsigned int blob_id(const struct blob_attr *attr) {
    return (blob_load_be32(attr) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
}

/* True when a name header follows the word. */
static inline bool blob_is_extended(const struct blob_attr *attr) {
    return (blob_load_be32(attr) & BLOB_ATTR_EXTENDED) != 0;
}

/* Length of the whole attribute, the word included. */
static inline size_t blob_raw_len(const struct blob_attr *attr) {
    return blob_load_be32(attr) & BLOB_ATTR_LEN_MASK;
}

/* Length of the payload; 0 for a malformed word shorter than itself. */
static inline size_t blob_len(const struct blob_attr *attr) {
    size_t raw = blob_raw_len(attr);
    return raw < sizeof(struct blob_attr) ? 0 : raw - sizeof(struct blob_attr);
}

/* Raw length rounded up to the alignment: where the next attribute starts. */
static inline size_t blob_pad_len(const struct blob_attr *attr) {
    return (blob_raw_len(attr) + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

/* The attribute that follows this one. */
static inline struct blob_attr *blob_next(const struct blob_attr *attr) {
    return (struct blob_attr *)((char *)attr + blob_pad_len(attr));
}

/* Makes buf's head an empty attribute of type id (0..127), reusing buf's memory; buf must be
 * zeroed or used before. Returns 0, or -EINVAL / -ENOMEM. */
int blob_buf_init(struct blob_buf *buf, int id);

/* Releases the buffer's memory; the struct can be initialised again afterwards. */
void blob_buf_free(struct blob_buf *buf);

#endif
