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

std::vector<TestDisk> Hdds(int n, const std::string &prefix, const std::string &vendor = "SEAGATE")
{
    std::vector<TestDisk> disks;
    for (int i = 0; i < n; ++i) {
        disks.push_back(Disk("HDD_SAS", vendor, "ST", prefix + std::to_string(i),
                             prefix + "d" + std::to_string(i)));
    }
    return disks;
}

struct DeviceList {
    explicit DeviceList(const AgentInfo &agent)
    {
        records = QueryDeviceList(&agent, &count);
    }
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

QueryAgentTaskContext *NewContext(const AgentInfo &agent)
{
    auto *c = new QueryAgentTaskContext{};
    c->agent = agent;
    c->lastQueryTime[MESSAGE_DISK_BRIEF_INFO] = time(nullptr);
    return c;
}

TEST_F(DcmScheduleTest, AgentsAreListedOnce)
{
    FakeAgent a("agent_a");
    FakeAgent b("agent_b");
    AgentInfo ia = a.Info();
    AgentInfo ib = b.Info();
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

TEST_F(DcmScheduleTest, BatchCounts)
{
    const struct {
        uint32_t type;
        uint32_t disks;
        uint32_t batches;
    } cases[] = {
        {MESSAGE_DISK_BASE_INFO, 14, 2},   {MESSAGE_DISK_BASE_INFO, 13, 1},
        {MESSAGE_DISK_BASE_INFO, 0, 0},    {MESSAGE_DISK_HEALTH_INFO, 64, 16},
        {MESSAGE_DISK_HEALTH_INFO, 5, 2},  {MESSAGE_DISK_IOSTAT, 64, 4},
        {MESSAGE_DISK_IOSTAT, 20, 1},      {MESSAGE_DISK_IOSTAT, 21, 2},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DcmBatchCount(c.type, c.disks), c.batches) << c.type << "/" << c.disks;
    }
}

// Fourteen base records go out as 13 and 1; a failed batch fails the message
// but not the batches that were saved.
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

TEST_F(DcmScheduleTest, SixtyFourDisksGiveSixteenHealthBatches)
{
    FakeAgent agent("wide");
    agent.SetDisks(Hdds(64, "W", "MAXTOR"));
    AgentInfo info = agent.Info();
    DeviceList list(info);
    ASSERT_EQ(list.count, 64);
    EXPECT_EQ(StepQueryMessageAndSave(MESSAGE_DISK_HEALTH_INFO, &info, list.records, list.count), 0);
    std::vector<int> sizes = agent.BatchSizesOf("dca_get_disks_health_info");
    EXPECT_EQ(sizes, std::vector<int>(16, 4));
    std::set<std::string> named;
    for (const std::string &r : agent.RequestsOf("dca_get_disks_health_info")) {
        for (int i = 0; i < 64; ++i) {
            if (r.find("\"Wd" + std::to_string(i) + "\"") != std::string::npos) {
                named.insert("Wd" + std::to_string(i));
            }
        }
    }
    EXPECT_EQ(named.size(), 64U) << "every disk asked exactly in some batch";
}

// The first pass asks everything; the next pass skips base information,
// which is due only an hour after its last success.
TEST_F(DcmScheduleTest, QueryPassAsksWhatIsDue)
{
    FakeAgent agent("pass");
    agent.SetDisks(Hdds(2, "P"));
    QueryAgentTaskContext *ctx = NewContext(agent.Info());
    uint64_t slept = g_requestedSleepMs.load();
    QueryAgentScheduleTask(ctx);
    uint64_t sleptFirst = g_requestedSleepMs.load() - slept;
    EXPECT_EQ(agent.RequestsOf("dca_get_disks_base_info").size(), 1U);
    EXPECT_EQ(agent.RequestsOf("dca_get_disks_health_info").size(), 1U);
    EXPECT_EQ(agent.RequestsOf("dca_get_disks_iostat").size(), 1U);
    EXPECT_NE(ctx->lastQueryTime[MESSAGE_DISK_BASE_INFO], 0);
    EXPECT_GE(sleptFirst, 2000U) << "sleeps what is left of the 3 s IO period";
    EXPECT_LE(sleptFirst, 3000U);

    ctx->lastQueryTime[MESSAGE_DISK_HEALTH_INFO] -= 10;
    ctx->lastQueryTime[MESSAGE_DISK_IOSTAT] -= 10;
    EXPECT_FALSE(IsQueryMessageDue(ctx, MESSAGE_DISK_BASE_INFO, time(nullptr)));
    EXPECT_TRUE(IsQueryMessageDue(ctx, MESSAGE_DISK_BASE_INFO, time(nullptr) + 3600));
    EXPECT_FALSE(IsQueryMessageDue(ctx, MESSAGE_TYPE_BUTT, time(nullptr) + 360000));
    agent.SetFault("dca_get_disks_iostat", Fault::kGarbage);
    time_t ioBefore = ctx->lastQueryTime[MESSAGE_DISK_IOSTAT];
    slept = g_requestedSleepMs.load();
    QueryAgentScheduleTask(ctx);
    EXPECT_EQ(agent.RequestsOf("dca_get_disks_base_info").size(), 1U);
    EXPECT_EQ(agent.RequestsOf("dca_get_disks_health_info").size(), 2U);
    EXPECT_EQ(agent.RequestsOf("dca_get_disks_iostat").size(), 2U);
    EXPECT_EQ(ctx->lastQueryTime[MESSAGE_DISK_IOSTAT], ioBefore) << "a failed message stays due";
    EXPECT_EQ(g_requestedSleepMs.load() - slept, 500U) << "IO overdue: poll again in 500 ms";
    delete ctx;
}

TEST_F(DcmScheduleTest, EmptyOrFailedDeviceListPausesTheAgent)
{
    FakeAgent agent("quiet");
    QueryAgentTaskContext *ctx = NewContext(agent.Info());
    LogCapture log;
    uint64_t slept = g_requestedSleepMs.load();
    QueryAgentScheduleTask(ctx);
    EXPECT_TRUE(log.Contains("query Agent(quiet) failed(emptyList).")) << log.Dump();
    EXPECT_EQ(g_requestedSleepMs.load() - slept, 5000U);
    EXPECT_TRUE(agent.RequestsOf("dca_get_disks_base_info").empty());
    agent.SetFault("dca_get_disks_brief_info", Fault::kGarbage);
    QueryAgentScheduleTask(ctx);
    EXPECT_TRUE(log.Contains("query Agent(quiet) failed(networkFail)."));
    delete ctx;
}

TEST_F(DcmScheduleTest, FetchSearchesTheListedAgents)
{
    FakeAgent a("fetch_a");
    FakeAgent b("fetch_b");
    // Off the whitelist, so that the query threads register nothing.
    a.SetDisks({Disk("HDD_SAS", "MAXTOR", "M", "FA", "fa0")});
    b.SetDisks({Disk("HDD_SAS", "MAXTOR", "M", "FB", "fb0"), Disk("HDD_SAS", "MAXTOR", "M", "FA", "fa0")});
    AgentInfo ia = a.Info();
    AgentInfo ib = b.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ia), 0);
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ib), 0);  // b is the head of the list now
    char sn[DISK_SN_LEN] = "FB";
    DiskBaseInfo out{};
    ASSERT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, sn, &out), 0);
    EXPECT_STREQ(out.sn, "FB");
    char unknown[DISK_SN_LEN] = "NOWHERE";
    EXPECT_EQ(FetchDiskBaseInfo(DISK_SN_LEN, unknown, &out), ENOMEDIUM);
    // Found at the head agent, whose base answer is broken: its failure is
    // returned and the other agent is not asked.
    b.SetFault("dca_get_disks_base_info", Fault::kBadResult);
    char fa[DISK_SN_LEN] = "FA";
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
    std::vector<TestDisk> kernelDisks = {Disk("SSD_NVMe", "KORVAN", "KN", "SK-NVME", "nvme3n1"),
                                         Disk("SSD_SATA", "ATA", "XSSD-9", "SK-XSSD", "sdk1")};
    g_env->kernel.SetDisks(kernelDisks);
    g_env->kernel.SetSlot("nvme3n1", 21);
    AgentInfo iu = user.Info();
    AgentInfo ik = g_env->kernel.Info();
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&iu), 0);
    ASSERT_EQ(SubmitQueryAgentScheduleTask(&ik), 0);
    ASSERT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);

    const std::vector<std::string> white = {"SU0", "SU1", "SU2", "SK-NVME"};
    ASSERT_TRUE(WaitUntil([&] {
        return std::all_of(white.begin(), white.end(), [](const std::string &s) { return IsRegistered(s); });
    }));
    std::set<uint32_t> ids;
    for (const std::string &s : white) {
        uint32_t id = 0;
        ASSERT_TRUE(RegisteredEntry(s, nullptr, &id));
        ids.insert(id);
        EXPECT_GE(DmaCount("dma_set_disk_info_inner", s), 1) << s;
    }
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), white.size() - 1) << "ids are contiguous";
    DiskBaseInfo nvme{};
    ASSERT_TRUE(RegisteredEntry("SK-NVME", &nvme));
    EXPECT_EQ(nvme.slotId, 21U);
    EXPECT_FALSE(IsRegistered("SU-FOREIGN"));
    EXPECT_FALSE(IsRegistered("SK-XSSD")) << "SATA SSD model outside the whitelist";

    // Health and IO statistics arrive for a registered disk.
    uint32_t id = 0;
    ASSERT_TRUE(RegisteredEntry("SU0", nullptr, &id));
    DiskIoStatInfo stat{};
    EXPECT_TRUE(WaitUntil([&] { return DiskIoStatInfoGet(id, &stat) == 0; }, 8000));
    DiskHealthInfo health{};
    EXPECT_EQ(DiskHealthInfoGet(id, &health), 0);
    EXPECT_EQ(health.wearInt, 12U);

    // A non-whitelisted disk is fetched at most once, however many scans pass.
    auto singleFetches = [&](FakeAgent &agent, const std::string &dev) {
        int n = 0;
        for (const std::string &r : agent.RequestsOf("dca_get_disks_base_info")) {
            if (r.find(R"("devices":[")" + dev + R"("])") != std::string::npos) {
                ++n;
            }
        }
        return n;
    };
    int fetched = singleFetches(user, "suforeign");
    EXPECT_LE(fetched, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // several scans
    EXPECT_EQ(singleFetches(user, "suforeign"), fetched);

    // Pull SU1: offline, registry entry gone, the data agent told.
    user.SetDisks({userDisks[0], userDisks[2], userDisks[3]});
    ASSERT_TRUE(WaitUntil([] { return !IsRegistered("SU1"); }));
    EXPECT_TRUE(WaitUntil([] { return DmaCount("dma_poweroff_disk", "SU1") == 1; }));
    // Re-insert: registered again.
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
    EXPECT_TRUE(WaitUntil([&] {
        return !IsRegistered("SU0") && !IsRegistered("SU1") && !IsRegistered("SU2");
    }));
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
    EXPECT_EQ(log.Count("dropped"), 0);

    // Passes of the query threads begun before the first scan end first.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    for (FakeAgent &agent : agents) {
        agent.Server().ClearRequests();
    }
    for (FakeAgent &agent : agents) {
        QueryAgentTaskContext *ctx = NewContext(agent.Info());
        uint64_t slept = g_requestedSleepMs.load();
        QueryAgentScheduleTask(ctx);
        EXPECT_GE(g_requestedSleepMs.load() - slept, 2000U) << "no 500 ms re-poll";
        delete ctx;
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
    // A new scan thread can start again at once.
    EXPECT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);
}

}  // namespace
