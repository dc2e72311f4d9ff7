#include "ubox_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Two members named "a", every scalar width, and a table holding an array.
void build_fixture(blob_buf *b) {
    ASSERT_EQ(blobmsg_add_u32(b, "a", 7), 0);
    ASSERT_EQ(blobmsg_add_string(b, "a", "x"), 0);
    ASSERT_EQ(blobmsg_add_u8(b, "b", 0xff), 0);
    ASSERT_EQ(blobmsg_add_u16(b, "c", 0xfffe), 0);
    ASSERT_EQ(blobmsg_add_u64(b, "d", 0x0102030405060708ULL), 0);
    ASSERT_EQ(blobmsg_add_double(b, "e", 1.5), 0);
    void *table = blobmsg_open_table(b, "t");
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(blobmsg_add_u8(b, "k", 1), 0);
    void *array = blobmsg_open_array(b, "l");
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(blobmsg_add_string(b, nullptr, "z"), 0);
    blobmsg_close_array(b, array);
    blobmsg_close_table(b, table);
}

constexpr const char *kFixtureHex =
    "0000007c"
    "8500000c0001610000000007"  // a: u32 7
    "8300000a000161007800"
    "0000"  // a: "x", padded
    "87000009000162"
    "00ff000000"  // b: u8
    "8600000a000163"
    "00fffe0000"  // c: u16
    "840000100001640001020304050607"
    "08"  // d: u64
    "8800001000016500"
    "3ff8000000000000"  // e: double
    "8200002800017400"  // t: table covering its members
    "87000009"
    "00016b0001000000"           // k: u8
    "8100001400016c00"           // l: array
    "8300000a000000007a000000";  // nameless "z"

TEST(Builders, ProduceTheWireBytes) {
    ScopedBlobBuf buf;
    ASSERT_EQ(buf.init_status, 0);
    build_fixture(&buf.b);
    EXPECT_EQ(head_hex(buf.b), kFixtureHex);
}

TEST(Builders, InitSetsHeadTypeAndRejectsBadIds) {
    ScopedBlobBuf buf;
    EXPECT_EQ(head_hex(buf.b), "00000004");
    EXPECT_EQ(blob_buf_init(&buf.b, 3), 0);
    EXPECT_EQ(head_hex(buf.b), "03000004");
    EXPECT_FALSE(blob_is_extended(buf.b.head));
    EXPECT_EQ(blob_buf_init(&buf.b, 128), -EINVAL);
    EXPECT_EQ(blob_buf_init(&buf.b, -1), -EINVAL);
    EXPECT_EQ(blob_buf_init(nullptr, 0), -EINVAL);
}

TEST(Builders, RejectBadInputAndLeaveTheBufferAlone) {
    ScopedBlobBuf buf;
    ASSERT_EQ(blobmsg_add_u8(&buf.b, "a", 1), 0);
    const std::string before = head_hex(buf.b);
    const std::string long_name(70000, 'n');
    EXPECT_EQ(blobmsg_add_u8(&buf.b, long_name.c_str(), 1), -1);
    EXPECT_EQ(blobmsg_add_string(&buf.b, "s", nullptr), -1);
    EXPECT_EQ(blobmsg_add_field(&buf.b, BLOBMSG_TYPE_STRING, "s", nullptr, 3), -1);
    EXPECT_EQ(blobmsg_add_field(&buf.b, 128, "s", "x", 2), -1);
    // The 24-bit length field cannot describe this; checked before anything is allocated.
    EXPECT_EQ(blobmsg_add_field(&buf.b, BLOBMSG_TYPE_STRING, "s", "x", 0xfffff0), -1);
    EXPECT_EQ(blobmsg_open_table(&buf.b, long_name.c_str()), nullptr);
    EXPECT_EQ(head_hex(buf.b), before);

    blob_buf fresh{};
    EXPECT_EQ(blobmsg_add_u8(&fresh, "a", 1), -1);
    EXPECT_EQ(blobmsg_open_array(&fresh, "a"), nullptr);
    EXPECT_FALSE(blobmsg_add_json_from_string(&fresh, "{}"));
    EXPECT_EQ(fresh.buf, nullptr);
}

