// Process-wide set-up of the collection tests: the OS adapter with sleeps
// shortened 50 times (so a 5 s pause takes 100 ms), a registry in a
// temporary directory, the data store, the collection module, and fake
// kernel and data agents behind the well-known agent records.
//
// Registry, store and collection state live for the whole test process;
// each test ends by taking every disk offline again (an empty refresh).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "data_collect/data_collect_master/dcm_fake_agent.h"
#include "data_collect/data_collect_master/dcm_schedule.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_online.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace dcmtest {

inline std::atomic<uint64_t> g_requestedSleepMs{0};

inline void FastSleep(KeeperTime t)
{
    auto ts = ConvertKeeperTime2Timespec(t);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    g_requestedSleepMs.fetch_add(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms >= 50 ? ms / 50 : ms));
}

struct CollectEnv {
    FakeAgent kernel{"unique_DCAK_agent"};
    FakeAgent dma{"unique_DMA_agent"};
    std::string dir;
};

inline CollectEnv *g_env = nullptr;

inline void CollectEnvSetUp()
{
    if (g_env != nullptr) {
        return;
    }
    ASSERT_EQ(KeeperInfraLiteInstall(), 0);
    KeeperOsOps ops = KeeperInfraLiteOps();
    ops.sleep = FastSleep;
    KeeperOsInstall(ops);
    KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    DcmRpcSetSocketTimeoutMs(300);
    g_env = new CollectEnv();
    char tmpl[] = "/tmp/spkcollectXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_env->dir = tmpl;
    ASSERT_EQ(DiskMgrInit((g_env->dir + "/disk_mgr.config").c_str()), 0);
    ASSERT_EQ(DataMgrInit(), 0);
    ASSERT_EQ(InitDataCollectMaster(), 0);
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DCAK, g_env->kernel.Path().c_str()), 0);
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, g_env->dma.Path().c_str()), 0);
}

// Ends the fake agents (joins their threads) once the suite is done; the
// registry, store and collection module stay initialised until the process ends.
inline void CollectEnvTearDown()
{
    delete g_env;
    g_env = nullptr;
}

// Takes every registered disk offline.
inline void CollectEnvReset()
{
    EXPECT_EQ(DiskSerialNumberRefresh(nullptr, 0), 0);
    g_env->kernel.SetDisks({});
    g_env->kernel.Server().ClearRequests();
    g_env->dma.Server().ClearRequests();
}

// The registry entry of `sn`, or false. Read through the store, under its
// lock, so that a registration is seen only once it is complete (agent
// message included).
inline bool RegisteredEntry(const std::string &sn, DiskBaseInfo *out, uint32_t *id = nullptr)
{
    uint32_t ids[MAX_DISK_NUM] = {0};
    char bufs[MAX_DISK_NUM][DISK_SN_LEN] = {};
    KeeperStr sns[MAX_DISK_NUM];
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        sns[i] = KeeperStr{static_cast<uint32_t>(DISK_SN_LEN), bufs[i]};
    }
    uint32_t count = 0;
    if (ListAllOnlineDisk(ids, sns, MAX_DISK_NUM, &count) != 0) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (sn == bufs[i]) {
            if (id != nullptr) {
                *id = ids[i];
            }
            return out == nullptr || DiskBaseInfoGet(ids[i], out) == 0;
        }
    }
    return false;
}

inline bool IsRegistered(const std::string &sn) { return RegisteredEntry(sn, nullptr); }

// dma_* messages the data agent received naming `sn` with `method`.
inline int DmaCount(const std::string &method, const std::string &sn)
{
    int n = 0;
    for (const std::string &r : g_env->dma.RequestsOf(method)) {
        if (r.find("\"" + sn + "\"") != std::string::npos) {
            ++n;
        }
    }
    return n;
}

template <typename Pred>
bool WaitUntil(Pred pred, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Base of the collection test fixtures: the shared environment for the suite,
// and after each test every query thread stopped (with time to finish its
// pass before the fake agents change) and every disk taken offline.
class CollectTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CollectEnvSetUp(); }
    static void TearDownTestSuite() { CollectEnvTearDown(); }
    void TearDown() override
    {
        CancelAllQueryAgentScheduleTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        CollectEnvReset();
    }
};

}  // namespace dcmtest
