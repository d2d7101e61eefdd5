// test-labels: concurrent
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
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

TEST_F(InfraLiteTest, EverySlotIsBound)
{
    const KeeperOsOps &ops = KeeperInfraLiteOps();
    auto slots = reinterpret_cast<void *const *>(&ops);
    for (size_t i = 0; i < KEEPER_OS_SLOT_COUNT; ++i) {
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    }
    EXPECT_TRUE(KeeperOsInstalled());
}

TEST_F(InfraLiteTest, LogDropsLevelsAboveTheInstalledLevel)
{
    LogCapture log;
    KLOG_DEBUG("T", "debug %d", 1);
    KLOG_INFO("T", "info %d", 2);
    KLOG_ERR("T", "error %d", 3);
    EXPECT_FALSE(log.Contains("debug 1")) << log.Dump();
    EXPECT_TRUE(log.Contains("info 2", KEEPER_LOG_INFO));
    EXPECT_TRUE(log.Contains("error 3", KEEPER_LOG_ERROR));
    KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    KLOG_DEBUG("T", "debug %d", 4);
    EXPECT_TRUE(log.Contains("debug 4", KEEPER_LOG_DEBUG));
}

TEST_F(InfraLiteTest, OverlongMessageBecomesAFailureRecord)
{
    LogCapture log;
    std::string longText(600, 'x');
    KLOG_ERR("T", "%s", longText.c_str());
    EXPECT_FALSE(log.Contains(longText.substr(0, 100)));
    std::string fits(510, 'y');
    KLOG_ERR("T", "%s", fits.c_str());
    EXPECT_TRUE(log.Contains(fits));
}

void CountEntry(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }
void CountExit(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(10); }

TEST_F(InfraLiteTest, JoinableThreadHasRunEntryAndExitOnReturn)
{
    std::atomic<int> entry{0};
    std::atomic<int> exit{0};
    KeeperThreadAttr attr = {0, 1, &entry, &exit};
    EXPECT_NE(KeeperThreadCreate(CountEntry, CountExit, &attr), 0u);
    EXPECT_EQ(entry.load(), 1);
    EXPECT_EQ(exit.load(), 10);
    KeeperThreadAttr noArgs = {0, 1, nullptr, nullptr};
    EXPECT_NE(KeeperThreadCreate(nullptr, nullptr, &noArgs), 0u);
}

TEST_F(InfraLiteTest, DetachedThreadRunsExitAfterEntry)
{
    std::atomic<int> done{0};
    KeeperSem *sem = KeeperSemCreate(0);
    ASSERT_NE(sem, nullptr);
    struct Ctx {
        std::atomic<int> *done;
        KeeperSem *sem;
    } ctx{&done, sem};
    KeeperThreadAttr attr = {0, 0, &ctx, &ctx};
    auto entry = [](void *a) { static_cast<Ctx *>(a)->done->store(1); };
    auto exit = [](void *a) {
        auto *c = static_cast<Ctx *>(a);
        c->done->store(c->done->load() == 1 ? 2 : -1);
        KeeperSemPost(c->sem);
    };
    ASSERT_NE(KeeperThreadCreate(entry, exit, &attr), 0u);
    EXPECT_TRUE(KeeperSemTimedWait(sem, KeeperTime{10, KEEPER_TIME_S}));
    EXPECT_EQ(done.load(), 2);
    KeeperSemDestroy(sem);
}

TEST_F(InfraLiteTest, SemaphoreTryAndTimedWait)
{
    KeeperSem *sem = KeeperSemCreate(1);
    ASSERT_NE(sem, nullptr);
    EXPECT_TRUE(KeeperSemTryWait(sem));
    EXPECT_FALSE(KeeperSemTryWait(sem));
    EXPECT_FALSE(KeeperSemTimedWait(sem, KeeperTime{20, KEEPER_TIME_MS}));
    std::thread poster([&] { KeeperSemPost(sem); });
    EXPECT_TRUE(KeeperSemTimedWait(sem, KeeperTime{10, KEEPER_TIME_S}));
    poster.join();
    // an invalid unit is a zero wait, not a hang
    EXPECT_FALSE(KeeperSemTimedWait(sem, KeeperTime{5, KEEPER_TIME_BUTT}));
    KeeperSemDestroy(sem);
}

