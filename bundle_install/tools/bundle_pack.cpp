// bundle-pack: builds a bundle the device installs as intended, or says why it cannot. The top
// folder is the base name the installer derives from the output's file name, with the same code;
// every path and command the device will build is tried against the installer's own limits.
// The archive is written here, not by tar: no name is ever read as an option, and the same
// inputs give the same bytes (owners, modes, order and times are fixed). Runs on a build host.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "archive_name.hpp"
#include "bundle_extract.hpp"
#include "manifest.hpp"
#include "shell_command.hpp"

namespace {

constexpr const char *kProgram = "bundle-pack";
constexpr const char *kManifestName = "manifest.txt";
constexpr std::size_t kBlock = 512;
constexpr std::size_t kNameField = 100;
constexpr std::size_t kPrefixField = 155;
// Eleven octal digits: the largest size and time a ustar header holds.
constexpr std::uint64_t kOctal11Max = 077777777777ULL;

volatile std::sig_atomic_t interrupted = 0;

void on_signal(int signal) {
    interrupted = signal;
}

void usage() {
    std::fprintf(stderr, "Usage: %s -o OUTPUT.tar.gz PACKAGE...\n", kProgram);
}

struct Package {
    std::string source;  // as given
    std::string name;    // file name in the bundle
    dev_t dev = 0;
    ino_t ino = 0;
};

// One JSON string literal for a file name (which holds no control characters).
std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string manifest_text(const std::vector<Package> &packages) {
    std::string manifest = "{\"order\":[";
    for (std::size_t i = 0; i < packages.size(); ++i) {
        if (i > 0)
            manifest += ',';
        manifest += json_string(packages[i].name);
    }
    return manifest + "]}\n";
}

// "" when the device can take this file name, else why not.
std::string name_problem(const std::string &name) {
    if (name.empty() || name == "." || name == "..")
        return "names no file";
    if (name == kManifestName)
        return std::string("would be taken for the bundle's ") + kManifestName;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return "holds a control character";
    return "";
}

// Splits a member's name over the header's prefix and name fields; false when it cannot.
bool split_name(const std::string &full, std::string *prefix, std::string *name) {
    if (full.size() <= kNameField) {
        prefix->clear();
        *name = full;
        return true;
    }
    for (std::size_t slash = full.find('/'); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
        std::size_t rest = full.size() - slash - 1;
        // A folder's own name may go whole into the prefix: "prefix/" with an empty name.
        bool folder = rest == 0 && slash + 1 == full.size();
        if (slash <= kPrefixField && (rest > 0 || folder) && rest <= kNameField) {
            *prefix = full.substr(0, slash);
            *name = full.substr(slash + 1);
            return true;
        }
    }
    return false;
}

// The modification time of every member: SOURCE_DATE_EPOCH when it is a plain number of
// seconds a header can hold, else 0.
std::uint64_t archive_time() {
    const char *text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr)
        return 0;
    std::uint64_t value = 0;
    bool valid = *text != '\0';
    for (const char *c = text; valid && *c != '\0'; ++c) {
        valid = *c >= '0' && *c <= '9' && value <= kOctal11Max;
        value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    }
    if (!valid || value > kOctal11Max) {
        std::fprintf(stderr, "%s: SOURCE_DATE_EPOCH is not a number of seconds; using 0\n",
                     kProgram);
        return 0;
    }
    return value;
}

