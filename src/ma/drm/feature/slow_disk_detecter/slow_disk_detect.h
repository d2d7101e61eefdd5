// Slow disk detector (DRM feature 3): finds the one disk of a zone that is
// markedly slower than its peers of the same DRM disk type.
//
// Every detection run samples each zone member's IO statistics into a
// 100-cycle ring (its SlowDiskIoHistory, kept as the disk's feature-3 data in
// the DRM local data manager). A cycle marks the zone's slowest disk when
// exactly one member is busy, highly utilised, slow and moving little data and
// the slowest disk's service time is at least five times the others' average.
// A disk holding at least minSlowCycle marks while no peer holds more than 4
// is reported through DrmReportSlowDisk.
//
// Beside that rule, per DRM type and off by default, the peer-outlier mode
// (slow_disk_outlier.h) compares each disk's per-IO latency with its peers of
// comparable load every run and reports, through the same DrmReportSlowDisk,
// the disks that stay outliers for a fraction of its window. Both run only
// while the feature switch is on; the written rule is unchanged by the mode.
//
// Threads: the disk-event handler runs on the data manager's thread and only
// queues the event and triggers the analyser; zone membership changes and
// detection both run on the feature's slot-1 DRM worker. The setters are
// single stores and may be called from any thread (start-up, the CLI).
// Zone spinlocks guard membership; the feature-3 data lock guards histories.
#pragma once

#include <cstdint>

#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_rules.h"

inline constexpr uint32_t DRM_SLOW_DISK_ZONE_NUM = 4;  // one per DRM disk type

// One zone: every DRM disk of one DRM disk type.
struct SlowDiskZone;

// The feature-3 data of one disk. The written rule's history comes first, so
// a reader of that history may take the data pointer as a SlowDiskIoHistory.
struct SlowDiskDiskData {
    SlowDiskIoHistory io;
    SlowDiskOutlierHistory outlier;  // zeroed whenever a zone's mode is switched on
};

// Start-up (feature initialisers): event queue, zones, disk-event handler,
// analyser (slot 1, period 3) and the "u_drm_slow_disk" diagnose commands.
// 0, or -1 when the analyser cannot be registered.
[[nodiscard]] int DrmClassicalSlowDiskDetectV2Init();
// Unregisters the diagnose commands and the event handler, drops every zone
// member with its history and destroys the event queue.
int DrmClassicalSlowDiskDetectV2Fin();

// Stores the row of cfg->diskType. -1 (nothing changes) for a null cfg, a
// DRM type of 4 or more, a minThreshold of 0 or a minSlowCycle outside 10..100.
[[nodiscard]] int DrmSlowDiskDetectSetConfig(const SlowDiskConfig *cfg);
// Stores the peer-outlier row of cfg->diskType. -1 (nothing changes) for a
// null cfg or a row SlowDiskOutlierConfigValid refuses.
[[nodiscard]] int DrmSlowDiskOutlierSetConfig(const SlowDiskOutlierConfig *cfg);
// Copies the row of a DRM type into *out. 0, or -1 above type 3 or a null out.
[[nodiscard]] int DrmSlowDiskOutlierGetConfig(uint32_t drmType, SlowDiskOutlierConfig *out);

// Detection runs only while the switch is nonzero. Always 0.
[[nodiscard]] int DrmSlowDiskDetectSetSwitch(uint8_t on);
uint8_t DrmSlowDiskDetectGetSwitch();
// The row or zone of a DRM type, or null above 3. The row is a snapshot the
// caller must not keep across a SetConfig.
const SlowDiskConfig *DrmSlowDiskDetectGetConfig(uint32_t drmType);
SlowDiskZone *DrmSlowDiskDetectGetZone(uint32_t drmType);

// Disk ids of a zone in list order (under its spinlock); returns how many were
// written (at most `capacity`), or -1 for a DRM type above 3.
int DrmSlowDiskDetectZoneMembers(uint32_t drmType, uint32_t *ids, uint32_t capacity);

// The feature-3 disk-event handler (data manager's thread): queue + trigger.
void DrmSlowDiskDetectorDiskEventHandle(uint32_t diskId, uint32_t event);
// The analyser: key 0 runs a detection cycle over zones 0..3 (switch on) and
// then the queued disk events; key 64 only the events; other keys nothing.
void DrmSlowDiskDetectAnalyse(uint32_t key);
