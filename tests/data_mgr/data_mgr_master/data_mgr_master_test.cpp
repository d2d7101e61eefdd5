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
#include "support/log_capture.h"

namespace {

using dmtest::AgentMsg;
using dmtest::Disk;
using dmtest::DrmEvents;
using dmtest::Num;
using dmtest::Sn;
using dmtest::Str;

class DataMgrTest : public dmtest::DataMgrFixture {
protected:
    int32_t SetById(uint32_t id, const std::string &sn, const void *data, uint32_t type)
    {
        Sn key(sn);
        return DataMgrDiskInfoSet(id, key.Ref(), data, type);
    }
    int32_t SetBySn(const std::string &sn, const void *data, uint32_t type)
    {
        return SetById(DATA_MGR_FIND_BY_SN, sn, data, type);
    }
    template <typename T>
    int32_t Get(uint32_t id, T *out, uint32_t type, const std::string &sn = "", uint32_t len = 0)
    {
        Sn key(sn);
        return DataMgrDiskInfoGet(id, key.Ref(len), out, sizeof(T), type);
    }
    int32_t SetU32(uint32_t id, const std::string &sn, uint32_t v, uint32_t type)
    {
        return SetById(id, sn, &v, type);
    }
    uint32_t GetU32(uint32_t id, uint32_t type)
    {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(Get(id, &v, type), 0);
        return v;
    }
    const char *StrategyText(uint32_t id)
    {
        const char *text = "untouched";
        EXPECT_EQ(Get(id, &text, DATA_INFO_STRATEGY_STR), 0);
        return text;
    }
    // Feeds an IO frame of `ticks` with `reads` cumulative read operations.
    int32_t Frame(const std::string &sn, uint64_t ticks, uint64_t reads, uint64_t bytes = 0)
    {
        DiskIoInfoFrame f{};
        f.ticks = ticks;
        f.tick_rate = 1000;
        f.num_read_ops = reads;
        f.bytes_read = bytes;
        return SetBySn(sn, &f, DATA_INFO_IOSTAT);
    }
    uint64_t NewestReadIops(uint32_t id)
    {
        DiskIoStatInfo s{};
        EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), 0);
        return s.readIops;
    }
};

TEST_F(DataMgrTest, RegistrationSavesRegistryAnnouncesAndSendsDiskInfo)
{
    DiskBaseInfo d = Disk("SN-A");
    Sn key("SN-A");
    ASSERT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &d, DATA_INFO_BASE), 0);

    DiskBaseInfo stored{};
    ASSERT_EQ(Get(0, &stored, DATA_INFO_BASE), 0);
    EXPECT_EQ(stored.diskId, 0u);
    EXPECT_EQ(stored.diskState, static_cast<uint32_t>(DISK_STATE_NORMAL));
    EXPECT_STREQ(stored.sn, "SN-A");
    EXPECT_NE(RegistryText().find("SN-A"), std::string::npos) << RegistryText();

    auto msgs = AgentMsgs();
    ASSERT_EQ(msgs.size(), 1u);
    const AgentMsg &m = msgs[0];
    EXPECT_EQ(m.method, "dma_set_disk_info_inner");
    EXPECT_EQ(m.paramNames, (std::vector<std::string>{"sn", "disk_state", "disk_capacity", "vendor",
                                                      "model", "device_name", "disk_type"}));
    EXPECT_EQ(Str(m, "sn"), "SN-A");
    EXPECT_EQ(Num(m, "disk_state"), DISK_STATE_UNSET);  // the caller's record, as supplied
    EXPECT_EQ(Num(m, "disk_capacity"), 3840755982336.0);
    EXPECT_EQ(Str(m, "vendor"), "ATA");
    EXPECT_EQ(Str(m, "model"), "KSSD-T3840");
    EXPECT_EQ(Str(m, "device_name"), "sdb");
    EXPECT_EQ(Num(m, "disk_type"), DISK_TYPE_SSD_SATA);

    auto events = DrmEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].diskId, 0u);
    EXPECT_EQ(events[0].sn, "SN-A");
    EXPECT_EQ(events[0].event, static_cast<uint32_t>(DATA_MGR_DRM_DISK_FOUND));

    // A fresh object: no prediction, no strategy yet.
    DiskDrmInfo drm{};
    ASSERT_EQ(Get(0, &drm, DATA_INFO_DRM), 0);
    EXPECT_EQ(drm.remainingLife, 0xFFFFFFFFu);
    EXPECT_EQ(GetU32(0, DATA_INFO_STRATEGY), 0u);
}

