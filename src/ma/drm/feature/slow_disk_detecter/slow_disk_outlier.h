// The peer-outlier mode of the slow-disk detector on plain records.
//
// The written rule (slow_disk_rules.h) looks for one saturated, collapsing
// disk. A fail-slow SSD is different: it keeps its normal load and runs
// 1.25-2.2x slower than its peers at a few hundred microseconds. This mode
// compares each disk's per-IO latency with its zone peers of comparable load,
// cycle after cycle, and declares the disks that stay outliers for a large
// part of a window.
//
// One cycle of one zone (SlowDiskOutlierCycle):
//  - comparable disks: a readable sample with latency, at least
//    SLOW_DISK_OUTLIER_MIN_IOPS, and IOPS within a factor
//    SLOW_DISK_OUTLIER_LOAD_BAND of the median IOPS of such disks;
//  - with at least SLOW_DISK_OUTLIER_MIN_PEERS comparable disks, the median
//    and MAD of their latency; a disk is an outlier when
//        latency >= R x median  and  latency - median >= Z x 1.4826 x MAD',
//    where MAD' = max(MAD, median / 20, 1 us);
//  - a zone-wide slowdown (more than half of the comparable disks with an
//    established baseline at R x their own baseline or above) marks no
//    outlier and declares nothing in that cycle;
//  - every member with a history records one cycle in its ring (cycles
//    without data, or without enough peers, record "not an outlier"), and is
//    declared when its outlier cycles in the last W reach P x W. A
//    declaration is latched: it is returned once, and again only after a
//    window without any outlier cycle.
//
// Defaults, chosen before any trace was replayed:
//  - R 1.5: the slow SSDs of published fail-slow studies run 1.25-2.2x their
//    peers; healthy SSDs of one model under one load stay within ~20% of
//    each other, so 1.5x is well clear of normal spread and inside the
//    failing range (a drive only 1.25x slower is left to fleet-wide tools).
//  - Z 3: three robust standard deviations, the usual outlier fence; it keeps
//    the ratio from firing in zones whose disks are spread widely anyway.
//  - P 0.5: an outlier in at least half the cycles, so bursts, garbage
//    collection and background work on one disk (minutes) do not declare.
//  - W one hour: the decision comes within the hour, long enough that P x W
//    (30 minutes) outlasts any maintenance episode of a healthy disk.
//
// Pure: no locks, no clock, no framework calls. The caller owns the records
// and serialises the calls on one zone (the detector under its feature-3 data
// lock; the offline evaluator on its own thread).
#pragma once

#include <cstdint>

struct DrmDiskIoStat;

inline constexpr uint32_t SLOW_DISK_OUTLIER_CYCLES_PER_MINUTE = 20;  // 3-second cycles
inline constexpr uint32_t SLOW_DISK_OUTLIER_WINDOW_MIN_MIN = 5;
// Four hours: a slowness that needs longer to show is the fleet-wide
// detectors' business; the ring then stays at 600 bytes per disk.
inline constexpr uint32_t SLOW_DISK_OUTLIER_WINDOW_MIN_MAX = 240;
inline constexpr uint32_t SLOW_DISK_OUTLIER_RING_CYCLES =
    SLOW_DISK_OUTLIER_WINDOW_MIN_MAX * SLOW_DISK_OUTLIER_CYCLES_PER_MINUTE;
inline constexpr uint32_t SLOW_DISK_OUTLIER_SCORE_NUM = 20;
// Below 10 IOPS a cycle holds under 30 completions and one flush or
// retried command sets the per-IO mean.
inline constexpr uint64_t SLOW_DISK_OUTLIER_MIN_IOPS = 10;
// Per-IO latency depends on load (queueing, power states of idle disks);
// only disks within 4x of the median load are compared. The band is wide
// enough to keep a slow disk whose slowness costs it some throughput.
inline constexpr uint64_t SLOW_DISK_OUTLIER_LOAD_BAND = 4;
// The median of three can be dragged by one disk; four is the least zone
// where one slow disk leaves a healthy majority around the median.
inline constexpr uint32_t SLOW_DISK_OUTLIER_MIN_PEERS = 4;

// Ranges of the configuration (integer units).
inline constexpr uint16_t SLOW_DISK_OUTLIER_RATIO_MIN = 110;  // percent of the median
inline constexpr uint16_t SLOW_DISK_OUTLIER_RATIO_MAX = 1000;
inline constexpr uint8_t SLOW_DISK_OUTLIER_Z_MIN = 10;  // tenths of a robust deviation
inline constexpr uint8_t SLOW_DISK_OUTLIER_Z_MAX = 100;
inline constexpr uint8_t SLOW_DISK_OUTLIER_FRACTION_MIN = 10;  // percent of the window
inline constexpr uint8_t SLOW_DISK_OUTLIER_FRACTION_MAX = 100;

// Per DRM type. Eight bytes so that the detector can load and store a row
// atomically while the CLI changes it.
struct SlowDiskOutlierConfig {
    uint8_t diskType;     // DRM type 0..3
    uint8_t on;           // 0 off (default), 1 on
    uint16_t ratioPct;    // R x 100: 110..1000, default 150
    uint8_t zTenths;      // Z x 10: 10..100, default 30
    uint8_t fractionPct;  // P x 100: 10..100, default 50
    uint8_t windowMin;    // W in minutes: 5..240, default 60
    uint8_t reserved;
};
static_assert(sizeof(SlowDiskOutlierConfig) == 8, "one outlier configuration row is 8 bytes");

SlowDiskOutlierConfig SlowDiskOutlierDefaultConfig(uint32_t drmType);
// Every field in range (on 0 or 1, diskType below 4).
bool SlowDiskOutlierConfigValid(const SlowDiskOutlierConfig &cfg);

