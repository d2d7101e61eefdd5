// Disk prefail routine (DRM feature 16): inspects each disk's health payload
// on its group's cycle and reports the disk prefail (DrmReportDiskPrefail)
// when the payload carries the disk's own failure prediction.
//
// Disks are sorted into five groups on their disk-in event (SATA SSD, SAS
// SSD, SAS KSSD, NVMe SSD, SAS/NL-SAS HDD); the analyser runs every 5 ticks
// and runs a group's routine over its members once per group cycle.
//
// Threads: the event handler (data manager's thread) only queues and
// triggers; group lists and counters are touched only on the feature's slot-0
// worker. The setters store single words and may be called from any thread.
// The per-disk group record is guarded by the feature-16 data lock.
#pragma once

#include <cstdint>

#include "ma/drm/feature/disk_prefail_routine/prefail_rules.h"


// What the start-up and the CLI hand over. Only start type 0 ("smart") exists.
struct DprCycleConfig {
    uint32_t startType;
    uint32_t diskType;  // DRM disk type 0..3
    uint32_t cycle;     // seconds
};
struct DprSwitch {
    uint32_t startType;
    uint8_t on;
};

// Start-up: event queue, masterHandler of feature 16, analyser (slot 0,
// period 5). 0, or -1 when the analyser cannot be registered.
[[nodiscard]] int DrmPrefailRoutineInit();
// Clears the event handler, drops every group member with its record and
// destroys the event queue.
int DrmPrefailRoutineFin();

// Stores the cycle of the type's group (SAS SSD also sets SAS KSSD). -1 for a
// null cfg, an unknown start type or DRM type, or a cycle of 0.
[[nodiscard]] int DrmDprSetCycleConfig(const DprCycleConfig *cfg);
// Stores the switch of the start type (nonzero -> 1). 0; -1 for a null sw or
// an unknown start type.
[[nodiscard]] int DrmDprSetSwitch(const DprSwitch *sw);
// The cycle (seconds) of a group for start type 0, or 0 for a group above 4.
uint32_t DrmDprGetCycle(uint32_t group);
uint8_t DrmDprGetSwitch();

// DRM type 0 -> group 0, 1 -> 1, 2 -> 3, 3 -> 4; others -1.
[[nodiscard]] int DrmTransDiskTypeToDprGroup(uint32_t drmType, uint32_t *group);

void DrmDiskPrefailDiskEventHandle(uint32_t diskId, uint32_t event);
// k = key | keyHigh << 16: 0 runs the group routines then the queued events;
// 64 only the events; other values nothing.
void DrmPrefailAnalyse(uint32_t keyHigh, uint32_t key);

// Group routines (one disk each): read the payload, report on a finding.
// 0, the reader's failure, or the report's result.
[[nodiscard]] int DrmSATAPrefailRoutineForStartType(uint32_t diskId);
[[nodiscard]] int DrmSASPrefailRoutineForStartType(uint32_t diskId);
[[nodiscard]] int DrmSASKSSDPrefailRoutineForStartType(uint32_t diskId);
[[nodiscard]] int DrmNvmePrefailRoutineForStartType(uint32_t diskId);
[[nodiscard]] int DrmSasHddPrefailRoutineForStartType(uint32_t diskId);
