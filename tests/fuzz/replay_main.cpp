// Runs a fuzz target over saved inputs, for builds without libFuzzer: each argument is an input
// file or a directory of them. A directory that does not exist is an empty set of regressions;
// the first argument (the seed corpus) must hold at least one input.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.hpp"

namespace {

bool run_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    std::printf("replay %s (%zu bytes)\n", path.c_str(), input.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

// Inputs of a directory in name order, so a failing run names the same file every time.
std::vector<std::string> inputs_of(const std::string &dir) {
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [INPUT_OR_DIR...]\n", argv[0]);
        return 2;
    }
    std::size_t ran = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) {
            if (i == 1) {
                std::fprintf(stderr, "missing seed corpus %s\n", argv[i]);
                return 1;
            }
            continue;
        }
        std::vector<std::string> files =
            S_ISDIR(st.st_mode) ? inputs_of(argv[i]) : std::vector<std::string>{argv[i]};
        if (i == 1 && files.empty()) {
            std::fprintf(stderr, "empty seed corpus %s\n", argv[i]);
            return 1;
        }
        for (const std::string &f : files) {
            if (!run_file(f))
                return 1;
            ran++;
        }
    }
    std::printf("replayed %zu inputs\n", ran);
    return 0;
}
