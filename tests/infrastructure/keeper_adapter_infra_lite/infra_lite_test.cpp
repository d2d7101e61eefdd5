// test-labels: concurrent
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"

namespace {

class InfraLiteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        KeeperOsSetLogLevel(KEEPER_LOG_INFO);
    }
    void TearDown() override { KeeperOsUninstall(); }
};

void CountEntry(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }
void CountExit(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(10); }

// A joinable thread has run entry and exit when creation returns. The log
// filters by level.
TEST_F(InfraLiteTest, ThreadsRunEntryThenExitAndTheLogFiltersByLevel)
{
    LogCapture log;
    KLOG_DEBUG("T", "debug %d", 1);
    KLOG_INFO("T", "info %d", 2);
    EXPECT_EQ(std::make_pair(log.Contains("debug 1"), log.Contains("info 2", KEEPER_LOG_INFO)),
              std::make_pair(false, true)) << log.Dump();
    std::atomic<int> count{0};
    KeeperThreadAttr attr = {0, 1, &count, &count};
    EXPECT_TRUE(KeeperThreadCreate(CountEntry, CountExit, &attr) != 0 && count == 11) << count;
}

TEST_F(InfraLiteTest, SemaphoresAtomicsAndLocksHoldUnderContention)
{
    KeeperSem *sem = KeeperSemCreate(1);
    KeeperAtomic *a = KeeperAtomicCreate(5);
    KeeperSpinLockT *spin = KeeperSpinLockCreate();
    KeeperRwLockT *rw = KeeperRwLockCreate();
    ASSERT_TRUE(sem != nullptr && a != nullptr && spin != nullptr && rw != nullptr);
    EXPECT_TRUE(KeeperSemTryWait(sem));
    EXPECT_FALSE(KeeperSemTryWait(sem));
    EXPECT_FALSE(KeeperSemTimedWait(sem, KeeperTime{20, KEEPER_TIME_MS}));
    std::thread poster([&] { KeeperSemPost(sem); });
    EXPECT_TRUE(KeeperSemTimedWait(sem, KeeperTime{10, KEEPER_TIME_S}));
    poster.join();
    EXPECT_FALSE(KeeperSemTimedWait(sem, KeeperTime{5, KEEPER_TIME_BUTT}));  // zero wait, no hang

    std::vector<int64_t> sums = {KeeperAtomicAdd(a, 10), KeeperAtomicInc(a), KeeperAtomicDec(a)};
    EXPECT_EQ(sums, std::vector<int64_t>({15, 16, 15}));
    KeeperSpinLock(spin);
    EXPECT_FALSE(KeeperSpinTryLock(spin));
    KeeperSpinUnlock(spin);
    KeeperReadLock(rw);
    EXPECT_TRUE(KeeperTryReadLock(rw));
    KeeperRwUnlock(rw);
    KeeperRwUnlock(rw);
    long counter = 0;
    auto add = [&] {
        for (int i = 0; i < 5000; ++i) {
            KeeperAtomicInc(a);
            KeeperSpinLock(spin);
            ++counter;
            KeeperSpinUnlock(spin);
        }
    };
    std::thread t1(add), t2(add), t3(add);
    add();
    t1.join(), t2.join(), t3.join();
    EXPECT_EQ(std::make_pair(counter, KeeperAtomicRead(a)), std::make_pair(20000L, 15L + 20000));
    KeeperSemDestroy(sem);
    KeeperAtomicDestroy(a);
    KeeperSpinLockDestroy(spin);
    KeeperRwLockDestroy(rw);
}

}  // namespace
