// The manifest run with the shell replaced by a recorder: which install commands run, in what
// order, what is printed and what is returned, for any manifest file.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <json-c/json_object.h>
#include <json-c/json_tokener.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "manifest.hpp"
#include "shell_command.hpp"

namespace {

enum class Outcome { kExit1, kSignal, kSystemFails };

// What the recorder does: answer the nth command (counting from 1) with a failure, or none.
struct Script {
    std::size_t fail_at = 0;
    Outcome outcome = Outcome::kExit1;
    bool armed = false;
    std::vector<std::string> commands;
};
Script script;

// One in-memory manifest file for the whole run, opened by path as the installer does.
int manifest_fd() {
    static const int fd = memfd_create("manifest", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    return fd;
}

// The install command for a package path; empty when it cannot fit.
std::string install_command(const std::string &package) {
    char word[kTextSize];
    if (shell_quote(package, word, sizeof word) != 0)
        return {};
    std::string command = std::string("opkg install ") + word;
    return command.size() < kTextSize ? command : std::string();
}

}  // namespace

// Ours is found before the C library's, so the installer's run_shell_command lands here.
extern "C" int system(const char *command) {
    if (!script.armed) {
        using SystemFn = int (*)(const char *);
        auto real = reinterpret_cast<SystemFn>(dlsym(RTLD_NEXT, "system"));
        return real(command);
    }
    script.commands.emplace_back(command);
    if (script.commands.size() != script.fail_at)
        return 0;
    switch (script.outcome) {
        case Outcome::kExit1:
            return 1 << 8;
        case Outcome::kSignal:
            return 9;
        case Outcome::kSystemFails:
            errno = ENOMEM;
            return -1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // Byte 0: bits 0-3 the install that fails (0: none), bits 4-5 how, bit 6 a package
    // directory with a blank. The rest is the manifest file.
    script = Script{};
    script.fail_at = data[0] & 0x0f;
    script.outcome = static_cast<Outcome>((data[0] >> 4 & 3) % 3);
    const std::string dir = data[0] & 0x40 ? "/tmp/update/my bundle" : "/tmp/update/bundle";
    const std::string_view file(reinterpret_cast<const char *>(data) + 1, size - 1);

    const int fd = manifest_fd();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()));
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    // Capture the stream the installer prints to; sanitizer reports still reach descriptor 2.
    char *err_text = nullptr;
    std::size_t err_len = 0;
    FILE *capture = open_memstream(&err_text, &err_len);
    FUZZ_CHECK(capture != nullptr);
    FILE *real_stderr = stderr;
    stderr = capture;
    script.armed = true;
    const int rc = process_manifest(path, dir.c_str());
    script.armed = false;
    stderr = real_stderr;
    FUZZ_CHECK(std::fclose(capture) == 0);
    const std::string err(err_text, err_len);
    std::free(err_text);

    // What should have happened, from json-c's own reading of the same text.
    std::string want_err;
    std::vector<std::string> want_commands;
    int want_rc = -1;
    bool too_long = false;
    json_object *obj = json_tokener_parse(std::string(file).c_str());
    json_object *order = nullptr;
    if (obj == nullptr || !json_object_is_type(obj, json_type_object)) {
        want_err = "Failed to parse JSON manifest\n";
    } else if (!json_object_object_get_ex(obj, "order", &order) ||
               !json_object_is_type(order, json_type_array)) {
        want_err = "Invalid manifest format: 'order' is not an array\n";
    } else {
        want_rc = 0;
        for (std::size_t i = 0; i < json_object_array_length(order); i++) {
            json_object *element = json_object_array_get_idx(order, i);
            if (!json_object_is_type(element, json_type_string)) {
                want_err = "Invalid manifest format: 'order' item is not a string\n";
                want_rc = -1;
                break;
            }
            const std::string text = json_object_get_string(element);
            const std::string package = dir + "/" + text;
            const std::string command = install_command(package);
            if (package.size() >= kTextSize || command.empty()) {
                // Refused before any shell runs; how it says so is the installer's own.
                too_long = true;
                want_err = "Failed to install " + text + "\n";
                want_rc = -1;
                break;
            }
            want_commands.push_back(command);
            if (want_commands.size() == script.fail_at) {
                if (script.outcome == Outcome::kSystemFails)
                    want_err = std::string("system: ") + std::strerror(ENOMEM) + "\n";
                want_err += "Failed to install " + text + "\n";
                want_rc = -1;
                break;
            }
        }
    }
    json_object_put(obj);

    FUZZ_CHECK(rc == want_rc);
    FUZZ_CHECK(script.commands == want_commands);
    if (too_long)
        FUZZ_CHECK(err.ends_with(want_err));
    else
        FUZZ_CHECK_EQ(err, want_err);
    return 0;
}
