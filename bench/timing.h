// timing.h -- wall-clock helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace znbench {

// Seconds that work() takes on the monotonic clock.
template <class Work>
double seconds_of(Work &&work) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The value at fraction q (0 to 1) of a non-empty sample, in sorted order.
inline double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

// The median of a non-empty sample.
inline double median(std::vector<double> v) { return quantile(std::move(v), 0.5); }

} // namespace znbench