// Every refusal for this output and these packages, one line each; the packages' names and
// identities filled in.
int check_inputs(const std::string &output, std::vector<Package> *packages) {
    int problems = 0;
    auto refuse = [&problems](const std::string &text) {
        std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
        ++problems;
    };
    auto base = archive_base_name(output);
    char package_dir[kTextSize];
    int n = std::snprintf(package_dir, sizeof package_dir, "%s/%.*s", kUpdateDir,
                          static_cast<int>(base.size()), base.data());
    if (base.empty()) {
        refuse(output +
               ": the file name leaves no base name, so the device would take packages "
               "from " +
               kUpdateDir + "/ itself");
        return problems;
    }
    if (base == "." || base == "..") {
        refuse(output + ": the base name " + std::string(base) + " names no folder");
        return problems;
    }
    if (n < 0 || static_cast<unsigned>(n) >= sizeof package_dir) {
        refuse(output + ": the package folder " + kUpdateDir + "/" + std::string(base) +
               " would exceed the device's 511 characters");
        return problems;
    }
    std::string manifest = std::string(package_dir) + "/" + kManifestName;
    if (manifest.size() >= kTextSize)
        refuse(output + ": the manifest's path " + manifest +
               " would exceed the device's 511 characters");
    std::string prefix, name;
    if (!split_name(std::string(base) + "/" + kManifestName, &prefix, &name))
        refuse(output + ": the base name " + std::string(base) + " is too long for a tar header");

    std::set<std::string> names;
    for (Package &p : *packages) {
        auto slash = p.source.rfind('/');
        p.name = slash == std::string::npos ? p.source : p.source.substr(slash + 1);
        std::string why = name_problem(p.name);
        if (!why.empty()) {
            refuse(p.source + ": the file name " + why);
            continue;
        }
        if (!names.insert(p.name).second) {
            refuse(p.source + ": a second package named " + p.name);
            continue;
        }
        // Not blocking, so that a FIFO given by mistake is refused rather than waited on.
        int fd = open(p.source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            refuse(p.source + ": not a readable regular file" +
                   (fd < 0 ? std::string(" (") + std::strerror(errno) + ")" : ""));
            if (fd >= 0)
                close(fd);
            continue;
        }
        close(fd);
        p.dev = st.st_dev;
        p.ino = st.st_ino;
        if (static_cast<std::uint64_t>(st.st_size) > kOctal11Max)
            refuse(p.source + ": larger than a tar header can describe");
        std::string path = std::string(package_dir) + "/" + p.name;
        char command[kTextSize];
        if (path.size() >= kTextSize)
            refuse(p.source + ": the path " + path + " would exceed the device's 511 characters");
        else if (install_command(path.c_str(), command) != 0)
            refuse(p.source + ": the device's install command would not fit its 511 characters");
        if (!split_name(std::string(base) + "/" + p.name, &prefix, &name))
            refuse(p.source + ": the name " + std::string(base) + "/" + p.name +
                   " is too long for a tar header");
    }

    std::size_t manifest_size = manifest_text(*packages).size();
    if (manifest_size > static_cast<std::size_t>(kManifestMaxSize))
        refuse(output + ": the manifest would be " + std::to_string(manifest_size) +
               " bytes, more than the device reads (" + std::to_string(kManifestMaxSize) + ")");
    // The shortest call: `bundle-install NAME` from the bundle's own folder.
    auto slash = output.rfind('/');
    std::string file = slash == std::string::npos ? output : output.substr(slash + 1);
    char command[kTextSize];
    if (unpack_command(file.c_str(), kUpdateDir, command) != 0)
        refuse(output + ": the device's unpack command would not fit its 511 characters");
    struct stat out {};
    char real_out[PATH_MAX];
    bool out_exists = stat(output.c_str(), &out) == 0;
    bool out_real = realpath(output.c_str(), real_out) != nullptr;
    for (const Package &p : *packages) {
        char real[PATH_MAX];
        bool same_path = out_real && realpath(p.source.c_str(), real) != nullptr &&
                         std::strcmp(real, real_out) == 0;
        if (same_path || (out_exists && p.dev == out.st_dev && p.ino == out.st_ino && p.ino != 0))
            refuse(output + ": is the package " + p.source + " itself");
    }
    return problems;
}

// The gzip stream into the temporary file: fixed header (no name, time 0), so equal input gives
// equal bytes.
struct Writer {
    int fd = -1;
    z_stream z{};
    bool started = false;
    std::array<unsigned char, 65536> out{};

    ~Writer() {
        if (started)
            deflateEnd(&z);
    }

    bool start() {
        // 15 + 16: a gzip wrapper with zlib's minimal header.
        started = deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9,
                               Z_DEFAULT_STRATEGY) == Z_OK;
        return started;
    }

    bool drain() {
        std::size_t have = out.size() - z.avail_out;
        for (std::size_t done = 0; done < have;) {
            ssize_t n = write(fd, out.data() + done, have - done);
            if (n < 0 && errno == EINTR && !interrupted)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool put(const void *data, std::size_t size, int flush = Z_NO_FLUSH) {
        z.next_in = static_cast<Bytef *>(const_cast<void *>(data));
        z.avail_in = static_cast<uInt>(size);
        int result = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            result = deflate(&z, flush);
            if (result == Z_STREAM_ERROR || !drain() || interrupted)
                return false;
        } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        return true;
    }

    bool finish() { return put(nullptr, 0, Z_FINISH); }
};

void octal(char *field, std::size_t width, std::uint64_t value) {
    std::snprintf(field, width, "%0*llo", static_cast<int>(width - 1),
                  static_cast<unsigned long long>(value));
}

// One ustar header: owned by 0:0 ("root"), the given mode, size and time.
bool put_header(Writer *w, const std::string &full, bool directory, std::uint64_t size,
                std::uint64_t time) {
    std::string prefix, name;
    if (!split_name(full, &prefix, &name))
        return false;
    std::array<char, kBlock> h{};
    std::memcpy(&h[0], name.data(), name.size());
    octal(&h[100], 8, directory ? 0755 : 0644);
    octal(&h[108], 8, 0);
    octal(&h[116], 8, 0);
    octal(&h[124], 12, size);
    octal(&h[136], 12, time);
    std::memset(&h[148], ' ', 8);
    h[156] = directory ? '5' : '0';
    std::memcpy(&h[257], "ustar", 6);
    std::memcpy(&h[263], "00", 2);
    std::memcpy(&h[265], "root", 4);
    std::memcpy(&h[297], "root", 4);
    octal(&h[329], 8, 0);
    octal(&h[337], 8, 0);
    std::memcpy(&h[345], prefix.data(), prefix.size());
    unsigned sum = 0;
    for (char c : h)
        sum += static_cast<unsigned char>(c);
    std::snprintf(&h[148], 8, "%06o", sum);  // six digits, NUL, and the blank kept from above
    h[155] = ' ';
    return w->put(h.data(), h.size());
}

