// Identifiers shared by the DRM framework, its adapter and its features.
#pragma once

#include <cstdint>

// Host module numbers: the framework and the features log and allocate as
// 481, the adapter's platform services (threads, timers, actions) as 999.
inline constexpr uint32_t DRM_MODULE_ID = 481;
inline constexpr uint32_t DRM_ADAPTER_MODULE_ID = 999;

// Feature ids are 0..31; these three are in use.
inline constexpr uint32_t DRM_MAX_FEATURE_NUM = 32;
inline constexpr uint32_t DRM_FEATURE_SLOW_DISK = 3;
inline constexpr uint32_t DRM_FEATURE_LIFE_MONITOR = 15;
inline constexpr uint32_t DRM_FEATURE_PREFAIL = 16;

// Key the features' disk-event handlers trigger their analyser with.
inline constexpr uint32_t DRM_EVENT_TRIGGER_KEY = 64;

// Results of the framework: 0 success, -1 failure unless a function says otherwise.
inline constexpr int DRM_OK = 0;
inline constexpr int DRM_ERR = -1;
