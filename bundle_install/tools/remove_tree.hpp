#pragma once
// Shared by the host tools: removing the scratch trees they unpack or stage bundles in.

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

// Removes `root` and everything below it, links as links; what cannot be removed stays.
inline void remove_tree(const char *root) {
    auto remove_entry = [](const char *path, const struct stat *, int type, struct FTW *) {
        if (type == FTW_DP)
            rmdir(path);
        else
            unlink(path);
        return 0;
    };
    nftw(root, remove_entry, 16, FTW_PHYS | FTW_DEPTH);
}
