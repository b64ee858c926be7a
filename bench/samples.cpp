#include "bench/samples.h"

#include <algorithm>
#include <cmath>
#include <limits>

double millisecondsBetween(BenchClock::time_point from, BenchClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

BenchClock::time_point millisecondsAfter(BenchClock::time_point from, double ms) {
    return from + std::chrono::duration_cast<BenchClock::duration>(
                      std::chrono::duration<double, std::milli>(ms));
}

std::vector<double> Samples::sorted() const {
    std::vector<double> v = values_;
    std::sort(v.begin(), v.end());
    return v;
}

double Samples::median() const {
    if (values_.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> v = sorted();
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Samples::percentile(double p) const {
    if (values_.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> v = sorted();
    const auto rank =
        static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

double Samples::min() const {
    return values_.empty() ? std::numeric_limits<double>::quiet_NaN()
                           : *std::min_element(values_.begin(), values_.end());
}

double Samples::max() const {
    return values_.empty() ? std::numeric_limits<double>::quiet_NaN()
                           : *std::max_element(values_.begin(), values_.end());
}
