// The per-disk data store, driven only through DataMgrDiskInfoSet and
// DataMgrDiskInfoGet; what it did is read back from the registry file, the
// messages a real test data agent received and the DRM events.
// test-labels: concurrent
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "support/file_fault.h"

namespace {

using namespace dmtest;

class DataMgrTest : public dmtest::DataMgrFixture {
protected:
    template <typename T>
    int32_t Set(const std::string &sn, T v, uint32_t type, uint32_t id = DATA_MGR_FIND_BY_SN)
    {
        Sn key(sn);
        return DataMgrDiskInfoSet(id, key.Ref(), &v, type);
    }
    // Reads by id alone (serial number length 0).
    template <typename T>
    int32_t Get(uint32_t id, T *out, uint32_t type)
    {
        return DataMgrDiskInfoGet(id, KeeperStr{0, const_cast<char *>("")}, out, sizeof(T), type);
    }
    uint32_t GetU32(uint32_t id, uint32_t type)
    {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(Get(id, &v, type), 0);
        return v;
    }
    // Feeds an IO frame of `ticks` with `reads` cumulative read operations.
    int32_t Frame(const std::string &sn, uint64_t ticks, uint64_t reads, uint64_t bytes = 0)
    {
        return Set(sn, DiskIoInfoFrame{bytes, 0, reads, 0, 0, 0, 0, 0, ticks, 1000, 0}, DATA_INFO_IOSTAT);
    }
    // Read IOPS of the newest statistics record, -1 when there is none.
    int64_t NewestReadIops(uint32_t id)
    {
        DiskIoStatInfo s{};
        return Get(id, &s, DATA_INFO_IOSTAT) == 0 ? static_cast<int64_t>(s.readIops) : -1;
    }
};

// Registration saves, announces and sends the caller's record; an identical
// record again touches no file and sends nothing; a real change is saved and
// sent with the stored state.
TEST_F(DataMgrTest, IdenticalBaseRecordSavesAndSendsNothing)
{
    Register("SN-A");
    EXPECT_EQ(Sent(), "set_disk_info_inner SN-A 5\n");
    EXPECT_EQ(DrmEvents(), std::vector<std::string>{"0/SN-A/0"});
    agent_->ClearRequests();
    DiskBaseInfo d = Disk("SN-A");  // state unset: the stored state is kept
    {
        FileFault files;
        EXPECT_EQ(Set("SN-A", d, DATA_INFO_BASE), 0);
        EXPECT_EQ(files.TotalCalls(), 0);
    }
    EXPECT_EQ(agent_->RequestCount(), 0u);
    strcpy(d.firmware, "FW02");
    EXPECT_EQ(Set("SN-A", d, DATA_INFO_BASE), 0);
    EXPECT_NE(RegistryText().find("FW02"), std::string::npos);
    EXPECT_EQ(Sent(), "set_disk_info_inner SN-A 0\n");
}

// States derive the strategy; each change is saved and sent, a strategy only
// when it has a text (3 has none, so nothing is posted for it).
TEST_F(DataMgrTest, StatesAndStrategiesAreStoredAndSent)
{
    const char *texts[] = {"No action required", "Migrate data and replace the hard disk",
                           "Replace the hard disk", nullptr};
    const struct {
        uint32_t type, value, strategy;  // the strategy expected afterwards
        std::string sent;
    } cases[] = {
        {DATA_INFO_DISK_STATE, DISK_STATE_SLOW, 1,
         "set_disk_state SN-S 4\nset_disk_handle_strategy SN-S Migrate data and replace the hard disk\n"},
        {DATA_INFO_DISK_STATE, DISK_STATE_FAULT, 2,
         "set_disk_state SN-S 1\nset_disk_handle_strategy SN-S Replace the hard disk\n"},
        {DATA_INFO_DISK_STATE, DISK_STATE_NORMAL, 2, "set_disk_state SN-S 0\n"},  // strategy kept
        {DATA_INFO_STRATEGY, 0, 0, "set_disk_handle_strategy SN-S No action required\n"},
        {DATA_INFO_STRATEGY, 3, 3, ""},
    };
    uint32_t id = Register("SN-S");
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << "/" << c.value);
        agent_->ClearRequests();
        EXPECT_EQ(Set("SN-S", c.value, c.type, id), 0);
        const char *text = "untouched";
        EXPECT_EQ(Get(id, &text, DATA_INFO_STRATEGY_STR), 0);
        EXPECT_EQ(std::make_tuple(GetU32(id, DATA_INFO_STRATEGY), std::string(text ? text : "-"), Sent()),
                  std::make_tuple(c.strategy, std::string(texts[c.strategy] ? texts[c.strategy] : "-"), c.sent));
    }
    EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), 0u);
    // Out of range changes nothing and sends nothing.
    agent_->ClearRequests();
    EXPECT_EQ(Set("SN-S", uint32_t{DISK_STRATEGY_BUTT}, DATA_INFO_STRATEGY, id), -1);
    EXPECT_EQ(std::make_pair(GetU32(id, DATA_INFO_STRATEGY), Sent()), std::make_pair(3u, std::string()));
}

