#pragma once
// The q-quantile (0 to 1) of a non-empty set of samples, as the benchmarks report them.

#include <algorithm>
#include <vector>

inline double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}