TEST(Builders, NullAndStaleCookiesCloseNothing) {
    ScopedBlobBuf buf;
    void *outer = blobmsg_open_table(&buf.b, "o");
    void *inner = blobmsg_open_table(&buf.b, "i");
    ASSERT_NE(outer, nullptr);
    ASSERT_NE(inner, nullptr);
    blobmsg_close_table(&buf.b, nullptr);
    blobmsg_close_table(&buf.b, outer);  // inner is still open: must not jump over it
    ASSERT_EQ(blobmsg_add_u8(&buf.b, "k", 1), 0);
    blobmsg_close_table(&buf.b, inner);
    blobmsg_close_table(&buf.b, inner);  // already closed
    blobmsg_close_table(&buf.b, outer);
    blobmsg_close_table(&buf.b, outer);
    EXPECT_EQ(head_hex(buf.b),
              "00000020"
              "8200001c00016f00"  // o covers i
              "8200001400016900"  // i covers k
              "8700000900016b0001000000");
}

struct Member {
    const char *name;
    int type;
    size_t len;       // blob_len
    size_t pad_len;   // blob_pad_len
    size_t data_len;  // blobmsg_data_len
};

TEST(Accessors, WalkTheFixture) {
    ScopedBlobBuf buf;
    build_fixture(&buf.b);
    blob_attr *head = buf.b.head;
    EXPECT_EQ(blob_id(head), 0u);
    EXPECT_EQ(blobmsg_data(head), blob_data(head));
    EXPECT_EQ(blobmsg_data_len(head), 120u);
    EXPECT_STREQ(blobmsg_name(head), "");

    const Member expected[] = {
        {"a", BLOBMSG_TYPE_INT32, 8, 12, 4},   {"a", BLOBMSG_TYPE_STRING, 6, 12, 2},
        {"b", BLOBMSG_TYPE_INT8, 5, 12, 1},    {"c", BLOBMSG_TYPE_INT16, 6, 12, 2},
        {"d", BLOBMSG_TYPE_INT64, 12, 16, 8},  {"e", BLOBMSG_TYPE_DOUBLE, 12, 16, 8},
        {"t", BLOBMSG_TYPE_TABLE, 36, 40, 32},
    };
    std::vector<blob_attr *> seen;
    size_t left = blobmsg_data_len(head);
    for (blob_attr *a = static_cast<blob_attr *>(blobmsg_data(head)); left >= 4; a = blob_next(a)) {
        seen.push_back(a);
        left -= blob_pad_len(a);
    }
    ASSERT_EQ(left, 0u);
    ASSERT_EQ(seen.size(), std::size(expected));
    for (size_t i = 0; i < seen.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(blobmsg_name(seen[i]), expected[i].name);
        EXPECT_EQ(blobmsg_type(seen[i]), expected[i].type);
        EXPECT_TRUE(blob_is_extended(seen[i]));
        EXPECT_EQ(blob_raw_len(seen[i]), expected[i].len + 4);
        EXPECT_EQ(blob_len(seen[i]), expected[i].len);
        EXPECT_EQ(blob_pad_len(seen[i]), expected[i].pad_len);
        EXPECT_EQ(blobmsg_data_len(seen[i]), expected[i].data_len);
        EXPECT_EQ(blobmsg_hdrlen(1), 4);
        EXPECT_EQ(static_cast<char *>(blobmsg_data(seen[i])),
                  reinterpret_cast<char *>(seen[i]) + 8);
    }
    EXPECT_EQ(blobmsg_get_u32(seen[0]), 7u);
    EXPECT_STREQ(blobmsg_get_string(seen[1]), "x");
    EXPECT_EQ(blobmsg_get_u8(seen[2]), 0xff);
    EXPECT_EQ(blobmsg_get_u16(seen[3]), 0xfffe);
    EXPECT_EQ(blobmsg_get_u64(seen[4]), 0x0102030405060708ULL);
    EXPECT_EQ(blobmsg_get_double(seen[5]), 1.5);

    blob_attr *k = static_cast<blob_attr *>(blobmsg_data(seen[6]));
    EXPECT_STREQ(blobmsg_name(k), "k");
    blob_attr *l = blob_next(k);
    EXPECT_EQ(blobmsg_type(l), BLOBMSG_TYPE_ARRAY);
    EXPECT_EQ(blobmsg_data_len(l), 12u);
    blob_attr *z = static_cast<blob_attr *>(blobmsg_data(l));
    EXPECT_STREQ(blobmsg_name(z), "");
    EXPECT_STREQ(blobmsg_get_string(z), "z");
}

