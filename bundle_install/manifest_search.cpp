#include "manifest_search.hpp"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell_command.hpp"

namespace {

// Closes the directory on every way out of a search level.
struct DirHolder {
    DIR *dir;
    ~DirHolder() {
        if (dir != nullptr)
            closedir(dir);
    }
};

// Joins directory and entry; false (with a message) when the path does not fit, since a cut
// path could name another entry or the directory itself and the search would never end.
bool join_path(char *out, std::size_t size, const char *directory, const char *entry) {
    int n = std::snprintf(out, size, "%s/%s", directory, entry);
    if (n >= 0 && static_cast<unsigned>(n) < size)
        return true;
    std::fprintf(stderr, "Path too long: %s/%s\n", directory, entry);
    return false;
}

}  // namespace

char *find_file_recursive(const char *directory, const char *name) {
    DirHolder holder{opendir(directory)};
    if (holder.dir == nullptr) {
        std::perror("opendir");
        return nullptr;
    }
    while (struct dirent *entry = readdir(holder.dir)) {
        if (entry->d_type == DT_DIR) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            char subdir[kTextSize];
            if (!join_path(subdir, sizeof subdir, directory, entry->d_name))
                continue;
            if (char *found = find_file_recursive(subdir, name))
                return found;
        } else if (std::strcmp(entry->d_name, name) == 0) {
            char path[kTextSize];
            if (!join_path(path, sizeof path, directory, entry->d_name))
                continue;
            char *result = static_cast<char *>(std::malloc(kTextSize));
            if (result == nullptr) {
                std::perror("malloc");
                return nullptr;
            }
            std::memcpy(result, path, kTextSize);
            return result;
        }
    }
    return nullptr;
}