TEST_F(DataMgrTest, IdenticalBaseRecordSavesAndSendsNothing)
{
    uint32_t id = Register("SN-A");
    agent_->ClearRequests();
    DiskBaseInfo same = Disk("SN-A");  // state unset: the stored state is kept
    {
        FileFault files;
        EXPECT_EQ(SetBySn("SN-A", &same, DATA_INFO_BASE), 0);
        EXPECT_EQ(files.TotalCalls(), 0);
    }
    EXPECT_EQ(agent_->RequestCount(), 0u);

    // A real change is saved and sent, carrying the stored state.
    DiskBaseInfo changed = Disk("SN-A");
    strcpy(changed.firmware, "FW02");
    EXPECT_EQ(SetBySn("SN-A", &changed, DATA_INFO_BASE), 0);
    DiskBaseInfo stored{};
    ASSERT_EQ(Get(id, &stored, DATA_INFO_BASE), 0);
    EXPECT_STREQ(stored.firmware, "FW02");
    EXPECT_NE(RegistryText().find("FW02"), std::string::npos);
    auto msgs = AgentMsgs();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].method, "dma_set_disk_info_inner");
    EXPECT_EQ(Num(msgs[0], "disk_state"), DISK_STATE_NORMAL);
}

TEST_F(DataMgrTest, OfflineByBaseInfoOrStateRemovesDiskAndTellsAgentAndDrm)
{
    struct Case {
        const char *name;
        bool viaState;
    } cases[] = {{"base info", false}, {"disk state", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sn = std::string("SN-OFF-") + (c.viaState ? "S" : "B");
        uint32_t id = Register(sn);
        agent_->ClearRequests();
        int32_t ret;
        if (c.viaState) {
            ret = SetU32(id, sn, DISK_STATE_OFFLINE, DATA_INFO_DISK_STATE);
        } else {
            DiskBaseInfo off = Disk(sn, DISK_STATE_OFFLINE);
            ret = SetBySn(sn, &off, DATA_INFO_BASE);
        }
        EXPECT_EQ(ret, 0);
        DiskBaseInfo gone{};
        EXPECT_EQ(Get(id, &gone, DATA_INFO_BASE), 1);
        EXPECT_EQ(RegistryText().find(sn), std::string::npos);
        auto msgs = AgentMsgs();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].method, "dma_poweroff_disk");
        EXPECT_EQ(msgs[0].paramNames, std::vector<std::string>{"sn"});
        EXPECT_EQ(Str(msgs[0], "sn"), sn);
        auto events = DrmEvents();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().event, static_cast<uint32_t>(DATA_MGR_DRM_DISK_REMOVED));
        EXPECT_EQ(events.back().diskId, id);
        EXPECT_EQ(events.back().sn, sn);
    }
}

TEST_F(DataMgrTest, StateSetsDeriveStrategyAndSendBoth)
{
    struct Case {
        uint32_t state;
        uint32_t strategy;  // expected afterwards
        const char *text;   // expected strategy message, or null for none
    } cases[] = {
        {DISK_STATE_SLOW, 1, "Migrate data and replace the hard disk"},
        {DISK_STATE_PREFAIL, 1, "Migrate data and replace the hard disk"},
        {DISK_STATE_FAULT, 2, "Replace the hard disk"},
        {DISK_STATE_NORMAL, 2, nullptr},  // normal keeps the previous strategy
    };
    uint32_t id = Register("SN-S");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.state);
        agent_->ClearRequests();
        EXPECT_EQ(SetU32(id, "SN-S", c.state, DATA_INFO_DISK_STATE), 0);
        EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), c.state);
        EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), c.strategy);
        auto msgs = AgentMsgs();
        ASSERT_EQ(msgs.size(), c.text != nullptr ? 2u : 1u);
        EXPECT_EQ(msgs[0].method, "dma_set_disk_state");
        EXPECT_EQ(msgs[0].paramNames, (std::vector<std::string>{"sn", "disk_state"}));
        EXPECT_EQ(Num(msgs[0], "disk_state"), c.state);
        if (c.text != nullptr) {
            EXPECT_EQ(msgs[1].method, "dma_set_disk_handle_strategy");
            EXPECT_EQ(Str(msgs[1], "disk_handle_strategy"), c.text);
        }
        // The state is persisted in the registry file.
        EXPECT_NE(RegistryText().find("\"diskState\":\t" + std::to_string(c.state)),
                  std::string::npos)
            << RegistryText();
    }
    EXPECT_STREQ(StrategyText(id), "Replace the hard disk");
}

