#include "crash_model.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using crash_model::Entry;
using crash_model::Exploration;
using crash_model::Op;
using crash_model::Start;
using crash_model::State;

// A string as "strace -xx" shows it.
std::string hex(const std::string &text, bool quoted = true) {
    std::string out = quoted ? "\"" : "";
    char byte[5];
    for (unsigned char c : text) {
        std::snprintf(byte, sizeof byte, "\\x%02x", c);
        out += byte;
    }
    return out + (quoted ? "\"" : "");
}
std::string fd(int n, const std::string &path) {
    return std::to_string(n) + "<" + hex(path, false) + ">";
}

TEST(CrashTrace, ReadsTheCallsOnTheDirectoryOnly) {
    const std::string log =
        "12 openat(AT_FDCWD<\\x2f>, " + hex("/lib/libc.so") +
        ", O_RDONLY|O_CLOEXEC) = " + fd(3, "/lib/libc.so") + "\n" +  //
        "12 write(" + fd(3, "/lib/libc.so") + ", " + hex("x") + ", 1) = 1\n" +
        "12 openat(AT_FDCWD<\\x2f>, " + hex("/d/t") +
        ", O_WRONLY|O_CREAT|O_TRUNC, 0600) = " + fd(4, "/d/t") + "\n" +  //
        "12 fchmod(" + fd(4, "/d/t") + ", 0640) = 0\n" + "12 fchown(" + fd(4, "/d/t") +
        ", 0, 42) = 0\n" + "12 write(" + fd(4, "/d/t") + ", " + hex("a,b") + ", 3) = 2\n" +
        "12 pwrite64(" + fd(4, "/d/t") + ", " + hex("zz") + ", 2, 7) = 2\n" + "12 fsync(" +
        fd(4, "/d/t") + ")        = 0\n" +         //
        "12 close(" + fd(4, "/d/t") + ") = 0\n" +  //
        "12 unlink(" + hex("/d/gone") + ") = -1 ENOENT (No such file or directory)\n" +
        "12 rename(" + hex("/d/t") + ", " + hex("/d/f") + ") = 0\n" +
        "12 unlinkat(AT_FDCWD<\\x2f>, " + hex("/d/t2") + ", 0) = 0\n" +
        "12 +++ exited with 0 +++\n";
    std::string error;
    std::vector<Op> ops = crash_model::parse_trace(log, "/d", &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(ops.size(), 9u);
    EXPECT_EQ(ops[0].kind, Op::kOpen);
    EXPECT_EQ(ops[0].path, "/d/t");
    EXPECT_EQ(ops[0].fd, 4);
    EXPECT_TRUE(ops[0].create && ops[0].truncate && !ops[0].directory);
    EXPECT_EQ(ops[0].mode, 0600u);
    EXPECT_EQ(ops[1].mode, 0640u);
    EXPECT_EQ(ops[2].gid, 42u);
    EXPECT_EQ(ops[3].data, "a,");  // only what the call moved
    EXPECT_EQ(ops[3].offset, -1);
    EXPECT_EQ(ops[4].offset, 7);
    EXPECT_EQ(ops[5].kind, Op::kFsync);
    EXPECT_EQ(ops[6].kind, Op::kClose);
    EXPECT_EQ(ops[7].to, "/d/f");
    EXPECT_EQ(ops[8].kind, Op::kUnlink);
    EXPECT_EQ(ops[8].path, "/d/t2");
    EXPECT_EQ(crash_model::describe(ops[3]), "write 2 bytes to /d/t");
    EXPECT_EQ(crash_model::describe(ops[7]), "rename /d/t to /d/f");
}

TEST(CrashTrace, RefusesWhatTheModelCannotReplay) {
    const std::string cases[] = {
        "writev(" + fd(3, "/d/f") + ", [{iov_base=" + hex("x") + ", iov_len=1}], 1) = 1",
        "write(" + fd(3, "/d/f") + ", " + hex("abc") + "..., 9) = 9",
        "sync() = 0",
        "link(" + hex("/d/a") + ", " + hex("/d/b") + ") = 0",
        "rename(" + hex("/d/a") + ", " + hex("/d/b") + " <unfinished ...>",
    };
    for (const std::string &line : cases) {
        std::string error;
        crash_model::parse_trace(line + "\n", "/d", &error);
        EXPECT_NE(error, "") << line;
    }
}

// The atomic replace of "f" through "t", as a program makes it.
std::vector<Op> replace(bool sync_data, bool sync_dir) {
    std::vector<Op> ops;
    ops.push_back(Op{.kind = Op::kOpen, .fd = 3, .path = "/d/t", .create = true, .mode = 0600});
    ops.push_back(Op{.kind = Op::kChmod, .fd = 3, .mode = 0640});
    ops.push_back(Op{.kind = Op::kWrite, .fd = 3, .data = "new"});
    ops.push_back(Op{.kind = Op::kWrite, .fd = 3, .data = "er"});
    if (sync_data)
        ops.push_back(Op{.kind = Op::kFsync, .fd = 3});
    ops.push_back(Op{.kind = Op::kClose, .fd = 3});
    ops.push_back(Op{.kind = Op::kRename, .path = "/d/t", .to = "/d/f"});
    if (sync_dir) {
        ops.push_back(Op{.kind = Op::kOpen, .fd = 4, .path = "/d", .directory = true});
        ops.push_back(Op{.kind = Op::kFsync, .fd = 4});
    }
    return ops;
}

Start start() {
    Start s;
    s.dir = "/d";
    s.files["f"] = {"old", 0640, 0, 42};
    return s;
}

const Entry *find(const State &state, const std::string &name) {
    for (const Entry &e : state.entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

// "f" as each state has it: its data, or "-" when it is missing, "+0600" when its mode is not
// the old one; "&t" when "t" is a second name of it.
std::set<std::string> views_of_f(const Exploration &x) {
    std::set<std::string> views;
    for (const State &s : x.states) {
        const Entry *f = find(s, "f");
        const Entry *t = find(s, "t");
        std::string view = f == nullptr ? "-" : f->file.data;
        if (f != nullptr && f->file.mode != 0640)
            view += "+0600";
        if (t != nullptr && t->same_as >= 0)
            view += "&t";
        views.insert(view);
    }
    return views;
}

TEST(CrashModel, SyncedReplaceLeavesOldOrNewOnly) {
    Exploration x = crash_model::explore(start(), replace(true, false));
    ASSERT_EQ(x.error, "");
    // The rename's halves are durable apart: "t" may still name the new "f".
    EXPECT_EQ(views_of_f(x), (std::set<std::string>{"old", "newer", "newer&t"}));
    // Before its sync the temporary file holds any mix of its writes and sizes.
    std::set<std::string> temps;
    for (const State &s : x.states)
        if (const Entry *t = find(s, "t"); t != nullptr && t->same_as < 0)
            temps.insert(t->file.data + (t->file.mode == 0640 ? "" : "+0600"));
    for (const std::string &mix :
         {std::string(5, '\0'), std::string("new\0\0", 5), std::string("\0\0\0er", 5),
          std::string("newer+0600"), std::string("+0600")})
        EXPECT_EQ(temps.count(mix), 1u) << mix;
    EXPECT_GT(x.built, x.states.size());
}

TEST(CrashModel, NewNameMayBeLostUntilTheDirectoryIsSynced) {
    std::vector<Op> ops = replace(true, true);
    ops.erase(ops.begin() + 1, ops.end() - 2);  // create, then sync the directory
    for (std::size_t cut : {std::size_t{1}, std::size_t{2}}) {
        std::set<bool> present;
        std::vector<Op> upto(ops.begin(), ops.begin() + static_cast<long>(cut));
        for (const State &s : crash_model::explore(start(), upto, cut).states)
            present.insert(find(s, "t") != nullptr);
        EXPECT_EQ(present, (std::set<bool>{false, true})) << cut;
    }
    std::set<bool> present;
    for (const State &s : crash_model::explore(start(), ops, ops.size()).states)
        present.insert(find(s, "t") != nullptr);
    EXPECT_EQ(present, (std::set<bool>{true}));
}

TEST(CrashModel, RenameBeforeTheDataSyncCanLeaveAnEmptyFile) {
    Exploration x = crash_model::explore(start(), replace(false, false));
    ASSERT_EQ(x.error, "");
    std::set<std::string> views = views_of_f(x);
    EXPECT_EQ(views.count(""), 1u);
    EXPECT_EQ(views.count(std::string(5, '\0')), 1u);
    EXPECT_EQ(views.count("new+0600"), 1u);
}

TEST(CrashModel, DirectorySyncMakesTheRenameDurable) {
    std::vector<Op> ops = replace(true, true);
    Exploration x = crash_model::explore(start(), ops, ops.size());
    ASSERT_EQ(x.error, "");
    ASSERT_EQ(x.states.size(), 1u);
    EXPECT_EQ(views_of_f(x), (std::set<std::string>{"newer"}));
    EXPECT_EQ(find(x.states[0], "t"), nullptr) << crash_model::describe(x.states[0]);
    // Just before the sync the rename may still be lost.
    EXPECT_EQ(views_of_f(crash_model::explore(start(), ops, ops.size() - 1)),
              (std::set<std::string>{"old", "newer", "newer&t"}));
}

TEST(CrashModel, DataSyncLeavesTheModeOpen) {
    std::vector<Op> ops = replace(true, true);
    ops[4].kind = Op::kFdatasync;
    Exploration x = crash_model::explore(start(), ops, ops.size());
    ASSERT_EQ(x.error, "");
    EXPECT_EQ(views_of_f(x), (std::set<std::string>{"newer", "newer+0600"}));
}

TEST(CrashModel, ReplayRefusesCallsOnUnknownFiles) {
    std::vector<Op> ops = {Op{.kind = Op::kRename, .path = "/d/none", .to = "/d/f"}};
    EXPECT_NE(crash_model::explore(start(), ops).error, "");
    ops = {Op{.kind = Op::kWrite, .fd = 7, .data = "x"}};
    EXPECT_NE(crash_model::explore(start(), ops).error, "");
}

}  // namespace
