#include "msg_lookup.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kMinAttrLen = 4;
constexpr std::size_t kNameLenSize = 2;
constexpr std::size_t kNumberTextSize = 32;

constexpr std::size_t round4(std::size_t n) {
    return (n + 3) & ~static_cast<std::size_t>(3);
}

unsigned char *bytes_of(struct blob_attr *attr) {
    return static_cast<unsigned char *>(blob_data(attr));
}

// Name length from the member's header, or false when the member is too short to hold its
// name header and name. Byte copies only: the target traps on unaligned loads.
bool member_name_len(struct blob_attr *member, std::size_t *name_len) {
    std::size_t len = blob_len(member);
    if (len < kNameLenSize)
        return false;
    unsigned char be[kNameLenSize];
    std::memcpy(be, bytes_of(member), sizeof be);
    *name_len = static_cast<std::size_t>(be[0]) << 8 | be[1];
    return kNameLenSize + *name_len + 1 <= len;
}

// The member's name equals name, reading nothing past the member.
bool member_named(struct blob_attr *member, const char *name) {
    std::size_t name_len = 0;
    if (!member_name_len(member, &name_len))
        return false;
    const char *stored = reinterpret_cast<const char *>(bytes_of(member)) + kNameLenSize;
    std::size_t stored_len = strnlen(stored, name_len + 1);
    // Unterminated inside the member: comparing it would run past the member.
    if (stored_len > name_len)
        return false;
    return std::strlen(name) == stored_len && std::memcmp(stored, name, stored_len) == 0;
}

// Length of the member's value, or false when the header does not fit inside the member.
bool member_value_len(struct blob_attr *member, std::size_t *value_len) {
    std::size_t name_len = 0;
    if (!member_name_len(member, &name_len))
        return false;
    std::size_t header = round4(kNameLenSize + name_len + 1);
    std::size_t len = blob_len(member);
    if (header > len)
        return false;
    *value_len = len - header;
    return true;
}

// True when the member's value holds at least width bytes.
bool value_holds(struct blob_attr *member, std::size_t width) {
    std::size_t value_len = 0;
    return member_value_len(member, &value_len) && value_len >= width;
}

// Integer members of up to 32 bits, read unsigned; false for any other type.
bool small_unsigned(struct blob_attr *member, uint32_t *value) {
    switch (blob_id(member)) {
        case BLOBMSG_TYPE_INT32:
            if (!value_holds(member, sizeof(uint32_t)))
                return false;
            *value = blobmsg_get_u32(member);
            return true;
        case BLOBMSG_TYPE_INT16:
            if (!value_holds(member, sizeof(uint16_t)))
                return false;
            *value = blobmsg_get_u16(member);
            return true;
        case BLOBMSG_TYPE_INT8:
            if (!value_holds(member, sizeof(uint8_t)))
                return false;
            *value = blobmsg_get_u8(member);
            return true;
        default:
            return false;
    }
}

bool get_u64(struct blob_attr *member, uint64_t *value) {
    if (blob_id(member) != BLOBMSG_TYPE_INT64 || !value_holds(member, sizeof(uint64_t)))
        return false;
    *value = blobmsg_get_u64(member);
    return true;
}

// Whole text as a base-10 number, saturated to the 32-bit range.
bool parse_int(const char *text, int32_t *value) {
    char *end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (end == nullptr || *end != '\0')
        return false;
    // strtol itself saturates at the long range on ERANGE; only the 32-bit bound is left.
    if (parsed > INT32_MAX)
        parsed = INT32_MAX;
    if (parsed < INT32_MIN)
        parsed = INT32_MIN;
    *value = static_cast<int32_t>(parsed);
    return true;
}

}  // namespace

MsgWalk msg_walk_start(struct blob_attr *container) {
    // The walk is bounded by the container's own extent. Where a name header overruns the
    // container, the platform's blobmsg_data_len() wraps to a huge length and its
    // blobmsg_data() points past the container: there is no value to walk then.
    std::size_t value_len = blob_len(container);
    if (blob_is_extended(container) && !member_value_len(container, &value_len))
        return MsgWalk{bytes_of(container), 0};
    return MsgWalk{static_cast<unsigned char *>(blobmsg_data(container)), value_len};
}

