// test-labels: concurrent
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "data_collect/data_collect_master/dcm_collect_fixture.h"

using namespace dcmtest;

namespace {

class DcmQueryTest : public CollectTest {
protected:
    void TearDown() override { CollectEnvReset(); }  // no query threads here

    // Device-list records of `disks`, as QueryDeviceList would hand them out.
    struct Devices {
        explicit Devices(const std::vector<TestDisk> &disks) : records(disks.size())
        {
            for (size_t i = 0; i < disks.size(); ++i) {
                strncpy(records[i].sn, disks[i].sn.c_str(), sizeof(records[i].sn) - 1);
                strncpy(records[i].deviceName, disks[i].dev.c_str(), sizeof(records[i].deviceName) - 1);
                ptrs.push_back(&records[i]);
            }
        }
        std::vector<DiskBriefInfo> records;
        std::vector<DiskBriefInfo *> ptrs;
    };
    // Asks `agent` for `type` of all `disks`.
    static int Query(uint32_t type, FakeAgent &agent, const std::vector<TestDisk> &disks)
    {
        Devices devs(disks);
        AgentInfo info = agent.Info();
        return QueryMessageAndSave(type, &info, devs.ptrs.data(), static_cast<uint16_t>(disks.size()));
    }
};

TEST_F(DcmQueryTest, DecimalStringConversion)
{
    for (uint64_t value : {uint64_t{0}, uint64_t{9}, uint64_t{10}, uint64_t{20}, UINT64_MAX}) {
        KeeperStr out{0, nullptr};
        ASSERT_EQ(ConvertUint2DecimalString(value, &out), 0);
        EXPECT_EQ(std::string(out.buf) + "/" + std::to_string(out.len),
                  std::to_string(value) + "/" + std::to_string(std::to_string(value).size() + 1));
        KeeperFree(out.buf);
    }
    char busy[4] = "x";
    KeeperStr used{4, busy};
    EXPECT_EQ(ConvertUint2DecimalString(1, &used), EINVAL);
    ArrayList empty{nullptr, 0, 8}, noSize{nullptr, 3, 0};
    EXPECT_EQ(ArrayListCreate(&empty), EINVAL);
    EXPECT_EQ(ArrayListCreate(&noSize), EINVAL);
}

// An empty list is not a failure; 64 disks are; a broken or missing agent
// gives the failure count.
TEST_F(DcmQueryTest, DeviceListAnswers)
{
    FakeAgent agent("user");
    AgentInfo info = agent.Info();
    uint16_t count = 7;
    EXPECT_EQ(QueryDeviceList(&info, &count), nullptr);
    EXPECT_EQ(count, 0);
    agent.SetDisks(Hdds(64, "L"));
    DiskBriefInfo **records = QueryDeviceList(&info, &count);
    ASSERT_NE(records, nullptr);
    ASSERT_EQ(count, 64);
    EXPECT_EQ(std::string(records[63]->sn) + " " + records[63]->deviceName, "L63 Ld63");
    for (uint16_t i = 0; i < count; ++i) {
        KeeperFree(records[i]);
    }
    KeeperFree(records);
    for (Fault f : {Fault::kExtraDisk, Fault::kGarbage, Fault::kBadResult, Fault::kOversize}) {
        agent.SetFault("dca_get_disks_brief_info", f);
        count = 7;
        EXPECT_EQ(QueryDeviceList(&info, &count), nullptr) << static_cast<int>(f);
        EXPECT_EQ(count, DCM_DEVICE_COUNT_FAILED) << static_cast<int>(f);
    }
    strcpy(info.addr.sockFile, "/tmp/no-such-agent.sock");
    count = 0;
    EXPECT_EQ(QueryDeviceList(&info, &count), nullptr);
    EXPECT_EQ(count, DCM_DEVICE_COUNT_FAILED);
}

TEST_F(DcmQueryTest, RequestsCarryDeviceNamesAndTheIoPeriodAsString)
{
    FakeAgent agent("user");
    std::vector<TestDisk> disks = Hdds(3, "R");
    agent.SetDisks(disks);
    ASSERT_EQ(Query(MESSAGE_DISK_IOSTAT, agent, disks), 0);
    ASSERT_EQ(Query(MESSAGE_DISK_HEALTH_INFO, agent, {disks[0]}), 0);
    std::vector<std::string> reqs = agent.Server().Requests();
    ASSERT_EQ(reqs.size(), 2U);
    EXPECT_NE(reqs[0].find(R"("params":{"devices":["Rd0","Rd1","Rd2"],"period":"20"})"),
              std::string::npos) << reqs[0];
    EXPECT_NE(reqs[1].find(R"("params":{"devices":["Rd0"]})"), std::string::npos) << reqs[1];
    EXPECT_EQ(g_saveMessageStrategyMap[MESSAGE_DISK_BRIEF_INFO](nullptr, nullptr, 0), EACCES);
}

// Base information registers whitelisted disks (with the kernel agent's slot
// for NVMe disks) and passes by the others; health and IO follow for the
// registered ones. A failing slot query still saves base information.
TEST_F(DcmQueryTest, BaseHealthAndIoReachTheStore)
{
    FakeAgent agent("user");
    std::vector<TestDisk> disks = {Disk("SSD_NVMe", "KORVAN", "KN-1", "Q-NVME", "nvme0n1"),
                                   Disk("SSD_NVMe", "0x1c7f", "KN-2", "Q-NVME2", "nvme1n1"),
                                   Disk("HDD_SAS", "SEAGATE", "ST1", "Q-HDD", "sda"),
                                   Disk("HDD_SAS", "MAXTOR", "MX", "Q-FOREIGN", "sdb")};
    agent.SetDisks(disks);
    g_env->kernel.SetSlot("nvme0n1", 11);
    ASSERT_EQ(Query(MESSAGE_DISK_BASE_INFO, agent, disks), 0);
    DiskBaseInfo entry{};
    ASSERT_TRUE(RegisteredEntry("Q-NVME", &entry));
    EXPECT_EQ(entry.slotId, 11U) << "slot from the kernel agent";
    EXPECT_STREQ(entry.pciAddr, "0000:81:00.0");
    ASSERT_TRUE(RegisteredEntry("Q-NVME2", &entry));
    EXPECT_EQ(entry.slotId, DISK_LOCATION_UNKNOWN) << "absent from the slot answer";
    EXPECT_TRUE(IsRegistered("Q-HDD"));
    EXPECT_FALSE(IsRegistered("Q-FOREIGN"));
    EXPECT_EQ(DmaCount("dma_set_disk_info_inner", "Q-HDD"), 1);
    std::vector<std::string> slotReqs = g_env->kernel.RequestsOf("dca_get_disks_slotid");
    ASSERT_EQ(slotReqs.size(), 1U);
    EXPECT_NE(slotReqs[0].find(R"({"device_name":"nvme1n1","pci_address":"0000:81:00.0"})"),
              std::string::npos) << slotReqs[0];
    EXPECT_EQ(slotReqs[0].find("\"sda\""), std::string::npos) << "only NVMe disks are asked";

    ASSERT_EQ(Query(MESSAGE_DISK_HEALTH_INFO, agent, disks), 0);
    uint32_t id = 0;
    ASSERT_TRUE(RegisteredEntry("Q-NVME", nullptr, &id));
    DiskHealthInfo health{};
    ASSERT_EQ(DiskHealthInfoGet(id, &health), 0);
    EXPECT_EQ(health.area.nvme.criticalWarning, 4);
    // Two IO answers: the first sets the baseline, the second gives statistics.
    DiskIoStatInfo stat{};
    ASSERT_EQ(Query(MESSAGE_DISK_IOSTAT, agent, disks), 0);
    EXPECT_NE(DiskIoStatInfoGet(id, &stat), 0) << "no statistics from one frame";
    ASSERT_EQ(Query(MESSAGE_DISK_IOSTAT, agent, disks), 0);
    ASSERT_EQ(DiskIoStatInfoGet(id, &stat), 0);
    EXPECT_EQ(stat.queueDepth, 32U);

    TestDisk nvme = Disk("SSD_NVMe", "KORVAN", "KN", "S-SLOTFAIL", "nvme5n1");
    agent.SetDisks({nvme});
    g_env->kernel.SetFault("dca_get_disks_slotid", Fault::kGarbage);
    EXPECT_EQ(Query(MESSAGE_DISK_BASE_INFO, agent, {nvme}), 0);
    g_env->kernel.SetFault("dca_get_disks_slotid", Fault::kNone);
    ASSERT_TRUE(RegisteredEntry("S-SLOTFAIL", &entry));
    EXPECT_EQ(entry.slotId, DISK_LOCATION_UNKNOWN);
}

TEST_F(DcmQueryTest, ABrokenAnswerStoresNothingOfItsBatch)
{
    FakeAgent agent("user");
    std::vector<TestDisk> disks = Hdds(3, "B");
    agent.SetDisks(disks);
    const std::pair<Fault, int> cases[] = {{Fault::kGarbage, EIO}, {Fault::kBadResult, EBADMSG},
                                           {Fault::kExtraDisk, EBADMSG}, {Fault::kOversize, EIO}};
    for (const auto &[fault, ret] : cases) {
        agent.SetFault("dca_get_disks_base_info", fault);
        EXPECT_EQ(Query(MESSAGE_DISK_BASE_INFO, agent, disks), ret) << static_cast<int>(fault);
        EXPECT_FALSE(IsRegistered("B0")) << static_cast<int>(fault);
    }
    // One disk failing its check fails the whole batch.
    agent.SetFault("dca_get_disks_base_info", Fault::kNone);
    std::vector<TestDisk> withBad = disks;
    withBad[2].sn = std::string(40, 'L');  // does not fit the 40-byte field
    agent.SetDisks(withBad);
    EXPECT_NE(Query(MESSAGE_DISK_BASE_INFO, agent, disks), 0);
    EXPECT_FALSE(IsRegistered("B0"));
    // Fewer disks than asked: the answered ones are saved.
    agent.SetDisks({disks[0]});
    EXPECT_EQ(Query(MESSAGE_DISK_BASE_INFO, agent, disks), 0);
    EXPECT_TRUE(IsRegistered("B0"));
    EXPECT_FALSE(IsRegistered("B1"));
}

TEST_F(DcmQueryTest, SingleDiskFetchIncludesTheSlotAndStoresNothing)
{
    FakeAgent agent("user");
    TestDisk nvme = Disk("SSD_NVMe", "KORVAN", "KN", "S-FETCH", "nvme7n1");
    agent.SetDisks({nvme});
    g_env->kernel.SetSlot("nvme7n1", 3);
    AgentInfo info = agent.Info();
    Devices devs({nvme});
    DiskBaseInfo out{};
    ASSERT_EQ(FetchDiskBaseInfoFromAgent(&info, devs.ptrs[0], &out), 0);
    EXPECT_STREQ(out.sn, "S-FETCH");
    EXPECT_EQ(out.slotId, 3U);
    EXPECT_EQ(out.diskState, static_cast<uint32_t>(DISK_STATE_UNSET));
    EXPECT_FALSE(IsRegistered("S-FETCH"));
    agent.SetFault("dca_get_disks_base_info", Fault::kGarbage);
    EXPECT_EQ(FetchDiskBaseInfoFromAgent(&info, devs.ptrs[0], &out), EIO);
}

}  // namespace
