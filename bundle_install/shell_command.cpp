#include "shell_command.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

// Terminating signal (bits 0-6) and exit code (bits 8-15); the core-dump bit does not count.
constexpr int kFailureMask = 0xff7f;

bool is_plain(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    for (char safe : std::string_view("_./+-:@%,="))
        if (c == safe)
            return true;
    return false;
}

}  // namespace

int shell_status_result(int status) {
    return (status & kFailureMask) == 0 ? 0 : -1;
}

int run_shell_command(const char *command) {
    // The child writes straight to the descriptors; our buffered lines must come first.
    std::fflush(stdout);
    int status = std::system(command);
    if (status == -1) {
        std::perror("system");
        return -1;
    }
    return shell_status_result(status);
}

int shell_quote(std::string_view text, char *out, std::size_t size) {
    bool plain = !text.empty();
    for (char c : text)
        if (!is_plain(c))
            plain = false;

    std::size_t n = 0;
    auto put = [&](std::string_view piece) {
        for (char c : piece) {
            if (n + 1 >= size)
                return false;
            out[n++] = c;
        }
        return true;
    };
    bool fits = true;
    if (plain) {
        fits = put(text);
    } else {
        fits = put("'");
        for (char c : text) {
            if (!fits)
                break;
            fits = c == '\'' ? put("'\\''") : put(std::string_view(&c, 1));
        }
        fits = fits && put("'");
    }
    if (size > 0)
        out[n] = '\0';
    return fits ? 0 : -1;
}
