#include "bundle_install.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "archive_name.hpp"
#include "bundle_extract.hpp"
#include "manifest.hpp"
#include "manifest_search.hpp"
#include "shell_command.hpp"
#include "signature.hpp"

namespace {

constexpr const char *kManifestName = "manifest.txt";
constexpr const char *kProgramName = "bundle-install";

struct PathHolder {
    char *path;
    ~PathHolder() { std::free(path); }
};

}  // namespace

int bundle_install_main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s <tar.gz file>\n",
                     argc > 0 && argv[0] != nullptr ? argv[0] : kProgramName);
        return 1;
    }
    const char *archive = argv[1];
    // Before anything is created or unpacked: a refused bundle leaves no trace.
    int verified_fd = -1;
    if (check_bundle_signature(archive, kKeyDir, &verified_fd) != 0)
        return 1;
    if (check_update_dir(kUpdateDir) != 0) {
        if (verified_fd >= 0)
            close(verified_fd);
        return 1;
    }
    int unpacked = verified_fd >= 0 ? extract_bundle_from(verified_fd, kUpdateDir)
                                    : extract_bundle(archive, kUpdateDir);
    if (verified_fd >= 0)
        close(verified_fd);
    if (unpacked != 0) {
        std::fputs("Failed to extract tar.gz file\n", stderr);
        return 1;
    }
    if (restore_update_dir(kUpdateDir) != 0)
        return 1;
    PathHolder manifest{find_file_recursive(kUpdateDir, kManifestName)};
    if (manifest.path == nullptr) {
        std::fputs("Failed to find manifest file\n", stderr);
        return 1;
    }
    std::printf("Found manifest file at: %s\n", manifest.path);

    auto base = archive_base_name(archive);
    char package_dir[kTextSize];
    int n = std::snprintf(package_dir, sizeof package_dir, "%s/%.*s", kUpdateDir,
                          static_cast<int>(base.size()), base.data());
    bool fits = n >= 0 && static_cast<unsigned>(n) < sizeof package_dir;
    if (!fits)
        std::fprintf(stderr, "Path too long: %s/%.*s\n", kUpdateDir, static_cast<int>(base.size()),
                     base.data());
    if (!fits || process_manifest(manifest.path, package_dir) != 0) {
        std::fputs("Update failed\n", stderr);
        return 1;
    }
    std::puts("Update successful");
    return 0;
}
