// Data-agent synchronisation: the four messages, the sync of all
// disks and the sync thread's start/cancel races.
// test-labels: concurrent
#include "data_mgr/data_mgr_master/data_mgr_dma.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "support/wait_until.h"

namespace {

using dmtest::Disk;
using dmtest::Sn;

// The request text of one message, its id replaced by N so the rest can be
// compared whole; "" when the build fails.
std::string Build(uint32_t type, KeeperStr sn, const void *data)
{
    char *text = nullptr;
    if (DataMgrMasterConstructRpcJsonParam(type, sn, data, &text) != 0 || text == nullptr) {
        return "";
    }
    std::string s = text;
    cJSON_free(text);
    size_t at = s.find("\"id\":");
    return at == std::string::npos ? s : s.replace(at + 5, s.find(',', at) - at - 5, "N");
}

std::string PowerOff(const std::string &sn)
{
    return R"({"jsonrpc":"2.0","method":"dma_poweroff_disk","id":N,"params":{"sn":")" + sn + "\"}}";
}

// Whether every sync thread has ended within 20 s.
bool NoLiveThreads()
{
    return WaitUntil([] { return DmmSyncTaskLiveCount() == 0; }, 20000);
}

using DmaMsgTest = dmtest::DataMgrFixture;

TEST_F(DmaMsgTest, EachTypeBuildsItsRequest)
{
    DiskBaseInfo d = Disk("SN-1", DISK_STATE_PREFAIL);
    uint32_t state = DISK_STATE_SLOW;
    char field[48];
    memset(field, 'S', sizeof(field));  // no NUL within 40
    Sn sn("SN-1"), longer("SN-12345");
    const struct {
        uint32_t type;
        KeeperStr sn;
        const void *data;
        std::string expected;
    } cases[] = {
        {DMA_MSG_SET_DISK_INFO, sn.Ref(), &d,
         R"({"jsonrpc":"2.0","method":"dma_set_disk_info_inner","id":N,"params":{"sn":"SN-1",)"
         R"("disk_state":3,"disk_capacity":3840755982336,"vendor":"ATA","model":"KSSD-T3840",)"
         R"("device_name":"sdb","disk_type":2}})"},
        {DMA_MSG_SET_DISK_STATE, sn.Ref(), &state,
         R"({"jsonrpc":"2.0","method":"dma_set_disk_state","id":N,"params":{"sn":"SN-1","disk_state":4}})"},
        {DMA_MSG_SET_HANDLE_STRATEGY, sn.Ref(), "Replace the hard disk",
         R"({"jsonrpc":"2.0","method":"dma_set_disk_handle_strategy","id":N,"params":{"sn":"SN-1",)"
         R"("disk_handle_strategy":"Replace the hard disk"}})"},
        // The serial number is cut at its length and at 40 characters.
        {DMA_MSG_POWEROFF_DISK, longer.Ref(4), nullptr, PowerOff("SN-1")},
        {DMA_MSG_POWEROFF_DISK, KeeperStr{40, field}, nullptr, PowerOff(std::string(40, 'S'))},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Build(c.type, c.sn, c.data), c.expected);
    }

    // Missing data and bad types fail without posting; the send lock was
    // released on every failure path, so a good send still works.
    for (uint32_t type : {DMA_MSG_SET_DISK_INFO, DMA_MSG_SET_DISK_STATE, DMA_MSG_SET_HANDLE_STRATEGY}) {
        EXPECT_EQ(DataMgrMasterSendRpcMsg2Agent(type, sn.Ref(), nullptr), -1) << type;
    }
    EXPECT_EQ(DataMgrMasterSendRpcMsg2Agent(DMA_MSG_BUTT, sn.Ref(), "x"), -1);
    EXPECT_EQ(DataMgrMasterSendRpcMsg2Agent(DMA_MSG_POWEROFF_DISK, KeeperStr{40, nullptr}, nullptr), -1);
    EXPECT_EQ(agent_->RequestCount(), 0u);
    ASSERT_EQ(DataMgrMasterSendRpcMsg2Agent(DMA_MSG_POWEROFF_DISK, sn.Ref(), nullptr), 0);
    EXPECT_EQ(agent_->RequestCount(), 1u);
}

class DmaSyncTest : public dmtest::DataMgrFixture {
protected:
    void SetUp() override
    {
        DataMgrFixture::SetUp();
        DataMgrSyncSetWaitMs(20);
    }
    void TearDown() override
    {
        CancelDmmSync2DmaScheduleTask();
        EXPECT_TRUE(NoLiveThreads());
        DataMgrSyncSetWaitMs(0);
        DataMgrFixture::TearDown();
    }
};

TEST_F(DmaSyncTest, SyncSendsBaseInfoAndStrategyOfEveryDiskInIdOrder)
{
    EXPECT_EQ(DataMgrMasterSyncAll2Agent(), 0);  // no disks: nothing posted
    EXPECT_EQ(agent_->RequestCount(), 0u);

    Register("SN-A");
    const uint32_t b = Register("SN-B"), c = Register("SN-C");
    ASSERT_EQ(DiskStateSet(b, Sn("SN-B").Ref(), DISK_STATE_FAULT), 0);
    ASSERT_EQ(DiskHandleStrategySet(c, Sn("SN-C").Ref(), DISK_STRATEGY_NO_TEXT), 0);
    agent_->ClearRequests();
    EXPECT_EQ(DataMgrMasterSyncAll2Agent(), 0);
    // Disk C has no strategy text: its strategy message fails and is skipped.
    EXPECT_EQ(Sent(), "set_disk_info_inner SN-A 0\nset_disk_handle_strategy SN-A No action required\n"
                      "set_disk_info_inner SN-B 1\nset_disk_handle_strategy SN-B Replace the hard disk\n"
                      "set_disk_info_inner SN-C 0\n");
    // Without an agent every send fails, and the sync still succeeds.
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, "/tmp/spk-no-agent.sock"), 0);
    EXPECT_EQ(DataMgrMasterSyncAll2Agent(), 0);
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, agent_->Path().c_str()), 0);
    // The serial-number copy is limited to 39 bytes with its NUL, so a
    // 39-character serial number stops the sync at that disk.
    Register(std::string(39, '9'));
    Register("SN-D");
    agent_->ClearRequests();
    EXPECT_EQ(DataMgrMasterSyncAll2Agent(), -1);
    EXPECT_EQ(agent_->RequestCount(), 5u);
}

// One sync thread at a time; starts and cancels racing with threads ending
// (under ASan/TSan this is where a released flag would be touched) leave no
// thread behind once cancelled.
TEST_F(DmaSyncTest, ConcurrentStartsAndCancels)
{
    KeeperOsSetLogLevel(KEEPER_LOG_WARN);
    StartDmmSync2DmaScheduleTask();
    StartDmmSync2DmaScheduleTask();  // refused: one is running
    EXPECT_EQ(DmmSyncTaskLiveCount(), 1u);
    DataMgrSyncSetWaitMs(1);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                (i + t) % 2 == 0 ? StartDmmSync2DmaScheduleTask() : CancelDmmSync2DmaScheduleTask();
            }
        });
    }
    threads.clear();  // joins them
    CancelDmmSync2DmaScheduleTask();
    EXPECT_TRUE(NoLiveThreads()) << "a thread outlived its cancel";
}

}  // namespace
