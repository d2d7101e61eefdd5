#include "sim_clock.h"

#include <ctime>

double SimClockMonotonicSeconds()
{
    auto ts = timespec{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

SimClock::SimClock(double scale, MonotonicFn monotonic)
    : monotonic_(monotonic != nullptr ? monotonic : SimClockMonotonicSeconds),
      scale_(scale < 0.0 ? 0.0 : scale),
      start_(monotonic_())
{
}

double SimClock::Now()
{
    double now = (monotonic_() - start_) * scale_ + offset_;
    if (now < last_) {
        now = last_;
    }
    last_ = now;
    return now;
}

void SimClock::Advance(double seconds)
{
    if (seconds > 0.0) {
        offset_ += seconds;
    }
}
