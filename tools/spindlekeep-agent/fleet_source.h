// The simulated fleet as a disk source: every snapshot first runs the fleet up
// to the fleet clock's present, so counters grow and timed events fire against
// real (scaled) time, or against time advanced by hand.
#pragma once

#include <mutex>

#include "disk_source.h"
#include "fleet_model.h"
#include "sim_clock.h"

class FleetSource : public DiskSource {
  public:
    // Takes over a parsed fleet. timeScale: simulated seconds per real second.
    FleetSource(Fleet fleet, double timeScale, SimClock::MonotonicFn monotonic = nullptr);

    SourceSnapshot Snapshot(uint8_t roleMask) override;
    [[nodiscard]] bool AdvanceTime(double seconds) override;
    double Now() override;

  private:
    std::mutex mutex_;
    Fleet fleet_;
    SimClock clock_;
};
