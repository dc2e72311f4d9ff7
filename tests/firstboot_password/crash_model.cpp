#include "crash_model.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace crash_model {
namespace {

// ---- Reading the trace ----

// "\x2f\x65" -> "/e"; false when the text is not such a string or was cut short ("...").
bool decode_quoted(const std::string &text, std::string *out) {
    out->clear();
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] != '\\') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x')
            return false;
        out->push_back(static_cast<char>(std::strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16)));
        i += 3;
    }
    return true;
}

// "3<\x2f\x65\x74\x63>" -> 3 and "/etc"; AT_FDCWD<...> gives -100.
bool decode_fd(const std::string &text, int *fd, std::string *path) {
    std::size_t open = text.find('<');
    if (open == std::string::npos || text.back() != '>')
        return false;
    std::string number = text.substr(0, open);
    if (number == "AT_FDCWD")
        *fd = -100;
    else if (!number.empty() && std::isdigit(static_cast<unsigned char>(number[0])))
        *fd = std::atoi(number.c_str());
    else
        return false;
    return decode_quoted("\"" + text.substr(open + 1, text.size() - open - 2) + "\"", path);
}

// Arguments split at commas outside quotes and brackets.
std::vector<std::string> split_args(const std::string &args) {
    std::vector<std::string> out;
    std::string current;
    int depth = 0;
    bool quoted = false;
    for (char c : args) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == '[' || c == '{' || c == '<'))
            ++depth;
        else if (!quoted && (c == ']' || c == '}' || c == '>'))
            --depth;
        if (c == ',' && !quoted && depth == 0) {
            out.push_back(current);
            current.clear();
            continue;
        }
        if (!(c == ' ' && current.empty()))
            current.push_back(c);
    }
    if (!current.empty())
        out.push_back(current);
    return out;
}

bool has_flag(const std::string &flags, const char *flag) {
    std::istringstream words(flags);
    for (std::string word; std::getline(words, word, '|');)
        if (word == flag)
            return true;
    return false;
}

struct TraceReader {
    std::string dir;
    std::string *error;
    std::vector<Op> ops;

    bool inside(const std::string &path) const {
        return path == dir || path.rfind(dir + "/", 0) == 0;
    }

    void fail(const std::string &why, const std::string &line) {
        if (error->empty())
            *error = why + ": " + line;
    }

    // A path argument, made absolute against the directory descriptor before it.
    bool path_arg(const std::vector<std::string> &args, std::size_t at, bool with_dirfd,
                  std::string *path) {
        if (at >= args.size() || !decode_quoted(args[at], path))
            return false;
        if (with_dirfd && !path->empty() && (*path)[0] != '/') {
            int fd = 0;
            std::string base;
            if (!decode_fd(args[at - 1], &fd, &base))
                return false;
            *path = base + "/" + *path;
        }
        return true;
    }

