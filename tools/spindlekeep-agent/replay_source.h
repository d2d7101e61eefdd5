// Trace replay: the drives of one host directory of fail-slow traces (day
// CSVs of 15-second throughput/latency samples, read by failslow_trace) served
// as disks of one type, healthy, with cumulative IO counters that the shared
// counter model derives from the samples, so the daemon's IO statistics see
// the trace's rates.
//
// The replay clock runs at --time-scale replay seconds per real second and
// can be pushed by hand. Replay time 0 is the first sample of the first
// window; the windows follow each other in time order, each 15-second slot
// served at its own rates (an NA slot moves no counter), and the 21 hours
// between two windows are cut to kReplayIdleSeconds during which every drive
// is idle. After the last window every drive stays idle. Ticks run at
// 1,000,000 per second (latency ticks are microseconds) from the first
// sample's Unix time, so within the first window they are the trace's own
// clock and later windows follow it with the gaps cut.
//
// Thread safety: ReplaySource is safe to call from all connection threads.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "disk_source.h"
#include "failslow_trace.h"
#include "sim_clock.h"

// The gap between two windows as the daemon sees it: idle drives for five
// minutes of replay time, enough for every IO statistic of the gap to be
// zero and to tell windows apart, short enough to replay a host's fourteen
// windows back to back.
inline constexpr double kReplayIdleSeconds = 300.0;
inline constexpr uint64_t kReplayTickRate = 1000000;
inline constexpr uint32_t kReplayMaxIoSize = 16u << 20;

struct ReplayOptions {
    std::string dir;
    uint32_t ioSize = kTraceDefaultIoSize;
    DiskType type = DiskType::kNvmeSsd;
};

// False for the types the daemon does not take from an agent's whitelist
// (SATA and NL-SAS HDDs): replayed disks of those would never be analysed.
[[nodiscard]] bool ReplayTypeServed(DiskType type);

// Reads options.dir into host. Every row and file must be good: a bad one, an
// empty directory, more drives than a role may list or a host name that makes
// a serial number too long for the daemon is refused. Returns 0, or -1 with
// a one-line reason.
[[nodiscard]] int ReplayLoadHost(const ReplayOptions &options, TraceHost *host, std::string *error);

// The identity and health of drive `index` of a host: serial number
// "<host>-<drive>" (stable across runs), device name by position, and the
// vendor and model of a whitelisted disk of the type.
DiskView ReplayDiskView(const std::string &hostName, const std::string &drive, size_t index,
                        DiskType type);

class ReplaySource : public DiskSource {
  public:
    // Takes over a host read by ReplayLoadHost. timeScale: replay seconds per
    // real second (0 stops the clock; AdvanceTime moves it).
    ReplaySource(TraceHost host, const ReplayOptions &options, double timeScale,
                 SimClock::MonotonicFn monotonic = nullptr);

    SourceSnapshot Snapshot(uint8_t roleMask) override;
    [[nodiscard]] bool AdvanceTime(double seconds) override;
    double Now() override;

  private:
    // Runs every drive's counters up to replay time t; caller holds mutex_.
    void AdvanceTo(double t);
    // Adds the rates of one slot of the current window over dt seconds.
    void AddSlot(uint32_t slot, double dt);

    std::mutex mutex_;
    TraceHost host_;
    uint32_t ioSize_;
    SimClock clock_;
    std::vector<DiskView> views_;
    std::vector<TraceCounters> counters_;
    std::vector<double> windowStart_;  // one per window, plus the end
    size_t window_ = 0;                // window holding now_, or its gap
    double now_ = 0.0;
    uint64_t tickBase_ = 0;
};
