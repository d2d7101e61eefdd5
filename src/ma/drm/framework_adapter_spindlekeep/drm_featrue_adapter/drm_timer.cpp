#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_timer.h"

#include <cstring>

#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/framework/utils/drm_log.h"

namespace {

struct DrmTimerRegistry {
    DrmListHead list;
    qxax_spinlock_t lock;  // guards list and timerCount, never a host timer call
    uint32_t timerCount;
};

DrmTimerRegistry g_timers = {{&g_timers.list, &g_timers.list}, {}, 0};

void FreeRecord(DrmTimer *timer) { (void)qxmm_free(timer, DRM_ADAPTER_MODULE_ID, "DrmFreeTimer"); }

void DrmTimerProc(void *arg)
{
    auto *timer = static_cast<DrmTimer *>(arg);
    timer->func(timer->data);
    timer->fireCount += 1;
    if (timer->type == DRM_TIMER_PERIODIC) {
        if (qxax_timer_modify(&timer->hostTimer, timer->cycleMs) != 0) {
            DRM_ADPT_LOG(3, "TALO_ModTimer failed.");
        }
        return;
    }
    DrmFreeTimer(timer);
}

bool DrmTimerCreateCheck(uint32_t cycleMs, uint32_t type)
{
    if (type >= 2) {
        DRM_ADPT_LOG(3, "Invalid timer type: %u.", type);
        return false;
    }
    if (cycleMs > DRM_MAX_TIMEROUT_MS) {
        DRM_ADPT_LOG(3, "Invalid cycleMilliSec: %u, bigger than DRM_MAX_TIMEROUT_MS: %u.", cycleMs,
                     DRM_MAX_TIMEROUT_MS);
        return false;
    }
    qxax_spin_lock(&g_timers.lock);
    uint32_t count = g_timers.timerCount;
    qxax_spin_unlock(&g_timers.lock);
    if (count >= DRM_MAX_TIMER_NUM) {
        DRM_ADPT_LOG(3, "Timer cnt has been exhausted.");
        return false;
    }
    return true;
}

}  // namespace

void DrmTimerInit()
{
    DrmListInit(&g_timers.list);
    qxax_spin_lock_init(&g_timers.lock);
    g_timers.timerCount = 0;
}

int DrmRegTimer(const char *name, uint32_t cycleMs, DrmTimerFunc func, void *data, uint32_t type)
{
    if (func == nullptr || !DrmTimerCreateCheck(cycleMs, type)) {
        return DRM_ERR;
    }
    auto *timer = static_cast<DrmTimer *>(
        qxmm_malloc(sizeof(DrmTimer), DRM_ADAPTER_MODULE_ID, "DrmRegTimer"));
    if (timer == nullptr) {
        DRM_ADPT_LOG(3, "Alloc timer failed.");
        return DRM_ERR;
    }
    memset(timer, 0, sizeof(*timer));
    *timer = {{nullptr, nullptr}, name, func, data, cycleMs, type, 0, {}};
    int ret = qxax_timer_set_raw(&timer->hostTimer, cycleMs, timer, DrmTimerProc, "(DrmTimerProc)",
                                 "drm_timer.c", __LINE__);
    if (ret != 0) {
        DRM_ADPT_LOG(3, "TALO_InitTimer failed, ret: %d.", ret);
        FreeRecord(timer);
        return DRM_ERR;
    }
    qxax_spin_lock(&g_timers.lock);
    DrmListAddTail(&timer->node, &g_timers.list);
    g_timers.timerCount += 1;
    qxax_spin_unlock(&g_timers.lock);
    ret = qxax_timer_add(&timer->hostTimer);
    if (ret != 0) {
        DRM_ADPT_LOG(3, "TALO_AddTimer failed, ret: %d.", ret);
        DrmFreeTimer(timer);
        return DRM_ERR;
    }
    return DRM_OK;
}

void DrmFreeTimer(DrmTimer *timer)
{
    qxax_spin_lock(&g_timers.lock);
    if (timer->node.next == DRM_LIST_POISON1) {
        // DrmTaskSchExitTimer took it first and frees it once this expiry returned.
        qxax_spin_unlock(&g_timers.lock);
        return;
    }
    DrmListDel(&timer->node);
    g_timers.timerCount -= 1;
    qxax_spin_unlock(&g_timers.lock);
    int ret = qxax_timer_destroy(&timer->hostTimer);
    if (ret != 0) {
        DRM_ADPT_LOG(3, "Drm destroy timer, ret: %d.", ret);
        return;
    }
    FreeRecord(timer);
}

void DrmTaskSchExitTimer()
{
    qxax_spin_lock(&g_timers.lock);
    while (!DrmListEmpty(&g_timers.list)) {
        DrmListHead *first = g_timers.list.next;
        DrmListDel(first);
        g_timers.timerCount -= 1;
        qxax_spin_unlock(&g_timers.lock);
        auto *timer = DRM_LIST_ENTRY(first, DrmTimer, node);
        int ret = qxax_timer_destroy(&timer->hostTimer);
        if (ret != 0) {
            DRM_ADPT_LOG(3, "Drm destroy timer failed, ret: %d.", ret);
        } else {
            FreeRecord(timer);
        }
        qxax_spin_lock(&g_timers.lock);
    }
    qxax_spin_unlock(&g_timers.lock);
}

uint32_t DrmTimerCount()
{
    qxax_spin_lock(&g_timers.lock);
    uint32_t n = g_timers.timerCount;
    qxax_spin_unlock(&g_timers.lock);
    return n;
}
