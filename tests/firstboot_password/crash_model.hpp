// Every state of one directory that a power cut can leave behind a recorded run, under the
// persistence model of a write-back filesystem. The model, in full:
//
// 1. A file's data, size, owner and mode are durable once the file is fsynced (fdatasync: its
//    data and size only). Each later truncate, write, chown and chmod of it is kept or lost on
//    its own (a write whole or not at all), and its size is any size it had since that sync:
//    where the size outruns the kept writes the file reads as NUL bytes.
// 2. A name in the directory (made by a create, a rename or an unlink) is durable once the
//    directory is fsynced. Until then each name holds, on its own, the file it held at that sync
//    or any file it was given since. So a later change of one name may be durable while an
//    earlier change of another is not, and the two halves of a rename are durable apart.
// 3. Data and names are never ordered after each other; fsync of a file does not make its name
//    durable; nothing else makes anything durable.
// A cut after k calls leaves every combination of these choices: one per name, and one set of
// kept changes and one size per file that a chosen name holds.
//
// Against real filesystems: ext4, UBIFS and JFFS2 make names durable in the order they were
// made, and ext4 commits a new file's name with its fsync, so rules 2 and 3 allow more than any
// of them. JFFS2 writes every change to flash in call order and ext4 (data=ordered,
// auto_da_alloc) writes a file's data before a rename over another file commits, so rule 1
// allows more than they do; UBIFS writes data at write-back apart from the names, so a rename
// can outlive the data it points to there, as rule 1 allows. JFFS2 makes a rename as a new link
// followed by the unlink of the old name, and a cut between the two leaves both names: rule 2
// covers it. The model is stronger than them in three ways: a write is never torn (one smaller
// than a page lands whole in one UBIFS data node, JFFS2 node or ext4 block, and every write here
// is that small), a completed fsync is trusted, and only the one directory is modelled (its
// parents and other files are taken as they were).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace crash_model {

// One recorded system call on the watched directory or a file in it.
struct Op {
    enum Kind {
        kOpen,       // path; create/truncate/exclusive; mode for a new file
        kClose,      // fd
        kWrite,      // fd, data, offset (-1: at the descriptor's position)
        kTruncate,   // fd, size
        kFsync,      // fd (a file or the directory)
        kFdatasync,  // fd
        kChown,      // fd, uid, gid
        kChmod,      // fd, mode
        kRename,     // path -> to
        kUnlink,     // path
    };
    Kind kind = kClose;
    int fd = -1;
    std::string path;
    std::string to;
    std::string data;
    long long offset = -1;
    bool create = false, truncate = false, directory = false;
    unsigned mode = 0, uid = 0, gid = 0;
    std::string line;  // the trace line it came from
};

// Parses an strace log written with "-y -xx -s <large>": the calls that change the watched
// directory or files in it. Calls that failed and calls elsewhere are left out. A call on the
// directory that the model does not know is an error: `error` says which.
std::vector<Op> parse_trace(const std::string &log, const std::string &dir, std::string *error);

struct File {
    std::string data;
    unsigned mode = 0644, uid = 0, gid = 0;
};

// The directory before the run: name -> file. Files created by the run start empty, owned by
// `creator_uid`:`creator_gid`, with their create mode less `umask`.
struct Start {
    std::string dir;
    std::map<std::string, File> files;
    unsigned umask = 022, creator_uid = 0, creator_gid = 0;
};

// One crash state: the directory's names, sorted; `same_as` >= 0 when the name is another name
// of an earlier entry's file.
struct Entry {
    std::string name;
    File file;
    int same_as = -1;
};
struct State {
    std::vector<Entry> entries;
    std::size_t cut = 0;  // the number of recorded calls that had run at the cut
};

struct Exploration {
    std::vector<State> states;  // distinct, in the order first built
    std::size_t built = 0;      // every state built, duplicates included
    std::string error;          // a call the model cannot replay
};

// Every state a cut after first_cut..ops.size() calls can leave.
Exploration explore(const Start &start, const std::vector<Op> &ops, std::size_t first_cut = 0);

// The call in words, such as "rename /etc/a to /etc/b".
std::string describe(const Op &op);

// One line per entry: name, mode, owner and a short view of the data.
std::string describe(const State &state);

}  // namespace crash_model
