#include "first_line.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

int read_first_line_fd(int fd, char *buffer, std::size_t size) {
    if (size < 2) {
        close(fd);
        return -1;
    }
    // Only the first read counts: sysfs hands the whole attribute over in one piece.
    ssize_t got = read(fd, buffer, size - 1);
    close(fd);
    if (got <= 0)
        return -1;
    buffer[got] = '\0';
    buffer[std::strcspn(buffer, "\r\n")] = '\0';
    return buffer[0] == '\0' ? -1 : 0;
}

int read_first_line(const char *path, char *buffer, std::size_t size) {
    // Device facts are regular files (sysfs attributes too); anything else, a FIFO above all,
    // could hold the boot in open or read. Regular files ignore O_NONBLOCK.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return read_first_line_fd(fd, buffer, size);
}
