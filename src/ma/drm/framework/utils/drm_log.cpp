#include "ma/drm/framework/utils/drm_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_host/qxlog.h"

namespace {

constexpr size_t kDrmLogBuf = 512;

// Test log capture sees DRM records under these tags.
const char *ModuleTag(uint32_t module) { return module == DRM_MODULE_ID ? "DRM" : "DRM_ADAPTER"; }

class RateLimitHold {
  public:
    explicit RateLimitHold(uint32_t *word) : word_(reinterpret_cast<std::atomic<uint32_t> *>(word))
    {
        uint32_t expected = 0;
        while (!word_->compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
            expected = 0;
        }
    }
    ~RateLimitHold() { word_->store(0, std::memory_order_release); }
    RateLimitHold(const RateLimitHold &) = delete;
    RateLimitHold &operator=(const RateLimitHold &) = delete;

  private:
    std::atomic<uint32_t> *word_;
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

}  // namespace

bool DrmLogEnabled(uint32_t module, uint32_t level)
{
    return level <= qxlog_loglevel_get(module) || KeeperLogGetHook() != nullptr;
}

void DrmLogWrite(uint32_t module, uint32_t level, const char *file, uint32_t line, const char *func,
                 const char *fmt, ...)
{
    char buf[kDrmLogBuf];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    KeeperLogHook hook = KeeperLogGetHook();
    if (hook != nullptr) {
        hook(level, ModuleTag(module), buf);
    }
    if (level <= qxlog_loglevel_get(module)) {
        qxlog(module, level, file, line, func, 0, "%s", buf);
    }
}

bool DrmRateLimit(DrmRateLimitState *state, uint64_t window, uint64_t summaryInterval,
                  uint32_t module, uint32_t summaryLevel, const char *func, uint32_t line)
{
    uint32_t suppressed = 0;
    bool print = false;
    {
        RateLimitHold hold(&state->lock);
        uint64_t now = qxax_get_jiffies();
        if (static_cast<int64_t>(now - (state->windowStart + window)) >= 0) {
            state->printed = 0;
            state->windowStart = now;
            if (state->missed > 0 && now >= state->lastSummary + summaryInterval) {
                suppressed = state->missed;
                state->missed = 0;
                state->lastSummary = qxax_get_jiffies();
            }
        }
        if (state->printed != 0) {
            state->missed += 1;
        } else {
            state->printed = 1;
            state->windowStart = now;
            print = true;
        }
    }
    // Logged outside the hold: the host log may take its own locks.
    if (suppressed > 0) {
        DRM_LOG_MOD(module, summaryLevel, "print: %u messages suppressed.%s,line=%d.", suppressed,
                    func, static_cast<int>(line));
    }
    return print;
}
