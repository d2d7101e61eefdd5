// Shared set-up of the DRM feature tests: the data store of the store tests
// (registry on a temporary file, a test data agent) joined to the DRM
// framework and its adapter, with hand-run workers, so a test registers
// disks, writes their records into the store and runs an analyser itself.
// Header-only: included by the feature test files.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

namespace drmfeat {

using dmtest::Sn;

class DrmFeatureFixture : public dmtest::DataMgrFixture {
protected:
    using FeatureInit = int (*)();
    using FeatureFin = int (*)();

    void SetUpFeature(FeatureInit init, FeatureFin fin)
    {
        dmtest::DataMgrFixture::SetUp();
        HostTimersManual(true);
        DrmSetThreadStarter(drmtest::DeferStarter);
        ASSERT_EQ(DrmFrameworkAdapterInitPhase1(), 0);
        ASSERT_EQ(DrmMemMgrInit(), 0);
        ASSERT_EQ(DrmTaskSchedulerInit(), 0);
        ASSERT_EQ(DrmLocalDataMgrInit(), 0);
        ASSERT_EQ(DrmFrameworkAdapterInitPhase2(), 0);
        ASSERT_EQ(init(), 0);
        fin_ = fin;
    }

    void TearDown() override
    {
        drmtest::RunWorkers();
        if (fin_ != nullptr) (void)fin_();
        (void)DrmFrameworkAdapterFinPhase2();
        (void)DrmLocalDataMgrFin();
        (void)DrmTaskSchedulerFin();
        (void)DrmMemMgrFin();
        DrmSetThreadStarter(nullptr);
        HostTimersReset();
        dmtest::DataMgrFixture::TearDown();
    }

    // Registers a disk of the daemon type and vendor and runs the workers its
    // disk-in event started (unless !run); returns its id.
    uint32_t AddDisk(const std::string &sn, uint32_t diskType, const char *vendor = "ATA",
                     bool run = true)
    {
        DiskBaseInfo d = dmtest::Disk(sn);
        d.diskType = diskType;
        strncpy(d.vendor, vendor, sizeof(d.vendor) - 1);
        Sn key(sn);
        EXPECT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &d, DATA_INFO_BASE), 0);
        uint32_t id = DISK_ID_INVALID;
        EXPECT_EQ(GetDiskIdBySn(40, key.buf, &id), 0);
        if (run) drmtest::RunWorkers();
        return id;
    }

    // The disk leaves: off-line state, which drops it from the store.
    void DropDisk(uint32_t id, const std::string &sn, bool run = true)
    {
        uint32_t off = DISK_STATE_OFFLINE;
        EXPECT_EQ(DataMgrDiskInfoSet(id, Sn(sn).Ref(), &off, DATA_INFO_DISK_STATE), 0);
        if (run) drmtest::RunWorkers();
    }

    void SetHealth(const std::string &sn, const DiskHealthInfo &h)
    {
        ASSERT_EQ(DiskHealthInfoSet(Sn(sn).Ref(), &h), 0);
    }

    static uint32_t State(uint32_t id)
    {
        DiskBaseInfo b{};
        EXPECT_EQ(DiskBaseInfoGet(id, &b), 0);
        return b.diskState;
    }

    // Agent messages of one method for one serial number, as their values.
    std::vector<std::string> Sent(const char *method, const std::string &sn, const char *field)
    {
        std::vector<std::string> out;
        for (const auto &r : agent_->Requests()) {
            std::shared_ptr<cJSON> doc(cJSON_Parse(r.c_str()), cJSON_Delete);
            const cJSON *params = cJSON_GetObjectItem(doc.get(), "params");
            const char *m = cJSON_GetStringValue(cJSON_GetObjectItem(doc.get(), "method"));
            const char *s = cJSON_GetStringValue(cJSON_GetObjectItem(params, "sn"));
            if (m != nullptr && s != nullptr && m == std::string(method) && s == sn) {
                cJSON *v = cJSON_GetObjectItem(params, field);
                out.push_back(cJSON_IsString(v) ? v->valuestring
                                                : std::to_string(static_cast<int>(v->valuedouble)));
            }
        }
        return out;
    }

    FeatureFin fin_ = nullptr;
};

}  // namespace drmfeat