TEST_F(DataMgrTest, StrategyValuesAndTexts)
{
    uint32_t id = Register("SN-T");
    struct Case {
        uint32_t value;
        int32_t ret;
        const char *text;
    } cases[] = {
        {0, 0, "No action required"},
        {1, 0, "Migrate data and replace the hard disk"},
        {2, 0, "Replace the hard disk"},
        {3, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        agent_->ClearRequests();
        LogCapture log;
        EXPECT_EQ(SetU32(id, "SN-T", c.value, DATA_INFO_STRATEGY), c.ret);
        EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), c.value);
        const char *text = StrategyText(id);
        if (c.text == nullptr) {
            EXPECT_EQ(text, nullptr);
            EXPECT_EQ(DiskStrategyStrGet(id), nullptr);
            EXPECT_EQ(agent_->RequestCount(), 0u);  // nothing to post without a text
            EXPECT_TRUE(log.Contains("RPC diskHandleStrategy params is NULL"));
            EXPECT_TRUE(log.Contains("HandleStrategyStr info send Rpc to agent failed! ret:[-1]"));
        } else {
            EXPECT_STREQ(text, c.text);
            EXPECT_STREQ(DiskStrategyStrGet(id), c.text);
            auto msgs = AgentMsgs();
            ASSERT_EQ(msgs.size(), 1u);
            EXPECT_EQ(Str(msgs[0], "disk_handle_strategy"), c.text);
        }
    }
    // Out of range changes nothing and sends nothing.
    agent_->ClearRequests();
    EXPECT_EQ(SetU32(id, "SN-T", 4, DATA_INFO_STRATEGY), -1);
    EXPECT_EQ(SetU32(id, "SN-T", 5, DATA_INFO_DISK_STATE), -1);
    EXPECT_EQ(SetU32(id, "SN-T", 0xFFFFFFFF, DATA_INFO_DISK_STATE), -1);
    EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), 3u);
    EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), 0u);
    EXPECT_EQ(agent_->RequestCount(), 0u);
}

TEST_F(DataMgrTest, UnregisteredSerialNumbers)
{
    DiskIoInfoFrame frame{};
    frame.ticks = 5;
    DiskHealthInfo health{};
    DiskNodeInfo node{};
    struct Case {
        const char *sn;
        const void *data;
        uint32_t type;
        int32_t ret;
    } cases[] = {
        {"SN-U", &frame, DATA_INFO_IOSTAT, 4},  // whitelisted, but only base info registers
        {"SN-U", &health, DATA_INFO_HEALTH, 4},
        {"SN-U", &node, DATA_INFO_NODE, 4},
        {"REJECT-1", &frame, DATA_INFO_IOSTAT, 8},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(SetBySn(c.sn, c.data, c.type), c.ret) << c.sn << " type " << c.type;
    }
    DiskBaseInfo rejected = Disk("SN-R");
    strcpy(rejected.vendor, "REJECT");
    EXPECT_EQ(SetBySn("SN-R", &rejected, DATA_INFO_BASE), 8);

    DataMgrSetWhiteListFunc(nullptr);  // no whitelist: nothing may be registered
    DiskBaseInfo d = Disk("SN-V");
    EXPECT_EQ(SetBySn("SN-V", &d, DATA_INFO_BASE), 8);

    uint32_t id = 0;
    EXPECT_EQ(GetDiskIdBySn(40, "SN-U", &id), 4);
    EXPECT_EQ(GetDiskIdBySn(40, "SN-R", &id), 4);
    EXPECT_EQ(agent_->RequestCount(), 0u);
    EXPECT_TRUE(DrmEvents().empty());
}

