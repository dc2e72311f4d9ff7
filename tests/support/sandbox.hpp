// A private mount namespace for end-to-end runs of the real programs.
//
// Every top-level entry of the sandbox's file tree (etc, tmp, sys, a stub bin directory,
// /sysupgrade.tgz, ...) is bind-mounted at "/" inside a bubblewrap root whose /usr comes from the
// host read-only, and /dev/log is a datagram socket of the sandbox's own, so every syslog line the
// program sends can be read back. Nothing here ever touches the host's /etc, /tmp or syslog.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zu_test {

// One syslog datagram, taken apart.
struct LogLine {
    int priority = -1;  // facility * 8 + level, e.g. 35 for LOG_AUTH | LOG_ERR
    std::string ident;  // text before "[pid]: "
    long pid = -1;      // -1 when the line had no "[pid]"
    std::string text;   // the message itself
    std::string raw;    // the datagram as received
};

struct RunResult {
    int status = -1;  // exit code, or 128 + signal number when a signal ended the program
    std::string out;  // standard output
    std::string err;  // standard error
    std::vector<LogLine> log;
};

struct RunOptions {
    std::vector<std::string> strace;  // when not empty: run under "strace <these args> --"
    uid_t uid = 0;                    // non-zero: drop to this uid and gid with setpriv
    std::vector<std::string> env;     // extra NAME=VALUE entries for the program
    std::string cwd = "/";            // working directory inside the sandbox
    std::string path = "/usr/bin:/bin:/usr/sbin:/sbin";  // PATH inside the sandbox
};

class Sandbox {
  public:
    // The sandbox's tree lives in a new directory under `parent`.
    explicit Sandbox(const std::string &parent = "/tmp");
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // Host path of a path inside the sandbox ("/etc/shadow" -> ".../fs/etc/shadow").
    std::string host(const std::string &inside) const;

    // File helpers on paths inside the sandbox; parent directories are created as needed.
    void write(const std::string &inside, const std::string &content, mode_t mode = 0644);
    std::string read(const std::string &inside) const;
    bool exists(const std::string &inside) const;
    void mkdir(const std::string &inside, mode_t mode = 0755);
    void remove(const std::string &inside);

    // Runs argv[0] (a host path of the program; its directory is mounted read-only at the same
    // place) with the remaining arguments inside the sandbox.
    RunResult run(const std::vector<std::string> &argv, const RunOptions &options = {});

    const std::string &root() const { return root_; }

  private:
    std::string root_;  // temporary directory: fs/ is the tree, log.sock the syslog socket
    int log_fd_ = -1;
};

// Reads a whole host file; fails the current test when it cannot.
std::string read_host_file(const std::string &path);

// Runs a host command (through /bin/sh -c) and returns its exit status; output goes to the
// test's own output.
int host_shell(const std::string &command);

}  // namespace zu_test
