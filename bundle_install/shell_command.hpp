// Running command texts through the shell, and quoting what goes into them.
#pragma once

#include <cstddef>
#include <string_view>

// Every command text and path the installer builds fits this many bytes, terminator included.
constexpr std::size_t kTextSize = 512;

// Maps a raw wait status from system() to 0 (shell exited normally with code 0) or -1.
int shell_status_result(int status);

// Runs the text through system(); 0 on success, -1 otherwise (reports a failed system() only).
int run_shell_command(const char *command);

// Writes text into out as one shell word: unchanged when it holds only characters the shell
// leaves alone, else in single quotes. 0 on success, -1 when it does not fit size bytes.
int shell_quote(std::string_view text, char *out, std::size_t size);
