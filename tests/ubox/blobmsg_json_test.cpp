#include "ubox_test_util.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>

namespace {

struct Vector {
    const char *label;
    const char *json;
    bool ok;
    const char *head;
};

// Bytes that the platform library produces for the same texts.
const Vector kVectors[] = {
    {"empty_object", "{}", true, "00000004"},
    {"empty_array", R"({"order":[]})", true, "000000108100000c00056f7264657200"},
    {"array_mixed", R"({"order":["pkg-a",5]})", true,
     "0000002c8100002800056f72646572008300000e00000000706b672d610000008500000c0000000000000005"},
    {"repeated_key", R"({"a":1,"b":2,"a":3})", true,
     "0000001c8500000c00016100000000038500000c0001620000000002"},
    {"nested_table", R"({"t":{"x":-1,"y":""}})", true,
     "0000002482000020000174008500000c00017800ffffffff830000090001790000000000"},
    {"integer_ranges", R"({"n":-5000000000,"m":-2147483648,"k":2147483648})", true,
     "000000308400001000016e00fffffffed5fa0e008500000c00016d00800000008400001000016b00000000008000"
     "0000"},
    {"utf8", R"({"s":"h\u00e9"})", true, "000000108300000c0001730068c3a900"},
    {"trailing_text", R"({"a":1} trailing)", true, "000000108500000c0001610000000001"},
    {"escaped_nul", R"({"x":"a\u0000b"})", true, "000000108300000a0001780061000000"},
    {"all_types", R"({"order":["a","b"],"n":5,"t":true,"d":1.5,"z":null,"big":5000000000})", true,
     "0000006c8100002400056f72646572008300000a00000000610000008300000a00000000620000008500000c00016"
     "e"
     "00000000058700000900017400010000008800001000016400"
     "3ff80000000000008000000800017a00840000140003626967000000000000012a05f200"},
    // json-c clamps integers beyond the signed 64-bit range to its bounds.
    {"int64_max", R"({"u":9223372036854775807})", true, "0000001484000010000175007fffffffffffffff"},
    {"two_to_63", R"({"u":9223372036854775808})", true, "0000001484000010000175007fffffffffffffff"},
    {"uint64_max", R"({"u":18446744073709551615})", true,
     "0000001484000010000175007fffffffffffffff"},
    {"two_to_64", R"({"u":18446744073709551616})", true,
     "0000001484000010000175007fffffffffffffff"},
    {"ten_to_26", R"({"u":100000000000000000000000000})", true,
     "0000001484000010000175007fffffffffffffff"},
    {"int64_min", R"({"u":-9223372036854775808})", true,
     "0000001484000010000175008000000000000000"},
    {"below_int64_min", R"({"u":-9223372036854775809})", true,
     "0000001484000010000175008000000000000000"},
    {"top_level_array", "[1,2]", false, "00000004"},
    {"empty_text", "", false, "00000004"},
    {"truncated", R"({"a":)", false, "00000004"},
};

// Names the row by its text rather than its bytes.
void PrintTo(const Vector &v, std::ostream *os) {
    *os << v.json;
}

class JsonVector : public testing::TestWithParam<Vector> {};

TEST_P(JsonVector, MatchesPlatformBytes) {
    const Vector &v = GetParam();
    ScopedBlobBuf buf;
    ASSERT_EQ(buf.init_status, 0);
    EXPECT_EQ(blobmsg_add_json_from_string(&buf.b, v.json), v.ok);
    EXPECT_EQ(head_hex(buf.b), v.head);
}

INSTANTIATE_TEST_SUITE_P(Ubox, JsonVector, testing::ValuesIn(kVectors),
                         [](const testing::TestParamInfo<Vector> &row) {
                             return std::string(row.param.label);
                         });

TEST(JsonLoad, AppendsAfterExistingMembersAndIntoAnOpenTable) {
    ScopedBlobBuf buf;
    ASSERT_EQ(blobmsg_add_u8(&buf.b, "p", 1), 0);
    void *cookie = blobmsg_open_table(&buf.b, "t");
    ASSERT_NE(cookie, nullptr);
    ASSERT_TRUE(blobmsg_add_json_from_string(&buf.b, R"({"a":1})"));
    blobmsg_close_table(&buf.b, cookie);
    EXPECT_EQ(head_hex(buf.b),
              "0000002487000009000170000100000082000014000174008500000c0001610000000001");
}

// Lets the first `budget` growths through, then refuses.
int grow_budget;
bool limited_grow(blob_buf *buf, int minlen) {
    if (grow_budget-- <= 0)
        return false;
    void *p = realloc(buf->buf, static_cast<size_t>(buf->buflen + minlen));
    if (!p)
        return false;
    buf->buf = p;
    buf->buflen += minlen;
    return true;
}

TEST(JsonLoad, FailedGrowthPartwayAddsNothing) {
    // Each growth gives exactly what is missing, so a deep text needs many of them; failing at
    // every point in turn covers failures inside nested tables and arrays.
    const char *text = R"({"a":"one","t":{"x":[1,"two",{"y":null}],"z":2.5},"b":true})";
    // Initialising and the first member take two growths, the text nine (one per member).
    for (int budget = 2; budget <= 11; budget++) {
        SCOPED_TRACE(budget);
        grow_budget = budget;
        ScopedBlobBuf buf(limited_grow);
        ASSERT_EQ(buf.init_status, 0);
        ASSERT_EQ(blobmsg_add_string(&buf.b, "keep", "me"), 0);
        const std::string before = head_hex(buf.b);
        const bool ok = blobmsg_add_json_from_string(&buf.b, text);
        if (budget == 11) {
            EXPECT_TRUE(ok);
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(head_hex(buf.b), before);
        // The buffer is still sound: later members land right after the old ones.
        grow_budget = 100;
        ASSERT_EQ(blobmsg_add_u8(&buf.b, "n", 7), 0);
        EXPECT_EQ(head_hex(buf.b), "00000020" + before.substr(8) +
                                       "870000090001"
                                       "6e0007000000");
    }
}

}  // namespace
