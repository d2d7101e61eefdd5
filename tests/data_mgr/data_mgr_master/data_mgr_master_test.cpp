// The per-disk data store, driven only through DataMgrDiskInfoSet and
// DataMgrDiskInfoGet; what it did is read back from the registry file, the
// messages a real test data agent received and the DRM events.
// test-labels: concurrent
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "support/file_fault.h"

namespace {

using namespace dmtest;

class DataMgrTest : public dmtest::DataMgrFixture {
protected:
    int32_t Set(const std::string &sn, const void *data, uint32_t type,
                uint32_t id = DATA_MGR_FIND_BY_SN)
    {
        Sn key(sn);
        return DataMgrDiskInfoSet(id, key.Ref(), data, type);
    }
    int32_t SetU32(uint32_t id, const std::string &sn, uint32_t v, uint32_t type)
    {
        return Set(sn, &v, type, id);
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
        DiskIoInfoFrame f{bytes, 0, reads, 0, 0, 0, 0, 0, ticks, 1000, 0};
        return Set(sn, &f, DATA_INFO_IOSTAT);
    }
    // Read IOPS of the newest statistics record, -1 when there is none.
    int64_t NewestReadIops(uint32_t id)
    {
        DiskIoStatInfo s{};
        return Get(id, &s, DATA_INFO_IOSTAT) == 0 ? static_cast<int64_t>(s.readIops) : -1;
    }
};

// Registration saves, announces and sends the caller's record; an identical
// record again touches no file and sends nothing; a malformed one is refused;
// a real change is saved and sent with the stored state; an offline record
// removes the disk, powers it off at the agent and tells DRM.
TEST_F(DataMgrTest, IdenticalBaseRecordSavesAndSendsNothing)
{
    uint32_t id = Register("SN-A");
    EXPECT_EQ(Sent(), "set_disk_info_inner SN-A 5\n");
    EXPECT_EQ(DrmEvents(), std::vector<std::string>{"0/SN-A/0"});
    agent_->ClearRequests();
    DiskBaseInfo d = Disk("SN-A");  // state unset: the stored state is kept
    {
        FileFault files;
        EXPECT_EQ(Set("SN-A", &d, DATA_INFO_BASE), 0);
        DiskBaseInfo bad = d;  // a vendor without its terminator could not be loaded back
        memset(bad.vendor, 'V', sizeof(bad.vendor));
        EXPECT_EQ(Set("SN-A", &bad, DATA_INFO_BASE), -1);
        EXPECT_EQ(files.TotalCalls(), 0);
    }
    EXPECT_EQ(agent_->RequestCount(), 0u);
    strcpy(d.firmware, "FW02");
    EXPECT_EQ(Set("SN-A", &d, DATA_INFO_BASE), 0);
    EXPECT_NE(RegistryText().find("FW02"), std::string::npos);
    EXPECT_EQ(Sent(), "set_disk_info_inner SN-A 0\n");

    agent_->ClearRequests();
    d.diskState = DISK_STATE_OFFLINE;
    EXPECT_EQ(Set("SN-A", &d, DATA_INFO_BASE), 0);
    EXPECT_EQ(Get(id, &d, DATA_INFO_BASE), 1);
    EXPECT_EQ(RegistryText().find("SN-A"), std::string::npos);
    EXPECT_EQ(Sent(), "poweroff_disk SN-A\n");
    EXPECT_EQ(DrmEvents().back(), "0/SN-A/1");
}

// States derive the strategy; each change is saved and sent, a strategy only
// when it has a text (3 has none, so nothing is posted for it).
TEST_F(DataMgrTest, StatesAndStrategiesAreStoredAndSent)
{
    const char *texts[] = {"No action required", "Migrate data and replace the hard disk",
                           "Replace the hard disk", nullptr};
    const std::string migrate = "set_disk_handle_strategy SN-S Migrate data and replace the hard disk\n";
    const struct {
        uint32_t type, value, strategy;  // the strategy expected afterwards
        std::string sent;
    } cases[] = {
        {DATA_INFO_DISK_STATE, DISK_STATE_SLOW, 1, "set_disk_state SN-S 4\n" + migrate},
        {DATA_INFO_DISK_STATE, DISK_STATE_PREFAIL, 1, "set_disk_state SN-S 3\n" + migrate},
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
        EXPECT_EQ(SetU32(id, "SN-S", c.value, c.type), 0);
        EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), c.strategy);
        const char *text = "untouched";
        EXPECT_EQ(Get(id, &text, DATA_INFO_STRATEGY_STR), 0);
        EXPECT_STREQ(text, texts[c.strategy]);
        EXPECT_EQ(Sent(), c.sent);
        if (c.type == DATA_INFO_DISK_STATE) {
            EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), c.value);
            EXPECT_NE(RegistryText().find("\"diskState\":\t" + std::to_string(c.value)), std::string::npos);
        }
    }
    // Out of range changes nothing and sends nothing.
    agent_->ClearRequests();
    EXPECT_EQ(SetU32(id, "SN-S", DISK_STRATEGY_BUTT, DATA_INFO_STRATEGY), -1);
    EXPECT_EQ(SetU32(id, "SN-S", DISK_STATE_UNSET, DATA_INFO_DISK_STATE), -1);
    EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), 3u);
    EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), 0u);
    EXPECT_EQ(Sent(), "");
}

