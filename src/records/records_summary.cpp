#include "records_summary.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "readout.h"

namespace records {

namespace {

const char* const row_names[4] = {"X", "Y", "alpha", "beta"};

std::string figure(double value) {
    if (std::isnan(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

void statistics::add(double value) {
    // Welford's update: stable for long runs of nearly equal deviations.
    ++count;
    const double delta = value - mean;
    mean += delta / static_cast<double>(count);
    squares += delta * (value - mean);
    min = count == 1 ? value : std::fmin(min, value);
    max = count == 1 ? value : std::fmax(max, value);
}

double statistics::std_dev() const { return count > 1 ? std::sqrt(squares / static_cast<double>(count - 1)) : 0.0; }

double statistics::cp(double tolerance) const {
    const double s = std_dev();
    return s > 0 ? 2 * tolerance / (6 * s) : std::numeric_limits<double>::quiet_NaN();
}

double statistics::cpk(double tolerance) const {
    const double s = std_dev();
    return s > 0 ? (tolerance - std::fabs(mean)) / (3 * s) : std::numeric_limits<double>::quiet_NaN();
}

std::vector<std::string> summary_lines(const summary& types) {
    char line[256];
    std::snprintf(line, sizeof line, "%-8s  %-20s  %-5s  %6s  %10s  %10s  %10s  %10s  %8s  %8s", "type_id",
                  "type_name", "row", "count", "mean", "std_dev", "min", "max", "cp", "cpk");
    std::vector<std::string> lines{line};
    for (const auto& [id, type] : types)
        for (std::size_t row = 0; row < 4; ++row) {
            const statistics& st = type.rows[row];
            const double tolerance = readout::row_tolerance[row];
            std::snprintf(line, sizeof line, "%-8lld  %-20s  %-5s  %6zu  %10.3f  %10.3f  %10.3f  %10.3f  %8s  %8s%s", id,
                          type.name.c_str(), row_names[row], st.count, st.mean, st.std_dev(), st.min, st.max,
                          figure(st.cp(tolerance)).c_str(), figure(st.cpk(tolerance)).c_str(),
                          st.count < capability_minimum ? "  too few" : "");
            lines.push_back(line);
        }
    return lines;
}

}  // namespace records
