// test-labels: concurrent
#include "data_collect/data_collect_master/dcm_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/dcm_collect_fixture.h"
#include "support/log_capture.h"

using namespace dcmtest;

namespace {

using DcmScheduleTest = CollectTest;

struct DeviceList {
    explicit DeviceList(const AgentInfo &agent) { records = QueryDeviceList(&agent, &count); }
    ~DeviceList()
    {
        for (uint16_t i = 0; records != nullptr && i < count; ++i) {
            KeeperFree(records[i]);
        }
        KeeperFree(records);
    }
    DiskBriefInfo **records = nullptr;
    uint16_t count = 0;
};

// One pass of the agent's query task; returns the milliseconds it slept.
uint64_t Pass(QueryAgentTaskContext *ctx)
{
    uint64_t slept = g_requestedSleepMs.load();
    QueryAgentScheduleTask(ctx);
    return g_requestedSleepMs.load() - slept;
}

std::unique_ptr<QueryAgentTaskContext> NewContext(const AgentInfo &agent)
{
    auto c = std::make_unique<QueryAgentTaskContext>();
    c->agent = agent;
    c->lastQueryTime[MESSAGE_DISK_BRIEF_INFO] = time(nullptr);
    return c;
}

TEST_F(DcmScheduleTest, AgentsAreListedOnce)
{
    FakeAgent a("agent_a"), b("agent_b");
    AgentInfo ia = a.Info(), ib = b.Info();
    EXPECT_EQ(InitDataCollectMaster(), EALREADY);
    EXPECT_EQ(CancelQueryAgentScheduleTask(&ia), 0) << "an agent never submitted";
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ia), 0);
    EXPECT_EQ(SubmitQueryAgentScheduleTask(&ia), EALREADY);
    EXPECT_EQ(CancelQueryAgentScheduleTask(&ib), 0);
    EXPECT_EQ(SubmitQueryAgentScheduleTask(&ia), EALREADY) << "cancelling b left a listed";
    EXPECT_EQ(CancelQueryAgentScheduleTask(&ia), 0);
    EXPECT_EQ(SubmitQueryAgentScheduleTask(&ia), 0) << "resubmit while the old thread finishes";
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), EALREADY);
}

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
        if (fail) {
            agent.SetFaultForBatchSize("dca_get_disks_base_info", 1);
        }
        AgentInfo info = agent.Info();
        DeviceList list(info);
        ASSERT_EQ(list.count, 14);
        LogCapture log;
        EXPECT_EQ(StepQueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, list.records, list.count),
                  fail ? EIO : 0);
        // The operator's only record of which message and batch failed.
        EXPECT_EQ(log.Contains("Agent(split) QueryMessageAndSave(message:dca_get_disks_base_info) "
                               "Failed(ret:5)(offset:13)(step:13)."), fail);
        std::vector<int> sizes = agent.BatchSizesOf("dca_get_disks_base_info");
        std::sort(sizes.begin(), sizes.end());
        EXPECT_EQ(sizes, (std::vector<int>{1, 13}));
        EXPECT_TRUE(IsRegistered(p + "0"));
        EXPECT_EQ(IsRegistered(p + "13"), !fail);
    }
}