    void read_line(const std::string &raw) {
        std::size_t at = 0;
        while (at < raw.size() && std::isdigit(static_cast<unsigned char>(raw[at])))
            ++at;
        while (at < raw.size() && raw[at] == ' ')
            ++at;
        std::string line = raw.substr(at);
        if (line.empty() || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0)
            return;  // the exit, signals
        // strace pads the result to a column: "fsync(3</etc>)        = 0".
        std::size_t paren = line.find('(');
        std::size_t equals = line.rfind(" = ");
        std::size_t close = equals == std::string::npos ? equals : line.rfind(')', equals);
        if (paren == std::string::npos || close == std::string::npos || close < paren ||
            line.find_first_not_of(' ', close + 1) != equals + 1)
            return fail("cannot read", line);
        std::string name = line.substr(0, paren);
        std::vector<std::string> args = split_args(line.substr(paren + 1, close - paren - 1));
        std::string ret = line.substr(equals + 3);
        if (!ret.empty() && ret[0] == '-')
            return;  // a failed call changed nothing
        long long value = std::atoll(ret.c_str());

        // Which of the directory's files or descriptors the call names.
        int fd = -1;
        std::string fd_path;
        bool on_fd = !args.empty() && decode_fd(args[0], &fd, &fd_path) && fd >= 0;
        std::vector<std::string> paths;
        for (std::size_t i = 0; i < args.size(); ++i) {
            std::string p;
            if (decode_quoted(args[i], &p) && !p.empty() && p[0] == '/')
                paths.push_back(p);
        }
        bool touches = (on_fd && inside(fd_path)) ||
                       std::any_of(paths.begin(), paths.end(),
                                   [this](const std::string &p) { return inside(p); });

        Op op;
        op.line = line;
        op.fd = fd;
        op.path = on_fd ? fd_path : "";
        if (name == "sync" || name == "syncfs") {
            fail("a whole-filesystem sync is outside the model", line);
        } else if (name == "open" || name == "openat" || name == "creat") {
            bool relative = name == "openat";
            std::size_t p = relative ? 1 : 0;
            if (!path_arg(args, p, relative, &op.path))
                return fail("cannot read", line);
            if (!inside(op.path))
                return;
            std::string flags = name == "creat" ? "O_WRONLY|O_CREAT|O_TRUNC" : args.at(p + 1);
            op.kind = Op::kOpen;
            op.fd = static_cast<int>(value);
            op.create = has_flag(flags, "O_CREAT");
            op.truncate = has_flag(flags, "O_TRUNC");
            op.directory = op.path == dir;
            std::size_t mode_at = name == "creat" ? 1 : p + 2;
            if (mode_at < args.size())
                op.mode = static_cast<unsigned>(std::strtoul(args[mode_at].c_str(), nullptr, 8));
            ops.push_back(op);
        } else if (!touches) {
            return;
        } else if (name == "close") {
            op.kind = Op::kClose;
            ops.push_back(op);
        } else if (name == "write" || name == "pwrite64") {
            std::string data;
            if (args.size() < 3 || !decode_quoted(args[1], &data) ||
                data.size() < static_cast<std::size_t>(value))
                return fail("write data not shown whole", line);
            op.kind = Op::kWrite;
            op.data = data.substr(0, static_cast<std::size_t>(value));
            if (name == "pwrite64")
                op.offset = std::atoll(args.at(3).c_str());
            ops.push_back(op);
        } else if (name == "ftruncate") {
            op.kind = Op::kTruncate;
            op.offset = std::atoll(args.at(1).c_str());
            ops.push_back(op);
        } else if (name == "fsync" || name == "fdatasync") {
            op.kind = name == "fsync" ? Op::kFsync : Op::kFdatasync;
            ops.push_back(op);
        } else if (name == "fchown") {
            op.kind = Op::kChown;
            op.uid = static_cast<unsigned>(std::atol(args.at(1).c_str()));
            op.gid = static_cast<unsigned>(std::atol(args.at(2).c_str()));
            ops.push_back(op);
        } else if (name == "fchmod") {
            op.kind = Op::kChmod;
            op.mode = static_cast<unsigned>(std::strtoul(args.at(1).c_str(), nullptr, 8));
            ops.push_back(op);
        } else if (name == "rename" || name == "renameat" ||
                   (name == "renameat2" && args.size() > 4 && args[4] == "0")) {
            bool relative = name != "rename";
            if (!path_arg(args, relative ? 1 : 0, relative, &op.path) ||
                !path_arg(args, relative ? 3 : 1, relative, &op.to))
                return fail("cannot read", line);
            op.kind = Op::kRename;
            ops.push_back(op);
        } else if (name == "unlink" || (name == "unlinkat" && args.size() > 2 && args[2] == "0")) {
            if (!path_arg(args, name == "unlink" ? 0 : 1, name != "unlink", &op.path))
                return fail("cannot read", line);
            op.kind = Op::kUnlink;
            ops.push_back(op);
        } else {
            const std::set<std::string> harmless = {
                "read",   "pread64",   "fstat",      "newfstatat", "statx", "lseek",
                "access", "faccessat", "faccessat2", "getdents64", "fcntl", "readlink"};
            if (harmless.count(name) == 0)
                fail("a change the model does not know", line);
        }
    }
};

// ---- Replaying it ----

struct DataOp {
    std::size_t time;  // the number of calls run once it has happened
    Op op;
};

struct Inode {
    File start;
    std::vector<DataOp> data;   // truncates and writes
    std::vector<DataOp> attrs;  // chowns and chmods
    std::vector<std::size_t> data_syncs, full_syncs;
};

struct Binding {
    std::size_t time;
    int inode;  // -1: no such name
};

struct History {
    std::vector<Inode> inodes;
    std::map<std::string, std::vector<Binding>> names;
    std::vector<std::size_t> dir_syncs;
};

