// A boot cut short at any moment must leave a device that is safe to log in to and that the next
// boot finishes. The program is killed with SIGKILL at each system call of a whole run in turn:
// the calls come from a traced run of the same build, and each kill lands on a fresh copy of the
// same device through strace's "signal=KILL" injection, aimed at that call's occurrence among
// the calls of its name. The kill is delivered on entry, so the call itself never runs.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "e2e_support.hpp"

namespace fb_test {
namespace {

// One system call of the recorded run: its name and its occurrence among calls of that name.
struct Call {
    std::string name;
    int occurrence = 0;
    std::string line;
};

// The calls of a whole run of a device prepared by `setup`, from the dynamic loader to the exit.
std::vector<Call> record_calls(const std::function<void(Sandbox &)> &setup) {
    Sandbox box;
    setup(box);
    RunResult r = run_program(box, RunOptions{.strace = {"-f", "-o", "/tmp/zu-crash.strace"}});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<Call> calls;
    std::map<std::string, int> seen;
    int named = 0;
    std::istringstream lines(box.read("/tmp/zu-crash.strace"));
    std::string main_thread;
    for (std::string line; std::getline(lines, line);) {
        // "-f" puts the thread id first. strace counts calls per thread, and the emulator that
        // runs cross-built programs has a helper thread of its own: only the first one counts.
        std::size_t at = 0;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])))
            ++at;
        std::string thread = line.substr(0, at);
        if (main_thread.empty())
            main_thread = thread;
        if (thread != main_thread)
            continue;
        while (at < line.size() && line[at] == ' ')
            ++at;
        std::size_t paren = line.find('(', at);
        if (paren == std::string::npos)
            continue;  // "+++ exited ..." and the like
        std::string name = line.substr(at, paren - at);
        bool plain = !name.empty();
        for (char c : name)
            plain = plain && (std::islower(static_cast<unsigned char>(c)) ||
                              std::isdigit(static_cast<unsigned char>(c)) || c == '_');
        if (!plain)
            continue;  // "<... resumed>", signals, calls strace has no name for
        // strace takes hold of the program only inside its start-up execve: it neither counts
        // nor tampers with that one, so a later execve is its first. A kill before the start
        // would be no run at all.
        if (named++ == 0 && name == "execve")
            continue;
        calls.push_back(Call{name, ++seen[name], line.substr(at)});
    }
    return calls;
}

// Under the sanitizers the runtime adds hundreds of memory and /proc calls; every call of the
// names that touch files or randomness is still tried, the rest are sampled. Under the emulator
// a run is slow and its start-up is the emulator's and the target loader's, which touch nothing
// on the device (the native builds try those): kills start at the program's first own call.
// The emulator's own memory and thread calls interleave with the program's differently from run
// to run, so there only the names that touch files or randomness are tried (0: no others).
#if defined(ZU_CROSS_BUILD)
constexpr int kOtherCallStride = 0;
#elif defined(ZU_SANITIZE_BUILD)
constexpr int kOtherCallStride = 4;
#else
constexpr int kOtherCallStride = 1;
#endif
// Fewer kill points than these means the trace or its reading went wrong.
#ifdef ZU_CROSS_BUILD
constexpr bool kFromFirstOwnCall = true;
constexpr int kAtLeastKillPoints = 20;
#else
constexpr bool kFromFirstOwnCall = false;
constexpr int kAtLeastKillPoints = 100;
#endif

std::vector<Call> kill_points(const std::vector<Call> &calls) {
    const std::set<std::string> matter = {"open",   "openat",    "read",       "write",  "fsync",
                                          "fchown", "fchmod",    "rename",     "unlink", "close",
                                          "access", "getrandom", "newfstatat", "fstat",  "statx"};
    std::vector<Call> points;
    int others = 0;
    bool own = !kFromFirstOwnCall;
    for (const Call &call : calls) {
        // The program's first decision is whether the marker exists.
        own = own || call.line.find("\"" + kMarker + "\"") != std::string::npos;
        if (!own)
            continue;
        if (matter.count(call.name) != 0 ||
            (kOtherCallStride > 0 && others++ % kOtherCallStride == 0))
            points.push_back(call);
    }
    return points;
}

