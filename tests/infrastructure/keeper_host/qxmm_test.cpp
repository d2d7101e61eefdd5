// test-labels: concurrent
#include "infrastructure/keeper_host/qxmm.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t kOwner = 481;

class QxmmTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qx_mm_pool_init(), 0); }
    void TearDown() override { qx_mm_pool_exit(); }

    uint32_t Pool(uint32_t minNum, uint32_t maxNum, uint32_t step, uint32_t expand = 1,
                  uint32_t align = 0)
    {
        uint32_t id = 0;
        EXPECT_EQ(createExpStructurePartition(minNum, maxNum, "test_pool", kOwner, step, 40, &id,
                                              align, 0, expand),
                  0);
        return id;
    }
    static uint32_t Used(uint32_t id, uint32_t QxmmPartitionStat::*field)
    {
        QxmmPartitionStat st{};
        EXPECT_EQ(qxmm_partition_stat(id, &st), 0);
        return st.*field;
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
    // The module recorded at allocation is charged, whatever the free says.
    EXPECT_EQ(qxmm_free(a, 7001, "t") | qxmm_free(b, 999, "t") | qxmm_free(c, 7001, "t"), 0);
    EXPECT_EQ(qxmm_module_usage(999).bytes, before.bytes);
    EXPECT_EQ(qxmm_module_usage(7001).count, 0u);
    alignas(16) unsigned char foreign[64] = {};
    EXPECT_EQ(qxmm_free(foreign + 16, 999, "t"), -EFAULT);
}

TEST_F(QxmmTest, PoolsReserveGrowByStepAndStopAtTheirMaximum)
{
    // minNum, maxNum, step, expand; the capacity, the total after the first growth.
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> cases[] = {
        {4, 10, 3, 1, 10, 7},   // 4, 7, 10
        {4, 10, 0, 1, 10, 8},   // step defaults to minNum
        {4, 6, 5, 1, 6, 6},     // the last step is cut at the maximum
        {4, 100, 3, 0, 4, 4},   // no expansion: stays at minNum
        {0, 5, 0, 1, 5, 1},     // empty at start, grows one at a time
        {64, 64, 1, 1, 64, 64}, // min equals max
    };
    for (const auto &[minNum, maxNum, step, expand, capacity, firstGrowth] : cases) {
        SCOPED_TRACE(testing::Message() << minNum << "/" << maxNum << "/" << step);
        uint32_t id = Pool(minNum, maxNum, step, expand);
        EXPECT_EQ(Used(id, &QxmmPartitionStat::total), minNum);
        std::vector<void *> all;
        for (uint32_t i = 0; i <= minNum && i < capacity; ++i) {
            all.push_back(nullptr);
            ASSERT_EQ(allocStructure(id, &all.back(), kOwner, "t"), 0);
        }
        EXPECT_EQ(Used(id, &QxmmPartitionStat::total), firstGrowth);
        for (void *b = nullptr; allocStructure(id, &b, kOwner, "t") == 0; b = nullptr) {
            all.push_back(b);  // until the pool refuses: every one distinct
        }
        EXPECT_EQ(std::set<void *>(all.begin(), all.end()).size(), capacity);
        EXPECT_EQ(Used(id, &QxmmPartitionStat::total), capacity);
        EXPECT_EQ(deletePartitionByID(id), 0);
    }
}

// Frees of a structure twice, of a pointer inside one or into a region are
// refused and change nothing. The table of partitions is bounded; a deleted
// one's id is handed out again.
TEST_F(QxmmTest, BadFreesAreRefusedAndTheTableIsBoundedWithIdsReused)
{
    uint32_t id = Pool(4, 4, 0, 1, 64);
    uint32_t other = 0;
    void *base = nullptr;
    void *b = nullptr;
    ASSERT_EQ(createContinuousPartition("region", kOwner, 64, &other, &base, "t"), 0);
    ASSERT_EQ(allocStructure(id, &b, kOwner, "t"), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
    EXPECT_EQ(freeStructure(other, base, kOwner, "t"), -EINVAL);
    EXPECT_EQ(freeStructure(id, static_cast<char *>(b) + 8, kOwner, "t"), -EFAULT);
    ASSERT_EQ(freeStructure(id, b, kOwner, "t"), 0);
    EXPECT_EQ(freeStructure(id, b, kOwner, "t"), -EALREADY);
    EXPECT_EQ(Used(id, &QxmmPartitionStat::inUse), 0u);
    for (uint32_t i = 2; i < QXMM_MAX_PARTITIONS; ++i) {
        ASSERT_EQ(createContinuousPartition("p", kOwner, 8, &other, &base, "t"), 0);
    }
    EXPECT_EQ(createExpStructurePartition(1, 1, "full", kOwner, 0, 8, &other, 0, 0, 1), -ENOSPC);
    ASSERT_EQ(allocStructure(id, &b, kOwner, "t"), 0);
    ASSERT_EQ(deletePartitionByID(id), 0);  // even with a structure still out
    ASSERT_EQ(createExpStructurePartition(1, 1, "fits", kOwner, 0, 8, &other, 0, 0, 1), 0);
    EXPECT_EQ(other, id);
}

TEST_F(QxmmTest, ConcurrentAllocAndFreeKeepThePoolConsistent)
{
    uint32_t id = Pool(16, 256, 16);
    auto churn = [id](int t) {
        std::vector<void *> mine;
        // 2000 rounds of taking and giving back, then whatever is still held goes back.
        for (int round = 0; round < 2000 || !mine.empty(); ++round) {
            void *b = nullptr;
            if (round < 2000 && allocStructure(id, &b, kOwner, "t") == 0) {
                memset(b, t, 40);
                mine.push_back(b);
            }
            if (round >= 2000 || mine.size() > 40 || (round % 3 == 0 && !mine.empty())) {
                EXPECT_EQ(static_cast<unsigned char *>(mine.back())[39], t);
                EXPECT_EQ(freeStructure(id, mine.back(), kOwner, "t"), 0);
                mine.pop_back();
            }
        }
    };
    std::thread t1(churn, 1), t2(churn, 2), t3(churn, 3);
    churn(4);
    t1.join(), t2.join(), t3.join();
    EXPECT_EQ(Used(id, &QxmmPartitionStat::inUse), 0u);
    EXPECT_LE(Used(id, &QxmmPartitionStat::total), 256u);
}

}  // namespace
