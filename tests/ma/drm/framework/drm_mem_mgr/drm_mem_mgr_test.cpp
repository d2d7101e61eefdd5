#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"

#include <string>
#include <vector>

#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework/drm_data_mgr/drm_queue.h"
#include "support/log_capture.h"

namespace {

using drmtest::InUse;
using drmtest::LvInUse;

class DrmMemTest : public drmtest::DrmFrameworkFixture {};

// Zeroed blocks from the first pool that fits; 64-byte requests skip
// "cm_size_64" (its blocks hold 32 bytes too); over 4000 none fits.
TEST_F(DrmMemTest, FirstFitPoolChoice)
{
    const std::pair<uint64_t, uint32_t> cases[] = {{0, 0}, {32, 0}, {33, 2}, {129, 3}, {4000, 7}, {4001, DRM_MEM_POOL_NUM}};
    for (const auto &[size, pool] : cases) {
        void *p = DRM_MALLOC_LV(size);
        EXPECT_EQ(LvInUse(), p == nullptr ? 0 : 1) << size;
        if (pool == DRM_MEM_POOL_NUM || p == nullptr) {
            EXPECT_EQ(p, nullptr) << size;
            continue;
        }
        EXPECT_EQ(InUse(pool), 1) << size;
        DrmMemPoolStat st{};
        ASSERT_EQ(DrmMemPoolStatGet(pool, &st), 0);
        std::vector<unsigned char> zero(st.fixSize - DRM_LV_HEADER_SIZE, 0);
        EXPECT_EQ(memcmp(p, zero.data(), zero.size()), 0) << size;
        memset(p, 0xAB, zero.size());  // ASan: the whole usable size is ours
        DRM_FREE_LV(p, size);
        EXPECT_EQ(LvInUse(), 0) << size;
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
    EXPECT_EQ(std::vector<int64_t>({st.allocTotal, st.inUse, st.burstMax}), std::vector<int64_t>({3, 2, 2}));
    EXPECT_EQ(log.Count("BDM: cm_size_32 burstMax="), 2) << "a new maximum is logged once";
    uint64_t fake[4] = {9, 0, 0, 0};  // a header naming no pool: refused, counts nothing
    DRM_FREE_LV(&fake[1], 8);
    DRM_FREE_LV(a, 24);
    DRM_FREE_LV(a, 24);  // double free: the host refuses it
    EXPECT_EQ(InUse(0), 1);
    DRM_FREE_LV(b, 24);
    void *h = DRM_MALLOC_UMM(100);  // the heap pass-through accounts to the DRM module
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
    ASSERT_EQ(std::vector<int64_t>({drmQueueQueue(&q, &v[1]), drmQueueQueue(&q, &v[2]),
                                    drmQueueQueueHead(&q, &v[0]), LvInUse()}),
              std::vector<int64_t>({0, 0, 0, 3}));
    for (int &want : v) EXPECT_EQ(drmQueueDequeue(&q), &want);
    EXPECT_EQ(drmQueueDequeue(&q), nullptr);
    EXPECT_EQ(LvInUse(), 0);
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
    uint32_t ids[4] = {}, count = 99;
    ASSERT_EQ(DrmGetFeatureDiskList(3, ids, 4, &count), 0);
    EXPECT_EQ(std::vector<uint32_t>(ids, ids + count), (std::vector<uint32_t>{0, 127}));
    EXPECT_EQ(DrmGetFeatureDiskList(3, ids, 1, &count), -1) << "more disks than room";
    EXPECT_EQ(DrmGetFeatureDiskList(32, ids, 4, &count), -1);
    void *out = nullptr;
    for (auto [disk, feature] : {std::pair{128u, 3u}, {0xFFFFFFFFu, 3u}, {0u, 32u}}) {
        EXPECT_EQ(setFeatureLocPrivateData(disk, feature, &b), -1) << disk;
        EXPECT_EQ(getFeatureLocPrivateData(disk, feature, &out), -1) << disk;
    }
    ASSERT_EQ(getFeatureLocPrivateData(0, 3, &out), 0);
    EXPECT_EQ(out, &a) << "bad calls changed nothing";
}

}  // namespace
