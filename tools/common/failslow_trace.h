// Fail-slow traces: the reader of one host directory of per-drive
// throughput/latency samples and the counter model that turns a sample into
// the cumulative IO counters a disk agent reports.
//
// A host directory holds one CSV per day ("YYYY-MM-DD.csv", read in name
// order, which is date order), each with the header ts,disk_id,throughput,
// latency: ts in Unix seconds on a 15-second grid, throughput in bytes per
// second (reads and writes together), latency the mean per IO in
// microseconds; "NA" marks a missing value.
//
// The counter model is the one statement shared by the agent's replay and the
// offline evaluator, so both feed the daemon identical counters:
//   IOPS          = throughput / IO size
//   ops           = IOPS x interval
//   latency ticks = ops x latency          (ticks are microseconds)
//   busy time     = min(interval, ops x latency)
//   in flight     = IOPS x latency         (Little's law)
// Every IO counts as a read. The trace has one mixed figure for both
// directions; booking it on one side keeps the per-IO read latency the
// daemon derives equal to the trace's latency, where an even split would add
// a rounding difference between the halves. The ops-weighted read/write
// latency is the same either way.
// An NA sample (or a missing row) is no data for that drive in that slot: no
// counter moves and the reader of that slot gets nothing.
//
// Plain functions over caller-owned values: no state, no locks, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t kTraceStepSeconds = 15;
// Rows further apart than this start a new window, even inside one file.
inline constexpr int64_t kTraceWindowGapSeconds = 300;
inline constexpr uint32_t kTraceDefaultIoSize = 4096;

struct TraceSample {
    double throughput;  // bytes per second
    double latencyUs;   // mean per IO
    bool valid;         // false: NA or no row for this slot
};

// Consecutive 15-second slots of every drive of the host. slots[d] has
// `slotCount` entries for host drive d (all invalid when d has no row here).
struct TraceWindow {
    std::string file;  // the day file it came from (base name)
    int64_t start;     // ts of slot 0
    uint32_t slotCount;
    std::vector<std::vector<TraceSample>> slots;
};

struct TraceHost {
    std::string name;                  // base name of the directory, e.g. "host_22"
    std::vector<std::string> drives;   // "disk1", "disk2", ... in numeric order
    std::vector<TraceWindow> windows;  // in time order
    // One line per row or file that was not used, "file:line: reason".
    std::vector<std::string> problems;
    uint64_t rows;     // data rows read (good, NA and bad)
    uint64_t naRows;   // rows with NA in throughput or latency
    uint64_t badRows;  // rows reported in `problems`
};

// Reads every *.csv of `dir` into `host` (replacing its contents). A bad row
// (wrong field count, a value that is neither a number >= 0 nor NA, a
// duplicate of a drive's slot) or a file without the expected header is
// skipped and reported in host->problems; it never stops the read. Returns 0,
// or -1 with `error` set when the directory cannot be listed, holds no CSV or
// no usable row (host->problems still says why).
[[nodiscard]] int TraceReadHost(const std::string &dir, TraceHost *host, std::string *error);

// Index of `drive` in host.drives, or -1.
int TraceDriveIndex(const TraceHost &host, const std::string &drive);

// Exact (fractional) counter increments of one interval of a valid sample.
struct TraceCounterStep {
    double readOps, writeOps;
    double bytesRead, bytesWritten;
    double readLatencyUs, writeLatencyUs;  // latency ticks at 1,000,000 per second
    double busyUs;                         // busy time, at most the interval
    double inFlight;                       // IOs in flight (a level, not a counter)
};

// The counter model for `intervalSeconds` of `sample`; all zero when the
// sample is invalid or ioSize is 0.
TraceCounterStep TraceModelStep(const TraceSample &sample, double intervalSeconds, uint32_t ioSize);

// Cumulative counters of one drive. The integer counters are the floors of
// exact running sums, so no fraction is lost between intervals and none can
// run backwards; `inFlight` is the latest step's level, rounded.
struct TraceCounters {
    uint64_t readOps, writeOps;
    uint64_t bytesRead, bytesWritten;
    uint64_t readLatencyUs, writeLatencyUs;
    uint64_t ioTimeUs;
    uint32_t inFlight;
    double exact[7];  // running sums behind the seven counters above
};

void TraceCountersAdd(TraceCounters *c, const TraceCounterStep &step);