struct blob_attr *msg_walk_next(MsgWalk *walk) {
    if (walk->rest < kMinAttrLen)
        return nullptr;
    auto *member = reinterpret_cast<struct blob_attr *>(walk->pos);
    std::size_t padded = blob_pad_len(member);
    if (padded > walk->rest || padded < kMinAttrLen) {
        walk->rest = 0;
        return nullptr;
    }
    walk->pos += padded;
    walk->rest -= padded;
    return member;
}

char *msg_string_of(struct blob_attr *member) {
    std::size_t value_len = 0;
    if (member == nullptr || blob_id(member) != BLOBMSG_TYPE_STRING ||
        !member_value_len(member, &value_len))
        return nullptr;
    if (std::memchr(blobmsg_data(member), '\0', value_len) == nullptr)
        return nullptr;
    return blobmsg_get_string(member);
}

bool msg_is_table(struct blob_attr *container) {
    if (container == nullptr)
        return false;
    unsigned type = blob_id(container);
    return type == BLOBMSG_TYPE_UNSPEC || type == BLOBMSG_TYPE_TABLE;
}

struct blob_attr *msg_find(struct blob_attr *container, const char *name) {
    if (name == nullptr || !msg_is_table(container))
        return nullptr;
    MsgWalk walk = msg_walk_start(container);
    while (struct blob_attr *member = msg_walk_next(&walk))
        if (member_named(member, name))
            return member;
    return nullptr;
}

struct blob_attr *msg_get_table(struct blob_attr *container, const char *name) {
    struct blob_attr *member = msg_find(container, name);
    if (member == nullptr || blob_id(member) != BLOBMSG_TYPE_TABLE)
        return nullptr;
    return member;
}

char *msg_get_string(struct blob_attr *container, const char *name) {
    return msg_string_of(msg_find(container, name));
}

char *msg_find_string(struct blob_attr *container, const char *name) {
    if (name == nullptr || !msg_is_table(container))
        return nullptr;
    MsgWalk walk = msg_walk_start(container);
    while (struct blob_attr *member = msg_walk_next(&walk)) {
        if (!member_named(member, name))
            continue;
        if (char *text = msg_string_of(member))
            return text;
    }
    return nullptr;
}

char *msg_dup_text(struct blob_attr *container, const char *name) {
    struct blob_attr *member = msg_find(container, name);
    if (member == nullptr)
        return nullptr;
    if (blob_id(member) == BLOBMSG_TYPE_STRING) {
        char *text = msg_string_of(member);
        return text == nullptr ? nullptr : strdup(text);
    }
    char number[kNumberTextSize];
    uint32_t small = 0;
    uint64_t wide = 0;
    if (small_unsigned(member, &small))
        std::snprintf(number, sizeof number, "%u", small);
    else if (get_u64(member, &wide))
        std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(wide));
    else
        return nullptr;
    return strdup(number);
}

bool msg_get_int(struct blob_attr *container, const char *name, int32_t *result) {
    if (result == nullptr || name == nullptr || !msg_is_table(container))
        return false;
    MsgWalk walk = msg_walk_start(container);
    while (struct blob_attr *member = msg_walk_next(&walk)) {
        if (!member_named(member, name))
            continue;
        uint32_t small = 0;
        uint64_t wide = 0;
        if (blob_id(member) == BLOBMSG_TYPE_STRING) {
            const char *text = msg_string_of(member);
            return text != nullptr && parse_int(text, result);
        }
        if (small_unsigned(member, &small)) {
            *result = static_cast<int32_t>(small);
            return true;
        }
        if (get_u64(member, &wide)) {
            *result = static_cast<int32_t>(static_cast<uint32_t>(wide));
            return true;
        }
        return false;
    }
    return false;
}

bool msg_get_bool(struct blob_attr *container, const char *name) {
    struct blob_attr *member = msg_find(container, name);
    if (member == nullptr)
        return false;
    uint32_t small = 0;
    uint64_t wide = 0;
    if (blob_id(member) == BLOBMSG_TYPE_STRING) {
        const char *text = msg_string_of(member);
        return text != nullptr && std::strcmp(text, "1") == 0;
    }
    if (small_unsigned(member, &small))
        return small != 0;
    if (get_u64(member, &wide))
        return wide != 0;
    return false;
}
