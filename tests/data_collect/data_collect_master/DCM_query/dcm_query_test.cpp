// test-labels: concurrent
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "data_collect/data_collect_master/dcm_collect_fixture.h"

using namespace dcmtest;

namespace {

class DcmQueryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CollectEnvSetUp(); }
    static void TearDownTestSuite() { CollectEnvTearDown(); }
    void TearDown() override { CollectEnvReset(); }

    // Device-list records of `disks`, as QueryDeviceList would hand them out.
    struct Devices {
        explicit Devices(const std::vector<TestDisk> &disks)
        {
            for (const TestDisk &d : disks) {
                DiskBriefInfo b{};
                strncpy(b.sn, d.sn.c_str(), sizeof(b.sn) - 1);
                strncpy(b.deviceName, d.dev.c_str(), sizeof(b.deviceName) - 1);
                records.push_back(b);
            }
            for (DiskBriefInfo &b : records) {
                ptrs.push_back(&b);
            }
        }
        uint16_t Count() const { return static_cast<uint16_t>(ptrs.size()); }
        std::vector<DiskBriefInfo> records;
        std::vector<DiskBriefInfo *> ptrs;
    };
};

std::vector<TestDisk> SasHdds(int n, const std::string &prefix, const std::string &vendor = "SEAGATE")
{
    std::vector<TestDisk> disks;
    for (int i = 0; i < n; ++i) {
        disks.push_back(Disk("HDD_SAS", vendor, "ST" + std::to_string(i), prefix + std::to_string(i),
                             "sd" + prefix + std::to_string(i)));
    }
    return disks;
}

TEST_F(DcmQueryTest, DecimalStringConversion)
{
    const struct {
        uint64_t value;
        const char *text;
    } cases[] = {{0, "0"}, {20, "20"}, {9, "9"}, {10, "10"}, {UINT64_MAX, "18446744073709551615"}};
    for (const auto &c : cases) {
        KeeperStr out{0, nullptr};
        ASSERT_EQ(ConvertUint2DecimalString(c.value, &out), 0);
        EXPECT_STREQ(out.buf, c.text);
        EXPECT_EQ(out.len, strlen(c.text) + 1);
        KeeperFree(out.buf);
    }
    char busy[4] = "x";
    KeeperStr used{4, busy};
    EXPECT_EQ(ConvertUint2DecimalString(1, &used), EINVAL);
    ArrayList empty{nullptr, 0, 8};
    EXPECT_EQ(ArrayListCreate(&empty), EINVAL);
    ArrayList noSize{nullptr, 3, 0};
    EXPECT_EQ(ArrayListCreate(&noSize), EINVAL);
}

TEST_F(DcmQueryTest, DeviceListAnswers)
{
    FakeAgent agent("user");
    AgentInfo info = agent.Info();
    uint16_t count = 0;

    agent.SetDisks({});
    EXPECT_EQ(QueryDeviceList(&info, &count), nullptr);
    EXPECT_EQ(count, 0) << "an empty list is not a failure";

    agent.SetDisks(SasHdds(64, "L"));
    DiskBriefInfo **records = QueryDeviceList(&info, &count);
    ASSERT_NE(records, nullptr);
    ASSERT_EQ(count, 64);
    EXPECT_STREQ(records[63]->sn, "L63");
    EXPECT_STREQ(records[63]->deviceName, "sdL63");
    for (uint16_t i = 0; i < count; ++i) {
        KeeperFree(records[i]);
    }
    KeeperFree(records);

    const Fault faults[] = {Fault::kExtraDisk, Fault::kGarbage, Fault::kBadResult, Fault::kOversize};
    for (Fault f : faults) {
        agent.SetFault("dca_get_disks_brief_info", f);
        count = 7;
        EXPECT_EQ(QueryDeviceList(&info, &count), nullptr) << static_cast<int>(f);
        EXPECT_EQ(count, DCM_DEVICE_COUNT_FAILED) << static_cast<int>(f);
    }
    AgentInfo gone = info;
    strcpy(gone.addr.sockFile, "/tmp/no-such-agent.sock");
    count = 0;
    EXPECT_EQ(QueryDeviceList(&gone, &count), nullptr);
    EXPECT_EQ(count, DCM_DEVICE_COUNT_FAILED);
}

