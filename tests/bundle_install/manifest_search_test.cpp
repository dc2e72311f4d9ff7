#include "manifest_search.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "shell_command.hpp"
#include "support/sandbox.hpp"

namespace {

// A scratch directory on the host; the search takes any directory, so no sandbox is needed.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char templ[] = "/tmp/zu-search-XXXXXX";
        path = mkdtemp(templ);
    }
    ~ScratchDir() { zu_test::host_shell("rm -rf '" + path + "'"); }
    void sh(const std::string &command) const {
        ASSERT_EQ(zu_test::host_shell("cd '" + path + "' && " + command), 0) << command;
    }
};

std::string search(const std::string &directory, const char *name = "manifest.txt") {
    char *found = find_file_recursive(directory.c_str(), name);
    if (found == nullptr)
        return "<none>";
    std::string result = found;
    std::free(found);
    return result;
}

TEST(ManifestSearch, FindsInNestedDirectories) {
    ScratchDir dir;
    dir.sh("mkdir -p a/b/c && touch a/b/c/manifest.txt a/b/other.txt");
    EXPECT_EQ(search(dir.path), dir.path + "/a/b/c/manifest.txt");
}

TEST(ManifestSearch, NameMatchesExactlyAndDirectoriesAreSearchedNotMatched) {
    ScratchDir dir;
    dir.sh("touch Manifest.txt manifest.txt.bak xmanifest.txt && mkdir -p manifest.txt/inner");
    EXPECT_EQ(search(dir.path), "<none>");
    dir.sh("touch manifest.txt/inner/manifest.txt");
    EXPECT_EQ(search(dir.path), dir.path + "/manifest.txt/inner/manifest.txt");
}

TEST(ManifestSearch, SymlinkNamedLikeTheManifestMatchesButLinkedDirectoriesAreNotEntered) {
    ScratchDir outside;
    outside.sh("mkdir d && touch d/manifest.txt");
    ScratchDir dir;
    dir.sh("ln -s '" + outside.path + "/d' linked");
    EXPECT_EQ(search(dir.path), "<none>");
    dir.sh("ln -s /nonexistent manifest.txt");
    EXPECT_EQ(search(dir.path), dir.path + "/manifest.txt");
}

TEST(ManifestSearch, MissingDirectoryIsReported) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(search("/nonexistent-zu-dir"), "<none>");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "opendir: No such file or directory\n");
}

TEST(ManifestSearch, SkipsEntriesWhosePathDoesNotFit) {
    ScratchDir dir;
    // Two levels of 200-character names: the second level's paths pass 511 characters.
    std::string name(200, 'n');
    dir.sh("mkdir -p " + name + "/" + name + "/" + name + " && touch " + name + "/" + name + "/" +
           name + "/manifest.txt");
    std::string too_long = dir.path + "/" + name + "/" + name + "/" + name;
    ASSERT_GT(too_long.size(), kTextSize - 1);
    testing::internal::CaptureStderr();
    std::string found = search(dir.path);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(found, "<none>");
    EXPECT_EQ(err, "Path too long: " + too_long + "\n");
}

TEST(ManifestSearch, ManifestPathThatDoesNotFitIsSkipped) {
    ScratchDir dir;
    // The directory's own path fits, but not with "/manifest.txt" after it.
    std::string deep = dir.path;
    std::string rel;
    while (deep.size() + 1 + 100 < kTextSize - 8) {
        rel += (rel.empty() ? "" : "/") + std::string(100, 'd');
        deep += "/" + std::string(100, 'd');
    }
    std::string last(kTextSize - 1 - deep.size() - 1, 'e');
    rel += "/" + last;
    deep += "/" + last;
    ASSERT_EQ(deep.size(), kTextSize - 1);
    dir.sh("mkdir -p " + rel + " && touch " + rel + "/manifest.txt");
    testing::internal::CaptureStderr();
    std::string found = search(dir.path);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(found, "<none>");
    EXPECT_EQ(err, "Path too long: " + deep + "/manifest.txt\n");
}

}  // namespace
