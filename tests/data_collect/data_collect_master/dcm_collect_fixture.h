// Process-wide set-up of the collection tests: a collecting agent stand-in,
// the OS adapter with sleeps shortened 50 times (so a 5 s pause takes
// 100 ms), a registry in a temporary directory, the data store, the
// collection module, and fake kernel and data agents behind the well-known
// agent records.
//
// Registry, store and collection state live for the whole test process;
// each test ends by taking every disk offline again (an empty refresh).
#pragma once

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_collect/data_collect_master/dcm_schedule.h"
#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_online.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/unix_agent_server.h"

namespace dcmtest {

enum class Fault {
    kNone,
    kGarbage,    // not JSON
    kBadResult,  // a "result" without "disks"
    kExtraDisk,  // one disk more than asked (65 in the device list)
    kOversize,   // a valid answer beyond 8191 bytes
};

// A collecting agent: a real UNIX-socket server answering the query methods
// from a small in-memory fleet and the slot query from a slot table,
// recording every request; a per-method fault replaces the answer. Thread safe.
class FakeAgent {
public:
    explicit FakeAgent(const std::string &name) : name_(name)
    {
        server_.SetResponder([this](const std::string &req) { return Respond(req); });
    }

    AgentInfo Info() const
    {
        AgentInfo a{};
        strncpy(a.agentName, name_.c_str(), sizeof(a.agentName) - 1);
        a.agentType = AGENT_TYPE_SOCK_FILE;
        strncpy(a.addr.sockFile, server_.Path().c_str(), sizeof(a.addr.sockFile) - 1);
        return a;
    }
    const std::string &Path() const { return server_.Path(); }
    UnixAgentServer &Server() { return server_; }

    void SetDisks(const std::vector<TestDisk> &disks) { Locked([&] { disks_ = disks; }); }
    void SetSlot(const std::string &dev, double slot) { Locked([&] { slots_[dev] = slot; }); }
    void SetFault(const std::string &method, Fault f) { Locked([&] { faults_[method] = f; }); }
    // Answers garbage only to requests naming exactly `count` devices.
    void SetFaultForBatchSize(const std::string &method, int count)
    {
        Locked([&] { faultBatchSize_[method] = count; });
    }

    // Requests of `method`, in arrival order.
    std::vector<std::string> RequestsOf(const std::string &method) const
    {
        std::vector<std::string> out;
        for (const std::string &r : server_.Requests()) {
            if (r.find("\"method\":\"" + method + "\"") != std::string::npos) {
                out.push_back(r);
            }
        }
        return out;
    }
    // Device-name counts of each request of `method`.
    std::vector<int> BatchSizesOf(const std::string &method) const
    {
        std::vector<int> sizes;
        for (const std::string &r : RequestsOf(method)) {
            Json j(r);
            sizes.push_back(cJSON_GetArraySize(Devices(j.value)));
        }
        return sizes;
    }

private:
    template <typename F>
    void Locked(F f)
    {
        std::lock_guard<std::mutex> lock(mu_);
        f();
    }
    static const cJSON *Devices(const cJSON *req)
    {
        return cJSON_GetObjectItem(cJSON_GetObjectItem(req, "params"), "devices");
    }
    cJSON *Member(const std::string &method, const TestDisk &d)
    {
        return method == "dca_get_disks_health_info" ? HealthJson(d)
               : method == "dca_get_disks_iostat"    ? IoJson(d, 1000 + ticks_ * 10)
                                                     : BaseJson(d);
    }

    std::string Respond(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mu_);
        Json req(text);
        const char *m = cJSON_GetStringValue(cJSON_GetObjectItem(req.value, "method"));
        const std::string method = m != nullptr ? m : "";
        const cJSON *devices = Devices(req.value);
        Fault fault = faults_.count(method) ? faults_[method] : Fault::kNone;
        if (faultBatchSize_.count(method) && cJSON_GetArraySize(devices) == faultBatchSize_[method]) {
            fault = Fault::kGarbage;
        }
        if (fault == Fault::kGarbage) {
            return "this is {not json";
        }
        cJSON *disks = cJSON_CreateArray();
        const cJSON *dev = nullptr;
        cJSON_ArrayForEach(dev, devices)
        {
            const cJSON *n = cJSON_IsString(dev) ? dev : cJSON_GetObjectItem(dev, "device_name");
            const std::string name = cJSON_IsString(n) ? n->valuestring : "";
            if (method == "dca_get_disks_slotid" && slots_.count(name)) {
                cJSON *o = cJSON_CreateObject();
                cJSON_AddStringToObject(o, "device_name", name.c_str());
                cJSON_AddNumberToObject(o, "slot_id", slots_[name]);
                cJSON_AddItemToArray(disks, o);
            }
            for (const TestDisk &d : disks_) {
                if (d.dev == name && method != "dca_get_disks_slotid") {
                    cJSON_AddItemToArray(disks, Member(method, d));
                }
            }
        }
        bool brief = method == "dca_get_disks_brief_info";
        for (int i = 0; brief && i < static_cast<int>(disks_.size()); ++i) {
            cJSON_AddItemToArray(disks, BriefJson(disks_[i]));
        }
        for (int i = 0; fault == Fault::kExtraDisk && i < (brief ? 65 : 1) && !disks_.empty(); ++i) {
            cJSON_AddItemToArray(disks, brief ? BriefJson(Disk("HDD_SAS", "WD", "M", "X" + std::to_string(i), "sdx"))
                                              : Member(method, disks_.front()));
        }
        Json answer(Answer(disks));
        cJSON *result = cJSON_GetObjectItem(answer.value, "result");
        if (method == "dca_get_disks_iostat") {
            ticks_ += 3000;
            cJSON_AddStringToObject(result, "tick_rate", "1000");
            cJSON_AddStringToObject(result, "ticks", std::to_string(ticks_).c_str());
        }
        if (fault == Fault::kBadResult) {
            cJSON_DeleteItemFromObject(result, "disks");
        } else if (fault == Fault::kOversize) {
            cJSON_AddStringToObject(result, "padding", std::string(9000, 'p').c_str());
        }
        return Print(answer.value);
    }

    std::string name_;
    mutable std::mutex mu_;
    std::vector<TestDisk> disks_;
    std::map<std::string, double> slots_;
    std::map<std::string, Fault> faults_;
    std::map<std::string, int> faultBatchSize_;
    unsigned long long ticks_ = 1000000;
    // Last, so that it is destroyed first: its connection threads call
    // Respond, which reads the members above.
    UnixAgentServer server_;
};

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
        n += r.find("\"" + sn + "\"") != std::string::npos;
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

// Base of the collection test fixtures: the shared environment for the suite
// (agents ended, and their threads joined, when it is done), and after each
// test every query thread stopped (with time to finish its pass before the
// fake agents change) and every disk taken offline.
class CollectTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (g_env != nullptr) {
            return;
        }
        ready_ = false;
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        KeeperOsOps ops = KeeperInfraLiteOps();
        ops.sleep = FastSleep;
        KeeperOsInstall(ops);
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
        ready_ = true;
    }
    // A failed assertion in the suite's set-up only marks its tests skipped,
    // which ctest counts as passing: each test checks it instead.
    void SetUp() override { ASSERT_TRUE(ready_) << "the suite's set-up failed"; }
    static inline bool ready_ = false;
    static void TearDownTestSuite()
    {
        delete g_env;
        g_env = nullptr;
    }
    void TearDown() override
    {
        CancelAllQueryAgentScheduleTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        CollectEnvReset();
    }
};

}  // namespace dcmtest
