// Shell quoting: whatever the text, the shell handed the quoted word gives back the same bytes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fuzz_check.hpp"
#include "shell_command.hpp"

extern char **environ;

namespace {

// Standard output of /bin/sh -c command; aborts when the shell does not exit 0.
std::string shell_output(const std::string &command) {
    int pipe_fd[2];
    FUZZ_CHECK(pipe2(pipe_fd, O_CLOEXEC) == 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fd[1], 1);
    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, sh, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fd[1]);
    FUZZ_CHECK(spawned == 0);
    std::string out;
    char chunk[4096];
    for (;;) {
        ssize_t got = read(pipe_fd[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        FUZZ_CHECK(got >= 0);
        if (got == 0)
            break;
        out.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipe_fd[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        FUZZ_CHECK(errno == EINTR);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        zu_fuzz::fail(__FILE__, __LINE__, "shell failed on the quoted word", command, {});
    return out;
}

// Characters that any quoting must leave alone, so plain paths keep their exact command texts.
bool surely_plain(std::string_view text) {
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == '/' || c == '-'))
            return false;
    return !text.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the output room: mostly the command buffer's, sometimes tiny.
    const std::size_t room = data[0] < 200 ? kTextSize : data[0] - 199u;
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);

    // Exact-size buffers: a write past the room, or a read past the text, trips the checker.
    char *in = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(in, text.data(), text.size());
    char *out = static_cast<char *>(std::malloc(room));
    const int rc = shell_quote(std::string_view(in, text.size()), out, room);
    const std::string quoted(out, strnlen(out, room));
    FUZZ_CHECK(quoted.size() < room);  // terminated inside the room, whatever the result

    if (rc == 0) {
        if (surely_plain(text))
            FUZZ_CHECK_EQ(quoted, text);
        // No C string holds a NUL byte, so no command text can carry one to the shell.
        if (text.find('\0') == std::string_view::npos)
            FUZZ_CHECK_EQ(shell_output("printf %s " + quoted), text);
    } else {
        FUZZ_CHECK(rc == -1);
        // Only a text that cannot fit may be refused: a quoted word needs at most 4 bytes per
        // byte plus the quotes.
        FUZZ_CHECK(room < 4 * text.size() + 3);
    }
    std::free(out);
    std::free(in);
    return 0;
}
