#pragma once
// Timing helpers shared by the benchmark programs.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace bench {

using clock = std::chrono::steady_clock;

inline double ms_since(clock::time_point start) {
    return std::chrono::duration<double, std::milli>(clock::now() - start).count();
}

// Time of one call of f, in milliseconds.
template <typename F>
double time_ms(F&& f) {
    const auto start = clock::now();
    f();
    return ms_since(start);
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const auto index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(index, v.size() - 1)];
}

inline double worst(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

}  // namespace bench
