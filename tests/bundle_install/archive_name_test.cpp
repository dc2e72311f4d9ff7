#include "archive_name.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ArchiveBaseName, StripsGzThenTar) {
    struct Case {
        const char *archive;
        const char *base;
    } cases[] = {
        {"bundle.tar.gz", "bundle"},
        {"/mnt/usb/fw-1.2.tar.gz", "fw-1.2"},
        {"bundle.tgz", "bundle.tgz"},
        {"bundle.tar", "bundle.tar"},
        {"bundle.gz", "bundle"},
        {"bundle.tar.gz.gz", "bundle.tar.gz"},
        {"bundle.TAR.GZ", "bundle.TAR.GZ"},
        {".tar.gz", ""},
        {"dir.tar.gz/bundle", "bundle"},
        {"/mnt/usb/", ""},
        {"bundle", "bundle"},
        {"a.b.tar.gz", "a.b"},
        {"bundle.gzip", "bundle.gzip"},
        {"my bundle.tar.gz", "my bundle"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(archive_base_name(c.archive), c.base) << c.archive;
}

}  // namespace
