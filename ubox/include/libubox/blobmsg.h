/* Named, typed attributes (tables, arrays and scalars) over blob.h.
 * C API; C++ code includes it inside extern "C" { }. */
#ifndef UBOX_COMPAT_BLOBMSG_H
#define UBOX_COMPAT_BLOBMSG_H

#include "blob.h"

enum blobmsg_type {
    BLOBMSG_TYPE_UNSPEC,
    BLOBMSG_TYPE_ARRAY,
    BLOBMSG_TYPE_TABLE,
    BLOBMSG_TYPE_STRING,
    BLOBMSG_TYPE_INT64,
    BLOBMSG_TYPE_INT32,
    BLOBMSG_TYPE_INT16,
    BLOBMSG_TYPE_INT8,
    BLOBMSG_TYPE_DOUBLE,
    BLOBMSG_TYPE_LAST = BLOBMSG_TYPE_DOUBLE,
    BLOBMSG_TYPE_BOOL = BLOBMSG_TYPE_INT8,
};

struct blobmsg_hdr {
    uint16_t namelen;
    uint8_t name[];
} __attribute__((packed));

/* Bytes that a header for a name of namelen bytes takes: length, name, NUL, padding. */
static inline int blobmsg_hdrlen(unsigned int namelen) {
    return (int)((sizeof(struct blobmsg_hdr) + namelen + 1 + BLOB_ATTR_ALIGN - 1) &
                 ~(size_t)(BLOB_ATTR_ALIGN - 1));
}

/* Header length of an extended attribute, or 0 when its header does not fit inside it. */
static inline size_t blobmsg_hdr_fit(const struct blob_attr *attr) {
    size_t len = blob_len(attr);
    if (len < sizeof(struct blobmsg_hdr))
        return 0;
    size_t hdrlen = (size_t)blobmsg_hdrlen(blob_load_be16(blob_data(attr)));
    return hdrlen <= len ? hdrlen : 0;
}

/* The member's name; "" when it has none or its header is malformed. */
static inline const char *blobmsg_name(const struct blob_attr *attr) {
    if (!attr || !blob_is_extended(attr) || blobmsg_hdr_fit(attr) == 0)
        return "";
    const char *name = (const char *)blob_data(attr) + sizeof(struct blobmsg_hdr);
    return name[blob_load_be16(blob_data(attr))] == '\0' ? name : "";
}

/* The member's type (enum blobmsg_type). */
static inline int blobmsg_type(const struct blob_attr *attr) {
    return (int)blob_id(attr);
}

/* The member's value, after the header if it has one; null for a null attribute. */
static inline void *blobmsg_data(const struct blob_attr *attr) {
    if (!attr)
        return NULL;
    char *data = (char *)blob_data(attr);
    if (!blob_is_extended(attr))
        return data;
    size_t hdrlen = blobmsg_hdr_fit(attr);
    /* A header that overruns leaves an empty value at the attribute's end. */
    return data + (hdrlen ? hdrlen : blob_len(attr));
}

/* Length of the member's value; 0 for a null attribute. */
static inline size_t blobmsg_data_len(const struct blob_attr *attr) {
    if (!attr)
        return 0;
    if (!blob_is_extended(attr))
        return blob_len(attr);
    size_t hdrlen = blobmsg_hdr_fit(attr);
    return hdrlen ? blob_len(attr) - hdrlen : 0;
}

/* Scalar readers: 0 when the value is shorter than the type (never read past it). */
static inline uint8_t blobmsg_get_u8(struct blob_attr *attr) {
    if (blobmsg_data_len(attr) < 1)
        return 0;
    return *(const uint8_t *)blobmsg_data(attr);
}

static inline bool blobmsg_get_bool(struct blob_attr *attr) {
    return blobmsg_get_u8(attr) != 0;
}

static inline uint16_t blobmsg_get_u16(struct blob_attr *attr) {
    if (blobmsg_data_len(attr) < 2)
        return 0;
    return blob_load_be16(blobmsg_data(attr));
}

static inline uint32_t blobmsg_get_u32(struct blob_attr *attr) {
    if (blobmsg_data_len(attr) < 4)
        return 0;
    return blob_load_be32(blobmsg_data(attr));
}

static inline uint64_t blobmsg_get_u64(struct blob_attr *attr) {
    if (blobmsg_data_len(attr) < 8)
        return 0;
    return blob_load_be64(blobmsg_data(attr));
}

static inline double blobmsg_get_double(struct blob_attr *attr) {
    uint64_t bits = blobmsg_get_u64(attr);
    double d;
    memcpy(&d, &bits, sizeof(d));
    return d;
}

/* The string value; null unless the value ends in the NUL that every string carries. */
static inline char *blobmsg_get_string(struct blob_attr *attr) {
    size_t len = blobmsg_data_len(attr);
    if (len == 0)
        return NULL;
    char *s = (char *)blobmsg_data(attr);
    return s[len - 1] == '\0' ? s : NULL;
}

/* Builders: append to the open container (buf->head); 0, or -1 with nothing added. */
int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len);
int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string);
int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val);
int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val);
int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val);
int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val);
int blobmsg_add_double(struct blob_buf *buf, const char *name, double val);

/* Opens a nested table or array that later builders fill; returns the cookie that closes
 * it, or null (nothing added) on failure. */
void *blobmsg_open_table(struct blob_buf *buf, const char *name);
void *blobmsg_open_array(struct blob_buf *buf, const char *name);

/* Closes what the matching open returned; a null or stale cookie changes nothing. */
void blobmsg_close_table(struct blob_buf *buf, void *cookie);
void blobmsg_close_array(struct blob_buf *buf, void *cookie);

#endif
