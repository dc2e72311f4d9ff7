// The first-line reader over any file contents and buffer size.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "first_line.hpp"
#include "fuzz_check.hpp"

namespace {

// One anonymous in-memory file for the whole run, reopened by path as the reader does.
int contents_fd() {
    static const int fd = memfd_create("first-line", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte is the buffer size (0 to 255); the rest is the file.
    const std::size_t room = data[0];
    const std::string_view contents(reinterpret_cast<const char *>(data) + 1, size - 1);

    const int fd = contents_fd();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, contents.data(), contents.size(), 0) ==
               static_cast<ssize_t>(contents.size()));
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    // Exact size, and filled with a marker so bytes the reader never wrote cannot pass as text.
    char *buffer = static_cast<char *>(std::malloc(room == 0 ? 1 : room));
    std::memset(buffer, 'M', room == 0 ? 1 : room);
    const int rc = read_first_line(path, buffer, room);

    // One read of at most room - 1 bytes, cut at the first line end or zero byte.
    std::string_view want;
    if (room >= 2) {
        want = contents.substr(0, room - 1);
        want = want.substr(0, want.find_first_of(std::string_view("\n\r\0", 3)));
    }
    if (want.empty()) {
        FUZZ_CHECK(rc == -1);
    } else {
        FUZZ_CHECK(rc == 0);
        const std::string_view got(buffer, strnlen(buffer, room));
        FUZZ_CHECK(got.size() < room);
        FUZZ_CHECK_EQ(got, want);
        FUZZ_CHECK(got.find_first_of("\n\r") == std::string_view::npos);
        FUZZ_CHECK(contents.starts_with(got));
    }
    std::free(buffer);
    return 0;
}
