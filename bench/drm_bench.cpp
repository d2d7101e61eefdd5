// Costs of the DRM framework's hot paths: one scheduler tick when nothing is
// due (the three features' registrations, 64 disks with private data), one
// LV allocation and free (smallest pool and the last pool of the first-fit
// scan), and one coalesced trigger.
#include <benchmark/benchmark.h>

#include "infrastructure/keeper_host/host_test.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

namespace {

// Workers are not run: a bench measures the caller's side only.
int KeepWorker(void (*)(void *), void *) { return 0; }

void Analyser1(uint32_t) {}
void Analyser0(uint32_t, uint32_t) {}

bool Setup()
{
    HostTimersManual(true);
    DrmSetThreadStarter(KeepWorker);
    return DrmMemMgrInit() == 0 && DrmTaskSchedulerInit() == 0 && DrmLocalDataMgrInit() == 0;
}

void Teardown()
{
    (void)DrmLocalDataMgrFin();
    (void)DrmTaskSchedulerFin();
    (void)DrmMemMgrFin();
    HostTimersReset();
}

void BM_DrmTickNothingDue(benchmark::State &state)
{
    if (!Setup()) {
        state.SkipWithError("framework set-up failed");
        return;
    }
    // The features' slots, with periods so long that no tick of the run is
    // due: the cost is the registry walk and the period checks.
    const uint32_t kLong = 0x7FFFFFFF;
    bool ok = DrmRegisterAnalyser(DRM_FEATURE_SLOW_DISK, Analyser1, kLong, nullptr,
                                  DRM_PERIOD_NONE, 0) == 0 &&
              DrmRegisterAnalyser(DRM_FEATURE_LIFE_MONITOR, nullptr, 0, Analyser0, kLong, 0) == 0 &&
              DrmRegisterAnalyser(DRM_FEATURE_PREFAIL, nullptr, 0, Analyser0, kLong, 0) == 0;
    static char data[64];
    for (uint32_t disk = 0; disk < 64 && ok; ++disk) {
        for (uint32_t f : {DRM_FEATURE_SLOW_DISK, DRM_FEATURE_LIFE_MONITOR, DRM_FEATURE_PREFAIL}) {
            ok = ok && setFeatureLocPrivateData(disk, f, &data[disk]) == 0;
        }
    }
    if (!ok) {
        state.SkipWithError("registration failed");
        return;
    }
    DrmTaskSchedulerTimerHandler(nullptr);  // tick 1 of slot 1 fires once, before timing
    for (auto _ : state) {
        DrmTaskSchedulerTimerHandler(nullptr);
    }
    Teardown();
}
BENCHMARK(BM_DrmTickNothingDue);

void BM_DrmLvAllocFree(benchmark::State &state)
{
    if (!Setup()) {
        state.SkipWithError("framework set-up failed");
        return;
    }
    const uint64_t size = static_cast<uint64_t>(state.range(0));
    for (auto _ : state) {
        void *p = DRM_MALLOC_LV(size);
        benchmark::DoNotOptimize(p);
        DRM_FREE_LV(p, size);
    }
    Teardown();
}
BENCHMARK(BM_DrmLvAllocFree)->Arg(24)->Arg(4000);

void BM_DrmTriggerCoalesced(benchmark::State &state)
{
    if (!Setup() || DrmRegisterAnalyser(DRM_FEATURE_SLOW_DISK, Analyser1, 3, nullptr, 0, 0) != 0) {
        state.SkipWithError("framework set-up failed");
        return;
    }
    (void)DrmTriggerAnalyser1(DRM_FEATURE_SLOW_DISK, DRM_EVENT_TRIGGER_KEY);
    for (auto _ : state) {
        benchmark::DoNotOptimize(DrmTriggerAnalyser1(DRM_FEATURE_SLOW_DISK, DRM_EVENT_TRIGGER_KEY));
    }
    Teardown();
}
BENCHMARK(BM_DrmTriggerCoalesced);

}  // namespace