// The first argument check refused is the one answered: unknown ids, a
// type past the tables (before the serial number is compared).
TEST_F(DataMgrTest, KeysAndArgumentsAreChecked)
{
    uint32_t id = Register("SN-K");
    DiskHealthInfo h{}, out{};
    h.powerOnHours = 77;
    Sn right("SN-K"), wrong("SN-X");
    const struct {
        uint32_t id;
        KeeperStr sn;
        uint32_t type;
        int32_t setRet, getRet;
    } cases[] = {
        {id, right.Ref(), DATA_INFO_HEALTH, 0, 0},
        {id, wrong.Ref(), DATA_INFO_HEALTH, 4, 4},
        {MAX_DISK_ID_NUM, right.Ref(), DATA_INFO_HEALTH, 1, -1},
        {id, wrong.Ref(), DATA_INFO_BUTT, -1, -1},
    };
    for (const auto &c : cases) {
        int32_t set = DataMgrDiskInfoSet(c.id, c.sn, &h, c.type);
        EXPECT_EQ(std::make_pair(set, DataMgrDiskInfoGet(c.id, c.sn, &out, sizeof(out), c.type)),
                  std::make_pair(c.setRet, c.getRet)) << c.id << "/" << c.type;
    }
    ASSERT_EQ(Get(id, &out, DATA_INFO_HEALTH), 0);
    EXPECT_EQ(out.powerOnHours, 77u);
}

// The first frame is only a baseline; a rejected frame stores nothing but
// becomes the new baseline. Disabled, sets fail and reads find nothing;
// enabled again, everything starts afresh.
TEST_F(DataMgrTest, IoRingRejectedFramesAndDisable)
{
    uint32_t id = Register("SN-IO");
    ASSERT_EQ(Frame("SN-IO", 1000, 0), 0);
    EXPECT_EQ(NewestReadIops(id), -1);
    ASSERT_EQ(Frame("SN-IO", 2000, 10, 10), 0);
    EXPECT_EQ(Frame("SN-IO", 2000, 20, 10), -1);  // equal ticks: rejected, new baseline
    ASSERT_EQ(Frame("SN-IO", 3000, 50, 10), 0);
    EXPECT_EQ(NewestReadIops(id), 30);
    ASSERT_EQ(Set("SN-IO", 2u, DATA_INFO_STRATEGY, id), 0);
    DataMgrDisable();
    EXPECT_EQ(Frame("SN-IO", 4000, 80, 10), -1);
    DiskIoStatInfo s{};
    EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), 1);
    DataMgrEnable();
    EXPECT_EQ(NewestReadIops(id), -1);
    EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), 0u);
    ASSERT_EQ(Frame("SN-IO", 5000, 100, 10), 0);
    ASSERT_EQ(Frame("SN-IO", 6000, 140, 10), 0);
    EXPECT_EQ(NewestReadIops(id), 40);
}

// A stopped store refuses gets; started again, it announces every
// registered disk and lists them all for the agent.
TEST_F(DataMgrTest, AllInfoGetListsEveryDisk)
{
    for (int i = 0; i < 3; ++i) Register("SN-ALL-" + std::to_string(i));
    ASSERT_EQ(DataMgrDestroy(), 0);
    DiskBaseInfo d{};
    EXPECT_EQ(Get(0, &d, DATA_INFO_BASE), -1);
    dmtest::ResetDrm();
    ASSERT_EQ(DataMgrInit(), 0);
    EXPECT_EQ(DrmEvents().size(), 3u);
    std::vector<DiskBaseInfo> storage(MAX_DISK_NUM);
    DiskBaseInfo *bases[MAX_DISK_NUM];
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) bases[i] = &storage[i];
    const char *texts[MAX_DISK_NUM];
    uint32_t count = 0;
    ASSERT_EQ(DataMgrAgentAllInfoGet(bases, texts, &count), 0);
    EXPECT_EQ(std::make_tuple(count, std::string(storage[2].sn), std::string(texts[0])),
              std::make_tuple(3u, std::string("SN-ALL-2"), std::string("No action required")));
    EXPECT_EQ(DataMgrAgentAllInfoGet(nullptr, texts, &count), -1);
    EXPECT_EQ(DataMgrAgentAllInfoGet(bases, texts, nullptr), -1);
}

// Collection threads, DRM-style state writers and CLI-style readers at once.
TEST_F(DataMgrTest, ConcurrentSetsAndGets)
{
    KeeperOsSetLogLevel(KEEPER_LOG_INFO);
    constexpr int kDisks = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int d = 0; d < kDisks; ++d) {
        Register("SN-C" + std::to_string(d));
        threads.emplace_back([&, d] {
            for (uint64_t k = 1; k <= 60; ++k) failures += Frame("SN-C" + std::to_string(d), 1000 * k, 10 * k) != 0;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 60; ++i) {
            failures += Set("SN-C1", uint32_t{i % 2 ? DISK_STATE_NORMAL : DISK_STATE_SLOW}, DATA_INFO_DISK_STATE, 1);
            DiskIoStatInfo s{};
            int32_t r = Get(i % kDisks, &s, DATA_INFO_IOSTAT);
            failures += r != 0 && r != -1;
        }
    });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int d = 0; d < kDisks; ++d) EXPECT_EQ(NewestReadIops(d), 10) << d;
}

}  // namespace
