#include "bundle_extract.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shell_command.hpp"

namespace {

constexpr mode_t kUpdateDirMode = 0755;
// Applied to what tar creates: nothing unpacked may be writable by another account.
constexpr mode_t kUnpackUmask = 022;

void refuse(const char *path) {
    std::fprintf(stderr, "Refusing unsafe update directory: %s\n", path);
}

bool owner_is_us(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// The directory itself, never a link to one: what we check is what we change.
int open_dir(const char *path) {
    return open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

// tar running as root otherwise restores the archive's modes, a world-writable folder too.
int run_unpack(const char *command) {
    mode_t mask = umask(kUnpackUmask);
    int result = run_shell_command(command);
    umask(mask);
    return result;
}

}  // namespace

int check_update_dir(const char *path) {
    // Creating it ourselves closes the gap between the check and the unpack: in a sticky /tmp no
    // other account can swap a directory we own. Any failure here is judged below. A umask can
    // only narrow the mode; the repair after the unpack opens it to 0755 again.
    (void)mkdir(path, kUpdateDirMode);
    struct stat st {};
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        std::perror("lstat");
        refuse(path);
        return -1;
    }
    if (!S_ISDIR(st.st_mode) || !owner_is_us(st.st_uid) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuse(path);
        return -1;
    }
    return 0;
}

int unpack_command(const char *archive, const char *directory, char *command) {
    char quoted_archive[kTextSize];
    char quoted_dir[kTextSize];
    bool fits = shell_quote(archive, quoted_archive, sizeof quoted_archive) == 0 &&
                shell_quote(directory, quoted_dir, sizeof quoted_dir) == 0;
    if (fits) {
        int n = std::snprintf(command, kTextSize,
                              "mkdir -p %s && tar --no-same-permissions -xzvof %s -C %s",
                              quoted_dir, quoted_archive, quoted_dir);
        fits = n >= 0 && static_cast<unsigned>(n) < kTextSize;
    }
    if (!fits) {
        // A cut command could lose its -C target and unpack into the working directory.
        std::fprintf(stderr,
                     "Command too long: mkdir -p %s && tar --no-same-permissions -xzvof %s -C %s\n",
                     directory, archive, directory);
        return -1;
    }
    return 0;
}

int extract_bundle(const char *archive, const char *directory) {
    char command[kTextSize];
    if (unpack_command(archive, directory, command) != 0)
        return -1;
    return run_unpack(command);
}

int restore_update_dir(const char *path) {
    Fd dir{open_dir(path)};
    struct stat st {};
    if (dir.fd < 0 || fstat(dir.fd, &st) != 0) {
        std::perror(dir.fd < 0 ? "open" : "fstat");
        refuse(path);
        return -1;
    }
    if (owner_is_us(st.st_uid) && (st.st_mode & 07777) == kUpdateDirMode)
        return 0;
    // Refusing here would leave a directory that blocks every later update until reboot.
    uid_t owner = owner_is_us(st.st_uid) ? st.st_uid : geteuid();
    const char *failed = fchown(dir.fd, owner, static_cast<gid_t>(-1)) != 0 ? "fchown"
                         : fchmod(dir.fd, kUpdateDirMode) != 0              ? "fchmod"
                                                                            : nullptr;
    if (failed != nullptr) {
        std::perror(failed);
        refuse(path);
        return -1;
    }
    return 0;
}

int extract_bundle_from(int fd, const char *directory) {
    // "-" is tar's standard input: the same command, with the verified bytes in place of a path.
    char command[kTextSize];
    if (unpack_command("-", directory, command) != 0)
        return -1;
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
    int result = run_unpack(command);
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
