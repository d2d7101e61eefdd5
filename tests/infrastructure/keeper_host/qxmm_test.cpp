// test-labels: concurrent
#include "infrastructure/keeper_host/qxmm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "infrastructure/keeper_host/host_test.h"

namespace {

constexpr uint32_t kOwner = 481;

class QxmmTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qx_mm_pool_init(), 0); }
    void TearDown() override
    {
        HostMmFailAlloc(0, false);
        qx_mm_pool_exit();
    }

    uint32_t Pool(uint32_t minNum, uint32_t maxNum, uint32_t step, uint32_t size,
                  uint32_t expand = 1, uint32_t align = 0)
    {
        uint32_t id = 0;
        EXPECT_EQ(createExpStructurePartition(minNum, maxNum, "test_pool", kOwner, step, size, &id,
                                              align, 0, expand),
                  0);
        return id;
    }

    // Takes structures until the pool refuses; returns them.
    std::vector<void *> Drain(uint32_t id)
    {
        std::vector<void *> got;
        for (;;) {
            void *b = nullptr;
            int ret = allocStructure(id, &b, kOwner, "Drain");
            if (ret != 0) {
                EXPECT_EQ(ret, -ENOMEM);
                EXPECT_EQ(b, nullptr);
                return got;
            }
            got.push_back(b);
        }
    }

    static QxmmPartitionStat Stat(uint32_t id)
    {
        QxmmPartitionStat st{};
        EXPECT_EQ(qxmm_partition_stat(id, &st), 0);
        return st;
    }
};

TEST_F(QxmmTest, HeapAccountsPerModuleAndRefusesForeignBlocks)
{
    QxmmModuleUsage before = qxmm_module_usage(999);
    void *a = qxmm_malloc(100, 999, "t");
    void *b = qxmm_malloc(28, 999, "t");
    void *c = qxmm_malloc(4096, 7001, "t");
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    memset(a, 1, 100);
    EXPECT_EQ(qxmm_module_usage(999).bytes, before.bytes + 128);
    EXPECT_EQ(qxmm_module_usage(999).count, before.count + 2);
    EXPECT_EQ(qxmm_module_usage(7001).bytes, 4096u);
    // The module recorded at allocation is charged, whatever the free says.
    EXPECT_EQ(qxmm_free(a, 7001, "t"), 0);
    EXPECT_EQ(qxmm_free(b, 999, "t"), 0);
    EXPECT_EQ(qxmm_free(c, 7001, "t"), 0);
    EXPECT_EQ(qxmm_module_usage(999).bytes, before.bytes);
    EXPECT_EQ(qxmm_module_usage(7001).count, 0u);
    EXPECT_EQ(qxmm_malloc(0, 999, "t"), nullptr);
    EXPECT_EQ(qxmm_free(nullptr, 999, "t"), 0);
    alignas(16) unsigned char foreign[64] = {};
    EXPECT_EQ(qxmm_free(foreign + 16, 999, "t"), -EFAULT);
}

TEST_F(QxmmTest, PoolsReserveGrowByStepAndStopAtTheirMaximum)
{
    struct Case {
        uint32_t minNum, maxNum, step, expand;
        uint32_t wantCapacity;
        uint32_t wantTotalAfterFirstGrowth;
    } cases[] = {
        {4, 10, 3, 1, 10, 7},   // 4, 7, 10
        {4, 10, 0, 1, 10, 8},   // step defaults to minNum
        {4, 6, 5, 1, 6, 6},     // the last step is cut at the maximum
        {4, 100, 3, 0, 4, 4},   // no expansion: stays at minNum
        {0, 5, 0, 1, 5, 1},     // empty at start, grows one at a time
        {64, 64, 1, 1, 64, 64}, // min equals max
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.minNum << "/" << c.maxNum << "/" << c.step);
        uint32_t id = Pool(c.minNum, c.maxNum, c.step, 40, c.expand);
        EXPECT_EQ(Stat(id).total, c.minNum);
        std::vector<void *> all;
        for (uint32_t i = 0; i <= c.minNum && i < c.wantCapacity; ++i) {
            all.push_back(nullptr);
            ASSERT_EQ(allocStructure(id, &all.back(), kOwner, "t"), 0);
        }
        EXPECT_EQ(Stat(id).total, c.wantTotalAfterFirstGrowth);
        std::vector<void *> rest = Drain(id);
        all.insert(all.end(), rest.begin(), rest.end());
        EXPECT_EQ(std::set<void *>(all.begin(), all.end()).size(), c.wantCapacity);
        EXPECT_EQ(Stat(id).total, c.wantCapacity);
        EXPECT_EQ(deletePartitionByID(id), 0);
    }
}