TEST_F(DataMgrTest, KeysAndArgumentsAreChecked)
{
    uint32_t id = Register("SN-K");
    DiskHealthInfo h{};
    h.powerOnHours = 77;
    Sn right("SN-K"), wrong("SN-X"), prefix("SN-K-LONGER"), reject("REJECT-1");
    char longSn[64];
    memset(longSn, 'Z', sizeof(longSn));
    const uint32_t size = sizeof(h);  // sets take no size
    const uint32_t bySn = DATA_MGR_FIND_BY_SN;
    const struct {
        const char *name;
        uint32_t id;
        KeeperStr sn;
        void *buf;
        uint32_t size, type;
        int32_t setRet, getRet;
    } cases[] = {
        {"right", id, right.Ref(), &h, size, DATA_INFO_HEALTH, 0, 0},
        {"wrong sn", id, wrong.Ref(), &h, size, DATA_INFO_HEALTH, 4, 4},
        {"longer sn", id, prefix.Ref(), &h, size, DATA_INFO_HEALTH, 4, 4},
        {"sn length 0: only gets skip the check", id, wrong.Ref(0), &h, size, DATA_INFO_HEALTH, 4, 0},
        {"free id", 5, right.Ref(), &h, size, DATA_INFO_HEALTH, 1, 1},
        {"id 128", MAX_DISK_ID_NUM, right.Ref(), &h, size, DATA_INFO_HEALTH, 1, -1},
        {"unknown sn: only base info registers", bySn, wrong.Ref(), &h, size, DATA_INFO_HEALTH, 4, -1},
        {"not whitelisted", bySn, reject.Ref(), &h, size, DATA_INFO_HEALTH, 8, -1},
        {"sn over 40", id, KeeperStr{41, longSn}, &h, size, DATA_INFO_HEALTH, -1, -1},
        {"null sn", id, KeeperStr{10, nullptr}, &h, size, DATA_INFO_HEALTH, -1, -1},
        {"null data", id, right.Ref(), nullptr, size, DATA_INFO_HEALTH, -1, -1},
        {"buffer too small", id, right.Ref(), &h, size - 1, DATA_INFO_HEALTH, 0, -1},
        {"text type has no set", id, right.Ref(), &h, size, DATA_INFO_STRATEGY_STR, -1, 0},
        {"type 8", id, right.Ref(), &h, size, DATA_INFO_BUTT, -1, -1},
        // Refused before the serial number is compared: a type past the
        // tables must not get as far as the entry's checks.
        {"type 8, wrong sn", id, wrong.Ref(), &h, size, DATA_INFO_BUTT, -1, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DataMgrDiskInfoSet(c.id, c.sn, c.buf, c.type), c.setRet) << c.name;
        DiskHealthInfo out{};
        EXPECT_EQ(DataMgrDiskInfoGet(c.id, c.sn, c.buf != nullptr ? &out : nullptr, c.size, c.type), c.getRet)
            << c.name;
    }
    DiskHealthInfo out{};
    ASSERT_EQ(Get(id, &out, DATA_INFO_HEALTH), 0);
    EXPECT_EQ(out.powerOnHours, 77u);
}

