#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"

#include <string>
#include <vector>

#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework/drm_data_mgr/drm_queue.h"
#include "support/log_capture.h"

namespace {

using drmtest::DrmFrameworkFixture;

class DrmMemTest : public DrmFrameworkFixture {};

int64_t InUse(uint32_t pool)
{
    DrmMemPoolStat st{};
    EXPECT_EQ(DrmMemPoolStatGet(pool, &st), 0);
    return st.inUse;
}

TEST_F(DrmMemTest, FirstFitPoolChoice)
{
    constexpr uint32_t kNone = DRM_MEM_POOL_NUM;
    struct Case {
        uint64_t size;
        uint32_t pool;
    };
    // 64-byte requests skip "cm_size_64" (its blocks hold 32 bytes too).
    const Case cases[] = {{0, 0}, {32, 0}, {33, 2}, {129, 3}, {4000, 7}, {4001, kNone}};
    for (const auto &c : cases) {
        int64_t before = drmtest::LvInUse();
        void *p = DRM_MALLOC_LV(c.size);
        if (c.pool == kNone) {
            EXPECT_EQ(p, nullptr) << c.size;
            EXPECT_EQ(drmtest::LvInUse(), before);
            continue;
        }
        ASSERT_NE(p, nullptr) << c.size;
        EXPECT_EQ(InUse(c.pool), 1) << c.size;
        DrmMemPoolStat st{};
        ASSERT_EQ(DrmMemPoolStatGet(c.pool, &st), 0);
        std::vector<unsigned char> zero(st.fixSize - DRM_LV_HEADER_SIZE, 0);
        EXPECT_EQ(memcmp(p, zero.data(), zero.size()), 0) << "block is zeroed";
        memset(p, 0xAB, st.fixSize - DRM_LV_HEADER_SIZE);  // ASan: the whole usable size is ours
        DRM_FREE_LV(p, c.size);
        EXPECT_EQ(InUse(c.pool), 0) << c.size;
    }
}

TEST_F(DrmMemTest, StatisticsAndBadFrees)
{
    LogCapture log;
    void *a = DRM_MALLOC_LV(24);
    void *b = DRM_MALLOC_LV(24);
    DRM_FREE_LV(b, 24);
    b = DRM_MALLOC_LV(24);  // back to two in use: no new burst maximum
    DrmMemPoolStat st{};
    ASSERT_EQ(DrmMemPoolStatGet(0, &st), 0);
    EXPECT_EQ(st.allocTotal, 3);
    EXPECT_EQ(st.inUse, 2);
    EXPECT_EQ(st.burstMax, 2);
    EXPECT_EQ(log.Count("BDM: cm_size_32 burstMax="), 2) << "a new maximum is logged once";
    // A pointer whose header names no pool is refused and counts nothing.
    uint64_t fake[4] = {9, 0, 0, 0};
    DRM_FREE_LV(&fake[1], 8);
    DRM_FREE_LV(a, 24);
    DRM_FREE_LV(a, 24);  // double free: the host refuses it
    EXPECT_EQ(InUse(0), 1);
    DRM_FREE_LV(b, 24);
    log.Clear();
    DRM_FREE_LV(nullptr, 0);
    DRM_FREE_LV(nullptr, 0);
    EXPECT_EQ(log.Count("Free invalid LV mem."), 1) << "rate limited";
    // The heap pass-through accounts to the DRM module.
    void *h = DRM_MALLOC_UMM(100);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qxmm_module_usage(DRM_MODULE_ID).count, 1u);
    DRM_FREE_UMM(h, 100);
    EXPECT_EQ(qxmm_module_usage(DRM_MODULE_ID).count, 0u);
}

TEST_F(DrmMemTest, QueueOrderAndEmptyQueue)
{
    DrmQueue q;
    drmQueueInit(&q);
    int v[3] = {};
    ASSERT_EQ(drmQueueQueue(&q, &v[1]), 0);
    ASSERT_EQ(drmQueueQueue(&q, &v[2]), 0);
    ASSERT_EQ(drmQueueQueueHead(&q, &v[0]), 0);
    EXPECT_EQ(drmtest::LvInUse(), 3);
    for (int &want : v) EXPECT_EQ(drmQueueDequeue(&q), &want);
    EXPECT_EQ(drmtest::LvInUse(), 0);
    EXPECT_EQ(drmQueueDequeue(&q), nullptr);
    HostMmFailAlloc(1, false);
    EXPECT_EQ(drmQueueQueue(&q, &v[0]), -1);
    HostMmFailAlloc(0, false);
    EXPECT_EQ(drmQueueDequeue(&q), nullptr) << "a failed queueing leaves nothing behind";
    drmQueueDestroy(&q);
}

TEST_F(DrmMemTest, LocalDataSlotsAndBadIds)
{
    int a = 1, b = 2;
    ASSERT_EQ(setFeatureLocPrivateData(0, 3, &a), 0);
    ASSERT_EQ(setFeatureLocPrivateData(127, 3, &b), 0);
    ASSERT_EQ(setFeatureLocPrivateData(0, 16, &b), 0);
    void *out = nullptr;
    ASSERT_EQ(getFeatureLocPrivateData(0, 3, &out), 0);
    EXPECT_EQ(out, &a);
    uint32_t ids[4] = {};
    uint32_t count = 99;
    ASSERT_EQ(DrmGetFeatureDiskList(3, ids, 4, &count), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[1], 127u);
    EXPECT_EQ(DrmGetFeatureDiskList(3, ids, 1, &count), -1) << "more disks than room";
    EXPECT_EQ(DrmGetFeatureDiskList(32, ids, 4, &count), -1);
    struct Bad {
        uint32_t disk, feature;
    };
    for (Bad bad : {Bad{128, 3}, Bad{0xFFFFFFFF, 3}, Bad{0, 32}}) {
        EXPECT_EQ(setFeatureLocPrivateData(bad.disk, bad.feature, &b), -1) << bad.disk;
        EXPECT_EQ(getFeatureLocPrivateData(bad.disk, bad.feature, &out), -1) << bad.disk;
    }
    ASSERT_EQ(getFeatureLocPrivateData(0, 3, &out), 0);
    EXPECT_EQ(out, &a) << "bad calls changed nothing";
}

}  // namespace
