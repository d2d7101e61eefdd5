// The replay engine of spindlekeep-replay: drives one host's trace through
// the daemon's own IO-statistics code and slow-disk rules on a virtual clock.
//
// One step is one 3-second detection cycle; each 15-second sample is held for
// five cycles (the counters advance by the model's 3-second increments, so
// the statistics see the sample's rates in every cycle). A slot without data
// (NA, no row) is a failed read for the detector. After each window the
// engine runs empty cycles until neither mode holds anything from it, so
// windows 21 hours apart do not see each other's samples.
//
// All drives of the host form one zone of one DRM disk type. Single-threaded,
// no clock, no I/O: the result depends on the trace and the options only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "failslow_trace.h"

inline constexpr uint32_t kReplayCycleSeconds = 3;
inline constexpr uint32_t kReplayCyclesPerSample = kTraceStepSeconds / kReplayCycleSeconds;
static_assert(kReplayCyclesPerSample * kReplayCycleSeconds == kTraceStepSeconds,
              "a sample spans whole cycles");

enum ReplayMode : uint32_t {
    REPLAY_MODE_WRITTEN = 0,  // the candidate/suspect rule with its 100-cycle ring
    REPLAY_MODE_OUTLIER = 1,  // the peer-outlier mode
    REPLAY_MODE_NUM = 2,
};

struct ReplayOptions {
    uint32_t ioSize = kTraceDefaultIoSize;
    uint32_t drmType = 0;  // SATA SSD: all SSD types share the same rule rows
    // Outlier mode parameters (R, Z, P, W in minutes); each one not set
    // keeps the mode's own default.
    double ratio = 0.0;
    double zScore = 0.0;
    double fraction = 0.0;
    uint32_t windowMin = 0;
    bool outlierSet[4] = {false, false, false, false};  // ratio, z, fraction, window given
};

// The outlier mode's parameters in effect for `options`, as R, Z, P and W
// (minutes). -1 with `error` when the mode rejects one of them.
struct ReplayOutlierParams {
    double ratio, zScore, fraction;
    uint32_t windowMin;
};
[[nodiscard]] int ReplayOutlierParamsOf(const ReplayOptions &options, ReplayOutlierParams *out,
                                        std::string *error);

// Why the written rule did not mark a drive: per cycle with a valid, non-idle
// sample, each gate that failed is counted (a cycle may fail several).
struct ReplayGates {
    uint64_t cycles;     // valid samples with IO
    uint64_t svctm;      // service time below the type's threshold
    uint64_t busy;       // fewer than 30 IOs in flight
    uint64_t util;       // utilisation below 90%
    uint64_t bandwidth;  // above the type's bandwidth limit
    uint64_t candidate;  // passed all four
    uint64_t peers;      // sole candidate, but not 5x the others' service time
    uint64_t marked;     // got the cycle's slow mark
};

struct ReplayDecision {
    bool declared;
    uint32_t window;    // of the first declaration
    int64_t ts;         // trace time of the first declaration
    double traceHours;  // replayed trace time from the drive's first window to it
    uint64_t count;     // declarations: cycles for the written rule (it repeats
                        // every cycle its check holds), episodes for the
                        // outlier mode (it latches until a quiet window)
};

struct ReplayDrive {
    std::string name;
    ReplayDecision mode[REPLAY_MODE_NUM];
    std::vector<uint8_t> windowDeclared[REPLAY_MODE_NUM];  // per window: declared in it
    ReplayGates gates;
};

struct ReplayHost {
    std::string name;
    std::vector<std::string> days;  // per window: its day file without ".csv"
    std::vector<ReplayDrive> drives;
    uint64_t cycles;       // all cycles, the empty ones included
    uint64_t traceCycles;  // cycles that replayed trace samples
};

// Replays `trace` into `out`. Returns 0, or -1 with `error` set when the
// options are out of range (DRM type above 3, IO size 0, outlier parameters
// the mode rejects) or the host has more drives than a zone holds (128).
[[nodiscard]] int ReplayRunHost(const TraceHost &trace, const ReplayOptions &options,
                                ReplayHost *out, std::string *error);