TEST(Accessors, HeaderLengthRoundsUpToFour) {
    const struct {
        unsigned namelen;
        int hdrlen;
    } cases[] = {{0, 4}, {1, 4}, {2, 8}, {5, 8}, {6, 12}, {65535, 65540}};
    for (const auto &c : cases)
        EXPECT_EQ(blobmsg_hdrlen(c.namelen), c.hdrlen) << c.namelen;
}

// Copies wire bytes to a heap block of exactly their size at an odd address, so that an
// unaligned load trips the alignment sanitizer and a read past the end trips ASan.
struct OddCopy {
    unsigned char *block;
    blob_attr *attr;
    explicit OddCopy(const std::vector<unsigned char> &bytes) {
        block = static_cast<unsigned char *>(malloc(bytes.size() + 1));
        memcpy(block + 1, bytes.data(), bytes.size());
        attr = reinterpret_cast<blob_attr *>(block + 1);
    }
    ~OddCopy() { free(block); }
    OddCopy(const OddCopy &) = delete;
    OddCopy &operator=(const OddCopy &) = delete;
};

TEST(Accessors, ReadUnalignedAttributes) {
    OddCopy u64({0x84, 0, 0, 0x14, 0, 2, 'i', 'd', 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(blob_id(u64.attr), 4u);
    EXPECT_STREQ(blobmsg_name(u64.attr), "id");
    EXPECT_EQ(blobmsg_get_u64(u64.attr), 0x8000000000000001ULL);
    EXPECT_EQ(blobmsg_get_u32(u64.attr), 0x80000000u);  // reads its leading bytes, as on the wire
    OddCopy u16({0x86, 0, 0, 0x0a, 0, 0, 0, 0, 0xff, 0xff});
    EXPECT_EQ(blobmsg_get_u16(u16.attr), 0xffff);
}

TEST(Accessors, NeverReadPastTheAttribute) {
    // Each attribute is malformed in one way; every reader must stay inside it.
    const struct {
        const char *label;
        std::vector<unsigned char> bytes;
        const char *name;
        size_t data_len;
    } cases[] = {
        {"no_room_for_header", {0x85, 0, 0, 4}, "", 0},
        {"header_overruns", {0x85, 0, 0, 6, 0, 9}, "", 0},
        {"name_without_nul", {0x83, 0, 0, 8, 0, 1, 'n', 'x'}, "", 0},
        {"short_int32", {0x85, 0, 0, 10, 0, 0, 0, 0, 1, 2}, "", 2},
        {"string_without_nul", {0x83, 0, 0, 10, 0, 1, 's', 0, 'a', 'b'}, "s", 2},
        {"empty_string", {0x83, 0, 0, 8, 0, 0, 0, 0}, "", 0},
        {"length_below_word", {0x83, 0, 0, 2}, "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        OddCopy copy(c.bytes);
        EXPECT_STREQ(blobmsg_name(copy.attr), c.name);
        EXPECT_EQ(blobmsg_data_len(copy.attr), c.data_len);
        EXPECT_EQ(blobmsg_get_u32(copy.attr), 0u);
        EXPECT_EQ(blobmsg_get_u64(copy.attr), 0u);
        EXPECT_EQ(blobmsg_get_string(copy.attr), nullptr);
        EXPECT_LE(static_cast<char *>(blobmsg_data(copy.attr)),
                  reinterpret_cast<char *>(copy.attr) + c.bytes.size());
    }
    EXPECT_EQ(blobmsg_data(nullptr), nullptr);
    EXPECT_EQ(blobmsg_data_len(nullptr), 0u);
    EXPECT_EQ(blobmsg_get_string(nullptr), nullptr);
    EXPECT_EQ(blobmsg_get_u8(nullptr), 0);
}

TEST(Growth, TenThousandStrings) {
    ScopedBlobBuf buf;
    char value[16];
    for (int i = 0; i < 10000; i++) {
        std::snprintf(value, sizeof(value), "v%d", i);
        ASSERT_EQ(blobmsg_add_string(&buf.b, "k", value), 0) << i;
    }
    size_t left = blobmsg_data_len(buf.b.head);
    int i = 0;
    for (blob_attr *a = static_cast<blob_attr *>(blobmsg_data(buf.b.head)); left >= 4;
         a = blob_next(a), i++) {
        std::snprintf(value, sizeof(value), "v%d", i);
        ASSERT_STREQ(blobmsg_get_string(a), value) << i;
        left -= blob_pad_len(a);
    }
    EXPECT_EQ(i, 10000);
    EXPECT_EQ(left, 0u);
    EXPECT_LE(blob_raw_len(buf.b.head), static_cast<size_t>(buf.b.buflen));
}

// Always moves the data to a fresh block, as realloc may.
bool moving_grow(blob_buf *buf, int minlen) {
    const size_t len = static_cast<size_t>(buf->buflen + minlen);
    void *p = malloc(len);
    if (!p)
        return false;
    if (buf->buf)
        memcpy(p, buf->buf, static_cast<size_t>(buf->buflen));
    free(buf->buf);
    buf->buf = p;
    buf->buflen = static_cast<int>(len);
    return true;
}

TEST(Growth, CookiesSurviveTheBufferMoving) {
    ScopedBlobBuf moved(moving_grow);
    ScopedBlobBuf plain;
    for (blob_buf *b : {&moved.b, &plain.b}) {
        void *t = blobmsg_open_table(b, "t");
        void *a = blobmsg_open_array(b, "a");
        for (int i = 0; i < 100; i++)
            ASSERT_EQ(blobmsg_add_u32(b, nullptr, static_cast<uint32_t>(i)), 0);
        blobmsg_close_array(b, a);
        ASSERT_EQ(blobmsg_add_u8(b, "after", 1), 0);
        blobmsg_close_table(b, t);
        ASSERT_EQ(blobmsg_add_u8(b, "top", 2), 0);
    }
    EXPECT_EQ(head_hex(moved.b), head_hex(plain.b));
    EXPECT_EQ(blob_raw_len(moved.b.head), 4u + (8 + 8 + 100 * 12 + 16) + 16u);
}

bool refusing_grow(blob_buf *, int) {
    return false;
}

// Moves the block but gives one byte less than asked.
bool stingy_moving_grow(blob_buf *buf, int minlen) {
    return moving_grow(buf, minlen - 1);
}

TEST(Growth, RefusedGrowthFailsCleanly) {
    blob_buf none{};
    none.grow = refusing_grow;
    EXPECT_EQ(blob_buf_init(&none, 0), -ENOMEM);
    EXPECT_EQ(none.buf, nullptr);

    for (auto grow : {refusing_grow, stingy_moving_grow}) {
        ScopedBlobBuf buf;
        ASSERT_EQ(blobmsg_add_u8(&buf.b, "a", 1), 0);
        buf.b.grow = grow;
        // Fill what the default growth left spare; the first member that needs more fails.
        int added = 0;
        std::string before = head_hex(buf.b);
        while (blobmsg_add_u8(&buf.b, "b", 2) == 0) {
            added++;
            before = head_hex(buf.b);
        }
        EXPECT_EQ(head_hex(buf.b), before);
        EXPECT_EQ(blob_raw_len(buf.b.head), 4u + 12u * static_cast<size_t>(added + 1));
        EXPECT_EQ(reinterpret_cast<char *>(buf.b.head), static_cast<char *>(buf.b.buf));
        if (grow != refusing_grow)
            continue;
        EXPECT_EQ(blobmsg_add_string(&buf.b, "s", "text"), -1);
        EXPECT_EQ(blobmsg_open_table(&buf.b, "t"), nullptr);
        EXPECT_FALSE(blobmsg_add_json_from_string(&buf.b, R"({"x":1})"));
        EXPECT_EQ(head_hex(buf.b), before);
    }
}

TEST(Reuse, FreeThenInitAgain) {
    blob_buf b{};
    ASSERT_EQ(blob_buf_init(&b, 0), 0);
    build_fixture(&b);
    blob_buf_free(&b);
    EXPECT_EQ(b.buf, nullptr);
    EXPECT_EQ(b.head, nullptr);
    EXPECT_EQ(b.buflen, 0);
    blob_buf_free(&b);  // twice is harmless

    ASSERT_EQ(blob_buf_init(&b, 0), 0);
    EXPECT_EQ(head_hex(b), "00000004");
    build_fixture(&b);
    EXPECT_EQ(head_hex(b), kFixtureHex);
    // Init without free starts over in the same memory.
    ASSERT_EQ(blob_buf_init(&b, 0), 0);
    EXPECT_EQ(head_hex(b), "00000004");
    ASSERT_TRUE(blobmsg_add_json_from_string(&b, R"({"a":1})"));
    EXPECT_EQ(head_hex(b), "000000108500000c0001610000000001");
    blob_buf_free(&b);
}

}  // namespace
