#include "bundle_extract.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shell_command.hpp"

int check_update_dir(const char *path) {
    // Creating it ourselves closes the gap between the check and the unpack: in a sticky /tmp no
    // other account can swap a directory we own. Any failure here is judged by lstat below.
    (void)mkdir(path, 0777);
    struct stat st {};
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        std::perror("lstat");
    } else if (S_ISDIR(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0)) {
        return 0;
    }
    std::fprintf(stderr, "Refusing unsafe update directory: %s\n", path);
    return -1;
}

int extract_bundle(const char *archive, const char *directory) {
    char quoted_archive[kTextSize];
    char quoted_dir[kTextSize];
    char command[kTextSize];
    bool fits = shell_quote(archive, quoted_archive, sizeof quoted_archive) == 0 &&
                shell_quote(directory, quoted_dir, sizeof quoted_dir) == 0;
    if (fits) {
        int n = std::snprintf(command, sizeof command, "mkdir -p %s && tar -xzvf %s -C %s",
                              quoted_dir, quoted_archive, quoted_dir);
        fits = n >= 0 && static_cast<unsigned>(n) < sizeof command;
    }
    if (!fits) {
        // A cut command could lose its -C target and unpack into the working directory.
        std::fprintf(stderr, "Command too long: mkdir -p %s && tar -xzvf %s -C %s\n", directory,
                     archive, directory);
        return -1;
    }
    return run_shell_command(command);
}

int extract_bundle_from(int fd, const char *directory) {
    char quoted_dir[kTextSize];
    char command[kTextSize];
    bool fits = shell_quote(directory, quoted_dir, sizeof quoted_dir) == 0;
    if (fits) {
        int n = std::snprintf(command, sizeof command, "mkdir -p %s && tar -xzvf - -o -C %s",
                              quoted_dir, quoted_dir);
        fits = n >= 0 && static_cast<unsigned>(n) < sizeof command;
    }
    if (!fits) {
        std::fprintf(stderr, "Command too long: mkdir -p %s && tar -xzvf - -o -C %s\n", directory,
                     directory);
        return -1;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        std::perror("lseek");
        return -1;
    }
    // The shell inherits our descriptors: the archive is its standard input for this command only,
    // and ours comes back afterwards.
    int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
    int given = fd == 0 ? fcntl(0, F_SETFD, 0) : dup2(fd, 0);
    if (given < 0) {
        std::perror("dup2");
        if (saved >= 0)
            close(saved);
        return -1;
    }
    int result = run_shell_command(command);
    if (fd == 0) {
        (void)fcntl(0, F_SETFD, FD_CLOEXEC);
    } else if (saved >= 0) {
        (void)dup2(saved, 0);
    } else {
        close(0);
    }
    if (saved >= 0)
        close(saved);
    return result;
}
