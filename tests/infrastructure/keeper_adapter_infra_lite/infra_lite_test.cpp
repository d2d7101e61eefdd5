// test-labels: concurrent
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

#include <gtest/gtest.h>

#include <atomic>
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

// Runs `body` on four threads at once.
template <typename F>
void OnFourThreads(F body)
{
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back(body);
    }
    for (auto &t : ts) {
        t.join();
    }
}

TEST_F(InfraLiteTest, EverySlotIsBoundAndTheLogFiltersByLevelAndLength)
{
    const KeeperOsOps &ops = KeeperInfraLiteOps();
    auto slots = reinterpret_cast<void *const *>(&ops);
    for (size_t i = 0; i < KEEPER_OS_SLOT_COUNT; ++i) {
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    }
    LogCapture log;
    KLOG_DEBUG("T", "debug %d", 1);
    KLOG_INFO("T", "info %d", 2);
    KLOG_ERR("T", "%s", std::string(600, 'x').c_str());  // too long: a failure record instead
    KLOG_ERR("T", "%s", std::string(510, 'y').c_str());
    KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    KLOG_DEBUG("T", "debug %d", 4);
    EXPECT_FALSE(log.Contains("debug 1")) << log.Dump();
    EXPECT_TRUE(log.Contains("info 2", KEEPER_LOG_INFO));
    EXPECT_FALSE(log.Contains(std::string(100, 'x')));
    EXPECT_TRUE(log.Contains(std::string(510, 'y'), KEEPER_LOG_ERROR));
    EXPECT_TRUE(log.Contains("debug 4", KEEPER_LOG_DEBUG));
}

void CountEntry(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }
void CountExit(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(10); }

// A joinable thread has run entry and exit when creation returns; a detached
// one runs exit after entry.
TEST_F(InfraLiteTest, ThreadsRunEntryThenExit)
{
    std::atomic<int> count{0};
    KeeperThreadAttr attr = {0, 1, &count, &count};
    EXPECT_NE(KeeperThreadCreate(CountEntry, CountExit, &attr), 0u);
    EXPECT_EQ(count.load(), 11);
    KeeperThreadAttr noArgs = {0, 1, nullptr, nullptr};
    EXPECT_NE(KeeperThreadCreate(nullptr, nullptr, &noArgs), 0u);

    struct Ctx {
        std::atomic<int> done{0};
        KeeperSem *sem = KeeperSemCreate(0);
    } ctx;
    ASSERT_NE(ctx.sem, nullptr);
    KeeperThreadAttr detached = {0, 0, &ctx, &ctx};
    auto entry = [](void *a) { static_cast<Ctx *>(a)->done.store(1); };
    auto exit = [](void *a) {
        auto *c = static_cast<Ctx *>(a);
        c->done.store(c->done.load() == 1 ? 2 : -1);
        KeeperSemPost(c->sem);
    };
    ASSERT_NE(KeeperThreadCreate(entry, exit, &detached), 0u);
    EXPECT_TRUE(KeeperSemTimedWait(ctx.sem, KeeperTime{10, KEEPER_TIME_S}));
    EXPECT_EQ(ctx.done.load(), 2);
    KeeperSemDestroy(ctx.sem);
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

    EXPECT_EQ(KeeperAtomicAdd(a, 10), 15);
    EXPECT_EQ(KeeperAtomicInc(a), 16);
    EXPECT_EQ(KeeperAtomicDec(a), 15);
    EXPECT_FALSE(KeeperAtomicCas(a, 14, 100));
    EXPECT_TRUE(KeeperAtomicCas(a, 15, 100));
    EXPECT_EQ(KeeperAtomicRead(a), 100);
    KeeperAtomicSet(a, 0);

    KeeperSpinLock(spin);
    EXPECT_FALSE(KeeperSpinTryLock(spin));
    KeeperSpinUnlock(spin);
    KeeperReadLock(rw);
    EXPECT_TRUE(KeeperTryReadLock(rw));
    KeeperRwUnlock(rw);
    bool got = true;
    std::thread([&] { got = KeeperTryWriteLock(rw); }).join();
    EXPECT_FALSE(got);
    KeeperRwUnlock(rw);
    KeeperWriteLock(rw);
    std::thread([&] { got = KeeperTryReadLock(rw); }).join();
    EXPECT_FALSE(got);
    KeeperRwUnlock(rw);

    long counter = 0;
    OnFourThreads([&] {
        for (int i = 0; i < 5000; ++i) {
            KeeperAtomicInc(a);
            KeeperSpinLock(spin);
            ++counter;
            KeeperSpinUnlock(spin);
        }
    });
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(KeeperAtomicRead(a), 20000);
    KeeperSemDestroy(sem);
    KeeperAtomicDestroy(a);
    KeeperSpinLockDestroy(spin);
    KeeperRwLockDestroy(rw);
}

TEST_F(InfraLiteTest, FailingAllocationIsReportedByCreators)
{
    KeeperOsOps ops = KeeperInfraLiteOps();
    ops.alloc = [](size_t) -> void * { return nullptr; };
    KeeperOsInstall(ops);
    EXPECT_EQ(KeeperAtomicCreate(1), nullptr);
    EXPECT_EQ(KeeperSemCreate(0), nullptr);
    EXPECT_EQ(KeeperSpinLockCreate(), nullptr);
    EXPECT_EQ(KeeperRwLockCreate(), nullptr);
    KeeperThreadAttr attr = {0, 1, nullptr, nullptr};
    EXPECT_EQ(KeeperThreadCreate(CountEntry, nullptr, &attr), 0u);
}

}  // namespace
