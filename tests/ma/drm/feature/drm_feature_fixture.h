// Shared set-up of the DRM feature tests: the data store of the store tests
// (registry on a temporary file, a test data agent) joined to the DRM
// framework and its adapter, with hand-run workers, so a test registers
// disks, writes their records into the store and runs an analyser itself.
// The agent's requests are read with the store fixture's Sent().
// Header-only: included by the feature test files.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "ma/drm/drm_test_env.h"

namespace drmfeat {

using dmtest::Sn;

class DrmFeatureFixture : public dmtest::DataMgrFixture {
protected:
    void SetUpFeature(int (*init)(), int (*fin)())
    {
        dmtest::DataMgrFixture::SetUp();
        drmtest::FrameworkUp(true);
        ASSERT_EQ(init(), 0);
        fin_ = fin;
    }

    void TearDown() override
    {
        drmtest::RunWorkers();
        EXPECT_EQ(fin_ != nullptr ? fin_() : 0, 0);
        drmtest::FrameworkDown(true);
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

    int (*fin_)() = nullptr;
};

}  // namespace drmfeat