std::string joined(const std::vector<Call> &calls) {
    std::string all;
    for (const Call &call : calls)
        all += call.line + "\n";
    return all;
}

// The promise holds on whatever the kill left.
void expect_sound(Sandbox &box, bool upgrade) {
    DeviceState state = inspect_device(box, upgrade);
    for (const std::string &fault : state.faults)
        ADD_FAILURE() << fault << "\n" << box.read("/etc/shadow");
}

struct Device {
    const char *what;
    std::function<void(Sandbox &)> setup;
    bool upgrade;          // the passwords must stay as they are
    std::size_t at_least;  // a whole run makes at least this many calls
};

// Kills the program at every kill point of `device` in turn and checks what each kill leaves and
// that a normal run afterwards completes the job. Returns the number of kill points tried.
int kill_at_every_call(const Device &device) {
    std::vector<Call> calls = record_calls(device.setup);
    // A trace that does not reach the marker and the exit was not a whole run.
    std::string all = joined(calls);
    EXPECT_GE(calls.size(), device.at_least) << all;
    EXPECT_NE(all.find("\"/etc/.zu-uid0-uid100-password-set\", O_WRONLY|O_CREAT|O_EXCL"),
              std::string::npos)
        << all;
    EXPECT_EQ(calls.empty() ? "" : calls.back().name, "exit_group") << all;
    if (!device.upgrade) {
        EXPECT_NE(all.find("\"/etc/shadow\", O_RDONLY"), std::string::npos);
    }

    int tried = 0;
    for (const Call &call : kill_points(calls)) {
        SCOPED_TRACE(std::string(device.what) + ": killed at " + call.name + " #" +
                     std::to_string(call.occurrence) + ": " + call.line);
        Sandbox box;
        device.setup(box);
        RunResult r =
            run_program(box, inject(call.name, "signal=KILL", std::to_string(call.occurrence)));
        ++tried;
        EXPECT_EQ(r.status, 128 + SIGKILL) << r.err;
        EXPECT_NE(r.err.find("+++ killed by SIGKILL +++"), std::string::npos) << r.err;
        EXPECT_TRUE(r.log.empty()) << r.log[0].raw;
        expect_sound(box, device.upgrade);

        RunResult again = run_program(box);
        EXPECT_EQ(again.status, 0);
        EXPECT_TRUE(again.log.empty()) << again.log[0].raw;
        EXPECT_TRUE(box.exists(kMarker));
        EXPECT_FALSE(box.exists(kTemp));
        DeviceState after = inspect_device(box, device.upgrade);
        EXPECT_TRUE(after.faults.empty()) << after.faults[0];
        EXPECT_EQ(after.root_new && after.admin_new, !device.upgrade) << box.read("/etc/shadow");
        // One broken kill point says enough; the rest would repeat it.
        if (::testing::Test::HasFailure())
            break;
    }
    return tried;
}

void report_kill_points(const char *key, int tried, std::chrono::steady_clock::time_point start) {
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    ::testing::Test::RecordProperty(key, tried);
    std::printf("%s: %d kill points tried in %.1f s\n", key, tried, seconds.count());
    if (!::testing::Test::HasFailure()) {
        EXPECT_GE(tried, kAtLeastKillPoints);
    }
}

TEST(Crash, KilledAtEveryCallOfAFirstBoot) {
    auto start = std::chrono::steady_clock::now();
    Device device{"first boot", provision, false, 100};
    int tried = kill_at_every_call(device);
    report_kill_points("first_boot_kill_points", tried, start);
}

TEST(Crash, KilledAtEveryCallDuringAnUpgrade) {
    auto start = std::chrono::steady_clock::now();
    int tried = 0;
    for (const char *upgrade : {"/sysupgrade.tgz", "/tmp/sysupgrade.tar"}) {
        Device device{upgrade,
                      [upgrade](Sandbox &b) {
                          provision(b);
                          b.write(upgrade, "archive");
                      },
                      true, 50};
        tried += kill_at_every_call(device);
        if (HasFailure())
            break;
    }
    report_kill_points("upgrade_kill_points", tried, start);
}

}  // namespace
}  // namespace fb_test