void apply(std::string *data, const Op &op, long long position) {
    if (op.kind == Op::kTruncate) {
        data->resize(static_cast<std::size_t>(op.offset), '\0');
        return;
    }
    std::size_t at = static_cast<std::size_t>(position);
    if (data->size() < at + op.data.size())
        data->resize(at + op.data.size(), '\0');
    data->replace(at, op.data.size(), op.data);
}

void apply_attr(File *file, const Op &op) {
    if (op.kind == Op::kChown) {
        file->uid = op.uid;
        file->gid = op.gid;
    } else {
        file->mode = op.mode;
    }
}

bool replay(const Start &start, const std::vector<Op> &ops, History *h, std::string *error) {
    struct Open {
        int inode;  // -1: the directory
        long long position;
    };
    std::map<int, Open> fds;
    std::map<std::string, int> current;
    auto bind = [&](const std::string &name, int inode, std::size_t time) {
        current[name] = inode;
        std::vector<Binding> &bindings = h->names[name];
        if (bindings.empty() && time > 0)
            bindings.push_back(Binding{0, -1});  // a name the run made was not there at first
        bindings.push_back(Binding{time, inode});
    };
    for (const auto &[name, file] : start.files) {
        h->inodes.push_back(Inode{file, {}, {}, {}, {}});
        bind(name, static_cast<int>(h->inodes.size()) - 1, 0);
    }
    auto name_of = [&](const std::string &path, std::string *name) {
        if (path.rfind(start.dir + "/", 0) != 0 ||
            path.find('/', start.dir.size() + 1) != std::string::npos)
            return false;
        *name = path.substr(start.dir.size() + 1);
        return true;
    };
    auto lookup = [&](const std::string &name) {
        auto found = current.find(name);
        return found == current.end() ? -1 : found->second;
    };
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const Op &op = ops[i];
        const std::size_t time = i + 1;
        auto fail = [&](const char *why) {
            *error = std::string(why) + ": " + op.line;
            return false;
        };
        std::string name, to;
        switch (op.kind) {
            case Op::kOpen: {
                if (op.directory) {
                    fds[op.fd] = Open{-1, 0};
                    break;
                }
                if (!name_of(op.path, &name))
                    return fail("a file below the directory");
                int inode = lookup(name);
                if (inode < 0) {
                    if (!op.create)
                        return fail("opened a file that is not there");
                    File fresh;
                    fresh.mode = op.mode & ~start.umask & 07777;
                    fresh.uid = start.creator_uid;
                    fresh.gid = start.creator_gid;
                    h->inodes.push_back(Inode{fresh, {}, {}, {}, {}});
                    inode = static_cast<int>(h->inodes.size()) - 1;
                    bind(name, inode, time);
                } else if (op.truncate) {
                    Op cut = op;
                    cut.kind = Op::kTruncate;
                    cut.offset = 0;
                    h->inodes[static_cast<std::size_t>(inode)].data.push_back(DataOp{time, cut});
                }
                fds[op.fd] = Open{inode, 0};
                break;
            }
            case Op::kClose:
                fds.erase(op.fd);
                break;
            case Op::kWrite:
            case Op::kTruncate:
            case Op::kChown:
            case Op::kChmod:
            case Op::kFsync:
            case Op::kFdatasync: {
                auto open = fds.find(op.fd);
                if (open == fds.end())
                    return fail("a descriptor the trace never opened");
                if (open->second.inode < 0) {
                    if (op.kind != Op::kFsync && op.kind != Op::kFdatasync)
                        return fail("a change to the directory itself");
                    h->dir_syncs.push_back(time);
                    break;
                }
                Inode &inode = h->inodes[static_cast<std::size_t>(open->second.inode)];
                if (op.kind == Op::kWrite) {
                    Op placed = op;
                    if (placed.offset < 0) {
                        placed.offset = open->second.position;
                        open->second.position += static_cast<long long>(op.data.size());
                    }
                    inode.data.push_back(DataOp{time, placed});
                } else if (op.kind == Op::kTruncate) {
                    inode.data.push_back(DataOp{time, op});
                } else if (op.kind == Op::kChown || op.kind == Op::kChmod) {
                    inode.attrs.push_back(DataOp{time, op});
                } else {
                    inode.data_syncs.push_back(time);
                    if (op.kind == Op::kFsync)
                        inode.full_syncs.push_back(time);
                }
                break;
            }
            case Op::kRename: {
                if (!name_of(op.path, &name) || !name_of(op.to, &to))
                    return fail("a rename across directories");
                int inode = lookup(name);
                if (inode < 0)
                    return fail("renamed a file that is not there");
                if (lookup(to) == inode)
                    break;  // two names of one file: rename does nothing
                bind(to, inode, time);
                bind(name, -1, time);
                break;
            }
            case Op::kUnlink:
                if (!name_of(op.path, &name))
                    return fail("a file below the directory");
                if (lookup(name) < 0)
                    return fail("removed a file that is not there");
                bind(name, -1, time);
                break;
        }
    }
    return true;
}