TEST_F(DataMgrTest, KeysAndArgumentsAreChecked)
{
    uint32_t id = Register("SN-K");
    DiskHealthInfo h{};
    h.powerOnHours = 77;
    Sn right("SN-K");
    Sn wrong("SN-X");
    Sn prefix("SN-K-LONGER");
    char longSn[64];
    memset(longSn, 'Z', sizeof(longSn));
    KeeperStr tooLong{41, longSn};
    KeeperStr nullBuf{10, nullptr};
    struct SetCase {
        const char *name;
        uint32_t id;
        KeeperStr sn;
        const void *data;
        uint32_t type;
        int32_t ret;
    } sets[] = {
        {"right", id, right.Ref(), &h, DATA_INFO_HEALTH, 0},
        {"wrong sn", id, wrong.Ref(), &h, DATA_INFO_HEALTH, 4},
        {"longer sn", id, prefix.Ref(), &h, DATA_INFO_HEALTH, 4},
        {"sn length 0 still compared", id, wrong.Ref(0), &h, DATA_INFO_HEALTH, 4},
        {"free id", 5, right.Ref(), &h, DATA_INFO_HEALTH, 1},
        {"id 128", 128, right.Ref(), &h, DATA_INFO_HEALTH, 1},
        {"sn over 40", id, tooLong, &h, DATA_INFO_HEALTH, -1},
        {"null sn", id, nullBuf, &h, DATA_INFO_HEALTH, -1},
        {"null data", id, right.Ref(), nullptr, DATA_INFO_HEALTH, -1},
        {"text type has no set", id, right.Ref(), &h, DATA_INFO_STRATEGY_STR, -1},
        {"type 8", id, right.Ref(), &h, DATA_INFO_BUTT, -1},
    };
    for (const auto &c : sets) {
        EXPECT_EQ(DataMgrDiskInfoSet(c.id, c.sn, c.data, c.type), c.ret) << c.name;
    }

    DiskHealthInfo out{};
    struct GetCase {
        const char *name;
        uint32_t id;
        KeeperStr sn;
        void *buf;
        uint32_t size;
        uint32_t type;
        int32_t ret;
    } gets[] = {
        {"length 0 skips the check", id, wrong.Ref(0), &out, sizeof(out), DATA_INFO_HEALTH, 0},
        {"right sn", id, right.Ref(), &out, sizeof(out), DATA_INFO_HEALTH, 0},
        {"wrong sn", id, wrong.Ref(), &out, sizeof(out), DATA_INFO_HEALTH, 4},
        {"free id", 9, right.Ref(0), &out, sizeof(out), DATA_INFO_HEALTH, 1},
        {"id 128", 128, right.Ref(0), &out, sizeof(out), DATA_INFO_HEALTH, -1},
        {"sn over 40", id, tooLong, &out, sizeof(out), DATA_INFO_HEALTH, -1},
        {"null sn", id, nullBuf, &out, sizeof(out), DATA_INFO_HEALTH, -1},
        {"null buffer", id, right.Ref(), nullptr, sizeof(out), DATA_INFO_HEALTH, -1},
        {"buffer too small", id, right.Ref(), &out, sizeof(out) - 1, DATA_INFO_HEALTH, -1},
        {"type 8", id, right.Ref(), &out, sizeof(out), DATA_INFO_BUTT, -1},
    };
    for (const auto &c : gets) {
        EXPECT_EQ(DataMgrDiskInfoGet(c.id, c.sn, c.buf, c.size, c.type), c.ret) << c.name;
    }
    ASSERT_EQ(Get(id, &out, DATA_INFO_HEALTH), 0);
    EXPECT_EQ(out.powerOnHours, 77u);
}

