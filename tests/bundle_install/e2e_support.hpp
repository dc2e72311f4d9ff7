// The real installer, run in a private mount namespace with a scratch /tmp, real bundles made by
// tar, and a stub package manager that records its arguments.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/sandbox.hpp"

namespace bi_test {

using zu_test::RunOptions;
using zu_test::RunResult;
using zu_test::Sandbox;

inline constexpr const char *kProgram = BUNDLE_INSTALL_PATH;

// Logs each call's arguments in brackets, says what it installs, fails for the base names listed
// in /stub/fail and kills itself for those listed in /stub/kill.
extern const char *const kStubOpkg;

// Files of a bundle: path -> content, or "->target" for a symbolic link.
using BundleFiles = std::vector<std::pair<std::string, std::string>>;

class BundleInstall : public testing::Test {
  protected:
    Sandbox box;

    void SetUp() override;

    // Stages the files and packs them, sorted by name, into the archive at the given path inside
    // the sandbox.
    void make_bundle(const std::string &archive, const BundleFiles &files);

    // Runs the installer with these arguments, the stubs first on its PATH.
    RunResult install(const std::vector<std::string> &args, RunOptions options = {});

    // What the stub opkg was called with, one line per call, or "<no opkg run>".
    std::string opkg_log() const;

    // Removes what a run leaves behind (the update directory, the opkg log) for a second run.
    void reset();

    // Runs the installer (only it, not its children) under strace with paths shown, tracing
    // `names`, and returns its calls, one line each. The run's traces are removed with reset().
    std::vector<std::string> traced(const std::vector<std::string> &args, const std::string &names);
};

// Environment for traced runs: the leak checker cannot stop the world under ptrace.
std::vector<std::string> traced_env();

// Options that inject `what` ("error=EACCES", "signal=SIGKILL") into the `when`th `name` call.
RunOptions inject(const std::string &name, const std::string &what, int when);

// 1-based place among the `name` calls of the first call whose line holds every needle, or -1.
int occurrence(const std::vector<std::string> &calls, const std::string &name,
               const std::vector<std::string> &needles);

// 10,000 empty packages, bundle/dNN/pkg-NN.ipk for NN from 00 to 99.
BundleFiles package_grid();

// A JSON string literal holding exactly these bytes.
std::string json_string(const std::string &text);

// A manifest whose "order" holds these elements, as JSON strings.
std::string json_order(const std::vector<std::string> &elements);
}  // namespace bi_test
