// Durations as the daemon passes them around: a value and a unit.
#pragma once

#include <cstdint>
#include <ctime>

enum KeeperTimeUnit : uint32_t {
    KEEPER_TIME_NS = 0,
    KEEPER_TIME_US = 1,
    KEEPER_TIME_MS = 2,
    KEEPER_TIME_S = 3,
    KEEPER_TIME_MIN = 4,
    KEEPER_TIME_HOUR = 5,
    KEEPER_TIME_DAY = 6,
    KEEPER_TIME_BUTT = 7,  // count of units; this and above are invalid
};

// A point or span of clock time (seconds and nanoseconds), as the POSIX
// calls take it.
using KeeperClockTime = ::timespec;

struct KeeperTime {
    uint32_t value;
    uint32_t unit;  // a KeeperTimeUnit
};

// Converts a duration. An invalid unit logs "Input timeUnit(%d) >= BUTT" and
// yields a zero duration, so a bad caller sleeps or waits for no time at all.
KeeperClockTime ConvertKeeperTime2Timespec(KeeperTime t);

// Adds a duration to an absolute time, carrying whole seconds so that the
// result's nanoseconds always stay below one second.
KeeperClockTime KeeperTimespecAdd(KeeperClockTime base, KeeperClockTime delta);

inline KeeperTime KeeperMs(uint32_t ms) { return KeeperTime{ms, KEEPER_TIME_MS}; }
