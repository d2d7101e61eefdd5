#include "fleet_source.h"

FleetSource::FleetSource(Fleet fleet, double timeScale, SimClock::MonotonicFn monotonic)
    : fleet_(std::move(fleet)), clock_(timeScale, monotonic)
{
}

SourceSnapshot FleetSource::Snapshot(uint8_t roleMask)
{
    std::lock_guard<std::mutex> lock(mutex_);
    FleetAdvanceTo(&fleet_, clock_.Now());
    SourceSnapshot snap;
    snap.ticks = FleetTicks(fleet_);
    snap.tickRate = fleet_.tickRate;
    for (const FleetDisk &disk : fleet_.disks) {
        if (disk.present && (disk.id.roles & roleMask) != 0) {
            snap.disks.push_back(FleetDiskView(fleet_, disk));
        }
    }
    return snap;
}

bool FleetSource::AdvanceTime(double seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    clock_.Advance(seconds);
    FleetAdvanceTo(&fleet_, clock_.Now());
    return true;
}

double FleetSource::Now()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_.Now();
}
