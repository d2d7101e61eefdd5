// DRM logging: records go straight to the host log under a host module
// number (DRM_MODULE_ID or DRM_ADAPTER_MODULE_ID), with the level checked
// before any formatting. Repeated messages go through DrmRateLimit.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

#include "ma/drm/framework/utils/drm_defs.h"

// True when a record of `level` for `module` would be written (the host
// level, or a test's log hook, lets it through).
bool DrmLogEnabled(uint32_t module, uint32_t level);

// Formats and writes one record. Use the macros below.
void DrmLogWrite(uint32_t module, uint32_t level, const char *file, uint32_t line, const char *func,
                 const char *fmt, ...) __attribute__((format(printf, 6, 7)));

#define DRM_LOG_MOD(module, level, fmt, ...)                                                       \
    do {                                                                                           \
        if (DrmLogEnabled((module), (level))) {                                                    \
            DrmLogWrite((module), (level), __FILE_NAME__, __LINE__, __func__, fmt, ##__VA_ARGS__); \
        }                                                                                          \
    } while (0)
// Framework and features (module 481).
#define DRM_LOG(level, fmt, ...) DRM_LOG_MOD(DRM_MODULE_ID, level, fmt, ##__VA_ARGS__)
// Adapter platform services (module 999).
#define DRM_ADPT_LOG(level, fmt, ...) DRM_LOG_MOD(DRM_ADAPTER_MODULE_ID, level, fmt, ##__VA_ARGS__)

// State of one rate-limited message site; all-zero is the initial state.
// Jiffies come from qxax_get_jiffies (the test clock when one is bound).
struct DrmRateLimitState {
    uint32_t lock;  // guards the fields below; 0 = free (atomic spin)
    uint64_t windowStart;
    uint32_t printed;
    uint32_t missed;
    uint64_t lastSummary;
};

// One attempt at a rate-limited message: true when the caller should log it
// now. At most one message per `window` jiffies passes; the dropped ones are
// counted and reported as "print: %u messages suppressed.%s,line=%d." (at
// `summaryLevel`, module `module`) once a window has passed and
// `summaryInterval` jiffies have gone by since the last summary.
[[nodiscard]] bool DrmRateLimit(DrmRateLimitState *state, uint64_t window, uint64_t summaryInterval,
                                uint32_t module, uint32_t summaryLevel, const char *func,
                                uint32_t line);

// A rate-limited record: each expansion owns its own state.
#define DRM_LOG_LIMITED(module, level, window, summaryInterval, summaryLevel, fmt, ...) \
    do {                                                                                \
        static DrmRateLimitState drmRateLimitState_;                                    \
        if (DrmRateLimit(&drmRateLimitState_, (window), (summaryInterval), (module),    \
                         (summaryLevel), __func__, __LINE__)) {                         \
            DRM_LOG_MOD((module), (level), fmt, ##__VA_ARGS__);                         \
        }                                                                               \
    } while (0)