TEST_F(InfraLiteTest, AtomicsAreConsistentUnderContention)
{
    KeeperAtomic *a = KeeperAtomicCreate(5);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(KeeperAtomicAdd(a, 10), 15);
    EXPECT_EQ(KeeperAtomicInc(a), 16);
    EXPECT_EQ(KeeperAtomicDec(a), 15);
    EXPECT_FALSE(KeeperAtomicCas(a, 14, 100));
    EXPECT_TRUE(KeeperAtomicCas(a, 15, 100));
    EXPECT_EQ(KeeperAtomicRead(a), 100);
    KeeperAtomicSet(a, 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([a] {
            for (int i = 0; i < 10000; ++i) {
                KeeperAtomicInc(a);
            }
        });
    }
    for (auto &t : ts) {
        t.join();
    }
    EXPECT_EQ(KeeperAtomicRead(a), 40000);
    KeeperAtomicDestroy(a);
}

TEST_F(InfraLiteTest, LocksExclude)
{
    KeeperSpinLockT *spin = KeeperSpinLockCreate();
    KeeperRwLockT *rw = KeeperRwLockCreate();
    ASSERT_NE(spin, nullptr);
    ASSERT_NE(rw, nullptr);
    KeeperSpinLock(spin);
    EXPECT_FALSE(KeeperSpinTryLock(spin));
    KeeperSpinUnlock(spin);
    EXPECT_TRUE(KeeperSpinTryLock(spin));
    KeeperSpinUnlock(spin);

    KeeperReadLock(rw);
    EXPECT_TRUE(KeeperTryReadLock(rw));
    KeeperRwUnlock(rw);
    bool writerGot = true;
    std::thread([&] { writerGot = KeeperTryWriteLock(rw); }).join();
    EXPECT_FALSE(writerGot);
    KeeperRwUnlock(rw);
    KeeperWriteLock(rw);
    bool readerGot = true;
    std::thread([&] { readerGot = KeeperTryReadLock(rw); }).join();
    EXPECT_FALSE(readerGot);
    KeeperRwUnlock(rw);

    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                KeeperSpinLock(spin);
                ++counter;
                KeeperSpinUnlock(spin);
            }
        });
    }
    for (auto &t : ts) {
        t.join();
    }
    EXPECT_EQ(counter, 20000);
    KeeperSpinLockDestroy(spin);
    KeeperRwLockDestroy(rw);
}

double ClockMs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// A holder may keep the spinlock across a 15 s agent exchange: its waiter
// must sleep, not burn a core. Judged by the waiter's own CPU time against
// the wall time it waited, with a wide margin.
TEST_F(InfraLiteTest, SpinLockWaiterSleepsWhileTheHolderIsAway)
{
    KeeperSpinLockT *spin = KeeperSpinLockCreate();
    ASSERT_NE(spin, nullptr);
    KeeperSpinLock(spin);
    double cpuMs = 0;
    double wallMs = ClockMs(CLOCK_MONOTONIC);
    std::thread waiter([&] {
        KeeperSpinLock(spin);
        cpuMs = ClockMs(CLOCK_THREAD_CPUTIME_ID);
        KeeperSpinUnlock(spin);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    KeeperSpinUnlock(spin);
    waiter.join();
    wallMs = ClockMs(CLOCK_MONOTONIC) - wallMs;
    EXPECT_LT(cpuMs, wallMs / 5) << "the waiter spent its wait on the CPU";
    KeeperSpinLockDestroy(spin);
}

TEST_F(InfraLiteTest, FailingAllocationIsReportedByCreators)
{
    KeeperOsOps ops = KeeperInfraLiteOps();
    // Every allocation fails except the log buffer's, so the failures stay visible.
    ops.alloc = [](size_t n) -> void * { return n == 511 ? malloc(n) : nullptr; };
    KeeperOsInstall(ops);
    LogCapture log;
    EXPECT_EQ(KeeperAtomicCreate(1), nullptr);
    EXPECT_TRUE(log.Contains("malloc semaphore failed.", KEEPER_LOG_ERROR));
    EXPECT_EQ(KeeperSemCreate(0), nullptr);
    EXPECT_EQ(KeeperSpinLockCreate(), nullptr);
    EXPECT_EQ(KeeperRwLockCreate(), nullptr);
    KeeperThreadAttr attr = {0, 1, nullptr, nullptr};
    EXPECT_EQ(KeeperThreadCreate(CountEntry, nullptr, &attr), 0u);
    EXPECT_TRUE(log.Contains("malloc thread context failed"));
}

}  // namespace
