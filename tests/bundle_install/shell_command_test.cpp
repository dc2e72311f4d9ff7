#include "shell_command.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShellStatus, OnlyNormalExitWithZeroSucceeds) {
    struct Case {
        int status;
        int result;
    } cases[] = {
        {0, 0},          // exited 0
        {1 << 8, -1},    // exited 1
        {255 << 8, -1},  // exited 255
        {9, -1},         // killed by SIGKILL
        {0x80 | 6, -1},  // SIGABRT with a core dump
        {0x80, 0},       // the core bit alone is ignored
    };
    for (const auto &c : cases)
        EXPECT_EQ(shell_status_result(c.status), c.result) << c.status;
}

TEST(ShellStatus, RunsThroughTheShell) {
    EXPECT_EQ(run_shell_command("exit 0"), 0);
    EXPECT_EQ(run_shell_command("exit 3"), -1);
    EXPECT_EQ(run_shell_command("kill -9 $$"), -1);
}

std::string quote(const std::string &text, std::size_t size = kTextSize) {
    std::string out(size, 'X');
    int rc = shell_quote(text, out.data(), size);
    if (rc != 0)
        return "<too long>";
    return out.c_str();
}

TEST(ShellQuote, QuotesOnlyWhatTheShellWouldReadSpecially) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"/tmp/update", "/tmp/update"},
        {"/mnt/usb/fw-1.2_a+b:c@d%e,f=g.tar.gz", "/mnt/usb/fw-1.2_a+b:c@d%e,f=g.tar.gz"},
        {"", "''"},
        {"my bundle.tar.gz", "'my bundle.tar.gz'"},
        {"a.ipk; touch /tmp/pwned", "'a.ipk; touch /tmp/pwned'"},
        {"it's", "'it'\\''s'"},
        {"'", "''\\'''"},
        {"$(id)`id`\"*?~\n", "'$(id)`id`\"*?~\n'"},
        {"tab\there", "'tab\there'"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(quote(c.in), c.out) << c.in;
}

TEST(ShellQuote, QuotedTextRoundTripsThroughTheShell) {
    const std::string text = "a 'b' \"c\" $d `e` \\f; g";
    std::string command = "test \"$(printf '%s' " + quote(text) + ")\" = " + quote(text);
    EXPECT_EQ(run_shell_command(command.c_str()), 0);
}

TEST(ShellQuote, RefusesWhatDoesNotFit) {
    // "abc" needs 4 bytes; "'a b'" needs 6.
    EXPECT_EQ(quote("abc", 4), "abc");
    EXPECT_EQ(quote("abc", 3), "<too long>");
    EXPECT_EQ(quote("a b", 6), "'a b'");
    EXPECT_EQ(quote("a b", 5), "<too long>");
    EXPECT_EQ(quote("", 2), "<too long>");
    char out[8] = "XXXXXXX";
    EXPECT_EQ(shell_quote("toolongtext", out, sizeof out), -1);
    EXPECT_EQ(out[sizeof out - 1], '\0');  // terminated even when cut
}

}  // namespace
