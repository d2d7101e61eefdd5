#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_init.h"

#include <array>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/drm_task_scheduler/drm_framework.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"
#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"

namespace {

constexpr const char *kTag = "INIT";

int LocalDataInit() { return DrmLocalDataMgrInit(); }

constexpr DrmInitStage kFrameworkStages[] = {
    {"AdapterPhase1", DrmFrameworkAdapterInitPhase1, DrmFrameworkAdapterFinPhase1,
     "init drm framework adpater phase1 failed."},
    {"Framework", DrmFrameworkInit, DrmFrameworkFin, "init drm framework failed."},
    {"LocalDataMgr", LocalDataInit, DrmLocalDataMgrFin, "init drm local data mgr failed."},
    {"AdapterPhase2", DrmFrameworkAdapterInitPhase2, DrmFrameworkAdapterFinPhase2,
     "init drm framework adapter phase2 failed."},
};

// The feature initialisers, in bring-up order (life monitor, prefail
// routine, slow disk detector); they are finalised in reverse. This is the
// only place a feature is hooked into start-up: add its row (and its header
// above) and raise the count.
constexpr std::array<DrmInitStage, 3> kFeatureStages = {{
    {"DiskLifeMonitor", DrmDiskLifeMonitorInit, DrmDiskLifeMonitorFin,
     "init drm disk life monitor failed."},
    {"PrefailRoutine", DrmPrefailRoutineInit, DrmPrefailRoutineFin,
     "init drm prefail routinue failed."},
    {"SlowDiskDetectV2", DrmClassicalSlowDiskDetectV2Init, DrmClassicalSlowDiskDetectV2Fin,
     "init drm classical slow disk detect v2 failed."},
}};

constexpr size_t kFrameworkStageNum = sizeof(kFrameworkStages) / sizeof(kFrameworkStages[0]);
static_assert(kFrameworkStageNum == 4);

}  // namespace

int DrmRunStages(const DrmInitStage *stages, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (stages[i].init() != 0) {
            KLOG_ERR(kTag, "%s", stages[i].failMsg);
            DrmFiniStages(stages, i);
            return -1;
        }
    }
    return 0;
}

void DrmFiniStages(const DrmInitStage *stages, size_t count)
{
    for (size_t i = count; i-- > 0;) {
        if (stages[i].fini != nullptr) {
            (void)stages[i].fini();
        }
    }
}

const DrmInitStage *DrmFrameworkStages(size_t *count)
{
    *count = kFrameworkStageNum;
    return kFrameworkStages;
}

const DrmInitStage *DrmFeatureStages(size_t *count)
{
    *count = kFeatureStages.size();
    return kFeatureStages.data();
}

int SpindleKeepInitDrmFeatures()
{
    return DrmRunStages(kFeatureStages.data(), kFeatureStages.size());
}

int DrmBringUp(const DrmInitStage *framework, size_t frameworkCount, const DrmInitStage *features,
               size_t featureCount)
{
    if (DrmRunStages(framework, frameworkCount) != 0) {
        return -1;
    }
    if (DrmRunStages(features, featureCount) != 0) {
        KLOG_ERR(kTag, "init drm features failed.");
        DrmFiniStages(framework, frameworkCount);
        return -1;
    }
    return 0;
}

int SpindleKeepInitDrm()
{
    return DrmBringUp(kFrameworkStages, kFrameworkStageNum, kFeatureStages.data(),
                      kFeatureStages.size());
}

int SpindleKeepFiniDrm()
{
    DrmFiniStages(kFeatureStages.data(), kFeatureStages.size());
    DrmFiniStages(kFrameworkStages, kFrameworkStageNum);
    return 0;
}
