// The fleet clock: simulated seconds since the agent started. It runs at a
// chosen multiple of the real monotonic clock (0 freezes it) and can be pushed
// forward by hand, so tests drive timed events deterministically while an
// operator's fleet follows real time.
//
// Thread safety: none; the fleet source calls it under its own lock.
#pragma once

class SimClock {
  public:
    using MonotonicFn = double (*)();

    // scale: simulated seconds per real second (>= 0). monotonic: the real
    // clock in seconds, replaceable in tests.
    explicit SimClock(double scale, MonotonicFn monotonic = nullptr);

    // Simulated seconds now; never goes backwards.
    double Now();
    // Moves simulated time forward by seconds (negative values are ignored).
    void Advance(double seconds);

  private:
    MonotonicFn monotonic_;
    double scale_;
    double start_;
    double offset_ = 0.0;
    double last_ = 0.0;
};

// CLOCK_MONOTONIC in seconds.
double SimClockMonotonicSeconds();
