// test-labels: concurrent
#include "data_mgr/data_mgr_master/data_mgr_online.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_collect_fixture.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"

using namespace dcmtest;

namespace {

class DataMgrOnlineTest : public CollectTest {
protected:
    // The refresh run by hand over the serial numbers of `disks`.
    static int32_t Refresh(const std::vector<TestDisk> &disks)
    {
        Devices devs(disks);
        std::vector<KeeperStr> sns;
        for (DiskBriefInfo &d : devs.records) {
            sns.push_back(KeeperStr{static_cast<uint32_t>(DISK_SN_LEN), d.sn});
        }
        return DiskSerialNumberRefresh(sns.data(), static_cast<uint32_t>(sns.size()));
    }

    // An agent in the collection's agent list whose own query thread stores
    // nothing (health, IO and batched base answers are garbage), so that every
    // single-disk base request it sees is a fetch of the refresh. It must hold
    // exactly two disks.
    static void Enlist(FakeAgent &agent)
    {
        agent.SetFault("dca_get_disks_health_info", Fault::kGarbage);
        agent.SetFault("dca_get_disks_iostat", Fault::kGarbage);
        agent.SetFaultForBatchSize("dca_get_disks_base_info", 2);
        AgentInfo info = agent.Info();
        ASSERT_EQ(SubmitQueryAgentScheduleTask(&info), 0);
    }

    static size_t Fetches(FakeAgent &agent, const std::string &dev)
    {
        return agent.RequestsOf("dca_get_disks_base_info", "[\"" + dev + "\"]").size();
    }
};

// Only the given base record decides for a base set; a rejection is cached
// and then holds even for a record that would pass.
TEST_F(DataMgrOnlineTest, WhiteListDecisionForASet)
{
    DiskBaseInfo info{0, 0, 0, 0, 0, 0, "ATA", "XSSD-1", "", "WL-SET-1", "", "", DISK_TYPE_SSD_SATA,
                      0};
    ASSERT_TRUE(DataMgrLock());
    EXPECT_FALSE(IsInWhiteList(DISK_SN_LEN, info.sn, &info, 0));
    strcpy(info.model, "KSSD-1");
    EXPECT_FALSE(IsInWhiteList(DISK_SN_LEN, info.sn, &info, 0)) << "cached as non-whitelisted";
    strcpy(info.sn, "WL-SET-2");
    EXPECT_TRUE(IsInWhiteList(DISK_SN_LEN, info.sn, &info, 0));
    EXPECT_FALSE(IsInWhiteList(DISK_SN_LEN, info.sn, nullptr, 0)) << "no record to copy";
    EXPECT_FALSE(IsInWhiteList(DISK_SN_LEN, "WL-UNLISTED", nullptr, 2)) << "no agent lists it";
    DataMgrUnlock();
}

TEST_F(DataMgrOnlineTest, RefreshRegistersWhitelistedDisksAndRemembersTheOthers)
{
    FakeAgent agent("online");
    TestDisk good{"SSD_SATA", "ATA", "KSSD-1", "ON-GOOD", "sdg"};
    TestDisk bad{"SSD_SATA", "ATA", "XSSD-1", "ON-BAD", "sdh"};
    agent.SetDisks({good, bad});
    Enlist(agent);
    ASSERT_EQ(Refresh({good, bad}), 0);
    EXPECT_TRUE(IsRegistered("ON-GOOD"));
    EXPECT_FALSE(IsRegistered("ON-BAD"));
    EXPECT_EQ(DmaCount("dma_set_disk_info_inner", "ON-GOOD"), 1u);
    EXPECT_EQ(Fetches(agent, "sdh"), 1u);
    ASSERT_EQ(Refresh({good, bad}), 0);
    EXPECT_EQ(Fetches(agent, "sdh"), 1u) << "a cached disk is not fetched again";
    EXPECT_EQ(Fetches(agent, "sdg"), 1u) << "a registered disk is not fetched again";

    // Leaving the list: offline, poweroff sent, entry gone.
    ASSERT_EQ(Refresh({bad}), 0);
    EXPECT_FALSE(IsRegistered("ON-GOOD"));
    EXPECT_EQ(DmaCount("dma_poweroff_disk", "ON-GOOD"), 1u);
}

TEST_F(DataMgrOnlineTest, AFailedFetchEndsTheRefreshAndIsRetried)
{
    FakeAgent agent("online_fail");
    const std::vector<TestDisk> ab = Hdds(2, "ON-FAIL-");
    agent.SetDisks(ab);
    Enlist(agent);
    TestDisk ghost{"HDD_SAS", "WD", "W", "ON-GHOST", "sdz"};
    EXPECT_EQ(Refresh({ghost, ab[0], ab[1]}), -1) << "no agent lists the ghost";
    EXPECT_FALSE(IsRegistered("ON-FAIL-0")) << "the rest waits for the next refresh";
    EXPECT_EQ(Refresh(ab), 0);
    EXPECT_TRUE(IsRegistered("ON-FAIL-0") && IsRegistered("ON-FAIL-1"));
}

}  // namespace
