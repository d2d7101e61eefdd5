// The simulated fleet: disks with a load model from which cumulative IO
// counters grow against the fleet clock, a health payload, and timed events
// that change both (a disk turns slow, wears, fails a SMART attribute, raises
// NVMe warning bits or a SCSI sense code, is pulled and re-inserted, has its
// counters reset).
//
// Counters are integrals of the load over simulated time, split at event
// times, so the same sequence of clock readings always gives the same answers.
//
// Thread safety: none; FleetSource serialises all access.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disk_model.h"

// Steady IO load of one disk.
struct LoadModel {
    double readIops = 0;
    double writeIops = 0;
    double readKibS = 0;  // read bandwidth, KiB per second
    double writeKibS = 0;
    double readLatencyUs = 0;  // per operation
    double writeLatencyUs = 0;
    double util = 0;  // percent of time busy, 0..100
    uint32_t busy = 0;
    uint32_t queueDepth = 32;
};

enum class FleetEventKind : uint8_t {
    kSlow = 0,
    kRecover,
    kWear,
    kSmartFail,
    kNvmeWarning,
    kSense,
    kCapacitance,
    kPull,
    kInsert,
    kResetCounters,
    kCount,
};

// Name used in fleet files ("slow", "recover", ...).
const char *FleetEventKindName(FleetEventKind kind);

struct FleetEvent {
    double at = 0;    // simulated seconds
    size_t disk = 0;  // index into Fleet::disks
    FleetEventKind kind = FleetEventKind::kSlow;
    // kSlow: factors applied to the disk's own load; util and busy replace it.
    double iopsFactor = 0.1;
    double bandwidthFactor = 0.1;
    double latencyFactor = 10.0;
    double util = 97.0;
    uint32_t busy = 40;
    // kWear: growth per simulated second (hundredths of a percent), cap.
    double wearPerSecond = 0;
    uint32_t wearUntil = 10000;
    // kSmartFail: attribute id; kNvmeWarning: bits; kSense: asc/ascq;
    // kCapacitance: id/status.
    uint32_t value1 = 0;
    uint32_t value2 = 0;
};

struct FleetDisk {
    DiskIdentity id;
    DiskHealth health;
    LoadModel baseLoad;
    LoadModel load;
    // bytes read/written, read/write ops, read/write latency ticks, io time us
    std::array<double, 7> counters{};
    double powerOnHours = 0;
    double wear = 0;
    double wearPerSecond = 0;
    double wearUntil = 10000;
    bool present = true;
};

struct Fleet {
    std::vector<FleetDisk> disks;
    std::vector<FleetEvent> events;  // sorted by time (stable)
    size_t nextEvent = 0;
    double now = 0;  // simulated seconds reached so far
    uint64_t tickRate = 1000;
    uint64_t tickBase = 1000000;  // ticks at simulated time 0
};

// Most disks one role may list (the daemon refuses longer device lists).
inline constexpr size_t kFleetMaxDisksPerRole = 64;

// Prepares a parsed fleet: copies base loads and health into the running
// state and sorts the events.
void FleetReset(Fleet *fleet);
// Runs the fleet forward to simulated time t (earlier times change nothing),
// applying every event with at <= t in time order.
void FleetAdvanceTo(Fleet *fleet, double t);
// Clock ticks of the current fleet time.
uint64_t FleetTicks(const Fleet &fleet);
// The disk as the answer builders see it.
DiskView FleetDiskView(const Fleet &fleet, const FleetDisk &disk);
