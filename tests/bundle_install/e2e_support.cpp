#include "e2e_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

namespace bi_test {

namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

const char *const kStubOpkg = R"(#!/bin/sh
printf '[%s]' "$@" >> /tmp/opkg.log
echo >> /tmp/opkg.log
if [ -f /stub/kill ] && grep -qxF -- "${2##*/}" /stub/kill; then
    kill -KILL $$
fi
echo "opkg: installing ${2##*/}"
if [ -f /stub/fail ] && grep -qxF -- "${2##*/}" /stub/fail; then
    echo "opkg: cannot install ${2##*/}" >&2
    exit 255
fi
exit 0
)";

void BundleInstall::SetUp() {
    box.write("/stub/opkg", kStubOpkg, 0755);
    box.mkdir("/mnt/usb");
}

void BundleInstall::make_bundle(const std::string &archive, const BundleFiles &files) {
    // Staged in-process: bundles of thousands of entries must not cost a shell each.
    const fs::path stage = box.root() + "/stage";
    std::error_code ec;
    fs::remove_all(stage, ec);
    std::set<std::string> tops;
    for (const auto &[path, content] : files) {
        fs::path host = stage / path;
        fs::create_directories(host.parent_path(), ec);
        ASSERT_FALSE(ec) << path << ": " << ec.message();
        if (content.rfind("->", 0) == 0) {
            fs::create_symlink(content.substr(2), host, ec);
            ASSERT_FALSE(ec) << path << ": " << ec.message();
        } else {
            FILE *f = std::fopen(host.c_str(), "wb");
            ASSERT_NE(f, nullptr) << path;
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        tops.insert(path.substr(0, path.find('/')));
    }
    // The names go through a file list: they may hold any byte but '/' and NUL.
    const std::string list = box.root() + "/stage.list";
    FILE *f = std::fopen(list.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (const auto &top : tops)
        std::fwrite(top.c_str(), 1, top.size() + 1, f);
    std::fclose(f);
    box.mkdir(archive.substr(0, archive.rfind('/')));
    ASSERT_EQ(zu_test::host_shell("tar --sort=name --owner=0 --group=0 --null --no-unquote -czf " +
                                  quoted(box.host(archive)) + " -C " + quoted(stage.string()) +
                                  " -T " + quoted(list)),
              0)
        << archive;
}

RunResult BundleInstall::install(const std::vector<std::string> &args, RunOptions options) {
    std::vector<std::string> argv = {kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    options.path = "/stub:/usr/bin:/bin";
    return box.run(argv, options);
}

std::string BundleInstall::opkg_log() const {
    return box.exists("/tmp/opkg.log") ? box.read("/tmp/opkg.log") : "<no opkg run>";
}

void BundleInstall::reset() {
    box.remove("/tmp/update");
    box.remove("/tmp/opkg.log");
}

std::vector<std::string> BundleInstall::traced(const std::vector<std::string> &args,
                                               const std::string &names) {
    RunOptions options{.strace = {"-y", "-o", "/tmp/bi.strace", "-e", "trace=" + names},
                       .env = traced_env()};
    RunResult r = install(args, options);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> calls;
    std::istringstream lines(box.read("/tmp/bi.strace"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("---", 0) != 0 && line.rfind("+++", 0) != 0)
            calls.push_back(line);
    box.remove("/tmp/bi.strace");
    reset();
    return calls;
}

std::vector<std::string> traced_env() {
    const char *inherited = std::getenv("ASAN_OPTIONS");
    return {std::string("ASAN_OPTIONS=") + (inherited ? inherited : "") + ":detect_leaks=0",
            "LSAN_OPTIONS=detect_leaks=0"};
}

RunOptions inject(const std::string &name, const std::string &what, int when) {
    return RunOptions{.strace = {"-o", "/dev/null", "-e", "trace=" + name, "-e",
                                 "inject=" + name + ":" + what + ":when=" + std::to_string(when)},
                      .env = traced_env()};
}

int occurrence(const std::vector<std::string> &calls, const std::string &name,
               const std::vector<std::string> &needles) {
    int seen = 0;
    for (const auto &call : calls) {
        if (call.rfind(name + "(", 0) != 0)
            continue;
        ++seen;
        bool all = true;
        for (const auto &needle : needles)
            all = all && call.find(needle) != std::string::npos;
        if (all)
            return seen;
    }
    return -1;
}

BundleFiles package_grid() {
    BundleFiles files;
    for (int d = 0; d < 100; ++d)
        for (int f = 0; f < 100; ++f) {
            char path[48];
            std::snprintf(path, sizeof path, "bundle/d%02d/pkg-%02d.ipk", d, f);
            files.push_back({path, ""});
        }
    return files;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_order(const std::vector<std::string> &elements) {
    std::string out = "{\"order\":[";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0)
            out += ',';
        out += json_string(elements[i]);
    }
    return out + "]}";
}

}  // namespace bi_test
