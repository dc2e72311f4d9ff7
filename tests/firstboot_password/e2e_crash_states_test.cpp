// A power cut is harsher than a kill: what the program had not made durable may be gone, and a
// later change may survive an earlier one. The file-system calls of a real first boot and of a
// real upgrade boot are recorded with strace, every state of /etc that a cut can leave under the
// model in crash_model.hpp is built from them, and each one is checked and then booted again.
// Copies of the program with one durability fault each, made from the real sources at build
// time, must each leave a state that breaks the promise.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "crash_model.hpp"
#include "e2e_support.hpp"

namespace fb_test {
namespace {

// Every call on a path or a descriptor, and the syncs: none slips past the model unseen.
const char *const kTraceSet = "trace=%file,%desc,fsync,fdatasync,sync,syncfs,sync_file_range";

struct Boot {
    const char *what;
    std::function<void(Sandbox &)> setup;
    bool upgrade;
};

const Boot kFirstBoot{"first boot", provision, false};
const Boot kUpgradeBoot{"upgrade boot",
                        [](Sandbox &b) {
                            provision(b);
                            b.write("/sysupgrade.tgz", "archive");
                        },
                        true};

// The states are checked in memory-backed scratch trees where there is one: a sync there costs
// nothing, and what a cut leaves comes from the model, not from the disk.
std::string scratch_parent() {
    struct stat st {};
    return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0
               ? "/dev/shm"
               : "/tmp";
}

crash_model::Start start_of(Sandbox &box) {
    crash_model::Start start;
    start.dir = "/etc";
    for (const char *name : {"passwd", "group", "shadow"}) {
        struct stat st {};
        EXPECT_EQ(::stat(box.host(std::string("/etc/") + name).c_str(), &st), 0) << name;
        start.files[name] = crash_model::File{box.read(std::string("/etc/") + name),
                                              st.st_mode & 07777, st.st_uid, st.st_gid};
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    start.umask = mask;
    start.creator_uid = ::geteuid();
    start.creator_gid = ::getegid();
    return start;
}

// Makes /etc of `box` what `state` says.
void materialise(Sandbox &box, const crash_model::State &state) {
    box.remove("/etc");
    box.mkdir("/etc", 0755);
    for (const crash_model::Entry &e : state.entries) {
        std::string path = box.host("/etc/" + e.name);
        if (e.same_as >= 0) {
            const auto &first = state.entries[static_cast<std::size_t>(e.same_as)];
            ASSERT_EQ(::link(box.host("/etc/" + first.name).c_str(), path.c_str()), 0);
            continue;
        }
        box.write("/etc/" + e.name, e.file.data, e.file.mode);
        ASSERT_EQ(::chown(path.c_str(), e.file.uid, e.file.gid), 0);
        ASSERT_EQ(::chmod(path.c_str(), e.file.mode), 0);
    }
}

struct Report {
    std::size_t calls = 0;    // recorded calls on /etc
    std::size_t built = 0;    // crash states built, duplicates included
    std::size_t checked = 0;  // distinct states checked
    std::size_t booted = 0;   // of those, booted again
    std::map<std::string, int> kinds;
    std::vector<std::string> unsound;  // each state that breaks the promise, and how
    double seconds = 0;
};

// Records a boot of `program`, builds every crash state of it, checks each and boots each sound
// one again; with `stop_at_first`, only until a state breaks the promise.
Report explore_boot(const std::string &program, const Boot &boot, bool stop_at_first) {
    auto began = std::chrono::steady_clock::now();
    Report report;
    Sandbox recorded;
    boot.setup(recorded);
    crash_model::Start start = start_of(recorded);
    RunResult r = run_program_at(program, recorded,
                                 RunOptions{.strace = {"-y", "-xx", "-s", "1048576", "-o",
                                                       "/tmp/zu-fsops.strace", "-e", kTraceSet}});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string error;
    std::vector<crash_model::Op> ops =
        crash_model::parse_trace(recorded.read("/tmp/zu-fsops.strace"), "/etc", &error);
    EXPECT_EQ(error, "");
    crash_model::Exploration x = crash_model::explore(start, ops);
    EXPECT_EQ(x.error, "");
    report.built = x.built;
    report.calls = ops.size();

    // First every state is checked as the cut left it, then each sound one is booted again.
    Sandbox box(scratch_parent());
    boot.setup(box);
    auto where = [&](const crash_model::State &state) {
        return std::string(boot.what) + ", cut after " + std::to_string(state.cut) + " of " +
               std::to_string(ops.size()) + " calls on /etc" +
               (state.cut > 0 ? " (the last: " + crash_model::describe(ops[state.cut - 1]) + ")"
                              : "") +
               ":\n" + crash_model::describe(state);
    };
    std::vector<const crash_model::State *> sound;
    for (const crash_model::State &state : x.states) {
        materialise(box, state);
        ++report.checked;
        DeviceState left = inspect_device(box, boot.upgrade);
        ++report.kinds[kind_of(left)];
        std::string faults;
        for (const std::string &f : left.faults)
            faults += "  " + f + "\n";
        if (faults.empty()) {
            sound.push_back(&state);
            continue;
        }
        report.unsound.push_back(where(state) + faults);
        if (stop_at_first)
            break;
    }
    if (stop_at_first && !report.unsound.empty())
        sound.clear();
    for (const crash_model::State *state : sound) {
        materialise(box, *state);
        RunResult again = run_program_at(program, box);
        ++report.booted;
        DeviceState after = inspect_device(box, boot.upgrade);
        std::string faults;
        for (const std::string &f : after.faults)
            faults += "  after the next boot: " + f + "\n";
        if (again.status != 0 || !again.log.empty())
            faults += "  the next boot failed: exit " + std::to_string(again.status) +
                      (again.log.empty() ? "" : ", " + again.log[0].text) + "\n";
        if (!after.marker || after.temp || (after.root_new && after.admin_new) == boot.upgrade)
            faults += "  the next boot did not finish: now " + kind_of(after) + "\n";
        if (!faults.empty()) {
            report.unsound.push_back(where(*state) + faults);
            if (stop_at_first)
                break;
        }
    }
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return report;
}

void print(const char *what, const Report &r) {
    std::printf(
        "%s: %zu calls on /etc recorded, %zu crash states built, %zu distinct checked, "
        "%zu booted again, in %.1f s\n",
        what, r.calls, r.built, r.checked, r.booted, r.seconds);
    for (const auto &[kind, count] : r.kinds)
        std::printf("  %4d  %s\n", count, kind.c_str());
    if (!r.unsound.empty())
        std::printf("  unsound: %zu, first:\n%s", r.unsound.size(), r.unsound[0].c_str());
}

void expect_sound(const Report &r) {
    for (const std::string &u : r.unsound)
        ADD_FAILURE() << u;
}

TEST(CrashStates, EveryCutOfAFirstBootIsSound) {
    Report r = explore_boot(kProgram, kFirstBoot, false);
    print("first boot", r);
    expect_sound(r);
    // The states that show the exploration reached inside the job, not just its ends.
    for (const char *kind :
         {"untouched", "temporary file present", "root's line new",
          "root's line new, temporary file present", "both new, no marker", "done"})
        EXPECT_GT(r.kinds[kind], 0) << kind;
    EXPECT_EQ(r.booted, r.checked);
    ::testing::Test::RecordProperty("first_boot_crash_states", static_cast<int>(r.checked));
}

TEST(CrashStates, EveryCutOfAnUpgradeBootIsSound) {
    Report r = explore_boot(kProgram, kUpgradeBoot, false);
    print("upgrade boot", r);
    expect_sound(r);
    EXPECT_EQ(r.kinds, (std::map<std::string, int>{{"done", 1}, {"untouched", 1}}));
    ::testing::Test::RecordProperty("upgrade_boot_crash_states", static_cast<int>(r.checked));
}

// Each broken copy must leave at least one state that breaks the promise.
TEST(CrashStates, BrokenCopiesAreCaught) {
    const struct {
        const char *what;
        const char *program;
    } copies[] = {
        {"no fsync of the temporary file", BROKEN_NO_TEMP_FSYNC_PATH},
        {"marker created without syncing /etc first", BROKEN_MARKER_UNSYNCED_PATH},
        {"shadow file written in place", BROKEN_IN_PLACE_PATH},
    };
    for (const auto &copy : copies) {
        Report r = explore_boot(copy.program, kFirstBoot, true);
        print(copy.what, r);
        EXPECT_FALSE(r.unsound.empty()) << copy.what << ": no unsound state in " << r.checked;
    }
}

}  // namespace
}  // namespace fb_test
