// test-labels: concurrent
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "data_collect/data_collect_master/dcm_collect_fixture.h"

using namespace dcmtest;

namespace {

class DcmQueryTest : public CollectTest {
protected:
    void TearDown() override { Reset(); }  // no query threads here

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
}

// An empty list is not a failure; a broken or missing agent gives the
// failure count.
TEST_F(DcmQueryTest, DeviceListAnswers)
{
    FakeAgent agent("user");
    AgentInfo info = agent.Info();
    uint16_t count = 7;
    EXPECT_EQ(QueryDeviceList(&info, &count), nullptr);
    EXPECT_EQ(count, 0);
    agent.SetDisks(Hdds(64, "L"));
    for (Fault f : {Fault::kExtraDisk, Fault::kGarbage, Fault::kBadResult, Fault::kOversize, Fault::kNone}) {
        agent.SetFault("dca_get_disks_brief_info", f);
        if (f == Fault::kNone) {
            strcpy(info.addr.sockFile, "/tmp/no-such-agent.sock");
        }
        count = 7;
        EXPECT_EQ(QueryDeviceList(&info, &count), nullptr) << static_cast<int>(f);
        EXPECT_EQ(count, DCM_DEVICE_COUNT_FAILED) << static_cast<int>(f);
    }
}

// A broken answer, or one disk of it failing its check, stores nothing of
// its batch; an answer with fewer disks than asked saves the answered ones.
TEST_F(DcmQueryTest, ABrokenAnswerStoresNothingOfItsBatch)
{
    FakeAgent agent("user");
    std::vector<TestDisk> disks = Hdds(3, "B"), withBad = disks;
    withBad[2].sn = std::string(40, 'L');  // does not fit the 40-byte field
    const std::tuple<Fault, std::vector<TestDisk>, int> cases[] = {{Fault::kGarbage, disks, EIO},        {Fault::kBadResult, disks, EBADMSG},
                 {Fault::kExtraDisk, disks, EBADMSG},  {Fault::kOversize, disks, EIO},
                 {Fault::kNone, withBad, ERANGE}, {Fault::kNone, {disks[0]}, 0}};
    for (const auto &[fault, answered, ret] : cases) {
        agent.SetFault("dca_get_disks_base_info", fault);
        agent.SetDisks(answered);
        EXPECT_EQ(Query(MESSAGE_DISK_BASE_INFO, agent, disks), ret) << static_cast<int>(fault);
        EXPECT_EQ(IsRegistered("B0"), ret == 0) << static_cast<int>(fault);
        EXPECT_FALSE(IsRegistered("B1"));
    }
}

TEST_F(DcmQueryTest, SingleDiskFetchIncludesTheSlotAndStoresNothing)
{
    FakeAgent agent("user");
    TestDisk nvme{"SSD_NVMe", "KORVAN", "KN", "S-FETCH", "nvme7n1"};
    agent.SetDisks({nvme});
    g_env->kernel.SetSlot("nvme7n1", 3);
    AgentInfo info = agent.Info();
    Devices devs({nvme});
    DiskBaseInfo out{};
    ASSERT_EQ(FetchDiskBaseInfoFromAgent(&info, devs.ptrs[0], &out), 0);
    EXPECT_EQ(std::string(out.sn) + "/" + std::to_string(out.slotId) + "/" + std::to_string(out.diskState),
              "S-FETCH/3/" + std::to_string(DISK_STATE_UNSET));
    EXPECT_FALSE(IsRegistered("S-FETCH"));
    agent.SetFault("dca_get_disks_base_info", Fault::kGarbage);
    EXPECT_EQ(FetchDiskBaseInfoFromAgent(&info, devs.ptrs[0], &out), EIO);
}

}  // namespace
