// JSON object text to message attributes, over json-c's parser.
extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <json-c/json_object.h>
#include <json-c/json_object_iterator.h>
#include <json-c/json_tokener.h>

#include <cstdint>
#include <cstring>

namespace {

bool add_value(blob_buf *buf, const char *name, json_object *val);

bool add_members(blob_buf *buf, json_object *obj) {
    json_object_iterator it = json_object_iter_begin(obj);
    const json_object_iterator end = json_object_iter_end(obj);
    for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it)) {
        if (!add_value(buf, json_object_iter_peek_name(&it), json_object_iter_peek_value(&it)))
            return false;
    }
    return true;
}

bool add_elements(blob_buf *buf, json_object *arr) {
    const size_t n = json_object_array_length(arr);
    for (size_t i = 0; i < n; i++) {
        if (!add_value(buf, nullptr, json_object_array_get_idx(arr, i)))
            return false;
    }
    return true;
}

bool add_int(blob_buf *buf, const char *name, json_object *val) {
    // json-c clamps integers beyond the signed 64-bit range to its bounds; the platform stores
    // that clamped value, so 2^63 and above all read back as INT64_MAX.
    const int64_t v = json_object_get_int64(val);
    if (v >= INT32_MIN && v <= INT32_MAX)
        return blobmsg_add_u32(buf, name, static_cast<uint32_t>(static_cast<int32_t>(v))) == 0;
    return blobmsg_add_u64(buf, name, static_cast<uint64_t>(v)) == 0;
}

bool add_value(blob_buf *buf, const char *name, json_object *val) {
    switch (json_object_get_type(val)) {
        case json_type_null:
            return blobmsg_add_field(buf, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
        case json_type_boolean:
            return blobmsg_add_u8(buf, name, json_object_get_boolean(val) ? 1 : 0) == 0;
        case json_type_int:
            return add_int(buf, name, val);
        case json_type_double:
            return blobmsg_add_double(buf, name, json_object_get_double(val)) == 0;
        case json_type_string:
            return blobmsg_add_string(buf, name, json_object_get_string(val)) == 0;
        case json_type_object: {
            void *cookie = blobmsg_open_table(buf, name);
            if (!cookie)
                return false;
            const bool ok = add_members(buf, val);
            blobmsg_close_table(buf, cookie);
            return ok;
        }
        case json_type_array: {
            void *cookie = blobmsg_open_array(buf, name);
            if (!cookie)
                return false;
            const bool ok = add_elements(buf, val);
            blobmsg_close_array(buf, cookie);
            return ok;
        }
    }
    return false;
}

}  // namespace

extern "C" {

bool blobmsg_add_json_from_string(struct blob_buf *buf, const char *str) {
    if (!buf || !buf->head || !buf->buf || !str)
        return false;
    json_object *obj = json_tokener_parse(str);
    if (!obj)
        return false;
    bool ok = false;
    if (json_object_is_type(obj, json_type_object)) {
        // A half-added object would be worse than none: on failure put the open container
        // back as it was, which drops everything appended after it.
        const size_t head_off = static_cast<size_t>(reinterpret_cast<char *>(buf->head) -
                                                    static_cast<char *>(buf->buf));
        uint8_t word[sizeof(blob_attr)];
        memcpy(word, buf->head, sizeof(word));
        ok = add_members(buf, obj);
        if (!ok) {
            buf->head = reinterpret_cast<blob_attr *>(static_cast<char *>(buf->buf) + head_off);
            memcpy(buf->head, word, sizeof(word));
        }
    }
    json_object_put(obj);
    return ok;
}

}  // extern "C"