TEST_F(DataMgrTest, RecordsRoundTripVerbatim)
{
    uint32_t id = Register("SN-R");
    DiskHealthInfo h{};
    h.powerOnHours = 12345;
    h.wearInt = 7;
    h.wearDec = 25;
    for (uint32_t i = 0; i < DISK_SMART_ATTR_NUM; ++i) {
        h.area.sata[i] = DiskSmartAttr{static_cast<uint8_t>(i + 1), 10, 100, 90};
    }
    DiskNodeInfo node{};
    for (size_t i = 0; i < sizeof(node.data); ++i) {
        node.data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    DiskDrmInfo drm{88, 4000};
    ASSERT_EQ(SetBySn("SN-R", &h, DATA_INFO_HEALTH), 0);
    ASSERT_EQ(SetBySn("SN-R", &node, DATA_INFO_NODE), 0);
    ASSERT_EQ(SetById(id, "SN-R", &drm, DATA_INFO_DRM), 0);

    DiskHealthInfo h2{};
    DiskNodeInfo node2{};
    DiskDrmInfo drm2{};
    ASSERT_EQ(Get(id, &h2, DATA_INFO_HEALTH, "SN-R", 40), 0);
    ASSERT_EQ(Get(id, &node2, DATA_INFO_NODE, "SN-R", 40), 0);
    ASSERT_EQ(Get(id, &drm2, DATA_INFO_DRM, "SN-R", 40), 0);
    EXPECT_EQ(memcmp(&h, &h2, sizeof(h)), 0);
    EXPECT_EQ(memcmp(&node, &node2, sizeof(node)), 0);
    EXPECT_EQ(drm2.healthScore, 88u);
    EXPECT_EQ(drm2.remainingLife, 4000u);
    EXPECT_EQ(agent_->RequestCount(), 1u);  // only the registration talked to the agent
}

TEST_F(DataMgrTest, IoRingKeepsNewestAfter150Records)
{
    uint32_t id = Register("SN-IO");
    DiskIoStatInfo s{};
    ASSERT_EQ(Frame("SN-IO", 1000, 0), 0);  // first frame: baseline only
    EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), -1);
    // Record k (1..150) comes from a one-second interval with k reads.
    uint64_t reads = 0;
    for (uint64_t k = 1; k <= 150; ++k) {
        reads += k;
        ASSERT_EQ(Frame("SN-IO", 1000 * (k + 1), reads), 0) << k;
        if (k == 99 || k == 100 || k == 101 || k == 150) {
            EXPECT_EQ(NewestReadIops(id), k);
        }
    }
}

TEST_F(DataMgrTest, RejectedFrameBecomesTheBaseline)
{
    uint32_t id = Register("SN-B");
    ASSERT_EQ(Frame("SN-B", 1000, 0, 0), 0);
    ASSERT_EQ(Frame("SN-B", 2000, 100, 1 << 20), 0);
    EXPECT_EQ(NewestReadIops(id), 100u);

    LogCapture log;
    EXPECT_EQ(Frame("SN-B", 3000, 150, 0), -1);  // bytes_read went back: counter reset
    EXPECT_TRUE(log.Contains("IoStatCheck failed newFrame->ticks:[3000], lastFrame->ticks:[2000]"));
    EXPECT_EQ(NewestReadIops(id), 100u);  // nothing stored
    EXPECT_EQ(Frame("SN-B", 3000, 170, 10), -1);  // equal ticks, against the new baseline
    ASSERT_EQ(Frame("SN-B", 4000, 200, 10), 0);
    EXPECT_EQ(NewestReadIops(id), 30u);  // measured from the frame of 3000 ticks, 170 reads
}

