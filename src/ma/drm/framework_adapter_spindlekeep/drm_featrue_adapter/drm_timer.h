// DRM timers over the host timers (qxax.h): at most 64, one-shot or
// periodic. A one-shot timer frees itself (and its registry slot) after its
// single expiry; periodic timers live until DrmTaskSchExitTimer.
//
// Threads: expiry functions run on the host timer thread. The registry
// spinlock guards the list and the count only, never a host timer call.
#pragma once

#include <cstdint>

#include "infrastructure/keeper_host/qxax.h"
#include "ma/drm/framework/utils/drm_list.h"

inline constexpr uint32_t DRM_MAX_TIMER_NUM = 64;
inline constexpr uint32_t DRM_MAX_TIMEROUT_MS = 0x7fffffffu;

enum DrmTimerType : uint32_t {
    DRM_TIMER_ONESHOT = 0,
    DRM_TIMER_PERIODIC = 1,
};

using DrmTimerFunc = void (*)(void *data);

struct DrmTimer {
    DrmListHead node;
    const char *name;
    DrmTimerFunc func;
    void *data;
    uint32_t cycleMs;
    uint32_t type;
    uint32_t fireCount;
    qxax_timer_t hostTimer;
};

// Empty registry. Called by the scheduler's init.
void DrmTimerInit();
// Creates and starts a timer calling func(data) every / after cycleMs. 0; -1
// for a type of 2 or more, a cycle above DRM_MAX_TIMEROUT_MS, 64 timers
// already, no memory, or a host timer failure.
[[nodiscard]] int DrmRegTimer(const char *name, uint32_t cycleMs, DrmTimerFunc func, void *data,
                              uint32_t type);
// Unregisters, destroys and frees one timer.
void DrmFreeTimer(DrmTimer *timer);
// Destroys every timer.
void DrmTaskSchExitTimer();
// Timers registered now.
uint32_t DrmTimerCount();