TEST_F(QxmmTest, BadFreesAreRefusedAndChangeNothing)
{
    uint32_t id = Pool(4, 4, 0, 40, 1, 64);
    uint32_t other = Pool(4, 4, 0, 40);
    uint32_t region = 0;
    void *base = nullptr;
    ASSERT_EQ(createContinuousPartition("region", kOwner, 64, &region, &base, "t"), 0);
    void *b = nullptr;
    ASSERT_EQ(allocStructure(id, &b, kOwner, "t"), 0);
    void *o = nullptr;
    ASSERT_EQ(allocStructure(other, &o, kOwner, "t"), 0);
    int local = 0;
    ASSERT_EQ(freeStructure(id, b, kOwner, "t"), 0);
    struct Case {
        const char *what;
        uint32_t pool;
        void *ptr;
        int want;
    } cases[] = {
        {"double free", id, b, -EALREADY},
        {"inside a structure", id, static_cast<char *>(b) + 8, -EFAULT},
        {"stack pointer", id, &local, -EFAULT},
        {"structure of another pool", id, o, -EFAULT},
        {"null", id, nullptr, -EFAULT},
        {"unknown partition", 250, b, -ENOENT},
        {"partition 0", 0, b, -ENOENT},
        {"continuous partition", region, base, -EINVAL},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(freeStructure(c.pool, c.ptr, kOwner, "t"), c.want) << c.what;
    }
    EXPECT_EQ(Stat(id).inUse, 0u);
    EXPECT_EQ(Stat(other).inUse, 1u);
    // The pool still hands out exactly its four distinct structures, aligned and whole.
    std::vector<void *> all = Drain(id);
    EXPECT_EQ(std::set<void *>(all.begin(), all.end()).size(), 4u);
    for (void *s : all) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 64, 0u);
        memset(s, 0xab, 40);  // ASan objects when a structure is short
    }
    EXPECT_EQ(deletePartitionByID(id), 0);  // even with structures still out
}

// Bad arguments and failed allocations are refused with their codes; the
// pool stays usable.
TEST_F(QxmmTest, BadArgumentsAndFailedAllocationsAreRefused)
{
    uint32_t id = 0;
    const struct {
        uint32_t minNum, maxNum, size, align, reserved;
    } cases[] = {
        // min above max, no structures, zero size, alignment not a power of two or too
        // large, reserved word set
        {5, 4, 8, 0, 0}, {0, 0, 8, 0, 0}, {1, 2, 0, 0, 0},
        {1, 2, 8, 3, 0}, {1, 2, 8, 8192, 0}, {1, 2, 8, 0, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(createExpStructurePartition(c.minNum, c.maxNum, "bad", kOwner, 0, c.size, &id,
                                              c.align, c.reserved, 1),
                  -EINVAL);
    }
    EXPECT_EQ(createExpStructurePartition(1, 2, nullptr, kOwner, 0, 8, &id, 0, 0, 1), -EINVAL);
    EXPECT_EQ(createExpStructurePartition(1, 2, "n", kOwner, 0, 8, nullptr, 0, 0, 1), -EINVAL);
    EXPECT_EQ(allocStructure(1, nullptr, kOwner, "t"), -EINVAL);
    void *b = nullptr;
    EXPECT_EQ(allocStructure(QXMM_MAX_PARTITIONS + 1, &b, kOwner, "t"), -ENOENT);
    EXPECT_EQ(deletePartitionByID(0), -ENOENT);

    id = Pool(2, 10, 2, 32);
    HostMmFailAlloc(3, false);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i) {
        results.push_back(allocStructure(id, &b, kOwner, "t"));
    }
    EXPECT_EQ(results, std::vector<int>({0, 0, -ENOMEM, 0, 0}));
    EXPECT_EQ(HostMmAllocAttempts(), 5u);
    HostMmFailAlloc(1, true);
    EXPECT_EQ(allocStructure(id, &b, kOwner, "t"), -ENOMEM);
    EXPECT_EQ(qxmm_malloc(8, 999, "t"), nullptr);
    void *base = nullptr;
    EXPECT_EQ(createContinuousPartition("x", kOwner, 8, &id, &base, "t"), -ENOMEM);
    EXPECT_EQ(createExpStructurePartition(1, 2, "y", kOwner, 0, 8, &id, 0, 0, 1), -ENOMEM);
}

