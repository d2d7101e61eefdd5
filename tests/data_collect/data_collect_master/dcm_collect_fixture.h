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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
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
#include "support/wait_until.h"

namespace dcmtest {

enum class Fault {
    kNone,
    kGarbage,    // not JSON
    kBadResult,  // a "result" without "disks"
    kExtraDisk,  // one disk more than asked (or than its 64 in the device list)
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

    AgentInfo Info() const { return SockAgent(name_, server_.Path()); }
    UnixAgentServer &Server() { return server_; }

    void SetDisks(const std::vector<TestDisk> &disks) { Lock l(mu_); disks_ = disks; }
    void SetSlot(const std::string &dev, int slot) { Lock l(mu_); slots_[dev] = slot; }
    void SetFault(const std::string &method, Fault f) { Lock l(mu_); faults_[method] = f; }
    // Answers garbage only to requests naming exactly `n` devices.
    void SetFaultForBatchSize(const std::string &method, int n) { Lock l(mu_); batchFault_[method] = n; }

    // Requests of `method` whose text holds `part`, in arrival order.
    std::vector<std::string> RequestsOf(const std::string &method,
                                        const std::string &part = "") const
    {
        std::vector<std::string> all = server_.Requests(), out;
        const std::string key = "\"method\":" + Q(method);
        std::copy_if(all.begin(), all.end(), std::back_inserter(out), [&](const std::string &r) {
            return r.find(key) != std::string::npos && r.find(part) != std::string::npos;
        });
        return out;
    }

private:
    using Lock = std::lock_guard<std::mutex>;

    cJSON *Member(const std::string &method, const TestDisk &d)
    {
        return method == "dca_get_disks_health_info" ? HealthJson(d)
               : method == "dca_get_disks_iostat"    ? IoJson(d, 1000 + ticks_ * 10)
               : method == "dca_get_disks_brief_info" ? BriefJson(d)
                                                      : BaseJson(d);
    }
    // Answers with the disks the request names (each device name is quoted
    // in it), or every disk for the device list, or their slots.
    std::string Respond(const std::string &text)
    {
        Lock lock(mu_);
        Json req(text);
        const char *m = cJSON_GetStringValue(cJSON_GetObjectItem(req.value, "method"));
        const std::string method = m != nullptr ? m : "";
        const cJSON *devices = cJSON_GetObjectItem(cJSON_GetObjectItem(req.value, "params"), "devices");
        Fault fault = faults_[method];
        if (fault == Fault::kGarbage || (batchFault_.count(method) &&
                                         cJSON_GetArraySize(devices) == batchFault_[method])) {
            return "this is {not json";
        }
        cJSON *disks = cJSON_CreateArray();
        const bool slots = method == "dca_get_disks_slotid", brief = method == "dca_get_disks_brief_info";
        for (const auto &[dev, slot] : slots_) {
            if (slots && text.find(Q(dev)) != std::string::npos) {
                cJSON_AddItemToArray(disks, cJSON_Parse(("{\"device_name\":" + Q(dev) + ",\"slot_id\":" +
                                                         std::to_string(slot) + "}").c_str()));
            }
        }
        for (const TestDisk &d : disks_) {
            if (!slots && (brief || text.find(Q(d.dev)) != std::string::npos)) {
                cJSON_AddItemToArray(disks, Member(method, d));
            }
        }
        if (fault == Fault::kExtraDisk && !disks_.empty()) {
            cJSON_AddItemToArray(disks, Member(method, disks_.front()));
        }
        Json answer(R"({"jsonrpc":"2.0","id":1,"result":{}})");
        cJSON *result = cJSON_GetObjectItem(answer.value, "result");
        cJSON_AddItemToObject(result, "disks", disks);
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
    std::map<std::string, int> slots_;
    std::map<std::string, Fault> faults_;
    std::map<std::string, int> batchFault_;
    unsigned long long ticks_ = 1000000;
    // Last, so that it is destroyed first: its connection threads call
    // Respond, which reads the members above.
    UnixAgentServer server_;
};

// Device-list records of `disks`, as QueryDeviceList would hand them out.
struct Devices {
    explicit Devices(const std::vector<TestDisk> &disks) : records(disks.size())
    {
        for (size_t i = 0; i < disks.size(); ++i) {
            disks[i].sn.copy(records[i].sn, sizeof(records[i].sn) - 1);
            disks[i].dev.copy(records[i].deviceName, sizeof(records[i].deviceName) - 1);
            ptrs.push_back(&records[i]);
        }
    }
    std::vector<DiskBriefInfo> records;
    std::vector<DiskBriefInfo *> ptrs;
};

inline std::atomic<uint64_t> g_sleptMs{0};  // asked for, before the shortening

inline void FastSleep(KeeperTime t)
{
    auto ts = ConvertKeeperTime2Timespec(t);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    g_sleptMs += ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms >= 50 ? ms / 50 : ms));
}

struct CollectEnv {
    FakeAgent kernel{"unique_DCAK_agent"}, dma{"unique_DMA_agent"};
};
inline CollectEnv *g_env = nullptr;

// Whether `sn` is registered. Read through the store, under its lock, so
// that a registration is seen only once it is complete (agent message
// included).
inline bool IsRegistered(const std::string &sn)
{
    uint32_t ids[MAX_DISK_NUM] = {0}, count = 0;
    char bufs[MAX_DISK_NUM][DISK_SN_LEN] = {};
    KeeperStr sns[MAX_DISK_NUM];
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        sns[i] = KeeperStr{static_cast<uint32_t>(DISK_SN_LEN), bufs[i]};
    }
    return ListAllOnlineDisk(ids, sns, MAX_DISK_NUM, &count) == 0 &&
           std::any_of(bufs, bufs + count, [&](const char *b) { return sn == b; });
}

// dma_* messages the data agent received naming `sn` with `method`.
inline size_t DmaCount(const std::string &method, const std::string &sn)
{
    return g_env->dma.RequestsOf(method, Q(sn)).size();
}

// Base of the collection test fixtures: the shared environment for the suite
// (agents ended, and their threads joined, when it is done), and after each
// test every query thread stopped (with time to finish its pass before the
// fake agents change) and every disk taken offline.
class CollectTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        KeeperOsOps ops = KeeperInfraLiteOps();
        ops.sleep = FastSleep;
        KeeperOsInstall(ops);
        DcmRpcSetSocketTimeoutMs(300);
        g_env = new CollectEnv();
        char dir[] = "/tmp/spkcollectXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_EQ(DiskMgrInit((std::string(dir) + "/disk_mgr.config").c_str()), 0);
        ASSERT_EQ(DataMgrInit(), 0);
        ASSERT_EQ(InitDataCollectMaster(), 0);
        ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DCAK, g_env->kernel.Info().addr.sockFile), 0);
        ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, g_env->dma.Info().addr.sockFile), 0);
        ready_ = true;
    }
    // A failed assertion in the suite's set-up only marks its tests skipped,
    // which ctest counts as passing: each test checks it instead.
    void SetUp() override { ASSERT_TRUE(ready_) << "the suite's set-up failed"; }
    static inline bool ready_ = false;
    static void TearDownTestSuite() { delete std::exchange(g_env, nullptr); }
    void TearDown() override
    {
        CancelAllQueryAgentScheduleTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        Reset();
    }
    // Takes every registered disk offline.
    static void Reset()
    {
        EXPECT_EQ(DiskSerialNumberRefresh(nullptr, 0), 0);
        g_env->kernel.SetDisks({});
        g_env->kernel.Server().ClearRequests();
        g_env->dma.Server().ClearRequests();
    }
};

}  // namespace dcmtest