TEST_F(DataMgrTest, DisableDropsObjectsAndEnableStartsAfresh)
{
    uint32_t id = Register("SN-E");
    ASSERT_EQ(Frame("SN-E", 1000, 0), 0);
    ASSERT_EQ(Frame("SN-E", 2000, 40), 0);
    ASSERT_EQ(SetU32(id, "SN-E", 2, DATA_INFO_STRATEGY), 0);

    DataMgrDisable();
    DiskIoStatInfo s{};
    EXPECT_EQ(Frame("SN-E", 3000, 80), -1);       // disabled
    EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), 1);  // no objects, but reads still answer
    uint32_t ids[4];
    char snBuf[4][40];
    KeeperStr sns[4] = {{40, snBuf[0]}, {40, snBuf[1]}, {40, snBuf[2]}, {40, snBuf[3]}};
    uint32_t count = 99;
    EXPECT_EQ(ListAllOnlineDisk(ids, sns, 4, &count), 0);
    EXPECT_EQ(count, 99u);  // untouched while disabled

    DataMgrEnable();
    EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), -1);  // empty ring
    EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), 0u);  // history lost
    ASSERT_EQ(Frame("SN-E", 4000, 100), 0);          // baseline only
    EXPECT_EQ(Get(id, &s, DATA_INFO_IOSTAT), -1);
    ASSERT_EQ(Frame("SN-E", 5000, 130), 0);
    EXPECT_EQ(NewestReadIops(id), 30u);
    EXPECT_EQ(ListAllOnlineDisk(ids, sns, 4, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ids[0], id);
    EXPECT_STREQ(snBuf[0], "SN-E");
    EXPECT_EQ(ListAllOnlineDisk(ids, sns, 0, &count), 6);  // no room: the registry's code
    EXPECT_EQ(ListAllOnlineDisk(nullptr, sns, 4, &count), -1);
    EXPECT_EQ(DrmEvents().size(), 1u);  // re-enabling announces nothing
}

TEST_F(DataMgrTest, InitCreatesObjectsForRegistryAndAnnouncesThemInIdOrder)
{
    Register("SN-0");
    Register("SN-1");
    Register("SN-2");
    EXPECT_EQ(DiskStateSet(1, Sn("SN-1").Ref(), DISK_STATE_OFFLINE), 0);
    ASSERT_EQ(DataMgrDestroy(), 0);
    DiskBaseInfo b{};
    EXPECT_EQ(Get(0, &b, DATA_INFO_BASE), -1);  // not initialised

    {
        std::lock_guard<std::mutex> lock(dmtest::Drm().mu);
        dmtest::Drm().events.clear();
    }
    LogCapture log;
    ASSERT_EQ(DataMgrInit(), 0);
    EXPECT_EQ(DataMgrInit(), -1);
    EXPECT_TRUE(log.Contains("Data Mgr Master Model already init"));
    EXPECT_TRUE(log.Contains("NotifyAllDiskFindInit success", KEEPER_LOG_WARN));
    auto events = DrmEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].diskId, 0u);
    EXPECT_EQ(events[0].sn, "SN-0");
    EXPECT_EQ(events[1].diskId, 2u);
    EXPECT_EQ(events[1].sn, "SN-2");
    EXPECT_EQ(Get(2, &b, DATA_INFO_BASE), 0);
    EXPECT_STREQ(b.sn, "SN-2");
    EXPECT_EQ(Get(1, &b, DATA_INFO_BASE), 1);
}

TEST_F(DataMgrTest, InitWithoutDrmOrWithFailingDrmStillSucceeds)
{
    Register("SN-0");
    Register("SN-1");
    ASSERT_EQ(DataMgrDestroy(), 0);
    {
        std::lock_guard<std::mutex> lock(dmtest::Drm().mu);
        dmtest::Drm().events.clear();
        dmtest::Drm().result = 5;
    }
    LogCapture log;
    ASSERT_EQ(DataMgrInit(), 0);
    EXPECT_EQ(DrmEvents().size(), 1u);  // the first failure stops the announcements
    EXPECT_TRUE(log.Contains("DataMgrNotifyDrmDiskEvent error: bad return value"));
    EXPECT_TRUE(log.Contains("DataMgrInit notify drm add disk fail", KEEPER_LOG_ERROR));
    EXPECT_FALSE(log.Contains("NotifyAllDiskFindInit success"));

    ASSERT_EQ(DataMgrDestroy(), 0);
    ASSERT_EQ(DataMgrSetDrmNotifyFunc(nullptr), 0);
    log.Clear();
    ASSERT_EQ(DataMgrInit(), 0);
    EXPECT_TRUE(log.Contains("DataMgrNotifyDrmDiskEvent error: no notify func"));
    // Registration goes on without DRM; the disk-state result reports the
    // failed removal notification.
    uint32_t id = Register("SN-2");
    EXPECT_TRUE(log.Contains("DiskBaseInfoSet notify drm add disk fail"));
    EXPECT_EQ(SetU32(id, "SN-2", DISK_STATE_OFFLINE, DATA_INFO_DISK_STATE), -1);
    DiskBaseInfo b{};
    EXPECT_EQ(Get(id, &b, DATA_INFO_BASE), 1);  // removed all the same
}

