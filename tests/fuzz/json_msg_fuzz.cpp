// JSON text through the message layer, checked byte by byte against json-c's own reading.
#include <json-c/json_object.h>
#include <json-c/json_object_iterator.h>
#include <json-c/json_tokener.h>

#include <cstring>
#include <string>

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "fuzz_check.hpp"
#include "msg_lookup.hpp"

namespace {

constexpr std::size_t round4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

std::uint64_t be64(const unsigned char *p) {
    return static_cast<std::uint64_t>(blob_load_be32(p)) << 32 | blob_load_be32(p + 4);
}

bool all_zero(const unsigned char *from, const unsigned char *to) {
    for (; from < to; from++)
        if (*from != 0)
            return false;
    return true;
}

std::size_t check_value(const unsigned char *p, std::size_t avail, const char *name,
                        json_object *val);

// Members (or elements, nameless) that tile the value exactly, in json-c's order.
void check_members(const unsigned char *value, std::size_t len, json_object *obj) {
    std::size_t pos = 0;
    if (json_object_is_type(obj, json_type_array)) {
        for (std::size_t i = 0; i < json_object_array_length(obj); i++)
            pos += check_value(value + pos, len - pos, "", json_object_array_get_idx(obj, i));
    } else {
        json_object_iterator it = json_object_iter_begin(obj);
        const json_object_iterator end = json_object_iter_end(obj);
        for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it))
            pos += check_value(value + pos, len - pos, json_object_iter_peek_name(&it),
                               json_object_iter_peek_value(&it));
    }
    FUZZ_CHECK(pos == len);
}

// One attribute against the JSON value it came from; returns its padded length.
std::size_t check_value(const unsigned char *p, std::size_t avail, const char *name,
                        json_object *val) {
    FUZZ_CHECK(avail >= 4);
    const std::uint32_t word = blob_load_be32(p);
    const std::size_t raw = word & BLOB_ATTR_LEN_MASK;
    FUZZ_CHECK((word & BLOB_ATTR_EXTENDED) != 0);
    FUZZ_CHECK(raw >= 4 && round4(raw) <= avail);
    FUZZ_CHECK(all_zero(p + raw, p + round4(raw)));  // the gap before the next attribute

    // Header: name length, name, NUL, zero padding.
    const std::size_t name_len = std::strlen(name);
    const std::size_t header = round4(2 + name_len + 1);
    FUZZ_CHECK(4 + header <= raw);
    FUZZ_CHECK(blob_load_be16(p + 4) == name_len);
    FUZZ_CHECK(std::memcmp(p + 6, name, name_len) == 0);
    FUZZ_CHECK(all_zero(p + 6 + name_len, p + 4 + header));

    const unsigned char *value = p + 4 + header;
    const std::size_t len = raw - 4 - header;
    const unsigned type = (word & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
    switch (json_object_get_type(val)) {
        case json_type_null:
            FUZZ_CHECK(type == BLOBMSG_TYPE_UNSPEC && len == 0);
            break;
        case json_type_boolean:
            FUZZ_CHECK(type == BLOBMSG_TYPE_INT8 && len == 1);
            FUZZ_CHECK(value[0] == (json_object_get_boolean(val) ? 1 : 0));
            break;
        case json_type_int: {
            const std::int64_t v = json_object_get_int64(val);
            if (v >= INT32_MIN && v <= INT32_MAX) {
                FUZZ_CHECK(type == BLOBMSG_TYPE_INT32 && len == 4);
                FUZZ_CHECK(blob_load_be32(value) ==
                           static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
            } else {
                FUZZ_CHECK(type == BLOBMSG_TYPE_INT64 && len == 8);
                // Beyond the signed range json-c's clamped value is what is stored.
                FUZZ_CHECK(be64(value) == static_cast<std::uint64_t>(v));
            }
            break;
        }
        case json_type_double: {
            const double d = json_object_get_double(val);
            std::uint64_t bits = 0;
            std::memcpy(&bits, &d, sizeof bits);
            FUZZ_CHECK(type == BLOBMSG_TYPE_DOUBLE && len == 8 && be64(value) == bits);
            break;
        }
        case json_type_string: {
            // Stored up to an escaped NUL, if the text has one.
            const char *text = json_object_get_string(val);
            const std::size_t text_len = std::strlen(text);
            FUZZ_CHECK(type == BLOBMSG_TYPE_STRING && len == text_len + 1);
            FUZZ_CHECK(std::memcmp(value, text, text_len + 1) == 0);
            break;
        }
        case json_type_object:
            FUZZ_CHECK(type == BLOBMSG_TYPE_TABLE);
            check_members(value, len, val);
            break;
        case json_type_array:
            FUZZ_CHECK(type == BLOBMSG_TYPE_ARRAY);
            check_members(value, len, val);
            break;
    }
    return round4(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The manifest reader hands the parser the file's bytes as a C string: it ends at a NUL.
    const std::string text(reinterpret_cast<const char *>(data), size);

    struct blob_buf buf {};
    FUZZ_CHECK(blob_buf_init(&buf, 0) == 0);
    const bool added = blobmsg_add_json_from_string(&buf, text.c_str());

    json_object *obj = json_tokener_parse(text.c_str());
    const bool is_object = obj != nullptr && json_object_is_type(obj, json_type_object);
    FUZZ_CHECK(added == is_object);

    // The head: a bare type-0 attribute whose value is the top-level members.
    const auto *head = reinterpret_cast<const unsigned char *>(buf.head);
    const std::uint32_t word = blob_load_be32(head);
    const std::size_t raw = word & BLOB_ATTR_LEN_MASK;
    FUZZ_CHECK((word & ~BLOB_ATTR_LEN_MASK) == 0);
    FUZZ_CHECK(raw >= 4 && head + raw <= static_cast<unsigned char *>(buf.buf) + buf.buflen);
    if (added) {
        check_members(head + 4, raw - 4, obj);
        // The manifest's own lookup finds "order" exactly when json-c has it.
        json_object *order = nullptr;
        const bool has_order = json_object_object_get_ex(obj, "order", &order);
        FUZZ_CHECK((msg_find(buf.head, "order") != nullptr) == has_order);
    } else {
        FUZZ_CHECK(raw == 4);
    }
    json_object_put(obj);
    blob_buf_free(&buf);
    return 0;
}