// The last of `times` at or before `cut` (0: none).
std::size_t last_before(const std::vector<std::size_t> &times, std::size_t cut) {
    std::size_t last = 0;
    for (std::size_t t : times)
        if (t <= cut)
            last = t;
    return last;
}

constexpr std::size_t kMaxPending = 12;

// Every file `inode` can hold after a cut at `cut`.
bool file_candidates(const Inode &inode, std::size_t cut, std::vector<File> *out) {
    std::size_t data_sync = last_before(inode.data_syncs, cut);
    std::size_t full_sync = last_before(inode.full_syncs, cut);
    File base = inode.start;
    std::vector<const Op *> pending_data, pending_attrs;
    for (const DataOp &d : inode.data) {
        if (d.time <= data_sync)
            apply(&base.data, d.op, d.op.offset);
        else if (d.time <= cut)
            pending_data.push_back(&d.op);
    }
    for (const DataOp &a : inode.attrs) {
        if (a.time <= full_sync)
            apply_attr(&base, a.op);
        else if (a.time <= cut)
            pending_attrs.push_back(&a.op);
    }
    if (pending_data.size() > kMaxPending || pending_attrs.size() > kMaxPending)
        return false;

    // Sizes the file had since its last sync.
    std::set<std::size_t> sizes = {base.data.size()};
    std::string grown = base.data;
    for (const Op *op : pending_data) {
        apply(&grown, *op, op->offset);
        sizes.insert(grown.size());
    }
    std::set<std::string> contents;
    for (std::size_t mask = 0; mask < (std::size_t{1} << pending_data.size()); ++mask) {
        std::string data = base.data;
        for (std::size_t i = 0; i < pending_data.size(); ++i)
            if (mask & (std::size_t{1} << i))
                apply(&data, *pending_data[i], pending_data[i]->offset);
        for (std::size_t size : sizes) {
            std::string sized = data;
            sized.resize(size, '\0');
            contents.insert(sized);
        }
    }
    std::set<std::tuple<unsigned, unsigned, unsigned>> attrs;
    for (std::size_t mask = 0; mask < (std::size_t{1} << pending_attrs.size()); ++mask) {
        File f = base;
        for (std::size_t i = 0; i < pending_attrs.size(); ++i)
            if (mask & (std::size_t{1} << i))
                apply_attr(&f, *pending_attrs[i]);
        attrs.insert({f.mode, f.uid, f.gid});
    }
    for (const std::string &data : contents)
        for (const auto &[mode, uid, gid] : attrs)
            out->push_back(File{data, mode, uid, gid});
    return true;
}

std::string key_of(const State &state) {
    std::string key;
    for (const Entry &e : state.entries) {
        key += e.name + '\0' + std::to_string(e.same_as) + ' ' + std::to_string(e.file.mode) + ' ' +
               std::to_string(e.file.uid) + ' ' + std::to_string(e.file.gid) + '\0';
        if (e.same_as < 0)
            key += e.file.data;
        key += '\1';
    }
    return key;
}

}  // namespace

std::vector<Op> parse_trace(const std::string &log, const std::string &dir, std::string *error) {
    error->clear();
    TraceReader reader{dir, error, {}};
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        reader.read_line(line);
    return reader.ops;
}