TEST_F(DataMgrTest, NotInitialisedRefusesEverything)
{
    ASSERT_EQ(DataMgrDestroy(), 0);
    LogCapture log;
    DiskBaseInfo d = Disk("SN-N");
    EXPECT_EQ(SetBySn("SN-N", &d, DATA_INFO_BASE), -1);
    EXPECT_TRUE(log.Contains("Data Mgr init = 0,Mgr Enable =0"));
    EXPECT_EQ(Get(0, &d, DATA_INFO_BASE), -1);
    EXPECT_TRUE(log.Contains("Data Mgr Master not init"));
    uint32_t ids[1];
    KeeperStr sns[1];
    uint32_t count = 0;
    EXPECT_EQ(ListAllOnlineDisk(ids, sns, 1, &count), -1);
    EXPECT_EQ(DataMgrDestroy(), 0);
    EXPECT_TRUE(log.Contains("Data Mgr Master Model no init,can't destroy"));
}

TEST_F(DataMgrTest, FailedRegistrySaveRegistersNothing)
{
    Register("SN-0");
    agent_->ClearRequests();
    size_t drmBefore = DrmEvents().size();
    {
        FileFault files;
        files.FailNth(FILE_SYS_RENAME, 1, EIO, true);
        DiskBaseInfo d = Disk("SN-1");
        EXPECT_EQ(SetBySn("SN-1", &d, DATA_INFO_BASE), -1);
        // A refused state change leaves the entry as it was.
        EXPECT_EQ(SetU32(0, "SN-0", DISK_STATE_OFFLINE, DATA_INFO_DISK_STATE), -1);
    }
    DiskBaseInfo b{};
    EXPECT_EQ(Get(1, &b, DATA_INFO_BASE), 1);
    ASSERT_EQ(Get(0, &b, DATA_INFO_BASE), 0);
    EXPECT_EQ(b.diskState, static_cast<uint32_t>(DISK_STATE_NORMAL));
    EXPECT_EQ(agent_->RequestCount(), 0u);
    EXPECT_EQ(DrmEvents().size(), drmBefore);
    EXPECT_EQ(RegistryText().find("SN-1"), std::string::npos);
}

TEST_F(DataMgrTest, RegistryFullGives2)
{
    for (int i = 0; i < 64; ++i) {
        Register("SN-FULL-" + std::to_string(i));
    }
    DiskBaseInfo d = Disk("SN-65");
    agent_->ClearRequests();
    EXPECT_EQ(SetBySn("SN-65", &d, DATA_INFO_BASE), 2);
    EXPECT_EQ(agent_->RequestCount(), 0u);

    DiskBaseInfo *bases[MAX_DISK_NUM];
    std::vector<DiskBaseInfo> storage(MAX_DISK_NUM);
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

// Whatever the data agent does, the store's own data and results stay as if
// it had answered: answers are not read, and a missing agent only logs.
TEST_F(DataMgrTest, BadDataAgentChangesNoStoredData)
{
    struct Case {
        const char *name;
        UnixAgentServer::Mode mode;
        const char *reply;
    } cases[] = {
        {"garbage", UnixAgentServer::Mode::kReply, "\x01garbage{{{"},
        {"huge", UnixAgentServer::Mode::kReply, nullptr},
        {"silent", UnixAgentServer::Mode::kSilent, ""},
        {"hangs up", UnixAgentServer::Mode::kCloseAtOnce, ""},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        agent_->SetMode(c.mode);
        DcmRpcSetSocketTimeoutMs(c.mode == UnixAgentServer::Mode::kSilent ? 30 : dmtest::kAgentTimeoutMs);
        agent_->SetReply(c.reply != nullptr ? c.reply : std::string(20000, '['));
        const std::string sn = "SN-BAD-" + std::to_string(n++);
        LogCapture log;
        uint32_t id = Register(sn);
        EXPECT_TRUE(log.Contains("online disk, sn = " + sn));
        EXPECT_NE(RegistryText().find(sn), std::string::npos);
        int32_t stateRet = SetU32(id, sn, DISK_STATE_FAULT, DATA_INFO_DISK_STATE);
        if (c.mode == UnixAgentServer::Mode::kReply) {
            EXPECT_EQ(stateRet, 0);
        } else {
            EXPECT_EQ(stateRet, 32);  // the send's status is the state set's result
            EXPECT_TRUE(log.Contains("DiskState info send Rpc to agent failed! ret:[32]"));
        }
        EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), static_cast<uint32_t>(DISK_STATE_FAULT));
        EXPECT_EQ(GetU32(id, DATA_INFO_STRATEGY), 2u);
    }
    agent_.reset();  // no agent at all
    LogCapture log;
    uint32_t id = Register("SN-NOAGENT");
    EXPECT_TRUE(log.Contains("DiskHealthinfoInner send Rpc to agent failed! ret:[22]"));
    EXPECT_EQ(SetU32(id, "SN-NOAGENT", DISK_STATE_SLOW, DATA_INFO_DISK_STATE), 22);
    EXPECT_EQ(GetU32(id, DATA_INFO_DISK_STATE), static_cast<uint32_t>(DISK_STATE_SLOW));
}

