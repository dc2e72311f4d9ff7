// zu-factory-label: the factory passwords a device's label carries, from its MAC and model files
// or for a whole production batch, and a check that a shadow file stores hashes of exactly those
// passwords. Factory use only.
#include <crypt.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "account.hpp"
#include "device_password.hpp"
#include "first_line.hpp"
#include "report.hpp"
#include "shadow_file.hpp"

namespace {

constexpr std::size_t kMaxShadowSize = 1 << 20;

constexpr const char *kProgram = "zu-factory-label";
// Lines of a batch are read and written through buffers of this size; a longer input line cannot
// be a MAC and a model the device reads whole, and is reported.
constexpr std::size_t kBatchBufferSize = 1 << 16;
constexpr std::size_t kMacTextLength = 17;  // "aa:bb:cc:dd:ee:ff", as the kernel writes it

void usage() {
    std::fprintf(stderr,
                 "usage: zu-factory-label [--verify SHADOW_FILE] MAC_FILE MODEL_FILE USER...\n"
                 "       zu-factory-label --batch USER... < MAC,MODEL lines\n");
}

// A user name as the device's password database would hold it, and safe in a label line.
bool valid_user(const char *user) {
    std::size_t length = std::strlen(user);
    if (length == 0 || length >= kUsernameSize)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(user[i]);
        if (c <= ' ' || c == ',' || c == ':' || c == 0x7f)
            return false;
    }
    return true;
}

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The kernel's form of a MAC address; any other spelling hashes to another password.
bool valid_mac(std::string_view mac) {
    if (mac.size() != kMacTextLength)
        return false;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        bool ok = i % 3 == 2 ? mac[i] == ':' : is_lower_hex(mac[i]);
        if (!ok)
            return false;
    }
    return true;
}

// What is wrong with one "MAC,model" line as the device's two files would hold it; null if
// nothing.
const char *line_problem(std::string_view line, std::string_view *mac, std::string_view *model) {
    auto comma = line.find(',');
    if (line.empty())
        return "empty line";
    if (comma == std::string_view::npos)
        return "no comma between MAC and model";
    *mac = line.substr(0, comma);
    *model = line.substr(comma + 1);
    if (!valid_mac(*mac))
        return "the MAC is not six lower-case hex pairs joined by colons, as the device holds it";
    if (model->empty())
        return "empty model";
    if (model->size() >= kModelLineSize)
        return "the model is longer than the 255 characters the device reads";
    if (model->find('\0') != std::string_view::npos || model->find('\r') != std::string_view::npos)
        return "the model holds a NUL or carriage return, which ends the device's line";
    return nullptr;
}

// Output of a batch, written in large pieces.
struct BatchOutput {
    char data[kBatchBufferSize];
    std::size_t used;
    bool failed;
};

void flush_output(BatchOutput *out) {
    std::size_t done = 0;
    while (done < out->used && !out->failed) {
        ssize_t n = write(STDOUT_FILENO, out->data + done, out->used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "%s: cannot write the labels: %s\n", kProgram,
                         n < 0 ? std::strerror(errno) : "nothing written");
            out->failed = true;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    out->used = 0;
}

void put(BatchOutput *out, std::string_view text) {
    std::memcpy(out->data + out->used, text.data(), text.size());
    out->used += text.size();
}

struct Batch {
    char **users;
    int user_count;
    std::size_t max_line;  // longest label line these users can give
    PasswordWork work;
    BatchOutput out;
    unsigned long line_number;
    int status;
};

void label_line(Batch *batch, std::string_view line) {
    ++batch->line_number;
    if (!line.empty() && line.back() == '\r')  // lines from a spreadsheet on a PC
        line.remove_suffix(1);
    std::string_view mac_text, model_text;
    if (const char *problem = line_problem(line, &mac_text, &model_text)) {
        std::fprintf(stderr, "%s: line %lu: %s\n", kProgram, batch->line_number, problem);
        batch->status = 1;
        return;
    }
    char mac[kMacLineSize];
    char model[kModelLineSize];
    std::memcpy(mac, mac_text.data(), mac_text.size());
    mac[mac_text.size()] = '\0';
    std::memcpy(model, model_text.data(), model_text.size());
    model[model_text.size()] = '\0';
    // A whole line always fits what is left, so a failure can take it back.
    if (batch->out.used + batch->max_line > sizeof batch->out.data)
        flush_output(&batch->out);
    std::size_t mark = batch->out.used;
    put(&batch->out, line);
    for (int i = 0; i < batch->user_count; ++i) {
        char password[kPasswordSize];
        if (derive_password_in(&batch->work, mac, model, batch->users[i], password) != 0) {
            std::fprintf(stderr, "%s: line %lu: cannot derive a password\n", kProgram,
                         batch->line_number);
            batch->status = 1;
            batch->out.used = mark;
            return;
        }
        put(&batch->out, ",");
        put(&batch->out, batch->users[i]);
        put(&batch->out, " ");
        put(&batch->out, std::string_view(password, kPasswordLength));
    }
    put(&batch->out, "\n");
}

// Labels every "MAC,model" line of standard input for the users; 0, 1 after a malformed line, 2
// when the batch cannot be read or written.
int label_batch(char **users, int user_count) {
    if (user_count < 1) {
        usage();
        return 2;
    }
    for (int i = 0; i < user_count; ++i) {
        if (!valid_user(users[i])) {
            std::fprintf(stderr, "%s: \"%s\" is not a user name of the device\n", kProgram,
                         users[i]);
            return 2;
        }
    }
    // Static: with its buffers the batch is too large for a stack.
    static Batch batch;
    static char input[kBatchBufferSize];
    batch.users = users;
    batch.user_count = user_count;
    batch.max_line = kMacTextLength + 1 + kModelLineSize + 1;
    for (int i = 0; i < user_count; ++i)
        batch.max_line += 1 + std::strlen(users[i]) + 1 + kPasswordLength;
    if (batch.max_line > sizeof batch.out.data) {
        std::fprintf(stderr, "%s: too many user names for one label line\n", kProgram);
        return 2;
    }
    std::size_t have = 0;
    bool skipping = false;  // inside a line too long to be a device's
    bool read_failed = false;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, input + have, sizeof input - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "%s: cannot read the batch: %s\n", kProgram, std::strerror(errno));
            read_failed = true;
            break;
        }
        if (n == 0) {
            if (have > 0 && !skipping)
                label_line(&batch, std::string_view(input, have));
            break;
        }
        have += static_cast<std::size_t>(n);
        std::size_t start = 0;
        while (const void *end = std::memchr(input + start, '\n', have - start)) {
            std::size_t stop = static_cast<std::size_t>(static_cast<const char *>(end) - input);
            if (skipping)
                skipping = false;
            else
                label_line(&batch, std::string_view(input + start, stop - start));
            start = stop + 1;
        }
        if (start == 0 && have == sizeof input && !skipping) {
            std::fprintf(stderr, "%s: line %lu: too long to be a MAC and a model\n", kProgram,
                         ++batch.line_number);
            batch.status = 1;
            skipping = true;
        }
        if (skipping)
            start = have;
        std::memmove(input, input + start, have - start);
        have -= start;
    }
    flush_output(&batch.out);
    wipe(&batch.work, sizeof batch.work);
    wipe(batch.out.data, sizeof batch.out.data);
    wipe(input, sizeof input);
    if (read_failed || batch.out.failed)
        return 2;
    return batch.status;
}

