// Every lookup over any bytes taken as a message table, checked against a plain walk.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "msg_lookup.hpp"

namespace {

constexpr std::int32_t kUntouched = 0x5a5a5a5a;

unsigned char *bytes_of(struct blob_attr *attr) {
    return reinterpret_cast<unsigned char *>(attr);
}

// The members a lookup may visit: the walk over the container's value, stopping at the first
// member whose padded length is below 4 or beyond what remains.
std::vector<struct blob_attr *> members_of(struct blob_attr *container) {
    std::vector<struct blob_attr *> members;
    auto *pos = static_cast<unsigned char *>(blobmsg_data(container));
    std::size_t rest = blobmsg_data_len(container);
    while (rest >= 4) {
        auto *member = reinterpret_cast<struct blob_attr *>(pos);
        const std::size_t padded = blob_pad_len(member);
        if (padded < 4 || padded > rest)
            break;
        members.push_back(member);
        pos += padded;
        rest -= padded;
    }
    return members;
}

// The member's name as its header states it: length field, then exactly those bytes and a NUL,
// all inside the member. A member that states it so is surely called that.
bool stated_name_is(struct blob_attr *member, const char *name) {
    const std::size_t len = blob_raw_len(member);
    if (len < 6)
        return false;
    const std::size_t name_len = blob_load_be16(bytes_of(member) + 4);
    const std::size_t want = std::strlen(name);
    return name_len == want && 6 + name_len + 1 <= len &&
           std::memcmp(bytes_of(member) + 6, name, want + 1) == 0;
}

// The text at 6 bytes in equals name, terminated inside the member: what any match must have.
bool text_is(struct blob_attr *member, const char *name) {
    const std::size_t want = std::strlen(name);
    return 6 + want + 1 <= blob_raw_len(member) &&
           std::memcmp(bytes_of(member) + 6, name, want + 1) == 0;
}

// A string's text must end inside the member's value.
void check_text_inside(struct blob_attr *member, const char *text) {
    const auto *value = static_cast<const char *>(blobmsg_data(member));
    const std::size_t value_len = blobmsg_data_len(member);
    FUZZ_CHECK(text == value);
    FUZZ_CHECK(std::memchr(value, '\0', value_len) != nullptr);
}

// Value length with the name header counted whether or not the extended flag is set, as the
// lookups count it; false when the header does not fit the member.
bool header_value_len(struct blob_attr *member, std::size_t *len) {
    const std::size_t data_len = blob_len(member);
    if (data_len < 2)
        return false;
    const std::size_t header = (2 + blob_load_be16(bytes_of(member) + 4) + 1 + 3) & ~3u;
    if (header > data_len)
        return false;
    *len = data_len - header;
    return true;
}

// The number a member holds when it is an integer whose value fits inside it.
bool unsigned_value(struct blob_attr *member, unsigned long long *value) {
    std::size_t len = 0;
    if (!header_value_len(member, &len))
        return false;
    switch (blob_id(member)) {
        case BLOBMSG_TYPE_INT8:
            *value = blobmsg_get_u8(member);
            return len >= 1;
        case BLOBMSG_TYPE_INT16:
            *value = blobmsg_get_u16(member);
            return len >= 2;
        case BLOBMSG_TYPE_INT32:
            *value = blobmsg_get_u32(member);
            return len >= 4;
        case BLOBMSG_TYPE_INT64:
            *value = blobmsg_get_u64(member);
            return len >= 8;
        default:
            return false;
    }
}

void check_lookups(struct blob_attr *container, const char *name) {
    struct blob_attr *found = msg_find(container, name);
    struct blob_attr *table = msg_get_table(container, name);
    char *string = msg_get_string(container, name);
    char *any_string = msg_find_string(container, name);
    char *dup = msg_dup_text(container, name);
    std::int32_t number = kUntouched;
    const bool has_number = msg_get_int(container, name, &number);
    const bool flag = msg_get_bool(container, name);
    FUZZ_CHECK(!msg_get_int(container, name, nullptr));

    if (name == nullptr || !msg_is_table(container)) {
        FUZZ_CHECK(!found && !table && !string && !any_string && !dup && !has_number && !flag);
        FUZZ_CHECK(number == kUntouched);
        return;
    }

    // msg_find: a visited member that carries the name, and no earlier member surely named so.
    const std::vector<struct blob_attr *> members = members_of(container);
    std::size_t at = members.size();
    for (std::size_t i = 0; i < members.size(); i++)
        if (members[i] == found)
            at = i;
    if (found != nullptr) {
        FUZZ_CHECK(at < members.size());
        FUZZ_CHECK(text_is(found, name));
    }
    for (std::size_t i = 0; i < at; i++)
        FUZZ_CHECK(!stated_name_is(members[i], name));

    // The readers of the first match.
    const unsigned type = found ? blob_id(found) : ~0u;
    FUZZ_CHECK(table == (type == BLOBMSG_TYPE_TABLE ? found : nullptr));
    if (string != nullptr) {
        FUZZ_CHECK(type == BLOBMSG_TYPE_STRING);
        check_text_inside(found, string);
        FUZZ_CHECK(any_string == string);  // the first match is already a string
    }
    if (any_string != nullptr) {
        bool inside = false;
        for (struct blob_attr *m : members)
            if (blob_id(m) == BLOBMSG_TYPE_STRING && text_is(m, name) &&
                static_cast<char *>(blobmsg_data(m)) == any_string) {
                check_text_inside(m, any_string);
                inside = true;
                break;
            }
        FUZZ_CHECK(inside);
    }

    unsigned long long value = 0;
    const bool numeric = found && unsigned_value(found, &value);
    if (dup != nullptr) {
        if (type == BLOBMSG_TYPE_STRING) {
            FUZZ_CHECK(string != nullptr);
            FUZZ_CHECK_EQ(dup, string);
        } else {
            FUZZ_CHECK(numeric);
            FUZZ_CHECK_EQ(dup, std::to_string(value));
        }
        std::free(dup);
    } else {
        FUZZ_CHECK(!numeric && string == nullptr);
    }

    if (!has_number)
        FUZZ_CHECK(number == kUntouched);
    if (numeric) {
        FUZZ_CHECK(has_number);
        FUZZ_CHECK(number == static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
        FUZZ_CHECK(flag == (value != 0));
    } else if (string != nullptr) {
        char *end = nullptr;
        const long parsed = std::strtol(string, &end, 10);
        FUZZ_CHECK(has_number == (*end == '\0'));
        if (has_number)
            FUZZ_CHECK(number == std::max<long>(INT32_MIN, std::min<long>(INT32_MAX, parsed)));
        FUZZ_CHECK(flag == (std::strcmp(string, "1") == 0));
    } else {
        FUZZ_CHECK(!flag && !has_number);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // Byte 0 picks the name: 0xff for none, else its length (0 to 7) from the bytes that follow.
    // The rest is the container, id/length word first.
    const bool no_name = data[0] == 0xff;
    const std::size_t name_len = no_name ? 0 : std::min<std::size_t>(data[0] % 8, size - 1);
    const std::string name(reinterpret_cast<const char *>(data) + 1, name_len);
    const std::size_t table_len = size - 1 - name_len;

    check_lookups(nullptr, no_name ? nullptr : name.c_str());
    if (table_len < 4)
        return 0;

    // Exact size: any read past the table trips the address checker. The lookups trust the
    // container's own length as its builder set it, so keep it within the copy; the members'
    // lengths are the untrusted part.
    auto *copy = static_cast<unsigned char *>(std::malloc(table_len));
    std::memcpy(copy, data + 1 + name_len, table_len);
    std::uint32_t word = blob_load_be32(copy);
    if ((word & BLOB_ATTR_LEN_MASK) > table_len) {
        word = (word & ~BLOB_ATTR_LEN_MASK) | static_cast<std::uint32_t>(table_len);
        const unsigned char be[4] = {
            static_cast<unsigned char>(word >> 24), static_cast<unsigned char>(word >> 16),
            static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word)};
        std::memcpy(copy, be, sizeof be);
    }
    check_lookups(reinterpret_cast<struct blob_attr *>(copy), no_name ? nullptr : name.c_str());
    std::free(copy);
    return 0;
}