// The first pass asks everything; the next pass skips base information,
// which is due only an hour after its last success. An empty or failed
// device list pauses the agent for 5 s.
TEST_F(DcmScheduleTest, QueryPassAsksWhatIsDue)
{
    FakeAgent agent("pass");
    auto ctx = NewContext(agent.Info());
    EXPECT_EQ(Pass(ctx.get()), 5000U) << "empty list";
    agent.SetFault("dca_get_disks_brief_info", Fault::kGarbage);
    EXPECT_EQ(Pass(ctx.get()), 5000U) << "failed list";
    EXPECT_TRUE(agent.RequestsOf("dca_get_disks_base_info").empty());
    agent.SetFault("dca_get_disks_brief_info", Fault::kNone);

    agent.SetDisks(Hdds(2, "P"));
    uint64_t slept = Pass(ctx.get());
    auto counts = [&] {
        return std::to_string(agent.RequestsOf("dca_get_disks_base_info").size()) +
               std::to_string(agent.RequestsOf("dca_get_disks_health_info").size()) +
               std::to_string(agent.RequestsOf("dca_get_disks_iostat").size());
    };
    EXPECT_EQ(counts(), "111");
    EXPECT_TRUE(slept >= 2000U && slept <= 3000U) << slept << ": what is left of the 3 s IO period";

    ctx->lastQueryTime[MESSAGE_DISK_HEALTH_INFO] -= 10;
    ctx->lastQueryTime[MESSAGE_DISK_IOSTAT] -= 10;
    EXPECT_FALSE(IsQueryMessageDue(ctx.get(), MESSAGE_DISK_BASE_INFO, time(nullptr)));
    EXPECT_TRUE(IsQueryMessageDue(ctx.get(), MESSAGE_DISK_BASE_INFO, time(nullptr) + 3600));
    EXPECT_FALSE(IsQueryMessageDue(ctx.get(), MESSAGE_TYPE_BUTT, time(nullptr) + 360000));
    agent.SetFault("dca_get_disks_iostat", Fault::kGarbage);
    time_t ioBefore = ctx->lastQueryTime[MESSAGE_DISK_IOSTAT];
    EXPECT_EQ(Pass(ctx.get()), 500U) << "IO overdue: poll again in 500 ms";
    EXPECT_EQ(counts(), "122");
    EXPECT_EQ(ctx->lastQueryTime[MESSAGE_DISK_IOSTAT], ioBefore) << "a failed message stays due";
}

TEST_F(DcmScheduleTest, FetchSearchesTheListedAgents)
{
    FakeAgent a("fetch_a"), b("fetch_b");
    // Off the whitelist, so that the query threads register nothing.
    a.SetDisks({Disk("HDD_SAS", "MAXTOR", "M", "FA", "fa0")});
    b.SetDisks({Disk("HDD_SAS", "MAXTOR", "M", "FB", "fb0"), Disk("HDD_SAS", "MAXTOR", "M", "FA", "fa0")});
    AgentInfo ia = a.Info(), ib = b.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ia), 0);
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ib), 0);  // b is the head of the list now
    char sn[DISK_SN_LEN] = "FB", unknown[DISK_SN_LEN] = "NOWHERE", fa[DISK_SN_LEN] = "FA";
    DiskBaseInfo out{};
    ASSERT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, sn, &out), 0);
    EXPECT_STREQ(out.sn, "FB");
    EXPECT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, unknown, &out), ENOMEDIUM);
    // Found at the head agent, whose base answer is broken: its failure is
    // returned and the other agent is not asked.
    b.SetFault("dca_get_disks_base_info", Fault::kBadResult);
    EXPECT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, fa, &out), EBADMSG);
}

// Two agents and the scan: registration, the whitelist, pull and re-insert,
// a broken agent, and a scan that no agent answers.
TEST_F(DcmScheduleTest, ScanKeepsTheStoreInStepWithTheAgents)
{
    FakeAgent user("scan_user");
    std::vector<TestDisk> userDisks = Hdds(3, "SU");
    userDisks.push_back(Disk("HDD_SAS", "MAXTOR", "MX", "SU-FOREIGN", "suforeign"));
    user.SetDisks(userDisks);
    g_env->kernel.SetDisks({Disk("SSD_NVMe", "KORVAN", "KN", "SK-NVME", "nvme3n1"),
                            Disk("SSD_SATA", "ATA", "XSSD-9", "SK-XSSD", "sdk1")});
    g_env->kernel.SetSlot("nvme3n1", 21);
    AgentInfo iu = user.Info(), ik = g_env->kernel.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&iu), 0);
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ik), 0);
    ASSERT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);

    const std::vector<std::string> white = {"SU0", "SU1", "SU2", "SK-NVME"};
    ASSERT_TRUE(WaitUntil([&] { return std::all_of(white.begin(), white.end(), IsRegistered); }));
    std::set<uint32_t> ids;
    for (const std::string &s : white) {
        uint32_t id = 0;
        ASSERT_TRUE(RegisteredEntry(s, nullptr, &id));
        ids.insert(id);
    }
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), white.size() - 1) << "ids are contiguous";
    DiskBaseInfo nvme{};
    ASSERT_TRUE(RegisteredEntry("SK-NVME", &nvme));
    EXPECT_EQ(nvme.slotId, 21U);
    EXPECT_FALSE(IsRegistered("SU-FOREIGN"));
    EXPECT_FALSE(IsRegistered("SK-XSSD")) << "SATA SSD model outside the whitelist";
    uint32_t id = 0;
    ASSERT_TRUE(RegisteredEntry("SU0", nullptr, &id));
    DiskIoStatInfo stat{};
    EXPECT_TRUE(WaitUntil([&] { return DiskIoStatInfoGet(id, &stat) == 0; }, 8000));

    // Pull SU1: offline, registry entry gone, the data agent told; then re-insert.
    user.SetDisks({userDisks[0], userDisks[2], userDisks[3]});
    ASSERT_TRUE(WaitUntil([] { return !IsRegistered("SU1"); }));
    EXPECT_TRUE(WaitUntil([] { return DmaCount("dma_poweroff_disk", "SU1") == 1; }));
    user.SetDisks(userDisks);
    ASSERT_TRUE(WaitUntil([] { return IsRegistered("SU1"); }));

    // The kernel agent answers garbage: its disks leave, the user agent's stay.
    g_env->kernel.SetFault("dca_get_disks_brief_info", Fault::kGarbage);
    ASSERT_TRUE(WaitUntil([] { return !IsRegistered("SK-NVME"); }));
    user.Server().ClearRequests();
    EXPECT_TRUE(WaitUntil([&] { return user.RequestsOf("dca_get_disks_iostat").size() >= 2; }, 8000))
        << "collection from the healthy agent goes on";
    EXPECT_TRUE(IsRegistered("SU0"));

    // No agent answers: every disk goes offline.
    user.SetFault("dca_get_disks_brief_info", Fault::kGarbage);
    EXPECT_TRUE(WaitUntil([&] { return !IsRegistered("SU0") && !IsRegistered("SU2"); }));
    g_env->kernel.SetFault("dca_get_disks_brief_info", Fault::kNone);
}