Exploration explore(const Start &start, const std::vector<Op> &ops, std::size_t first_cut) {
    Exploration result;
    History h;
    if (!replay(start, ops, &h, &result.error))
        return result;
    std::set<std::string> seen;
    for (std::size_t cut = first_cut; cut <= ops.size(); ++cut) {
        std::size_t dir_sync = last_before(h.dir_syncs, cut);
        // Each name's choices: its binding at the directory's last sync and every later one.
        std::vector<std::pair<std::string, std::vector<int>>> names;
        for (const auto &[name, bindings] : h.names) {
            std::vector<int> choices;
            for (const Binding &b : bindings) {
                if (b.time > cut)
                    break;
                if (b.time <= dir_sync)
                    choices.clear();
                if (std::find(choices.begin(), choices.end(), b.inode) == choices.end())
                    choices.push_back(b.inode);
            }
            if (choices.empty())
                choices.push_back(-1);
            names.emplace_back(name, choices);
        }
        std::map<int, std::vector<File>> files;
        for (const auto &[name, choices] : names)
            for (int inode : choices)
                if (inode >= 0 && files.count(inode) == 0 &&
                    !file_candidates(h.inodes[static_cast<std::size_t>(inode)], cut,
                                     &files[inode])) {
                    result.error = "too many unsynced changes of one file for the model";
                    return result;
                }

        // Every combination of the names' choices, then of their files' contents.
        std::vector<std::size_t> pick(names.size(), 0);
        for (;;) {
            std::vector<int> inodes;  // distinct, in name order
            for (std::size_t n = 0; n < names.size(); ++n) {
                int inode = names[n].second[pick[n]];
                if (inode >= 0 && std::find(inodes.begin(), inodes.end(), inode) == inodes.end())
                    inodes.push_back(inode);
            }
            std::vector<std::size_t> version(inodes.size(), 0);
            for (;;) {
                State state;
                state.cut = cut;
                for (std::size_t n = 0; n < names.size(); ++n) {
                    int inode = names[n].second[pick[n]];
                    if (inode < 0)
                        continue;
                    std::size_t slot = static_cast<std::size_t>(
                        std::find(inodes.begin(), inodes.end(), inode) - inodes.begin());
                    Entry entry{names[n].first, files[inode][version[slot]], -1};
                    // The first entry of this inode is its primary name.
                    for (std::size_t m = 0, e = 0; m < n; ++m) {
                        int other = names[m].second[pick[m]];
                        if (other < 0)
                            continue;
                        if (other == inode && entry.same_as < 0)
                            entry.same_as = static_cast<int>(e);
                        ++e;
                    }
                    state.entries.push_back(entry);
                }
                ++result.built;
                if (seen.insert(key_of(state)).second)
                    result.states.push_back(state);
                std::size_t v = 0;
                while (v < version.size() && ++version[v] == files[inodes[v]].size())
                    version[v++] = 0;
                if (v == version.size())
                    break;
            }
            std::size_t n = 0;
            while (n < names.size() && ++pick[n] == names[n].second.size())
                pick[n++] = 0;
            if (n == names.size())
                break;
        }
    }
    return result;
}

std::string describe(const Op &op) {
    switch (op.kind) {
        case Op::kOpen:
            return std::string(op.create ? "create or open " : "open ") + op.path +
                   (op.truncate ? ", truncating" : "");
        case Op::kClose:
            return "close " + op.path;
        case Op::kWrite:
            return "write " + std::to_string(op.data.size()) + " bytes to " + op.path;
        case Op::kTruncate:
            return "truncate " + op.path + " to " + std::to_string(op.offset);
        case Op::kFsync:
            return "fsync " + op.path;
        case Op::kFdatasync:
            return "fdatasync " + op.path;
        case Op::kChown:
            return "chown " + op.path;
        case Op::kChmod:
            return "chmod " + op.path;
        case Op::kRename:
            return "rename " + op.path + " to " + op.to;
        case Op::kUnlink:
            return "unlink " + op.path;
    }
    return op.line;
}

std::string describe(const State &state) {
    std::string out;
    for (const Entry &e : state.entries) {
        char head[160];
        std::snprintf(head, sizeof head, "  %s %04o %u:%u ", e.name.c_str(), e.file.mode,
                      e.file.uid, e.file.gid);
        out += head;
        if (e.same_as >= 0) {
            out += "(another name of " + state.entries[static_cast<std::size_t>(e.same_as)].name +
                   ")\n";
            continue;
        }
        std::string shown;
        for (char c : e.file.data.substr(0, 72))
            shown += c == '\n'   ? std::string("\\n")
                     : c == '\0' ? std::string("\\0")
                                 : std::string(1, c);
        out += std::to_string(e.file.data.size()) + " bytes \"" + shown +
               (e.file.data.size() > 72 ? "...\"" : "\"") + "\n";
    }
    return out.empty() ? "  (empty)\n" : out;
}

}  // namespace crash_model
