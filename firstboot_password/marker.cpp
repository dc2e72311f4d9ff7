#include "marker.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A filesystem that cannot sync directories answers EINVAL; there is nothing more to do there.
int sync_directory(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result = fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
    close(fd);
    return result;
}

}  // namespace

int create_completion_marker() {
    // The marker must never reach the disk before the shadow renames it vouches for.
    if (sync_directory(kMarkerDir) != 0)
        return -1;
    int fd = open(kMarkerPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EEXIST ? 0 : -1;
    if (fsync(fd) != 0) {
        close(fd);
        unlink(kMarkerPath);
        return -1;
    }
    close(fd);
    // Once the marker itself is synced it stays even when the directory sync fails: taking it
    // back would make the next boot provision over the passwords an upgrade kept, because the
    // upgrade archive is gone by then. The failure is still reported.
    if (sync_directory(kMarkerDir) != 0)
        return -1;
    return 0;
}