// The first frame is only a baseline; the ring keeps the newest of 150
// records; a rejected frame stores nothing but becomes the new baseline.
TEST_F(DataMgrTest, IoRingRejectedFramesAndDisable)
{
    uint32_t id = Register("SN-IO");
    ASSERT_EQ(Frame("SN-IO", 1000, 0), 0);
    EXPECT_EQ(NewestReadIops(id), -1);
    uint64_t reads = 0;
    for (uint64_t k = 1; k <= 150; ++k) {  // record k: one second with k reads
        reads += k;
        ASSERT_EQ(Frame("SN-IO", 1000 * (k + 1), reads, 1 << 20), 0) << k;
        if (k == 99 || k == 100 || k == 101 || k == 150) {
            EXPECT_EQ(NewestReadIops(id), static_cast<int64_t>(k));
        }
    }
    EXPECT_EQ(Frame("SN-IO", 152000, reads + 50, 0), -1);  // bytes_read went back: a reset
    EXPECT_EQ(NewestReadIops(id), 150);
    EXPECT_EQ(Frame("SN-IO", 152000, reads + 70, 10), -1);  // equal ticks: rejected, new baseline
    ASSERT_EQ(Frame("SN-IO", 153000, reads + 100, 10), 0);
    EXPECT_EQ(NewestReadIops(id), 30);
    ASSERT_EQ(SetU32(id, "SN-IO", 2, DATA_INFO_STRATEGY), 0);

    // Disabled: no objects, so sets fail and reads find nothing; the online
    // list is left untouched. Enabled again: everything starts afresh.
    DataMgrDisable();
    EXPECT_EQ(Frame("SN-IO", 154000, reads + 200, 10), -1);
    DiskIoStatInfo s{};
    EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), 1);
    uint32_t ids[2];
    char snBuf[2][40];
    KeeperStr sns[2] = {{40, snBuf[0]}, {40, snBuf[1]}};
    uint32_t count = 99;
    EXPECT_EQ(ListAllOnlineDisk(ids, sns, 2, &count), 0);
    EXPECT_EQ(count, 99u);
    DataMgrEnable();
    EXPECT_EQ(NewestReadIops(id), -1);
    EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), 0u);
    ASSERT_EQ(Frame("SN-IO", 155000, reads + 300, 10), 0);
    ASSERT_EQ(Frame("SN-IO", 156000, reads + 340, 10), 0);
    EXPECT_EQ(NewestReadIops(id), 40);
    EXPECT_EQ(ListAllOnlineDisk(ids, sns, 2, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ListAllOnlineDisk(nullptr, sns, 2, &count), -1);
    EXPECT_EQ(DrmEvents().size(), 1u);  // re-enabling announces nothing
}

// A full registry refuses a 65th disk; a stopped store refuses sets and
// gets; started again, it announces every registered disk and lists them
// all for the agent.
TEST_F(DataMgrTest, RegistryFullGives2AndAllInfoGetListsAll64)
{
    for (int i = 0; i < 64; ++i) {
        Register("SN-FULL-" + std::to_string(i));
    }
    DiskBaseInfo d = Disk("SN-65");
    agent_->ClearRequests();
    EXPECT_EQ(Set("SN-65", &d, DATA_INFO_BASE), 2);
    EXPECT_EQ(agent_->RequestCount(), 0u);
    ASSERT_EQ(DataMgrDestroy(), 0);
    EXPECT_EQ(Set("SN-65", &d, DATA_INFO_BASE), -1);  // not initialised
    EXPECT_EQ(Get(0, &d, DATA_INFO_BASE), -1);
    dmtest::ResetDrm();
    ASSERT_EQ(DataMgrInit(), 0);
    EXPECT_EQ(DataMgrInit(), -1);
    EXPECT_EQ(DrmEvents().size(), 64u);
    EXPECT_EQ(DrmEvents().back(), "63/SN-FULL-63/0");

    std::vector<DiskBaseInfo> storage(MAX_DISK_NUM);
    DiskBaseInfo *bases[MAX_DISK_NUM];
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        bases[i] = &storage[i];
    }
    const char *texts[MAX_DISK_NUM];
    uint32_t count = 0;
    ASSERT_EQ(DataMgrAgentAllInfoGet(bases, texts, &count), 0);
    EXPECT_EQ(count, 64u);
    EXPECT_STREQ(storage[63].sn, "SN-FULL-63");
    EXPECT_STREQ(texts[0], "No action required");
    EXPECT_EQ(DataMgrAgentAllInfoGet(nullptr, texts, &count), -1);
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
            for (uint64_t k = 1; k <= 60; ++k) {
                failures += Frame("SN-C" + std::to_string(d), 1000 * k, 10 * k) != 0;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 60; ++i) {
            failures += SetU32(1, "SN-C1", i % 2 ? DISK_STATE_NORMAL : DISK_STATE_SLOW, DATA_INFO_DISK_STATE);
            DiskIoStatInfo s{};
            int32_t r = Get(i % kDisks, &s, DATA_INFO_IOSTAT);
            failures += r != 0 && r != -1;
        }
    });
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    for (int d = 0; d < kDisks; ++d) {
        EXPECT_EQ(NewestReadIops(d), 10);
    }
}

}  // namespace
