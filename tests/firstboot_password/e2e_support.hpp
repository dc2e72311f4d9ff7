// A simulated device for end-to-end runs of the provisioner, and strace helpers that aim an
// injected fault at one particular system call of the program.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "support/sandbox.hpp"

namespace fb_test {

using zu_test::RunOptions;
using zu_test::RunResult;
using zu_test::Sandbox;

inline const std::string kProgram = FIRSTBOOT_PASSWORD_PATH;
inline const std::string kMarker = "/etc/.zu-uid0-uid100-password-set";
inline const std::string kTemp = "/etc/shadow.zu-firstboot-password";
// What a label for MAC aa:bb:cc:dd:ee:ff, model RT-2400 carries.
inline const char *const kRootPassword = "Q91KX3qIkFdZ0K0W";
inline const char *const kAdminPassword = "I5J9Z7f8R70gM2mq";

extern const std::string kPasswd;
extern const std::string kGroup;
extern const std::string kShadow;  // root first, admin last without a final line end

// The device: passwd, group, shadow (0:42, 0640), MAC and model files.
void provision(Sandbox &box);

RunResult run_program(Sandbox &box, const RunOptions &options = {});
// The same with another build of the program (host path).
RunResult run_program_at(const std::string &program, Sandbox &box, const RunOptions &options = {});

// The password field of `user`'s first line ("" when there is none).
std::string password_field(const std::string &shadow, const std::string &user);
// `shadow` with `user`'s password field replaced by `field`.
std::string with_field(const std::string &shadow, const std::string &user,
                       const std::string &field);
// A "$6$" hash with 16 salt characters from the crypt alphabet that verifies against `password`.
bool is_hash_of(const std::string &hash, const char *password);

// Exactly one message: LOG_AUTH|LOG_ERR, our identity, a pid, and `text`.
void expect_one_message(const RunResult &r, const std::string &text);

// Both accounts carry hashes of their derived passwords and every other byte of `before` (the
// sample shadow file unless given) is as it was, the missing final line end included.
void expect_provisioned(const std::string &shadow, const std::string &before = kShadow);

// What a boot, finished or cut short, left in /etc.
struct DeviceState {
    bool root_new = false, admin_new = false;   // the line carries a new hash
    bool temp = false, temp_is_shadow = false;  // the temporary name; a second name of the shadow
    bool marker = false;
    bool upgrade = false;             // checked as an upgrade boot
    std::vector<std::string> faults;  // each way it breaks the promise; none when sound
};

// Checks the promise that holds at every moment of a boot: each account's line is as it was or
// carries a hash of its password, every other byte of the shadow file and of passwd and group is
// as it was, the shadow file keeps owner 0:42 and mode 0640, /etc holds nothing but the device's
// files, the temporary file and the marker, and the marker only beside both new lines. During an
// upgrade only the marker may appear.
DeviceState inspect_device(Sandbox &box, bool upgrade);

// The state's kind, such as "untouched", "root's line new, temporary file present" or "done".
std::string kind_of(const DeviceState &state);

// strace injection options "-e trace=NAME -e inject=NAME:<what>:when=N".
RunOptions inject(const std::string &name, const std::string &what, const std::string &when);

// Runs a first boot of a fresh device prepared by `setup` under strace and returns the 1-based
// occurrence of the `match`th `name` call whose line (paths shown with -y) contains `needle`,
// or -1. Counting in a real run keeps the aim right whatever the C library or sanitizer adds.
int find_call(const std::function<void(Sandbox &)> &setup, const std::string &name,
              const std::string &needle, int match = 1);

// Host path of the shim that turns transfers into real partial ones (see short_io_shim.cpp),
// copied into the sandbox, and the environment that preloads it.
std::vector<std::string> preload_short_io(Sandbox &box);

// The calls strace shows (paths with -y) for a run with `options`, tracing "-e trace=`names`"
// unless the options say what to trace: one line each, "call(...) = result".
std::vector<std::string> traced(Sandbox &box, const std::string &names, RunOptions options = {});

// A host command running beside the program, e.g. the other end of a FIFO, in a process group
// of its own. Started with posix_spawn: a forked child crashes under the emulator that runs the
// cross-built tests.
pid_t start_host(const std::vector<std::string> &argv);
// Waits for it and returns its exit status (128 + signal after a signal).
int wait_host(pid_t pid);
// Ends its whole group and reaps it.
void stop_host(pid_t pid);

}  // namespace fb_test