TEST_F(DcmQueryTest, RequestsCarryDeviceNamesAndTheIoPeriodAsString)
{
    FakeAgent agent("user");
    std::vector<TestDisk> disks = SasHdds(3, "R");
    agent.SetDisks(disks);
    AgentInfo info = agent.Info();
    Devices devs(disks);
    ASSERT_EQ(QueryMessageAndSave(MESSAGE_DISK_IOSTAT, &info, devs.ptrs.data(), devs.Count()), 0);
    std::vector<std::string> reqs = agent.RequestsOf("dca_get_disks_iostat");
    ASSERT_EQ(reqs.size(), 1U);
    EXPECT_NE(reqs[0].find(R"("params":{"devices":["sdR0","sdR1","sdR2"],"period":"20"})"),
              std::string::npos)
        << reqs[0];
    ASSERT_EQ(QueryMessageAndSave(MESSAGE_DISK_HEALTH_INFO, &info, devs.ptrs.data(), 1), 0);
    reqs = agent.RequestsOf("dca_get_disks_health_info");
    ASSERT_EQ(reqs.size(), 1U);
    EXPECT_NE(reqs[0].find(R"("params":{"devices":["sdR0"]})"), std::string::npos) << reqs[0];
    EXPECT_EQ(g_saveMessageStrategyMap[MESSAGE_DISK_BRIEF_INFO](nullptr, nullptr, 0), EACCES);
}

// Base information registers whitelisted disks (with the kernel agent's slot
// for NVMe disks) and passes by the others; health and IO follow for the
// registered ones.
TEST_F(DcmQueryTest, BaseHealthAndIoReachTheStore)
{
    FakeAgent agent("user");
    TestDisk nvme = Disk("SSD_NVMe", "KORVAN", "KN-1", "Q-NVME", "nvme0n1");
    TestDisk nvme2 = Disk("SSD_NVMe", "0x1c7f", "KN-2", "Q-NVME2", "nvme1n1");
    TestDisk hdd = Disk("HDD_SAS", "SEAGATE", "ST1", "Q-HDD", "sda");
    TestDisk foreign = Disk("HDD_SAS", "MAXTOR", "MX", "Q-FOREIGN", "sdb");
    std::vector<TestDisk> disks = {nvme, nvme2, hdd, foreign};
    agent.SetDisks(disks);
    g_env->kernel.SetSlot("nvme0n1", 11);
    AgentInfo info = agent.Info();
    Devices devs(disks);

    ASSERT_EQ(QueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, devs.ptrs.data(), devs.Count()), 0);
    DiskBaseInfo entry{};
    ASSERT_TRUE(RegisteredEntry("Q-NVME", &entry));
    EXPECT_EQ(entry.slotId, 11U) << "slot from the kernel agent";
    EXPECT_STREQ(entry.pciAddr, "0000:81:00.0");
    ASSERT_TRUE(RegisteredEntry("Q-NVME2", &entry));
    EXPECT_EQ(entry.slotId, DISK_LOCATION_UNKNOWN) << "absent from the slot answer";
    ASSERT_TRUE(IsRegistered("Q-HDD"));
    EXPECT_FALSE(IsRegistered("Q-FOREIGN"));
    EXPECT_EQ(DmaCount("dma_set_disk_info_inner", "Q-HDD"), 1);
    std::vector<std::string> slotReqs = g_env->kernel.RequestsOf("dca_get_disks_slotid");
    ASSERT_EQ(slotReqs.size(), 1U);
    EXPECT_NE(slotReqs[0].find(R"({"device_name":"nvme1n1","pci_address":"0000:81:00.0"})"),
              std::string::npos)
        << slotReqs[0];
    EXPECT_EQ(slotReqs[0].find("\"sda\""), std::string::npos) << "only NVMe disks are asked";

    ASSERT_EQ(QueryMessageAndSave(MESSAGE_DISK_HEALTH_INFO, &info, devs.ptrs.data(), devs.Count()), 0);
    uint32_t id = 0;
    ASSERT_TRUE(RegisteredEntry("Q-NVME", nullptr, &id));
    DiskHealthInfo health{};
    ASSERT_EQ(DiskHealthInfoGet(id, &health), 0);
    EXPECT_EQ(health.powerOnHours, 12345U);
    EXPECT_EQ(health.area.nvme.criticalWarning, 4);

    // Two IO answers: the first sets the baseline, the second gives statistics.
    ASSERT_EQ(QueryMessageAndSave(MESSAGE_DISK_IOSTAT, &info, devs.ptrs.data(), devs.Count()), 0);
    DiskIoStatInfo stat{};
    EXPECT_NE(DiskIoStatInfoGet(id, &stat), 0) << "no statistics from one frame";
    ASSERT_EQ(QueryMessageAndSave(MESSAGE_DISK_IOSTAT, &info, devs.ptrs.data(), devs.Count()), 0);
    ASSERT_EQ(DiskIoStatInfoGet(id, &stat), 0);
    EXPECT_EQ(stat.queueDepth, 32U);
}