// 70 disks over two agents: the 64 admitted first stay admitted whatever order
// the agents list them in, the overflow is logged once rather than per scan,
// and the query passes leave the overflow disks alone instead of failing on
// them and polling every 500 ms.
TEST_F(DcmScheduleTest, MoreThanSixtyFourDisksFloodNothing)
{
    FakeAgent agents[2] = {FakeAgent("over_a"), FakeAgent("over_b")};
    std::vector<TestDisk> disks[2] = {Hdds(40, "OA"), Hdds(30, "OB")};
    for (int a = 0; a < 2; ++a) {
        agents[a].SetDisks(disks[a]);
        AgentInfo info = agents[a].Info();
        ASSERT_EQ(SubmitQueryAgentScheduleTask(&info), 0);
    }
    LogCapture log;
    auto unmonitored = [&] {  // device names
        std::set<std::string> devs;
        for (const auto &list : disks) {
            for (const TestDisk &d : list) {
                if (!IsRegistered(d.sn)) {
                    devs.insert(d.dev);
                }
            }
        }
        return devs;
    };
    ScanAllAgentDeviceListScheduleTask();
    std::set<std::string> left = unmonitored();
    EXPECT_EQ(left.size(), 6U);
    for (int a = 0; a < 2; ++a) {
        std::reverse(disks[a].begin(), disks[a].end());
        agents[a].SetDisks(disks[a]);
    }
    ScanAllAgentDeviceListScheduleTask();
    ScanAllAgentDeviceListScheduleTask();
    EXPECT_EQ(unmonitored(), left) << "the admitted disks stay";
    EXPECT_EQ(log.Count("beyond the limit of 64"), 1) << "once per change, not per scan";

    // Passes of the query threads begun before the first scan end first.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    for (FakeAgent &agent : agents) {
        agent.Server().ClearRequests();
        EXPECT_GE(Pass(NewContext(agent.Info()).get()), 2000U) << "no 500 ms re-poll";
        for (const std::string &r : agent.Server().Requests()) {
            for (const std::string &dev : left) {
                EXPECT_EQ(r.find("\"" + dev + "\""), std::string::npos) << r;
            }
        }
    }
}

TEST_F(DcmScheduleTest, CancelledThreadsStopAsking)
{
    FakeAgent agent("cancel");
    agent.SetDisks(Hdds(1, "C", "MAXTOR"));
    AgentInfo info = agent.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&info), 0);
    ASSERT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);
    ASSERT_TRUE(agent.Server().WaitForRequests(3, std::chrono::milliseconds(3000)));
    CancelAllQueryAgentScheduleTask();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    size_t settled = agent.Server().RequestCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(agent.Server().RequestCount(), settled);
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0) << "a new scan thread starts at once";
}

}  // namespace
