// Shared set-up of the data-store tests: a registry on a temporary file, a
// test data agent on a temporary UNIX socket, a recording DRM notification
// function and a whitelist stand-in. Header-only.
#pragma once

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_mgr/data_mgr_master/data_mgr_dma.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/persist_files.h"
#include "support/unix_agent_server.h"

namespace dmtest {

// DRM notifications seen as "id/sn/event" (recorded under the data-manager
// lock, read by the test thread).
inline std::mutex g_drmMu;
inline std::vector<std::string> g_drmEvents;

inline int32_t RecordDrmEvent(uint32_t diskId, KeeperStr sn, uint32_t event)
{
    std::lock_guard<std::mutex> lock(g_drmMu);
    g_drmEvents.push_back(std::to_string(diskId) + "/" + std::string(sn.buf, strnlen(sn.buf, sn.len)) +
                          "/" + std::to_string(event));
    return 0;
}

inline std::vector<std::string> DrmEvents()
{
    std::lock_guard<std::mutex> lock(g_drmMu);
    return g_drmEvents;
}

inline void ResetDrm()
{
    std::lock_guard<std::mutex> lock(g_drmMu);
    g_drmEvents.clear();
}

// Whitelist stand-in: base records pass unless their vendor is "REJECT";
// other info types pass unless the serial number starts with "REJECT".
inline bool TestWhiteList(uint32_t, const char *sn, const void *data, uint32_t infoType)
{
    return infoType == DATA_INFO_BASE ? strcmp(static_cast<const DiskBaseInfo *>(data)->vendor, "REJECT") != 0
                                      : strncmp(sn, "REJECT", 6) != 0;
}

// A base record as data collection builds it (state unset, no id yet).
inline DiskBaseInfo Disk(const std::string &sn, uint32_t state = DISK_STATE_UNSET)
{
    DiskBaseInfo d{DISK_ID_INVALID, state, DISK_LOCATION_UNKNOWN, 3, 3840755982336ULL, 512, "ATA",
                   "KSSD-T3840", "FW01", "", "sdb", "", DISK_TYPE_SSD_SATA, MEDIA_TYPE_TLC};
    strncpy(d.sn, sn.c_str(), sizeof(d.sn) - 1);
    return d;
}

// A serial-number reference as the callers pass it: {40, field}.
struct Sn {
    explicit Sn(const std::string &s) { strncpy(buf, s.c_str(), sizeof(buf) - 1); }
    KeeperStr Ref(uint32_t len = 40) { return KeeperStr{len, buf}; }
    char buf[41] = {};
};

// Socket timeout of the store tests: an answering agent is never this slow,
// a silent one costs five of them.
inline constexpr uint32_t kAgentTimeoutMs = 400;

class DataMgrFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Installed once: a detached sync thread of an earlier test may still
        // be leaving through the table.
        if (!KeeperOsInstalled()) {
            ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        }
        DcmRpcSetSocketTimeoutMs(kAgentTimeoutMs);
        agent_ = std::make_unique<UnixAgentServer>();
        ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, agent_->Path().c_str()), 0);
        ASSERT_EQ(DiskMgrInit(registryPath_.c_str()), 0);
        ResetDrm();
        DataMgrSetWhiteListFunc(TestWhiteList);
        ASSERT_EQ(DataMgrSetDrmNotifyFunc(RecordDrmEvent), 0);
        ASSERT_EQ(DataMgrInit(), 0);
    }

    void TearDown() override
    {
        (void)DataMgrDestroy();
        DiskMgrDestroy();
        (void)DataMgrSetDrmNotifyFunc(nullptr);
        DataMgrSetWhiteListFunc(nullptr);
        DcmRpcSetSocketTimeoutMs(0);
    }

    // Registers a disk the way data collection does; returns its id.
    uint32_t Register(const std::string &sn)
    {
        DiskBaseInfo d = Disk(sn);
        Sn key(sn);
        EXPECT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &d, DATA_INFO_BASE), 0);
        uint32_t id = DISK_ID_INVALID;
        EXPECT_EQ(GetDiskIdBySn(40, key.buf, &id), 0);
        return id;
    }

    // The data agent's requests since the last clear, one per line as
    // "method sn state-or-strategy" (the method without its "dma_").
    std::string Sent() const
    {
        std::string out;
        for (const auto &r : agent_->Requests()) {
            std::shared_ptr<cJSON> doc(cJSON_Parse(r.c_str()), cJSON_Delete);
            const cJSON *params = cJSON_GetObjectItem(doc.get(), "params");
            const cJSON *state = cJSON_GetObjectItem(params, "disk_state");
            const char *strategy = cJSON_GetStringValue(cJSON_GetObjectItem(params, "disk_handle_strategy"));
            out += std::string(cJSON_GetStringValue(cJSON_GetObjectItem(doc.get(), "method"))).substr(4) +
                   " " + cJSON_GetStringValue(cJSON_GetObjectItem(params, "sn")) +
                   (state != nullptr ? " " + std::to_string(state->valueint) : "") +
                   (strategy != nullptr ? std::string(" ") + strategy : "") + "\n";
        }
        return out;
    }

    std::string RegistryText() const { return ReadFileText(registryPath_); }

    TempDir dir_;
    std::string registryPath_ = dir_.Join("disk_mgr.config");
    std::unique_ptr<UnixAgentServer> agent_;
};

}  // namespace dmtest
