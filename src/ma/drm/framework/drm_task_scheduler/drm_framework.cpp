#include "ma/drm/framework/drm_task_scheduler/drm_framework.h"

#include "ma/drm/framework/debug/drm_debug.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework/utils/drm_log.h"

namespace {

// Memory first: the scheduler's trigger nodes come from its pools.
constexpr DrmSubModule kFrameworkModules[] = {
    {"DrmMemMgr", DrmMemMgrInit, DrmMemMgrFin},
    {"DrmTaskScheduler", DrmTaskSchedulerInit, DrmTaskSchedulerFin},
    {"DrmDebug", DrmFrameworkDebugInit, DrmFrameworkDebugFin},
    {"DrmTracepoint", DrmFrameworkTracePointInit, DrmFrameworkTracePointFin},
};
constexpr uint32_t kFrameworkModuleNum = sizeof(kFrameworkModules) / sizeof(kFrameworkModules[0]);
static_assert(kFrameworkModuleNum == 4);

}  // namespace

int DrmloadSubModule(const DrmSubModule *table, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (table[i].init() != 0) {
            DRM_LOG(3, "LoadSubModule %s failed.", table[i].name);
            if (i > 0) {
                DrmUnloadSubModule(table, static_cast<int>(i) - 1);
            }
            return DRM_ERR;
        }
        DRM_LOG(7, "Init drm (%s) success.", table[i].name);
    }
    return DRM_OK;
}

void DrmUnloadSubModule(const DrmSubModule *table, int lastIndex)
{
    for (int i = lastIndex; i >= 0; --i) {
        if (table[i].fini != nullptr && table[i].fini() != 0) {
            DRM_LOG(3, "UnloadSubModule %s failed.", table[i].name);
        }
    }
}

int DrmFrameworkInit() { return DrmloadSubModule(kFrameworkModules, kFrameworkModuleNum); }

int DrmFrameworkFin()
{
    DrmUnloadSubModule(kFrameworkModules, static_cast<int>(kFrameworkModuleNum) - 1);
    return DRM_OK;
}
