#include "shadow_file.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char *what;
    std::string content;
    const char *user;
    FieldLookup result;
    std::string field;  // the password field's text when found
    std::size_t start;  // where it begins
};

TEST(FindPasswordField, MatchesWholeNamesAtLineStartsOnly) {
    using enum FieldLookup;
    const Case cases[] = {
        {"first line", "root::19000:0:::\nadmin:x:1:::\n", "root", kFound, "", 5},
        {"last line without line end", "daemon:*:1::\nadmin:!locked:2::", "admin", kFound,
         "!locked", 19},
        {"longer name does not match", "rootx:a:1:\nroot:b:2:\n", "root", kFound, "b", 16},
        {"name inside another line", "daemon:root:1:\nroot:*:2:\n", "root", kFound, "*", 20},
        {"first of two lines wins", "root:one:1:\nroot:two:2:\n", "root", kFound, "one", 5},
        {"zero byte in an earlier line", std::string("dae\0on:x:1:\nroot:h:2:", 21), "root", kFound,
         "h", 17},
        {"name without colon", "root\nroot:$6$s$h:2:\n", "root", kFound, "$6$s$h", 10},
        {"empty file", "", "root", kNoEntry, "", 0},
        {"no such user", "daemon:*:1:\nadmin:x:2:\n", "root", kNoEntry, "", 0},
        {"prefix only", "ro:x:1:\n", "root", kNoEntry, "", 0},
        {"single colon, colons later", "root:abc\nadmin:x:1:\n", "root", kMalformed, "", 0},
        {"single colon at end of file", "admin:x:1:\nroot:abc", "root", kMalformed, "", 0},
    };
    for (const Case &c : cases) {
        PasswordField field{99, 99};
        FieldLookup result = find_password_field(c.content, c.user, &field);
        EXPECT_EQ(result, c.result) << c.what;
        if (result == kFound && c.result == kFound) {
            EXPECT_EQ(field.start, c.start) << c.what;
            EXPECT_EQ(c.content.substr(field.start, field.end - field.start), c.field) << c.what;
            EXPECT_EQ(c.content[field.end], ':') << c.what;
        }
    }
}

}  // namespace