// The row's settable fields as the configuration file and the CLI name them,
// with their ranges, in the order the CLI shows them.
enum SlowDiskOutlierField : uint32_t {
    SLOW_DISK_OUTLIER_FIELD_SWITCH = 0,    // "outlier_switch"
    SLOW_DISK_OUTLIER_FIELD_RATIO = 1,     // "outlier_ratio_percent"
    SLOW_DISK_OUTLIER_FIELD_Z = 2,         // "outlier_z_tenths"
    SLOW_DISK_OUTLIER_FIELD_FRACTION = 3,  // "outlier_fraction_percent"
    SLOW_DISK_OUTLIER_FIELD_WINDOW = 4,    // "outlier_window_minutes"
    SLOW_DISK_OUTLIER_FIELD_NUM = 5,
};
struct SlowDiskOutlierFieldInfo {
    const char *key;
    uint32_t min, max;
};
extern const SlowDiskOutlierFieldInfo g_slowDiskOutlierFields[SLOW_DISK_OUTLIER_FIELD_NUM];
// A field of a row; the setter takes a value inside the field's range (the
// caller checks it) and stores nothing for a field of 5 or more.
uint32_t SlowDiskOutlierFieldGet(const SlowDiskOutlierConfig &cfg, uint32_t field);
void SlowDiskOutlierFieldSet(SlowDiskOutlierConfig *cfg, uint32_t field, uint32_t value);

// One disk's input of one cycle.
struct SlowDiskOutlierSample {
    uint64_t iops;       // reads + writes per second
    uint32_t latencyUs;  // ops-weighted per-IO latency; 0 = none measured
    uint32_t valid;      // 0: the statistics could not be read
};

// The input of a statistics read: IOPS = reads + writes, latency = the mean
// of the read and write delays weighted by their IOPS (the time an IO waits,
// not the disk's busy time per IO, which hides slowness at low queue depth).
// The daemon and the offline evaluator both map through this function.
SlowDiskOutlierSample SlowDiskOutlierSampleOf(const DrmDiskIoStat &io);

// One cycle's score of one disk, kept for the diagnose group.
inline constexpr uint8_t SLOW_DISK_OUTLIER_SCORE_OUTLIER = 1;    // counted as an outlier
inline constexpr uint8_t SLOW_DISK_OUTLIER_SCORE_SELF_SLOW = 2;  // at R x its own baseline
inline constexpr uint8_t SLOW_DISK_OUTLIER_SCORE_ZONE_WIDE = 4;  // the cycle was zone-wide
struct SlowDiskOutlierScore {
    uint32_t latencyUs;
    uint32_t medianUs;  // the zone median, rounded down
    uint16_t ratioPct;  // latency / median x 100, saturating
    int16_t zTenths;    // (latency - median) / (1.4826 MAD') x 10, saturating
    uint8_t flags;
    uint8_t reserved[3];
};
static_assert(sizeof(SlowDiskOutlierScore) == 16, "a score is 16 bytes");

// Per disk. All zero is an empty history (a fresh zeroed block is ready).
struct SlowDiskOutlierHistory {
    uint64_t bits[SLOW_DISK_OUTLIER_RING_CYCLES / 64];  // one bit per cycle: outlier
    uint32_t next;           // ring slot of the next cycle
    uint32_t filled;         // cycles recorded, at most the ring size
    uint32_t outliers;       // outlier cycles among the last `countedWindow`
    uint32_t countedWindow;  // window (cycles) `outliers` was counted over
    uint64_t baselineFx;     // own latency baseline, us x 256
    uint32_t baselineSamples;
    uint8_t reported;        // the declaration was returned and not yet cleared
    uint8_t scoreNext;       // slot of the next score
    uint8_t scoreCount;      // scores held, at most SLOW_DISK_OUTLIER_SCORE_NUM
    uint8_t reserved;
    SlowDiskOutlierScore scores[SLOW_DISK_OUTLIER_SCORE_NUM];
};
static_assert(SLOW_DISK_OUTLIER_RING_CYCLES % 64 == 0, "the ring is whole words");
static_assert(sizeof(SlowDiskOutlierHistory) <= 1024, "a history stays under 1 KiB");

// One zone member in a cycle: `history` null = skipped entirely. `declared`
// is an output: true when this cycle declares the disk (once per episode).
struct SlowDiskOutlierMember {
    uint32_t diskId;
    SlowDiskOutlierHistory *history;
    SlowDiskOutlierSample sample;
    bool declared;
};

struct SlowDiskOutlierZoneResult {
    uint32_t comparable;  // disks compared this cycle
    uint32_t medianUs;    // their median latency (0 below the peer minimum)
    uint32_t madUs;       // their MAD, before the floor
    uint32_t selfSlow;    // comparable disks at R x their own baseline
    bool zoneWide;        // the cycle was a zone-wide slowdown
    uint32_t outliers;    // disks counted as outliers this cycle
    uint32_t declared;    // disks declared this cycle
};

// Runs one cycle over members[0..n) (n at most 128) with the zone's row.
SlowDiskOutlierZoneResult SlowDiskOutlierCycle(SlowDiskOutlierMember *members, uint32_t n,
                                               const SlowDiskOutlierConfig &cfg);

// The window of a row in cycles, and the outlier cycles it needs to declare.
uint32_t SlowDiskOutlierWindowCycles(const SlowDiskOutlierConfig &cfg);
uint32_t SlowDiskOutlierNeededCycles(const SlowDiskOutlierConfig &cfg);

// The newest scores of a history, oldest first; returns how many were written (at most
// `capacity`).
uint32_t SlowDiskOutlierRecentScores(const SlowDiskOutlierHistory &h, SlowDiskOutlierScore *out,
                                     uint32_t capacity);
