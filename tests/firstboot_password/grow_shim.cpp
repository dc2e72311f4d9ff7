// Preloaded into the program by tests of a shadow file that grows while it is read: just before
// the first read of "/etc/shadow" (after its size was taken), the file named by ZU_GROW_FEED is
// appended to it, so the read really finds more than the stated size.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace {

bool is_shadow(int fd) {
    struct stat open_file, named;
    return fstat(fd, &open_file) == 0 && stat("/etc/shadow", &named) == 0 &&
           open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

void append_feed() {
    const char *feed = std::getenv("ZU_GROW_FEED");
    if (feed == nullptr)
        return;
    int in = open(feed, O_RDONLY);
    int out = open("/etc/shadow", O_WRONLY | O_APPEND);
    char chunk[4096];
    ssize_t got;
    while (in >= 0 && out >= 0 &&
           (got = static_cast<ssize_t>(syscall(SYS_read, in, chunk, sizeof chunk))) > 0)
        if (write(out, chunk, static_cast<size_t>(got)) != got)
            break;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
}

}  // namespace

extern "C" ssize_t read(int fd, void *data, size_t count) {
    static bool grown = false;
    if (!grown && is_shadow(fd)) {
        grown = true;
        append_feed();
    }
    return static_cast<ssize_t>(syscall(SYS_read, fd, data, count));
}
