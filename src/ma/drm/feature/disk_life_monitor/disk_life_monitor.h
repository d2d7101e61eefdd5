// Disk life monitor (DRM feature 15): predicts the remaining life of SAS and
// NVMe SSDs from power-on hours and wear, and writes it through
// DrmSetLifeMonitorResult (health score, remaining life, Fault/Prefail).
//
// Each monitored disk is evaluated at the first analyser run after its
// disk-in (retried at every run until a read and write succeed) and then once
// per schedule time.
//
// Threads: the event handler (data manager's thread) only queues and
// triggers; the member list and run counter are touched only on the feature's
// slot-0 worker. The schedule time is a single word any thread may store.
#pragma once

#include <cstdint>

inline constexpr uint32_t DRM_LIFE_DEFAULT_SCHEDULE_S = 86400;
inline constexpr uint64_t DRM_LIFE_MAX_REMAINING_H = 43800;  // five years of 8760 hours
inline constexpr uint32_t DRM_LIFE_OPCODE_A = 0x20f0001;
inline constexpr uint32_t DRM_LIFE_OPCODE_B = 0x20f0101;

// Start-up: event queue, masterHandler of feature 15, analyser (slot 0,
// period 5), the two action handlers. 0 or -1.
[[nodiscard]] int DrmDiskLifeMonitorInit();
// Clears the event handler, drops the member list, destroys the event queue.
int DrmDiskLifeMonitorFin();

// Takes effect at the next run; the run counter is kept.
void DrmDiskLifeMonitorSetScheduleTime(uint32_t seconds);
uint32_t DrmDiskLifeMonitorGetScheduleTime();

void DrmDiskLifeMonitorDiskEventHandle(uint32_t diskId, uint32_t event);
// k = key | keyHigh << 16: 0 runs an evaluation then the queued events; 64
// only the events; other values nothing.
void DrmDiskLifeMonitorAnalyse(uint32_t keyHigh, uint32_t key);

// Remaining life in hours from power-on hours and wear (wearInt.wearDec %),
// capped at 43800.
uint64_t DrmDiskLifeRemainingHours(uint64_t powerOnHours, uint32_t wearInt, uint32_t wearDec);
