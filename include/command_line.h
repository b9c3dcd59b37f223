#pragma once
// The options every command shares: --help (usage on standard output, exit 0), --version
// (exit 0), and a refusal that says what was wrong followed by the usage (exit 2).
#include <string>

namespace command_line {

constexpr int usage_error = 2;

// The exit status when argv asks for --help/-h or --version (answered here), -1 otherwise.
int answer_standard(int argc, const char* const* argv, const char* program, const char* usage);

// Prints "<program>: <what>" and the usage on standard error; returns usage_error.
int refuse(const char* program, const std::string& what, const char* usage);

}  // namespace command_line