// Reads a whole (small) file into a heap buffer the caller frees; null on failure.
char *read_file(const char *path, std::size_t *length) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return nullptr;
    char *data = static_cast<char *>(std::malloc(kMaxShadowSize));
    std::size_t got = data == nullptr ? 0 : std::fread(data, 1, kMaxShadowSize, file);
    bool ok = data != nullptr && !std::ferror(file) && got < kMaxShadowSize;
    std::fclose(file);
    if (!ok) {
        std::free(data);
        return nullptr;
    }
    *length = got;
    return data;
}

// 0 when the user's stored hash is a hash of `password`.
int verify(std::string_view shadow, const char *user, const char *password) {
    PasswordField field{};
    if (find_password_field(shadow, user, &field) != FieldLookup::kFound)
        return -1;
    char stored[kShadowHashSize];
    int n = std::snprintf(stored, sizeof stored, "%.*s", static_cast<int>(field.end - field.start),
                          shadow.data() + field.start);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof stored)
        return -1;
    if (std::strncmp(stored, "$6$", 3) != 0)
        return -1;
    const char *again = crypt(password, stored);
    return again != nullptr && std::strcmp(again, stored) == 0 ? 0 : -1;
}

// The first line of any readable file, pipes included, waiting for their data: on a factory PC a
// line may come from a shell's process substitution.
int read_any_first_line(const char *path, char *buffer, std::size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? -1 : read_first_line_fd(fd, buffer, size);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--batch") == 0)
        return label_batch(argv + 2, argc - 2);
    int arg = 1;
    const char *shadow_path = nullptr;
    if (argc > 2 && std::strcmp(argv[1], "--verify") == 0) {
        shadow_path = argv[2];
        arg = 3;
    }
    if (argc - arg < 3) {
        usage();
        return 2;
    }
    char mac[kMacLineSize];
    char model[kModelLineSize];
    if (read_any_first_line(argv[arg], mac, sizeof mac) != 0 ||
        read_any_first_line(argv[arg + 1], model, sizeof model) != 0) {
        std::fprintf(stderr, "zu-factory-label: cannot read the MAC or model file\n");
        return 2;
    }
    char *shadow = nullptr;
    std::size_t shadow_length = 0;
    if (shadow_path != nullptr && (shadow = read_file(shadow_path, &shadow_length)) == nullptr) {
        std::fprintf(stderr, "zu-factory-label: cannot read %s\n", shadow_path);
        return 2;
    }
    int status = 0;
    for (int i = arg + 2; i < argc; ++i) {
        char password[kPasswordSize];
        if (compute_device_password(mac, model, argv[i], password) != 0) {
            std::fprintf(stderr, "zu-factory-label: cannot derive a password for %s\n", argv[i]);
            status = 2;
            continue;
        }
        if (shadow == nullptr) {
            std::printf("%s %s\n", argv[i], password);
        } else if (verify(std::string_view(shadow, shadow_length), argv[i], password) == 0) {
            std::printf("%s %s: stored hash verifies\n", argv[i], password);
        } else {
            std::printf("%s %s: stored hash does NOT verify\n", argv[i], password);
            status = 1;
        }
        wipe(password, sizeof password);
    }
    std::free(shadow);
    return status;
}
