// Where the agent's disks come from: the simulated fleet or the host's block
// devices. The method handlers only see this interface.
//
// Thread safety: every implementation is safe to call from all connection
// threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk_model.h"

// A consistent picture of the disks at one instant.
struct SourceSnapshot {
    std::vector<DiskView> disks;  // in listing order
    uint64_t ticks = 0;           // clock ticks of the instant
    uint64_t tickRate = 1000;     // ticks per second
};

class DiskSource {
  public:
    virtual ~DiskSource() = default;
    // The disks present now whose roles intersect roleMask.
    virtual SourceSnapshot Snapshot(uint8_t roleMask) = 0;
    // Moves simulated time forward; false when the source follows real time
    // only (host mode).
    [[nodiscard]] virtual bool AdvanceTime(double seconds) = 0;
    // Simulated seconds since start (host mode: seconds since start).
    virtual double Now() = 0;
};