TEST_F(QxmmTest, ContinuousPartitionIsZeroedNamedAndTheTableIsBoundedWithIdsReused)
{
    uint32_t id = 0;
    void *base = nullptr;
    ASSERT_EQ(createContinuousPartition("BDM_DRM_LOCAL_DISK_POOL_WITH_A_LONG_TAIL", kOwner, 4096,
                                        &id, &base, "DrmLocalAllocPartition"),
              0);
    auto *bytes = static_cast<unsigned char *>(base);
    EXPECT_TRUE(std::all_of(bytes, bytes + 4096, [](unsigned char x) { return x == 0; }));
    QxmmPartitionStat st = Stat(id);
    EXPECT_STREQ(st.name, "BDM_DRM_LOCAL_DISK_POOL_WITH_A_");  // cut to 31 characters
    void *b = nullptr;
    EXPECT_EQ(allocStructure(id, &b, kOwner, "t"), -EINVAL);
    uint32_t other = 0;
    EXPECT_EQ(createContinuousPartition("zero", kOwner, 0, &other, &base, "t"), -EINVAL);
    for (uint32_t i = 1; i < QXMM_MAX_PARTITIONS; ++i) {
        ASSERT_EQ(createContinuousPartition("p", kOwner, 8, &other, &base, "t"), 0);
    }
    EXPECT_EQ(createExpStructurePartition(1, 1, "full", kOwner, 0, 8, &other, 0, 0, 1), -ENOSPC);
    ASSERT_EQ(deletePartitionByID(id), 0);
    EXPECT_EQ(qxmm_partition_stat(id, &st), -ENOENT);
    EXPECT_EQ(deletePartitionByID(id), -ENOENT);
    ASSERT_EQ(createExpStructurePartition(1, 1, "fits", kOwner, 0, 8, &other, 0, 0, 1), 0);
    EXPECT_EQ(other, id);
}

TEST_F(QxmmTest, ConcurrentAllocAndFreeKeepThePoolConsistent)
{
    uint32_t id = Pool(16, 256, 16, 24);
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([id, t] {
            std::vector<void *> mine;
            for (int round = 0; round < 2000; ++round) {
                void *b = nullptr;
                if (allocStructure(id, &b, kOwner, "t") == 0) {
                    memset(b, t, 24);
                    mine.push_back(b);
                }
                if (mine.size() > 40 || (round % 3 == 0 && !mine.empty())) {
                    EXPECT_EQ(static_cast<unsigned char *>(mine.back())[23], t);
                    EXPECT_EQ(freeStructure(id, mine.back(), kOwner, "t"), 0);
                    mine.pop_back();
                }
            }
            for (void *b : mine) {
                EXPECT_EQ(freeStructure(id, b, kOwner, "t"), 0);
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(Stat(id).inUse, 0u);
    EXPECT_LE(Stat(id).total, 256u);
}

}  // namespace
