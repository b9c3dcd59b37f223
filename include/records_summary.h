#pragma once
// The summary of positionings per type and row that varnold-records prints for a local record
// file and for the plant's database alike: spread of the deviations and the capability of the
// positioning against the row's tolerance.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace records {

// Fewer positionings than this give a capability figure that says little; it is marked.
constexpr std::size_t capability_minimum = 25;

struct statistics {
    std::size_t count = 0;
    double mean = 0, squares = 0, min = 0, max = 0;
    void add(double value);
    double std_dev() const;
    // Cp = 2T / 6s and Cpk = (T - |mean|) / 3s for a deviation allowed within +-T; NaN
    // while the spread is unknown (fewer than two values) or nil.
    double cp(double tolerance) const;
    double cpk(double tolerance) const;
};

struct type_summary {
    std::string name;
    statistics rows[4];  // X, Y, alpha, beta
};

// By type id.
using summary = std::map<long long, type_summary>;

// The summary's lines: a heading, then one per type and row.
std::vector<std::string> summary_lines(const summary& types);

}  // namespace records
