#include "version.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "version_values.h"

namespace version {

const char* const number = VARNOLD_VERSION;
const char* const build = VARNOLD_BUILD;

std::string line(const char* program) { return std::string(program) + " " + number + " (build " + build + ")"; }

namespace {

// The numbers of "1.2.3"; empty when the text is not dotted numbers.
std::vector<unsigned long> parts(const std::string& text) {
    std::vector<unsigned long> numbers;
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end) {
        unsigned long value = 0;
        const auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc() || (next != end && *next != '.') || next + 1 == end) return {};
        numbers.push_back(value);
        at = next == end ? end : next + 1;
    }
    return numbers;
}

}  // namespace

bool newer(const std::string& a, const std::string& b) {
    std::vector<unsigned long> left = parts(a), right = parts(b);
    if (left.empty() || right.empty()) return false;
    left.resize(std::max(left.size(), right.size()));
    right.resize(left.size());
    return left > right;
}

}  // namespace version
