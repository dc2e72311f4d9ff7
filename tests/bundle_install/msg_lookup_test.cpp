#include "msg_lookup.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
}

namespace {

// A message buffer filled through the layer's builders.
struct Buf {
    blob_buf b{};
    Buf() { EXPECT_EQ(blob_buf_init(&b, 0), 0); }
    ~Buf() { blob_buf_free(&b); }
    blob_attr *head() const { return b.head; }
};

std::string dup(blob_attr *container, const char *name) {
    char *text = msg_dup_text(container, name);
    if (text == nullptr)
        return "<null>";
    std::string result = text;
    std::free(text);
    return result;
}

std::string str(const char *text) {
    return text == nullptr ? "<null>" : text;
}

// int32 result or "<false>"; a failed lookup must leave the target alone.
std::string get_int(blob_attr *container, const char *name) {
    int32_t value = 12345;
    if (!msg_get_int(container, name, &value))
        return value == 12345 ? "<false>" : "<false, target changed>";
    return std::to_string(value);
}

// Hand-made attribute bytes for tables the builders cannot produce.
using Bytes = std::vector<uint8_t>;

void put_be32(Bytes &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

// An extended member: word, name length, name, NUL, padding, value, padding to 4 bytes.
Bytes member(unsigned type, const std::string &name, const Bytes &value,
             int raw_len_override = -1) {
    Bytes out(4, 0);
    out.push_back(static_cast<uint8_t>(name.size() >> 8));
    out.push_back(static_cast<uint8_t>(name.size()));
    for (char c : name)
        out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
    while (out.size() % 4)
        out.push_back(0);
    for (uint8_t byte : value)
        out.push_back(byte);
    uint32_t raw = raw_len_override >= 0 ? static_cast<uint32_t>(raw_len_override)
                                         : static_cast<uint32_t>(out.size());
    uint32_t word = 0x80000000u | type << 24 | raw;
    for (int i = 0; i < 4; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<uint8_t>(word >> (24 - 8 * i));
    while (out.size() % 4)
        out.push_back(0);
    return out;
}

// A buffer head (type 0) over the members, in a heap block of exactly its size so that the
// sanitizer catches any read past it.
struct RawHead {
    std::unique_ptr<uint8_t, decltype(&std::free)> mem{nullptr, &std::free};
    explicit RawHead(const std::vector<Bytes> &members) {
        Bytes all;
        put_be32(all, 0);
        for (const auto &m : members)
            for (uint8_t byte : m)
                all.push_back(byte);
        uint32_t len = static_cast<uint32_t>(all.size());
        all[1] = static_cast<uint8_t>(len >> 16);
        all[2] = static_cast<uint8_t>(len >> 8);
        all[3] = static_cast<uint8_t>(len);
        mem.reset(static_cast<uint8_t *>(std::malloc(all.size())));
        std::memcpy(mem.get(), all.data(), all.size());
    }
    blob_attr *head() const { return reinterpret_cast<blob_attr *>(mem.get()); }
};

Bytes u32_value(uint32_t v) {
    Bytes b;
    put_be32(b, v);
    return b;
}

TEST(MsgLookup, NothingIsFoundWithoutASearchableContainerOrName) {
    Buf buf;
    blobmsg_add_u32(&buf.b, "a", 1);
    void *array = blobmsg_open_array(&buf.b, "list");
    blobmsg_add_string(&buf.b, "a", "in array");
    blobmsg_close_array(&buf.b, array);
    blob_attr *list = msg_find(buf.head(), "list");
    ASSERT_NE(list, nullptr);

    EXPECT_TRUE(msg_is_table(buf.head()));
    EXPECT_FALSE(msg_is_table(nullptr));
    EXPECT_FALSE(msg_is_table(list));
    for (blob_attr *container : {static_cast<blob_attr *>(nullptr), list}) {
        EXPECT_EQ(msg_find(container, "a"), nullptr);
        EXPECT_EQ(msg_get_table(container, "a"), nullptr);
        EXPECT_EQ(str(msg_get_string(container, "a")), "<null>");
        EXPECT_EQ(str(msg_find_string(container, "a")), "<null>");
        EXPECT_EQ(dup(container, "a"), "<null>");
        EXPECT_EQ(get_int(container, "a"), "<false>");
        EXPECT_FALSE(msg_get_bool(container, "a"));
    }
    EXPECT_EQ(msg_find(buf.head(), nullptr), nullptr);
    EXPECT_EQ(str(msg_find_string(buf.head(), nullptr)), "<null>");
    EXPECT_EQ(get_int(buf.head(), nullptr), "<false>");
    EXPECT_FALSE(msg_get_int(buf.head(), "a", nullptr));
    EXPECT_EQ(msg_find(buf.head(), "A"), nullptr);  // case-sensitive
    EXPECT_EQ(msg_find(buf.head(), ""), nullptr);
}

TEST(MsgLookup, SameNamedMembersOfDifferentTypes) {
    Buf buf;
    blobmsg_add_u32(&buf.b, "a", 7);
    blobmsg_add_string(&buf.b, "a", "text");
    blobmsg_add_string(&buf.b, "b", "plain");

    blob_attr *first = msg_find(buf.head(), "a");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(blob_id(first), static_cast<unsigned>(BLOBMSG_TYPE_INT32));
    EXPECT_EQ(str(msg_find_string(buf.head(), "a")), "text");
    EXPECT_EQ(str(msg_get_string(buf.head(), "a")), "<null>");
    EXPECT_EQ(get_int(buf.head(), "a"), "7");
    EXPECT_EQ(dup(buf.head(), "a"), "7");
    EXPECT_EQ(str(msg_get_string(buf.head(), "b")), "plain");
    EXPECT_EQ(str(msg_find_string(buf.head(), "missing")), "<null>");
}

TEST(MsgLookup, NestedTables) {
    Buf buf;
    blobmsg_add_string(&buf.b, "t", "not a table");
    void *outer = blobmsg_open_table(&buf.b, "outer");
    blobmsg_add_u8(&buf.b, "flag", 1);
    void *inner = blobmsg_open_table(&buf.b, "inner");
    blobmsg_add_string(&buf.b, "deep", "value");
    blobmsg_close_table(&buf.b, inner);
    blobmsg_close_table(&buf.b, outer);
    void *second = blobmsg_open_table(&buf.b, "t");
    blobmsg_close_table(&buf.b, second);

    blob_attr *table = msg_get_table(buf.head(), "outer");
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(msg_is_table(table));
    EXPECT_TRUE(msg_get_bool(table, "flag"));
    EXPECT_EQ(str(msg_get_string(msg_get_table(table, "inner"), "deep")), "value");
    EXPECT_EQ(msg_find(buf.head(), "deep"), nullptr);  // one level only
    // Only the first "t" is considered, and it is a string.
    EXPECT_EQ(msg_get_table(buf.head(), "t"), nullptr);
    EXPECT_EQ(dup(buf.head(), "outer"), "<null>");
    EXPECT_EQ(get_int(buf.head(), "outer"), "<false>");
    EXPECT_FALSE(msg_get_bool(buf.head(), "outer"));
}

TEST(MsgLookup, GetIntFromStrings) {
    struct Case {
        const char *text;
        const char *result;
    } cases[] = {
        {" 42", "42"},
        {"-7", "-7"},
        {"+8", "8"},
        {"42 ", "<false>"},
        {"0x10", "<false>"},
        {"abc", "<false>"},
        {"", "0"},
        {"2147483647", "2147483647"},
        {"2147483648", "2147483647"},
        {"-2147483648", "-2147483648"},
        {"-2147483649", "-2147483648"},
        {"99999999999", "2147483647"},
        {"-99999999999", "-2147483648"},
        {"999999999999999999999999999", "2147483647"},    // beyond long: ERANGE
        {"-999999999999999999999999999", "-2147483648"},  // beyond long: ERANGE
    };
    for (const auto &c : cases) {
        Buf buf;
        blobmsg_add_string(&buf.b, "n", c.text);
        EXPECT_EQ(get_int(buf.head(), "n"), c.result) << '"' << c.text << '"';
    }
}

TEST(MsgLookup, GetIntFromIntegers) {
    Buf buf;
    blobmsg_add_u16(&buf.b, "u16", 0xffff);
    blobmsg_add_u8(&buf.b, "u8", 0xff);
    blobmsg_add_u32(&buf.b, "u32", 0xffffffffu);
    blobmsg_add_u64(&buf.b, "u64", 0x1234567800000005ull);
    blobmsg_add_u64(&buf.b, "u64neg", 0xffffffff80000000ull);
    blobmsg_add_double(&buf.b, "d", 1.5);
    blobmsg_add_u32(&buf.b, "d", 3);  // not looked at: the first "d" ends the lookup
    EXPECT_EQ(get_int(buf.head(), "u16"), "65535");
    EXPECT_EQ(get_int(buf.head(), "u8"), "255");
    EXPECT_EQ(get_int(buf.head(), "u32"), "-1");
    EXPECT_EQ(get_int(buf.head(), "u64"), "5");
    EXPECT_EQ(get_int(buf.head(), "u64neg"), "-2147483648");
    EXPECT_EQ(get_int(buf.head(), "d"), "<false>");
    EXPECT_EQ(get_int(buf.head(), "missing"), "<false>");
}

TEST(MsgLookup, GetBool) {
    Buf buf;
    blobmsg_add_string(&buf.b, "one", "1");
    blobmsg_add_string(&buf.b, "word", "true");
    blobmsg_add_string(&buf.b, "zero-one", "01");
    blobmsg_add_u8(&buf.b, "u8", 1);
    blobmsg_add_u8(&buf.b, "u8zero", 0);
    blobmsg_add_u16(&buf.b, "u16", 0x100);
    blobmsg_add_u32(&buf.b, "u32", 2);
    blobmsg_add_u64(&buf.b, "high", 1ull << 63);
    blobmsg_add_u64(&buf.b, "u64zero", 0);
    blobmsg_add_double(&buf.b, "d", 1.0);
    EXPECT_TRUE(msg_get_bool(buf.head(), "one"));
    EXPECT_FALSE(msg_get_bool(buf.head(), "word"));
    EXPECT_FALSE(msg_get_bool(buf.head(), "zero-one"));
    EXPECT_TRUE(msg_get_bool(buf.head(), "u8"));
    EXPECT_FALSE(msg_get_bool(buf.head(), "u8zero"));
    EXPECT_TRUE(msg_get_bool(buf.head(), "u16"));
    EXPECT_TRUE(msg_get_bool(buf.head(), "u32"));
    EXPECT_TRUE(msg_get_bool(buf.head(), "high"));
    EXPECT_FALSE(msg_get_bool(buf.head(), "u64zero"));
    EXPECT_FALSE(msg_get_bool(buf.head(), "d"));
    EXPECT_FALSE(msg_get_bool(buf.head(), "missing"));
}

TEST(MsgLookup, DupText) {
    Buf buf;
    blobmsg_add_string(&buf.b, "s", "hello");
    blobmsg_add_u32(&buf.b, "u32", 0xffffffffu);
    blobmsg_add_u8(&buf.b, "u8", 0xff);
    blobmsg_add_u16(&buf.b, "u16", 65535);
    blobmsg_add_u64(&buf.b, "u64", UINT64_MAX);
    blobmsg_add_double(&buf.b, "d", 2.5);
    blobmsg_add_field(&buf.b, BLOBMSG_TYPE_UNSPEC, "null", nullptr, 0);
    void *array = blobmsg_open_array(&buf.b, "list");
    blobmsg_close_array(&buf.b, array);
    EXPECT_EQ(dup(buf.head(), "s"), "hello");
    EXPECT_EQ(dup(buf.head(), "u32"), "4294967295");
    EXPECT_EQ(dup(buf.head(), "u8"), "255");
    EXPECT_EQ(dup(buf.head(), "u16"), "65535");
    EXPECT_EQ(dup(buf.head(), "u64"), "18446744073709551615");
    EXPECT_EQ(dup(buf.head(), "d"), "<null>");
    EXPECT_EQ(dup(buf.head(), "null"), "<null>");
    EXPECT_EQ(dup(buf.head(), "list"), "<null>");
    EXPECT_EQ(dup(buf.head(), "missing"), "<null>");

    // The copy is the caller's: it outlives the buffer.
    char *copy = msg_dup_text(buf.head(), "s");
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, msg_get_string(buf.head(), "s"));
    std::free(copy);
}

TEST(MsgLookup, WalkStopsAtAMemberWhoseLengthDoesNotFit) {
    struct Case {
        const char *what;
        int raw_len;
    } cases[] = {
        {"padded length past the end", 200},
        {"length below one word", 2},
        {"zero length", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RawHead raw({member(BLOBMSG_TYPE_INT32, "a", u32_value(1)),
                     member(BLOBMSG_TYPE_INT32, "bad", u32_value(2), c.raw_len),
                     member(BLOBMSG_TYPE_INT32, "c", u32_value(3))});
        EXPECT_EQ(get_int(raw.head(), "a"), "1");
        EXPECT_EQ(msg_find(raw.head(), "c"), nullptr);
        EXPECT_EQ(get_int(raw.head(), "c"), "<false>");
        EXPECT_EQ(str(msg_find_string(raw.head(), "c")), "<null>");
    }
}

TEST(MsgLookup, ShortMembersNeverMatchAndNothingPastThemIsRead) {
    // Each bad member ends its heap block. The padding after a short member holds what a
    // careless reader would take for a name length, a name and its NUL.
    struct Case {
        const char *what;
        Bytes bad;
    } cases[] = {
        // Raw length 5: one byte, too short for the two-byte name length.
        {"no room for the name length", {0x85, 0, 0, 5, 0, 0, 0, 0}},
        // Name length 0x4000, but the member holds only "x" and its NUL.
        {"name longer than the member", {0x83, 0, 0, 8, 0x40, 0, 'x', 0}},
        // Name length 1 and "x", but its NUL lies in the padding.
        {"no room for the NUL", {0x83, 0, 0, 7, 0, 1, 'x', 0}},
        // Name "x" without its NUL: the next byte is the last of the block.
        {"name not terminated", {0x83, 0, 0, 8, 0, 1, 'x', 'y'}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RawHead raw({member(BLOBMSG_TYPE_STRING, "ok", {'v', 0}), c.bad});
        EXPECT_EQ(str(msg_get_string(raw.head(), "ok")), "v");
        for (const char *name : {"x", "xy", ""}) {
            EXPECT_EQ(msg_find(raw.head(), name), nullptr) << name;
            EXPECT_EQ(str(msg_find_string(raw.head(), name)), "<null>") << name;
            EXPECT_EQ(get_int(raw.head(), name), "<false>") << name;
            EXPECT_FALSE(msg_get_bool(raw.head(), name)) << name;
        }
    }
}

TEST(MsgLookup, WalkStaysInsideAContainerWhoseHeaderOverrunsIt) {
    // Table "tt" of raw length 9: its name fits, its padded 8-byte header does not, so it has
    // no value at all. A sibling after it must not be taken for one of its members.
    const Bytes tt = {0x82, 0, 0, 9, 0, 2, 't', 't', 0, 0, 0, 0};
    const Bytes list = {0x81, 0, 0, 9, 0, 2, 't', 't', 0, 0, 0, 0};
    RawHead last({tt});
    RawHead followed({tt, member(BLOBMSG_TYPE_INT32, "x", u32_value(7))});
    RawHead array({list, member(BLOBMSG_TYPE_STRING, "", {'x', 0})});
    for (const RawHead *raw : {&last, &followed}) {
        blob_attr *table = msg_get_table(raw->head(), "tt");
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(msg_find(table, "x"), nullptr);
        EXPECT_EQ(get_int(table, "x"), "<false>");
        EXPECT_EQ(str(msg_find_string(table, "x")), "<null>");
    }
    MsgWalk walk = msg_walk_start(msg_find(array.head(), "tt"));
    EXPECT_EQ(msg_walk_next(&walk), nullptr);

    // Flagged as named but too short for even the name length: nothing to read at all.
    std::unique_ptr<uint8_t, decltype(&std::free)> bare(static_cast<uint8_t *>(std::malloc(4)),
                                                        &std::free);
    const uint8_t word[] = {0x82, 0, 0, 4};
    std::memcpy(bare.get(), word, sizeof word);
    EXPECT_EQ(msg_find(reinterpret_cast<blob_attr *>(bare.get()), "x"), nullptr);
}

TEST(MsgLookup, ValuesShorterThanTheirTypeAreNotRead) {
    // Named "v", typed as 64-bit and 32-bit integers and a string, with too little value.
    RawHead u64({member(BLOBMSG_TYPE_INT64, "v", {0, 0, 0, 1})});
    RawHead u32({member(BLOBMSG_TYPE_INT32, "v", {})});
    RawHead text({member(BLOBMSG_TYPE_STRING, "v", {'a', 'b', 'c', 'd'})});
    for (const RawHead *raw : {&u64, &u32, &text}) {
        EXPECT_NE(msg_find(raw->head(), "v"), nullptr);
        EXPECT_EQ(get_int(raw->head(), "v"), "<false>");
        EXPECT_EQ(dup(raw->head(), "v"), "<null>");
        EXPECT_FALSE(msg_get_bool(raw->head(), "v"));
        EXPECT_EQ(str(msg_get_string(raw->head(), "v")), "<null>");
    }
}

TEST(MsgLookup, JsonManifestOrderArray) {
    Buf buf;
    ASSERT_TRUE(blobmsg_add_json_from_string(&buf.b, R"({"order":["pkg-a",5],"n":-1})"));
    blob_attr *order = msg_find(buf.head(), "order");
    ASSERT_NE(order, nullptr);
    EXPECT_EQ(blob_id(order), static_cast<unsigned>(BLOBMSG_TYPE_ARRAY));
    MsgWalk walk = msg_walk_start(order);
    blob_attr *first = msg_walk_next(&walk);
    blob_attr *second = msg_walk_next(&walk);
    EXPECT_EQ(str(msg_string_of(first)), "pkg-a");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(msg_string_of(second), nullptr);
    EXPECT_EQ(msg_walk_next(&walk), nullptr);
    EXPECT_EQ(get_int(buf.head(), "n"), "-1");
}

}  // namespace