bool put_padding(Writer *w, std::uint64_t size) {
    static constexpr std::array<char, kBlock> zeros{};
    std::size_t rest = static_cast<std::size_t>(size % kBlock);
    return rest == 0 || w->put(zeros.data(), kBlock - rest);
}

// Copies one package into the archive, exactly the size its header gave. 0, or -1 (`reported`
// set when it printed why).
int put_package(Writer *w, const std::string &member, const Package &p, std::uint64_t time,
                bool *reported) {
    int fd = open(p.source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != p.dev ||
        st.st_ino != p.ino) {
        std::fprintf(stderr, "%s: %s: changed while being packed\n", kProgram, p.source.c_str());
        *reported = true;
        if (fd >= 0)
            close(fd);
        return -1;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    bool ok = put_header(w, member, false, size, time);
    std::array<char, 65536> buffer{};
    std::uint64_t left = size;
    const char *why = nullptr;
    while (ok && left > 0) {
        ssize_t n = read(fd, buffer.data(), std::min<std::uint64_t>(left, buffer.size()));
        if (n < 0 && errno == EINTR && !interrupted)
            continue;
        if (n <= 0) {
            why = n == 0 ? "changed while being packed" : std::strerror(errno);
            ok = false;
            break;
        }
        ok = w->put(buffer.data(), static_cast<std::size_t>(n));
        left -= static_cast<std::uint64_t>(n);
    }
    close(fd);
    if (why != nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, p.source.c_str(), why);
        *reported = true;
    }
    return ok && put_padding(w, size) ? 0 : -1;
}

// The whole archive: the folder, then its files sorted by name. 0, or -1.
int put_archive(Writer *w, const std::string &base, const std::vector<Package> &packages,
                std::uint64_t time, bool *reported) {
    const std::string manifest = manifest_text(packages);
    std::vector<const Package *> sorted;
    for (const Package &p : packages)
        sorted.push_back(&p);
    std::sort(sorted.begin(), sorted.end(),
              [](const Package *a, const Package *b) { return a->name < b->name; });
    if (!w->start() || !put_header(w, base + "/", true, 0, time))
        return -1;
    bool manifest_done = false;
    auto put_manifest = [&]() {
        manifest_done = true;
        return put_header(w, base + "/" + kManifestName, false, manifest.size(), time) &&
               w->put(manifest.data(), manifest.size()) && put_padding(w, manifest.size());
    };
    for (const Package *p : sorted) {
        if (!manifest_done && p->name > kManifestName && !put_manifest())
            return -1;
        if (put_package(w, base + "/" + p->name, *p, time, reported) != 0)
            return -1;
    }
    static constexpr std::array<char, 2 * kBlock> end{};
    if ((!manifest_done && !put_manifest()) || !w->put(end.data(), end.size()) || !w->finish())
        return -1;
    return 0;
}

// Writes the archive into a temporary file beside the output, renamed over it only once
// complete and on disk. 0 or -1 after a message.
int pack(const std::string &output, const std::vector<Package> &packages) {
    auto slash = output.rfind('/');
    std::string dir = slash == std::string::npos ? "./" : output.substr(0, slash + 1);
    std::string temp = dir + ".bundle-pack.XXXXXX";  // short: the output's name may be 255 long
    Writer w;
    w.fd = mkostemp(temp.data(), O_CLOEXEC);
    if (w.fd < 0) {
        std::fprintf(stderr, "%s: cannot create a file beside %s: %s\n", kProgram, output.c_str(),
                     std::strerror(errno));
        return -1;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool reported = false;
    errno = 0;
    bool ok = put_archive(&w, std::string(archive_base_name(output)), packages, archive_time(),
                          &reported) == 0 &&
              !interrupted && fchmod(w.fd, 0666 & ~mask) == 0 && fsync(w.fd) == 0 &&
              rename(temp.c_str(), output.c_str()) == 0;
    if (!ok && !reported && !interrupted)
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.c_str(),
                     errno != 0 ? std::strerror(errno) : "compression failed");
    if (!ok)
        unlink(temp.c_str());
    close(w.fd);
    if (ok) {
        // The rename itself must outlive a power cut on the build host.
        int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd >= 0) {
            fsync(dir_fd);
            close(dir_fd);
        }
    }
    return ok ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || std::strcmp(argv[1], "-o") != 0) {
        usage();
        return 1;
    }
    std::string output = argv[2];
    std::vector<Package> packages;
    for (int i = 3; i < argc; ++i)
        packages.push_back({argv[i], "", 0, 0});
    if (check_inputs(output, &packages) != 0)
        return 1;

    struct sigaction action {};
    action.sa_handler = on_signal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    int result = pack(output, packages);
    if (interrupted) {
        signal(interrupted, SIG_DFL);
        raise(interrupted);
    }
    if (result != 0)
        return 1;
    std::printf("%s: folder %s, %zu packages\n", output.c_str(),
                std::string(archive_base_name(output)).c_str(), packages.size());
    return 0;
}
