// CPU cost of one pass of each DRM analysis over 64 disks held in the real
// data store: a slow-disk detection run over a zone of 64 SAS SSDs, a prefail
// pass over 64 SAS HDDs (every group due), a life pass over 64 SAS SSDs
// (every disk due). Workers are run by hand; no data agent listens, and the
// disks stay healthy, so nothing is sent.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxlog.h"
#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"
#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

namespace {

constexpr int kDisks = 64;

std::vector<std::pair<void (*)(void *), void *>> g_workers;

int Defer(void (*entry)(void *), void *arg)
{
    g_workers.emplace_back(entry, arg);
    return 0;
}

void RunWorkers()
{
    while (!g_workers.empty()) {
        auto w = g_workers.front();
        g_workers.erase(g_workers.begin());
        w.first(w.second);
    }
}

bool AcceptAll(uint32_t, const char *, const void *, uint32_t) { return true; }

// 64 disks of one type with two IO frames and a health record each, the DRM
// framework and one feature on top.
struct Bed {
    Bed(uint32_t diskType, int (*init)(), int (*fin)()) : fin(fin)
    {
        if (!KeeperOsInstalled()) {
            (void)KeeperInfraLiteInstall();
        }
        KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
        (void)qxlog_loglevel_set(QXLOG_ALL_MODULES, 3);
        char tmpl[] = "/tmp/spkdrmbenchXXXXXX";
        dir = mkdtemp(tmpl);
        (void)DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, "/tmp/spk-bench-no-agent.sock");
        (void)DiskMgrInit((dir + "/disk_mgr.config").c_str());
        DataMgrSetWhiteListFunc(AcceptAll);
        (void)DataMgrInit();
        HostTimersManual(true);
        DrmSetThreadStarter(Defer);
        bool ok = DrmFrameworkAdapterInitPhase1() == 0 && DrmMemMgrInit() == 0 &&
                  DrmTaskSchedulerInit() == 0 && DrmLocalDataMgrInit() == 0 &&
                  DrmFrameworkAdapterInitPhase2() == 0 && init() == 0;
        if (!ok) {
            fprintf(stderr, "DRM bring-up failed\n");
            abort();
        }
        for (int i = 0; i < kDisks; ++i) {
            AddDisk(i, diskType);
        }
        RunWorkers();
    }

    static void AddDisk(int i, uint32_t diskType)
    {
        DiskBaseInfo d{};
        d.diskState = DISK_STATE_UNSET;
        snprintf(d.sn, sizeof(d.sn), "BENCH-SN-%02d", i);
        strcpy(d.vendor, "SEAGATE");
        d.diskType = diskType;
        KeeperStr sn{40, d.sn};
        (void)DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, sn, &d, DATA_INFO_BASE);
        for (uint64_t k = 1; k <= 2; ++k) {
            DiskIoInfoFrame f{};
            f.tick_rate = 1000;
            f.ticks = 3000 * k;
            f.num_read_ops = 3000 * k;
            f.bytes_read = 12288000 * k;
            f.io_time = 1200000 * k;
            f.read_latency_ticks = 3 * (100 + i % 7) * k;  // 100..106 us per read
            (void)DiskIoStatInfoSet(sn, &f);
        }
        DiskHealthInfo h{};
        h.powerOnHours = 1000;
        h.wearInt = 10;
        (void)DiskHealthInfoSet(sn, &h);
    }

    ~Bed()
    {
        RunWorkers();
        (void)fin();
        (void)DrmFrameworkAdapterFinPhase2();
        (void)DrmLocalDataMgrFin();
        (void)DrmTaskSchedulerFin();
        (void)DrmMemMgrFin();
        DrmSetThreadStarter(nullptr);
        HostTimersReset();
        (void)DataMgrDestroy();
        DiskMgrDestroy();
        DataMgrSetWhiteListFunc(nullptr);
        std::string cmd = "rm -rf " + dir;
        (void)system(cmd.c_str());
    }

    int (*fin)();
    std::string dir;
};

void BM_SlowDiskDetectionRun64(benchmark::State &state)
{
    Bed bed(DISK_TYPE_SSD_SAS, DrmClassicalSlowDiskDetectV2Init, DrmClassicalSlowDiskDetectV2Fin);
    (void)DrmSlowDiskDetectSetSwitch(1);
    for (auto _ : state) {
        DrmSlowDiskDetectAnalyse(0);
    }
}
BENCHMARK(BM_SlowDiskDetectionRun64)->MeasureProcessCPUTime();

// The same run with the peer-outlier mode on for the zone's type: the cost
// the mode adds to a detection run.
void BM_SlowDiskDetectionRun64WithOutlier(benchmark::State &state)
{
    Bed bed(DISK_TYPE_SSD_SAS, DrmClassicalSlowDiskDetectV2Init, DrmClassicalSlowDiskDetectV2Fin);
    (void)DrmSlowDiskDetectSetSwitch(1);
    SlowDiskOutlierConfig cfg = SlowDiskOutlierDefaultConfig(DRM_DISK_TYPE_SAS_SSD);
    cfg.on = 1;
    (void)DrmSlowDiskOutlierSetConfig(&cfg);
    for (auto _ : state) {
        DrmSlowDiskDetectAnalyse(0);
    }
}
BENCHMARK(BM_SlowDiskDetectionRun64WithOutlier)->MeasureProcessCPUTime();

void BM_PrefailPass64(benchmark::State &state)
{
    Bed bed(DISK_TYPE_HDD_SAS, DrmPrefailRoutineInit, DrmPrefailRoutineFin);
    DprCycleConfig every{0, DRM_DISK_TYPE_SAS_HDD, 5};
    (void)DrmDprSetCycleConfig(&every);
    for (auto _ : state) {
        DrmPrefailAnalyse(0, 0);
    }
}
BENCHMARK(BM_PrefailPass64)->MeasureProcessCPUTime();

void BM_LifePass64(benchmark::State &state)
{
    Bed bed(DISK_TYPE_SSD_SAS, DrmDiskLifeMonitorInit, DrmDiskLifeMonitorFin);
    DrmDiskLifeMonitorSetScheduleTime(1);  // every run is due
    for (auto _ : state) {
        DrmDiskLifeMonitorAnalyse(0, 0);
    }
}
BENCHMARK(BM_LifePass64)->MeasureProcessCPUTime();

}  // namespace
