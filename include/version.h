#pragma once
// The project's version and build, set by the build in one place (the top CMakeLists.txt).
#include <string>

namespace version {

extern const char* const number;  // "1.0.0"
extern const char* const build;   // the source revision it was built from

// "<program> <number> (build <build>)", what every command answers to --version.
std::string line(const char* program);

// Whether dotted version a is newer than b ("1.10.0" > "1.9.2"); texts that are not
// dotted numbers are never newer.
bool newer(const std::string& a, const std::string& b);

}  // namespace version
