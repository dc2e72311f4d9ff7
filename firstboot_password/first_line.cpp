#include "first_line.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

int read_first_line(const char *path, char *buffer, std::size_t size) {
    if (size < 2)
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Only the first read counts: sysfs hands the whole attribute over in one piece.
    ssize_t got = read(fd, buffer, size - 1);
    close(fd);
    if (got <= 0)
        return -1;
    buffer[got] = '\0';
    buffer[std::strcspn(buffer, "\r\n")] = '\0';
    return buffer[0] == '\0' ? -1 : 0;
}
