#include "command_line.h"

#include <cstdio>
#include <cstring>

#include "version.h"

namespace command_line {

int answer_standard(int argc, const char* const* argv, const char* program, const char* usage) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", version::line(program).c_str());
            return 0;
        }
    }
    return -1;
}

int refuse(const char* program, const std::string& what, const char* usage) {
    std::fprintf(stderr, "%s: %s\n%s", program, what.c_str(), usage);
    return usage_error;
}

}  // namespace command_line
