// test-labels: concurrent
#include "data_collect/data_collect_master/dcm_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/dcm_collect_fixture.h"
#include "support/log_capture.h"

using namespace dcmtest;

namespace {

using DcmScheduleTest = CollectTest;

// Requests carry at most 13 base, 4 health or 20 IO records.
TEST_F(DcmScheduleTest, BatchCounts)
{
    for (auto [type, k] : {std::pair{MESSAGE_DISK_BASE_INFO, 13u}, std::pair{MESSAGE_DISK_HEALTH_INFO, 4u},
                           std::pair{MESSAGE_DISK_IOSTAT, 20u}}) {
        for (uint32_t disks : {0u, 1u, k, k + 1, 64u}) {
            EXPECT_EQ(DcmBatchCount(type, disks), (disks + k - 1) / k) << type << "/" << disks;
        }
    }
}

// Fourteen base records go out as 13 and 1, each batch from its own offset;
// a failed batch fails the message but not the batches that were saved.
TEST_F(DcmScheduleTest, AFailedBatchFailsTheMessageButNotTheOtherBatches)
{
    for (bool fail : {false, true}) {
        FakeAgent agent("split");
        const std::string p = fail ? "U" : "T";
        agent.SetDisks(Hdds(14, p));
        agent.SetFaultForBatchSize("dca_get_disks_base_info", fail ? 1 : -1);  // -1 matches no batch
        AgentInfo info = agent.Info();
        Devices list(Hdds(14, p));
        LogCapture log;
        EXPECT_EQ(StepQueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, list.ptrs.data(), 14), fail ? EIO : 0);
        // The operator's only record of which message and batch failed.
        EXPECT_EQ(log.Contains("Agent(split) QueryMessageAndSave(message:dca_get_disks_base_info) "
                               "Failed(ret:5)(offset:13)(step:13)."), fail);
        std::vector<std::string> reqs = agent.RequestsOf("dca_get_disks_base_info");
        ASSERT_EQ(reqs.size(), 2U);
        EXPECT_NE((reqs[0] + reqs[1]).find("[\"" + p + "d13\"]"), std::string::npos) << "the last alone";
        EXPECT_TRUE(IsRegistered(p + "0") && IsRegistered(p + "12"));
        EXPECT_EQ(IsRegistered(p + "13"), !fail);
    }
}

// Each agent is listed once, cancelling one leaves the others, one scan runs
// at a time; a fetch searches the listed agents, head first.
TEST_F(DcmScheduleTest, AgentsAreListedOnceAndSearchedByFetch)
{
    FakeAgent a("fetch_a"), b("fetch_b");
    // Off the whitelist, so that the query threads register nothing.
    a.SetDisks({TestDisk{"HDD_SAS", "MAXTOR", "M", "FA", "fa0"}});
    b.SetDisks({{"HDD_SAS", "MAXTOR", "M", "FB", "fb0"}, {"HDD_SAS", "MAXTOR", "M", "FA", "fa0"}});
    AgentInfo ia = a.Info(), ib = b.Info(), never = g_env->dma.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ia), 0);
    EXPECT_EQ(SubmitQueryAgentScheduleTask(&ia), EALREADY);
    EXPECT_EQ(CancelQueryAgentScheduleTask(&ia), 0);
    EXPECT_EQ(SubmitQueryAgentScheduleTask(&ia), 0) << "resubmitted while its old thread ends";
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ib), 0);  // b is the head of the list now
    EXPECT_EQ(CancelQueryAgentScheduleTask(&never), 0);
    EXPECT_EQ(SubmitQueryAgentScheduleTask(&ia), EALREADY) << "cancelling another agent left a listed";
    char sn[DISK_SN_LEN] = "FB", unknown[DISK_SN_LEN] = "NOWHERE", fa[DISK_SN_LEN] = "FA";
    DiskBaseInfo out{};
    ASSERT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, sn, &out), 0);
    EXPECT_STREQ(out.sn, "FB");
    EXPECT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, unknown, &out), ENOMEDIUM);
    // Found at the head agent, whose base answer is broken: its failure is
    // returned and the other agent is not asked.
    b.SetFault("dca_get_disks_base_info", Fault::kBadResult);
    EXPECT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, fa, &out), EBADMSG);
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), EALREADY);
    CancelAllQueryAgentScheduleTask();
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0) << "a new scan starts at once";
}

// A pass whose IO query fails leaves IO due and comes back after 500 ms,
// not after what is left of the 3 s period.
TEST_F(DcmScheduleTest, AFailedIoQueryIsAskedAgainAfter500Ms)
{
    FakeAgent agent("pass");
    agent.SetDisks(Hdds(1, "P"));
    agent.SetFault("dca_get_disks_iostat", Fault::kGarbage);
    auto ctx = std::make_unique<QueryAgentTaskContext>();
    ctx->agent = agent.Info();
    ctx->lastQueryTime[MESSAGE_DISK_IOSTAT] = time(nullptr) - 10;
    uint64_t before = g_sleptMs.load();
    QueryAgentScheduleTask(ctx.get());
    EXPECT_EQ(g_sleptMs.load() - before, 500U);
}

// Two agents and the scan: registration of the whitelisted disks with the
// NVMe slot, IO statistics, and a pulled disk taken offline.
TEST_F(DcmScheduleTest, ScanKeepsTheStoreInStepWithTheAgents)
{
    FakeAgent user("scan_user");
    std::vector<TestDisk> userDisks = Hdds(3, "SU");
    userDisks.push_back(TestDisk{"HDD_SAS", "MAXTOR", "MX", "SU-FOREIGN", "suforeign"});
    user.SetDisks(userDisks);
    g_env->kernel.SetDisks({TestDisk{"SSD_NVMe", "KORVAN", "KN", "SK-NVME", "nvme3n1"},
                            TestDisk{"SSD_SATA", "ATA", "XSSD-9", "SK-XSSD", "sdk1"}});
    g_env->kernel.SetSlot("nvme3n1", 21);
    AgentInfo iu = user.Info(), ik = g_env->kernel.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&iu), 0);
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ik), 0);
    ASSERT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);

    const std::vector<std::string> white = {"SU0", "SU1", "SU2", "SK-NVME"};
    ASSERT_TRUE(WaitUntil([&] { return std::all_of(white.begin(), white.end(), [](auto &s) { return IsRegistered(s); }); }));
    uint32_t id = 0;
    ASSERT_EQ(GetDiskIdBySn(7, "SK-NVME", &id), 0);
    DiskBaseInfo nvme{};
    ASSERT_EQ(DiskBaseInfoGet(id, &nvme), 0);
    EXPECT_EQ(nvme.slotId, 21U);
    EXPECT_FALSE(IsRegistered("SU-FOREIGN") || IsRegistered("SK-XSSD")) << "off the whitelist";
    DiskIoStatInfo stat{};
    EXPECT_TRUE(WaitUntil([&] { return DiskIoStatInfoGet(id, &stat) == 0; }, 8000));
    // Pulled from its agent: the scan takes it offline and tells the data agent.
    user.SetDisks({userDisks[0], userDisks[2], userDisks[3]});
    ASSERT_TRUE(WaitUntil([] { return !IsRegistered("SU1"); }));
    EXPECT_TRUE(WaitUntil([] { return DmaCount("dma_poweroff_disk", "SU1") == 1u; }));
}

}  // namespace
