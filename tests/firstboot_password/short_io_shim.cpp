// Preloaded into the program by tests that need real partial transfers, which strace's injection
// cannot give (an injected return value skips the call): writes to regular files move at most
// 7 bytes, and the first blocking getrandom delivers 5 bytes.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

extern "C" {

ssize_t write(int fd, const void *data, size_t count) {
    struct stat st;
    if (count > 7 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        count = 7;
    return static_cast<ssize_t>(syscall(SYS_write, fd, data, count));
}

ssize_t getrandom(void *data, size_t length, unsigned int flags) {
    static bool shortened = false;
    if (flags == 0 && length > 5 && !shortened) {
        shortened = true;
        length = 5;
    }
    return static_cast<ssize_t>(syscall(SYS_getrandom, data, length, flags));
}
}