TEST_F(DcmQueryTest, ABrokenAnswerStoresNothingOfItsBatch)
{
    FakeAgent agent("user");
    std::vector<TestDisk> disks = SasHdds(3, "B");
    agent.SetDisks(disks);
    AgentInfo info = agent.Info();
    Devices devs(disks);
    const struct {
        Fault fault;
        int expected;
    } cases[] = {{Fault::kGarbage, EIO}, {Fault::kBadResult, EBADMSG},
                 {Fault::kExtraDisk, EBADMSG}, {Fault::kOversize, EIO}};
    for (const auto &c : cases) {
        agent.SetFault("dca_get_disks_base_info", c.fault);
        EXPECT_EQ(QueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, devs.ptrs.data(), devs.Count()),
                  c.expected)
            << static_cast<int>(c.fault);
        EXPECT_FALSE(IsRegistered("B0")) << static_cast<int>(c.fault);
    }
    // One disk failing its check fails the whole batch.
    agent.SetFault("dca_get_disks_base_info", Fault::kNone);
    std::vector<TestDisk> withBad = disks;
    withBad[2].sn = std::string(40, 'L');  // does not fit the 40-byte field
    agent.SetDisks(withBad);
    EXPECT_NE(QueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, devs.ptrs.data(), devs.Count()), 0);
    EXPECT_FALSE(IsRegistered("B0"));
    EXPECT_FALSE(IsRegistered("B1"));
    // Fewer disks than asked: the answered ones are saved.
    agent.SetDisks({disks[0]});
    EXPECT_EQ(QueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, devs.ptrs.data(), devs.Count()), 0);
    EXPECT_TRUE(IsRegistered("B0"));
    EXPECT_FALSE(IsRegistered("B1"));
}

TEST_F(DcmQueryTest, AFailingSlotQueryStillSavesBaseInformation)
{
    FakeAgent agent("user");
    TestDisk nvme = Disk("SSD_NVMe", "KORVAN", "KN", "S-SLOTFAIL", "nvme5n1");
    agent.SetDisks({nvme});
    g_env->kernel.SetFault("dca_get_disks_slotid", Fault::kGarbage);
    AgentInfo info = agent.Info();
    Devices devs({nvme});
    EXPECT_EQ(QueryMessageAndSave(MESSAGE_DISK_BASE_INFO, &info, devs.ptrs.data(), 1), 0);
    g_env->kernel.SetFault("dca_get_disks_slotid", Fault::kNone);
    DiskBaseInfo entry{};
    ASSERT_TRUE(RegisteredEntry("S-SLOTFAIL", &entry));
    EXPECT_EQ(entry.slotId, DISK_LOCATION_UNKNOWN);
}

TEST_F(DcmQueryTest, SingleDiskFetchIncludesTheSlot)
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
    EXPECT_FALSE(IsRegistered("S-FETCH")) << "a fetch stores nothing";
    agent.SetFault("dca_get_disks_base_info", Fault::kGarbage);
    EXPECT_EQ(FetchDiskBaseInfoFromAgent(&info, devs.ptrs[0], &out), EIO);
}

}  // namespace
