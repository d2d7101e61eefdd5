#include "fleet_model.h"

#include <algorithm>
#include <cmath>

namespace {

enum CounterIndex : size_t {
    kBytesRead = 0,
    kBytesWritten,
    kReadOps,
    kWriteOps,
    kReadLatency,
    kWriteLatency,
    kIoTime,
    kCounterCount,
};
static_assert(kCounterCount == std::tuple_size_v<decltype(FleetDisk::counters)>);

using EventApplyFn = void (*)(FleetDisk *disk, const FleetEvent &event);

void ApplySlow(FleetDisk *disk, const FleetEvent &event)
{
    LoadModel load = disk->baseLoad;
    load.readIops *= event.iopsFactor;
    load.writeIops *= event.iopsFactor;
    load.readKibS *= event.bandwidthFactor;
    load.writeKibS *= event.bandwidthFactor;
    load.readLatencyUs *= event.latencyFactor;
    load.writeLatencyUs *= event.latencyFactor;
    load.util = event.util;
    load.busy = event.busy;
    disk->load = load;
}

void ApplyRecover(FleetDisk *disk, const FleetEvent &) { disk->load = disk->baseLoad; }

void ApplyWear(FleetDisk *disk, const FleetEvent &event)
{
    disk->wearPerSecond = event.wearPerSecond;
    disk->wearUntil = event.wearUntil;
}

void ApplySmartFail(FleetDisk *disk, const FleetEvent &event)
{
    for (SmartAttr &attr : disk->health.smart) {
        if (attr.id == event.value1) {
            attr.current = attr.threshold;
            attr.worst = attr.threshold;
            return;
        }
    }
}

void ApplyNvmeWarning(FleetDisk *disk, const FleetEvent &event)
{
    disk->health.criticalWarning = static_cast<uint8_t>(disk->health.criticalWarning | event.value1);
}

void ApplySense(FleetDisk *disk, const FleetEvent &event)
{
    disk->health.asc = static_cast<uint8_t>(event.value1);
    disk->health.ascq = static_cast<uint8_t>(event.value2);
}

void ApplyCapacitance(FleetDisk *disk, const FleetEvent &event)
{
    disk->health.capacitanceId = static_cast<uint8_t>(event.value1);
    disk->health.capacitanceStatus = static_cast<uint8_t>(event.value2);
}

void ApplyPull(FleetDisk *disk, const FleetEvent &) { disk->present = false; }

void ApplyInsert(FleetDisk *disk, const FleetEvent &) { disk->present = true; }

void ApplyResetCounters(FleetDisk *disk, const FleetEvent &) { disk->counters.fill(0.0); }

struct EventRow {
    const char *name;
    EventApplyFn apply;
};

constexpr EventRow kEventRows[] = {
    {"slow", ApplySlow},
    {"recover", ApplyRecover},
    {"wear", ApplyWear},
    {"smart_fail", ApplySmartFail},
    {"nvme_warning", ApplyNvmeWarning},
    {"sense", ApplySense},
    {"capacitance", ApplyCapacitance},
    {"pull", ApplyPull},
    {"insert", ApplyInsert},
    {"reset_counters", ApplyResetCounters},
};
static_assert(sizeof(kEventRows) / sizeof(kEventRows[0]) ==
              static_cast<size_t>(FleetEventKind::kCount));

void GrowDisk(FleetDisk *disk, double dt, double tickRate)
{
    if (!disk->present) {
        return;
    }
    const LoadModel &load = disk->load;
    disk->counters[kBytesRead] += load.readKibS * 1024.0 * dt;
    disk->counters[kBytesWritten] += load.writeKibS * 1024.0 * dt;
    disk->counters[kReadOps] += load.readIops * dt;
    disk->counters[kWriteOps] += load.writeIops * dt;
    disk->counters[kReadLatency] += load.readIops * dt * load.readLatencyUs * tickRate / 1e6;
    disk->counters[kWriteLatency] += load.writeIops * dt * load.writeLatencyUs * tickRate / 1e6;
    disk->counters[kIoTime] += std::clamp(load.util, 0.0, 100.0) / 100.0 * 1e6 * dt;
    disk->powerOnHours += dt / 3600.0;
    if (disk->wearPerSecond > 0.0 && disk->wear < disk->wearUntil) {
        disk->wear = std::min(disk->wearUntil, disk->wear + disk->wearPerSecond * dt);
    }
}

void IntegrateTo(Fleet *fleet, double t)
{
    double dt = t - fleet->now;
    if (dt <= 0.0) {
        return;
    }
    for (FleetDisk &disk : fleet->disks) {
        GrowDisk(&disk, dt, static_cast<double>(fleet->tickRate));
    }
    fleet->now = t;
}

uint64_t Floor64(double value)
{
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= 18446744073709549568.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(std::floor(value));
}

}  // namespace

const char *FleetEventKindName(FleetEventKind kind)
{
    size_t index = static_cast<size_t>(kind);
    return index < static_cast<size_t>(FleetEventKind::kCount) ? kEventRows[index].name : "?";
}

void FleetReset(Fleet *fleet)
{
    for (FleetDisk &disk : fleet->disks) {
        disk.load = disk.baseLoad;
        disk.counters.fill(0.0);
        disk.powerOnHours = disk.health.powerOnHours;
        disk.wear = disk.health.wear;
        disk.wearPerSecond = 0;
        disk.present = true;
    }
    std::stable_sort(fleet->events.begin(), fleet->events.end(),
                     [](const FleetEvent &a, const FleetEvent &b) { return a.at < b.at; });
    fleet->nextEvent = 0;
    fleet->now = 0;
}

void FleetAdvanceTo(Fleet *fleet, double t)
{
    while (fleet->nextEvent < fleet->events.size() && fleet->events[fleet->nextEvent].at <= t) {
        const FleetEvent &event = fleet->events[fleet->nextEvent];
        IntegrateTo(fleet, event.at);
        if (event.disk < fleet->disks.size()) {
            kEventRows[static_cast<size_t>(event.kind)].apply(&fleet->disks[event.disk], event);
        }
        ++fleet->nextEvent;
    }
    IntegrateTo(fleet, t);
}

uint64_t FleetTicks(const Fleet &fleet)
{
    return fleet.tickBase + Floor64(fleet.now * static_cast<double>(fleet.tickRate));
}

DiskView FleetDiskView(const Fleet &, const FleetDisk &disk)
{
    DiskView view;
    view.id = disk.id;
    view.health = disk.health;
    view.health.powerOnHours = static_cast<uint32_t>(std::min(Floor64(disk.powerOnHours),
                                                              static_cast<uint64_t>(UINT32_MAX)));
    view.health.wear = static_cast<uint32_t>(Floor64(disk.wear));
    view.io.bytesRead = Floor64(disk.counters[kBytesRead]);
    view.io.bytesWritten = Floor64(disk.counters[kBytesWritten]);
    view.io.readOps = Floor64(disk.counters[kReadOps]);
    view.io.writeOps = Floor64(disk.counters[kWriteOps]);
    view.io.readLatencyTicks = Floor64(disk.counters[kReadLatency]);
    view.io.writeLatencyTicks = Floor64(disk.counters[kWriteLatency]);
    view.io.ioTimeUs = Floor64(disk.counters[kIoTime]);
    view.io.queueDepth = disk.load.queueDepth;
    view.io.busy = disk.load.busy;
    return view;
}