// Malformed base records from collection are refused before they reach the
// registry file, which could not be loaded back with them in it.
TEST_F(DataMgrTest, MalformedBaseRecordsAreRefused)
{
    uint32_t id = Register("SN-M");
    std::string before = RegistryText();
    struct Case {
        const char *name;
        void (*mutate)(DiskBaseInfo &d);
    } cases[] = {
        {"state 6", [](DiskBaseInfo &d) { d.diskState = 6; }},
        {"vendor without NUL", [](DiskBaseInfo &d) { memset(d.vendor, 'V', sizeof(d.vendor)); }},
        {"model without NUL", [](DiskBaseInfo &d) { memset(d.model, 'M', sizeof(d.model)); }},
        {"pci address without NUL", [](DiskBaseInfo &d) { memset(d.pciAddr, 'P', sizeof(d.pciAddr)); }},
    };
    for (const auto &c : cases) {
        DiskBaseInfo d = Disk("SN-M");
        c.mutate(d);
        EXPECT_EQ(SetBySn("SN-M", &d, DATA_INFO_BASE), -1) << c.name;
        DiskBaseInfo fresh = Disk("SN-NEW");
        c.mutate(fresh);
        EXPECT_EQ(SetBySn("SN-NEW", &fresh, DATA_INFO_BASE), -1) << c.name;
    }
    EXPECT_EQ(RegistryText(), before);
    DiskBaseInfo b{};
    ASSERT_EQ(Get(id, &b, DATA_INFO_BASE), 0);
    EXPECT_STREQ(b.vendor, "ATA");
}

// Collection threads, DRM-style state writers and CLI-style readers at once.
TEST_F(DataMgrTest, ConcurrentSetsAndGets)
{
    KeeperOsSetLogLevel(KEEPER_LOG_INFO);
    constexpr int kDisks = 4;
    for (int d = 0; d < kDisks; ++d) {
        Register("SN-C" + std::to_string(d));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int d = 0; d < kDisks; ++d) {
        threads.emplace_back([&, d] {
            const std::string sn = "SN-C" + std::to_string(d);
            for (uint64_t k = 1; k <= 60; ++k) {
                if (Frame(sn, 1000 * k, 10 * k) != 0) {
                    ++failures;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            uint32_t state = (i % 2 == 0) ? DISK_STATE_SLOW : DISK_STATE_NORMAL;
            if (SetU32(1, "SN-C1", state, DATA_INFO_DISK_STATE) != 0) {
                ++failures;
            }
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            DiskIoStatInfo s{};
            int32_t r = DataMgrDiskInfoGet(i % kDisks, KeeperStr{0, const_cast<char *>("")}, &s,
                                           sizeof(s), DATA_INFO_IOSTAT);
            if (r != 0 && r != -1) {
                ++failures;
            }
        }
    });
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    for (int d = 0; d < kDisks; ++d) {
        EXPECT_EQ(NewestReadIops(d), 10u);
    }
}

}  // namespace
