// DRM task scheduler: analyser registration, the one-second tick, per-key
// coalesced triggers and the drain workers.
//
// A feature registers up to two analysers. Slot 0 runs on ticks period0,
// 2*period0, ...; slot 1 on ticks 1, 1+period1, .... A trigger carries a
// 32-bit key: pending triggers of one queue (feature, slot) are coalesced per
// key, and at most one worker drains a queue at a time. Workers are detached
// threads started through DrmAsyncThreadCtxRun (drm_platform.h); an analyser
// runs on such a worker, never on the caller's thread.
//
// Threads: registration happens at start-up before triggers flow (not
// locked). Triggers may come from any thread (the tick runs on the host timer
// thread, disk events on data-manager threads). Analysers of different
// features, or of the two slots of one feature, may run at the same time; an
// analyser that touches shared feature data takes that feature's lock
// (drm_local_data.h).
#pragma once

#include <cstdint>

#include "ma/drm/framework/utils/drm_defs.h"

using DrmAnalyser1 = void (*)(uint32_t key);
// keyHigh is key >> 16.
using DrmAnalyser0 = void (*)(uint32_t keyHigh, uint32_t key);
using DrmPreprocessor = void (*)(uint32_t phase);
using DrmDemotingChecker = bool (*)();

enum DrmScheduleMode : uint32_t {
    DRM_SCHED_MODE_SEPERATE = 0,  // each feature drains its own queues
    DRM_SCHED_MODE_DEFINED = 1,   // defined but has no routines: registration fails
    DRM_SCHED_MODE_UNSET = 3,
};

inline constexpr uint32_t DRM_FEATURE_ID_FREE = 0xFFFFFFFFu;
// Period of an unused slot.
inline constexpr uint32_t DRM_PERIOD_NONE = 0xFFFFFFFFu;
inline constexpr uint32_t DRM_SCHED_QUEUE_NUM = 2;
inline constexpr uint32_t DRM_SCHED_TICK_MS = 1000;

struct DrmAnalyserEntry {
    uint32_t featureId;  // DRM_FEATURE_ID_FREE while unregistered
    uint32_t scheduleMode;
    uint32_t period1;
    uint32_t period0;
    DrmAnalyser1 analyser1;
    DrmAnalyser0 analyser0;
};

// Registers a feature's analysers (either may be null). A slot already filled
// keeps its first registration; a mode differing from the first one fails.
// 0 / -1 (feature id of 32 or more, mode without routines, mode mismatch).
[[nodiscard]] int DrmRegisterAnalyser(uint32_t featureId, DrmAnalyser1 analyser1, uint32_t period1,
                                      DrmAnalyser0 analyser0, uint32_t period0,
                                      uint32_t scheduleMode);

// Queues `key` for analyser slot 0 / 1 of the feature and makes sure a worker
// drains the queue. 0 when queued or coalesced; -1 for an unregistered
// feature, a feature id of 32 or more, or no memory for the node.
[[nodiscard]] int DrmTriggerAnalyser0(uint32_t featureId, uint32_t key);
[[nodiscard]] int DrmTriggerAnalyser1(uint32_t featureId, uint32_t key);
[[nodiscard]] int triggerSchedAnalysis(uint32_t featureId, uint32_t queueIndex, uint32_t key);

// Optional per-feature hooks (features registered in mode 0 only). 0 / -1.
[[nodiscard]] int DrmRegisterPreprocessor(uint32_t featureId, DrmPreprocessor fn);
[[nodiscard]] int DrmRegisterDemotingChecker(uint32_t featureId, DrmDemotingChecker fn);
void DrmNotifyPreprocessors(uint32_t phase);
bool DrmAllowDemoting();

// Module init (resets the registry, creates the 1000 ms "DrmTaskScheduler"
// timer) and fini (destroys every DRM timer). 0 / -1; fini always 0.
[[nodiscard]] int DrmTaskSchedulerInit();
int DrmTaskSchedulerFin();

// ---- internals, exposed for the framework's tests and benchmarks ----------

// The tick: expiry function of the scheduler timer.
void DrmTaskSchedulerTimerHandler(void *data);
// Ticks seen since start.
uint64_t DrmTaskSchedulerTickCount();
[[nodiscard]] int DrmRegisterSeperateSchedTask(const DrmAnalyserEntry *entry);
[[nodiscard]] int DrmTriggerSeperateSchedAnalysis(uint32_t featureId, uint32_t queueIndex,
                                                  uint32_t key);
// Worker body; `data` is the 8-byte block {featureId, queueIndex}.
void DrmSeperateSchedAnalysis(const void *data, uint32_t len);
// Number of keys pending in one queue (0 for bad indexes).
uint32_t DrmSchedPendingCount(uint32_t featureId, uint32_t queueIndex);
// True when no worker of the queue is started or draining (false for bad indexes).
bool DrmSchedQueueIdle(uint32_t featureId, uint32_t queueIndex);
