#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

using BenchClock = std::chrono::steady_clock;

// Milliseconds between two instants of the steady clock.
double millisecondsBetween(BenchClock::time_point from, BenchClock::time_point to);
// The instant ms milliseconds after from.
BenchClock::time_point millisecondsAfter(BenchClock::time_point from, double ms);

// A set of measurements of one figure, in the unit the caller chose.
class Samples {
  public:
    void add(double value) { values_.push_back(value); }
    std::size_t count() const { return values_.size(); }
    bool empty() const { return values_.empty(); }

    double median() const;
    // The nearest-rank percentile: the smallest value that at least p percent of the values
    // do not exceed.
    double percentile(double p) const;
    double min() const;
    double max() const;

  private:
    std::vector<double> sorted() const;
    std::vector<double> values_;
};
