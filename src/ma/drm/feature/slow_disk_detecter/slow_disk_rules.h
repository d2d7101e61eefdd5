// The slow-disk rules on plain records: the per-disk 100-cycle history, the
// per-type configuration, the candidate/suspect rule of one cycle and the
// check over the whole ring. No locks, no framework calls: the detector
// (slow_disk_detect.h) feeds them under its feature-3 data lock.
#pragma once

#include <cstdint>

inline constexpr uint32_t SLOW_DISK_CYCLE_NUM = 100;
inline constexpr uint32_t SLOW_DISK_DRM_TYPE_NUM = 4;
inline constexpr uint32_t SLOW_DISK_MIN_SLOW_CYCLE_LOW = 10;
inline constexpr uint32_t SLOW_DISK_MIN_SLOW_CYCLE_HIGH = 100;
inline constexpr uint32_t SLOW_DISK_PEER_MAX_SLOW = 4;  // a peer above this blocks the report
inline constexpr uint32_t SLOW_DISK_BUSY_MIN = 30;
inline constexpr uint32_t SLOW_DISK_UTIL_MIN = 90;
inline constexpr uint64_t SLOW_DISK_SVCTM_FACTOR = 5;

// Per DRM type: minThreshold in milliseconds of service time, minSlowCycle in
// cycles out of the last 100.
struct SlowDiskConfig {
    uint32_t diskType;
    // Two bytes, not one: the operator may set up to 500 ms for SAS HDDs, and
    // a one-byte field would wrap 300 round to 44.
    uint16_t minThreshold;
    uint8_t minSlowCycle;
};
static_assert(sizeof(SlowDiskConfig) == 8, "one configuration row is 8 bytes");

// One cycle's sample of one disk.
struct SlowDiskSample {
    uint64_t iops;       // readIops + writeIops
    uint64_t bandwidth;  // readIoBand + writeIoBand, KiB/s
    uint32_t svctm;      // microseconds per operation
    uint16_t util;       // percent
    uint16_t busyNum;    // IOs in flight
};
static_assert(sizeof(SlowDiskSample) == 24, "a sample is 24 bytes");

struct SlowDiskIoHistory {
    uint8_t validBits[16];  // bit i: cycle i holds a sample
    uint8_t slowBits[16];   // bit i: the disk was the suspect of cycle i
    SlowDiskSample samples[SLOW_DISK_CYCLE_NUM];
};
static_assert(sizeof(SlowDiskIoHistory) == 2432, "a history is 2432 bytes");

bool SlowDiskBitGet(const uint8_t bits[16], uint32_t cycle);
void SlowDiskBitSet(uint8_t bits[16], uint32_t cycle, bool on);
// Set slow bits over all 100 cycles.
uint32_t SlowDiskSlowCount(const SlowDiskIoHistory *h);

// The raw figures of one IO statistics read (the DrmDiskIoStat fields used).
struct SlowDiskIoFigures {
    uint64_t readIops, writeIops, readIoBand, writeIoBand;
    uint32_t ioBusyNum, avgServeTime, utilization;
};
// Stores a read's sample in `cycle` (valid) or, with null `io`, zeroes it and
// clears its valid bit; the slow bit of the cycle is cleared either way.
void SlowDiskRecordSample(SlowDiskIoHistory *h, uint32_t cycle, const SlowDiskIoFigures *io);

// One zone member as a cycle sees it: null history = could not be read.
struct SlowDiskMemberView {
    uint32_t diskId;
    SlowDiskIoHistory *history;
};

// Outcome of the suspect search of one cycle.
struct SlowDiskSuspectResult {
    uint32_t candidateCount;
    bool found;        // a suspect got the slow bit of this cycle
    uint32_t diskId;   // the suspect when found
    uint32_t index;    // its index in the member array when found
};

// The candidate/suspect rule of `cycle` over members[0..n) in list order; sets
// the suspect's slow bit. `bwLimitMiB` is the type's bandwidth limit in MiB/s.
SlowDiskSuspectResult SlowDiskFindSuspect(const SlowDiskMemberView *members, uint32_t n,
                                          uint32_t cycle, const SlowDiskConfig &cfg,
                                          uint32_t bwLimitMiB);
// True when members[suspect] holds at least cfg.minSlowCycle slow cycles and
// every other readable member at most 4.
bool SlowDiskCheck(const SlowDiskMemberView *members, uint32_t n, uint32_t suspect,
                   const SlowDiskConfig &cfg);

// Defaults and the fixed bandwidth limit (MiB/s) of a DRM type (< 4).
SlowDiskConfig SlowDiskDefaultConfig(uint32_t drmType);
uint32_t SlowDiskBandwidthLimit(uint32_t drmType);
// The range rule of DrmSlowDiskDetectSetConfig.
bool SlowDiskConfigValid(const SlowDiskConfig &cfg);
