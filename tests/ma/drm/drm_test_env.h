// Shared set-up of the DRM framework tests: hand-fired host timers, the
// memory pools, the scheduler and the local data, and a worker starter that
// keeps started workers until the test runs them on its own thread.
// Header-only: included by the DRM test files.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/host_test.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_timer.h"

namespace drmtest {

// Workers started through DrmAsyncThreadCtxRun, not yet run.
inline std::deque<std::pair<void (*)(void *), void *>> g_deferred;

inline int DeferStarter(void (*entry)(void *), void *arg)
{
    g_deferred.emplace_back(entry, arg);
    return 0;
}

// Runs deferred workers (and those they start) in start order; their number.
inline int RunWorkers()
{
    int n = 0;
    for (; !g_deferred.empty(); ++n) {
        auto w = g_deferred.front();
        g_deferred.pop_front();
        w.first(w.second);
    }
    return n;
}

inline int64_t InUse(uint32_t pool)
{
    DrmMemPoolStat st{};
    EXPECT_EQ(DrmMemPoolStatGet(pool, &st), 0);
    return st.inUse;
}

// In-use blocks over all LV pools.
inline int64_t LvInUse()
{
    int64_t n = 0;
    for (uint32_t i = 0; i < DRM_MEM_POOL_NUM; ++i) n += InUse(i);
    return n;
}

// A diagnose command as the agent runs it: its status and its output.
struct Reply {
    int32_t status;
    std::string text;
};

inline Reply Diag(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    static char out[64 * 1024];
    uint32_t len = 0;
    int32_t status = DbgAgentRun(static_cast<int>(args.size()), argv.data(), out, sizeof(out), &len);
    return {status, std::string(out, len)};
}

// The framework up in start-up order (inside the adapter's two phases when
// `adapter`), and down in reverse once the queued workers ran.
inline void FrameworkUp(bool adapter)
{
    HostTimersManual(true);
    DrmSetThreadStarter(DeferStarter);
    ASSERT_EQ(adapter ? DrmFrameworkAdapterInitPhase1() : 0, 0);
    ASSERT_EQ(DrmMemMgrInit(), 0);
    ASSERT_EQ(DrmTaskSchedulerInit(), 0);
    ASSERT_EQ(DrmLocalDataMgrInit(), 0);
    ASSERT_EQ(adapter ? DrmFrameworkAdapterInitPhase2() : 0, 0);
}

inline void FrameworkDown(bool adapter)
{
    RunWorkers();
    if (adapter) (void)DrmFrameworkAdapterFinPhase2();
    (void)DrmLocalDataMgrFin();
    (void)DrmTaskSchedulerFin();
    (void)DrmMemMgrFin();
    DrmSetThreadStarter(nullptr);
    HostTimersReset();
}

class DrmFrameworkFixture : public ::testing::Test {
protected:
    void SetUp() override { FrameworkUp(false); }
    void TearDown() override { FrameworkDown(false); }
};

}  // namespace drmtest
