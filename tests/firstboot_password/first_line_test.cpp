#include "first_line.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class FirstLine : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/zu-first-line-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override { (void)!std::system(("rm -rf " + dir_).c_str()); }

    std::string file(const std::string &content) {
        std::string path = dir_ + "/f" + std::to_string(count_++);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(::write(fd, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
        ::close(fd);
        return path;
    }

    std::string dir_;
    int count_ = 0;
};

struct Case {
    std::string content;
    std::size_t size;
    int result;
    std::string line;
};

TEST_F(FirstLine, CutsAtFirstLineEndAndRejectsEmptyLines) {
    const Case cases[] = {
        {"aa:bb:cc:dd:ee:ff\n", 64, 0, "aa:bb:cc:dd:ee:ff"},
        {"aa:bb:cc:dd:ee:ff\r\n", 64, 0, "aa:bb:cc:dd:ee:ff"},
        {"aa:bb:cc:dd:ee:ff", 64, 0, "aa:bb:cc:dd:ee:ff"},
        {"RT-2400\nsecond line\n", 256, 0, "RT-2400"},
        {"  RT 2400 \r", 256, 0, "  RT 2400 "},  // spaces are kept
        {std::string(300, 'm'), 256, 0, std::string(255, 'm')},
        {std::string(100, 'a'), 64, 0, std::string(63, 'a')},
        {std::string("ab\0cd\n", 6), 64, 0, "ab"},
        {"", 64, -1, ""},
        {"\naa:bb\n", 64, -1, ""},
        {"\r\n", 64, -1, ""},
        {std::string("\0aa", 3), 64, -1, ""},
    };
    for (const Case &c : cases) {
        std::string buffer(c.size, '#');
        int result = read_first_line(file(c.content).c_str(), buffer.data(), c.size);
        EXPECT_EQ(result, c.result) << "content: " << c.content;
        if (c.result == 0) {
            EXPECT_EQ(std::string(buffer.c_str()), c.line);
        }
    }
    char buffer[64];
    EXPECT_EQ(read_first_line((dir_ + "/missing").c_str(), buffer, sizeof buffer), -1);
}

// The device reads regular files only: a FIFO is refused even with a line waiting in it.
TEST_F(FirstLine, DeviceReadRefusesAFifo) {
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int both = ::open(fifo.c_str(), O_RDWR);  // never waits, and keeps a writer present
    ASSERT_GE(both, 0);
    ASSERT_EQ(::write(both, "aa:bb\n", 6), 6);
    char buffer[64];
    EXPECT_EQ(read_first_line(fifo.c_str(), buffer, sizeof buffer), -1);
    ::close(both);
}

// A reader that looped until end of file would block here until the writer gives up waiting and
// sends the rest, and would then see "aa:bb:cc:dd".
TEST_F(FirstLine, OnlyTheFirstReadCounts) {
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The writer is a shell started with posix_spawn: forked children and threads crash under
    // qemu-user, where the cross-built tests run. It sends the rest of the line a second later.
    std::string script = "{ printf aa:bb; sleep 1; printf ':cc:dd\\n'; } > " + fifo;
    std::string shell_path = "/bin/sh";
    std::string dash_c = "-c";
    char *args[] = {shell_path.data(), dash_c.data(), script.data(), nullptr};
    pid_t writer = -1;
    ASSERT_EQ(::posix_spawn(&writer, "/bin/sh", nullptr, nullptr, args, environ), 0);
    char buffer[64];
    int result = read_first_line_fd(::open(fifo.c_str(), O_RDONLY), buffer, sizeof buffer);
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(buffer, "aa:bb");
}

}  // namespace
