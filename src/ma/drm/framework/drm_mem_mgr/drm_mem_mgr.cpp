#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"

#include <atomic>
#include <cstring>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/framework/utils/drm_log.h"

namespace {

struct DrmMemPool {
    uint32_t partitionId;
    uint32_t poolIndex;
    const char *name;
    uint32_t fixSize;
    uint32_t minNum;
    uint32_t maxNum;
    uint32_t expandFlag;
    uint32_t reserved;
    std::atomic<int64_t> allocTotal;
    std::atomic<int64_t> inUse;
    std::atomic<int64_t> burstMax;
};

// The "cm_size_64" and "cm_size_4064" rows are narrower than their names: a
// 33-byte request therefore skips to "cm_size_128", and 4000 bytes is the
// largest LV block. Callers size their records to these rows.
DrmMemPool g_pools[DRM_MEM_POOL_NUM] = {
    {0, 0, "cm_size_32", 40, 64, 30000, 1, 0, {}, {}, {}},
    {0, 1, "cm_size_64", 40, 64, 30000, 1, 0, {}, {}, {}},
    {0, 2, "cm_size_128", 136, 64, 30000, 1, 0, {}, {}, {}},
    {0, 3, "cm_size_256", 264, 64, 10000, 1, 0, {}, {}, {}},
    {0, 4, "cm_size_512", 520, 32, 5000, 1, 0, {}, {}, {}},
    {0, 5, "cm_size_1K", 1032, 16, 2500, 1, 0, {}, {}, {}},
    {0, 6, "cm_size_2K", 2056, 16, 2500, 1, 0, {}, {}, {}},
    {0, 7, "cm_size_4064", 4008, 16, 1000, 1, 0, {}, {}, {}},
};
static_assert(sizeof(g_pools) / sizeof(g_pools[0]) == DRM_MEM_POOL_NUM);

constexpr uint64_t kFreeNullWindow = 900000;
constexpr uint64_t kFreeNullSummary = 9000000;

void DeleteAllPools()
{
    for (auto &pool : g_pools) {
        if (pool.partitionId != 0) {
            (void)deletePartitionByID(pool.partitionId);
            pool.partitionId = 0;
        }
    }
}

void LogPoolPlan()
{
    uint64_t total = 0;
    uint64_t max = 0;
    for (const auto &pool : g_pools) {
        uint64_t minMem = static_cast<uint64_t>(pool.fixSize) * pool.minNum;
        uint64_t maxMem = static_cast<uint64_t>(pool.fixSize) * pool.maxNum;
        DRM_LOG(7, "BDM:%s fixsize=%u, minnum=%u, maxnum=%u, malloc mem = %llu, max mem=%llu.",
                pool.name, pool.fixSize, pool.minNum, pool.maxNum,
                static_cast<unsigned long long>(minMem), static_cast<unsigned long long>(maxMem));
        total += minMem;
        max += maxMem;
    }
    DRM_LOG(5, "Total malloc mem = %lu byte.", static_cast<unsigned long>(total));
    DRM_LOG(5, "Need max mem = %lu byte.", static_cast<unsigned long>(max));
}

}  // namespace

int DrmMemMgrInit()
{
    LogPoolPlan();
    for (auto &pool : g_pools) {
        int ret = createExpStructurePartition(pool.minNum, pool.maxNum, pool.name, DRM_MODULE_ID, 0,
                                              pool.fixSize, &pool.partitionId, 0, pool.reserved,
                                              pool.expandFlag);
        if (ret != 0) {
            DRM_LOG(3, "create mem pool name(%s) failed, size(%u) min(%u) max(%u).", pool.name,
                    pool.fixSize, pool.minNum, pool.maxNum);
            pool.partitionId = 0;
            DeleteAllPools();
            DRM_LOG(3, "Create mempool failed.");
            return DRM_ERR;
        }
        pool.allocTotal.store(0);
        pool.inUse.store(0);
        pool.burstMax.store(0);
    }
    DRM_LOG(5, "DrmMemMgrInit init ok.");
    return DRM_OK;
}

int DrmMemMgrFin()
{
    DeleteAllPools();
    DRM_LOG(5, "DrmMemMgrFin finish,ret=%u", 0u);
    return 0;
}

void *DrmMemMallocLv(const char *caller, uint32_t line, uint64_t size)
{
    for (auto &pool : g_pools) {
        if (size > pool.fixSize - DRM_LV_HEADER_SIZE) {
            continue;
        }
        void *block = nullptr;
        if (pool.partitionId == 0 ||
            allocStructure(pool.partitionId, &block, DRM_MODULE_ID, "DrmMemMallocLv") != 0 ||
            block == nullptr) {
            DRM_LOG(3, "alloc mem fail, %s:%d", caller, static_cast<int>(line));
            return nullptr;
        }
        memset(block, 0, pool.fixSize);
        *static_cast<uint64_t *>(block) = pool.poolIndex;
        pool.allocTotal.fetch_add(1);
        int64_t inUse = pool.inUse.fetch_add(1) + 1;
        if (inUse > pool.burstMax.load()) {
            pool.burstMax.store(inUse);
            DRM_LOG(7, "BDM: %s burstMax=%ld.", pool.name, static_cast<long>(inUse));
        }
        return static_cast<char *>(block) + DRM_LV_HEADER_SIZE;
    }
    DRM_LOG(3, "alloc fail,%s:%d:%ld", caller, static_cast<int>(line), static_cast<long>(size));
    return nullptr;
}

void DrmMemFreeLv(const char *caller, uint32_t line, void *ptr, uint64_t)
{
    if (ptr == nullptr) {
        DRM_LOG_LIMITED(DRM_MODULE_ID, 5, kFreeNullWindow, kFreeNullSummary, 4,
                        "Free invalid LV mem.");
        return;
    }
    char *block = static_cast<char *>(ptr) - DRM_LV_HEADER_SIZE;
    uint64_t index = *reinterpret_cast<uint64_t *>(block);
    if (index >= DRM_MEM_POOL_NUM) {
        DRM_LOG(3, "invalid pool_id, %s:%d.", caller, static_cast<int>(line));
        return;
    }
    DrmMemPool &pool = g_pools[index];
    // The host refuses a block that is not out of this pool, so a corrupted
    // header or a double free changes no count.
    if (freeStructure(pool.partitionId, block, DRM_MODULE_ID, "DrmMemFreeLv") != 0) {
        DRM_LOG(3, "invalid pool_id, %s:%d.", caller, static_cast<int>(line));
        return;
    }
    pool.inUse.fetch_sub(1);
}

void *DrmMallocUmmMem(const char *caller, uint32_t pid, uint32_t size)
{
    if (size == 0) {
        return nullptr;
    }
    void *block = qxmm_malloc(size, DRM_MODULE_ID, caller);
    if (block == nullptr) {
        DRM_LOG(5, "alloc mem fail, input pid(%u), used pid(%u)", pid, DRM_MODULE_ID);
        return nullptr;
    }
    memset(block, 0, size);
    return block;
}

void DrmFreeUmmMem(const char *caller, uint32_t pid, void *ptr, uint32_t)
{
    if (ptr == nullptr) {
        DRM_LOG(5, "Free invalid umm mem, input pid(%u), used pid(%u)", pid, DRM_MODULE_ID);
        return;
    }
    (void)qxmm_free(ptr, DRM_MODULE_ID, caller);
}

void DrmMemShowStat()
{
    for (const auto &pool : g_pools) {
        DBG_Print("%-40s %-10ld %-10ld %-10ld\n", pool.name,
                  static_cast<long>(pool.allocTotal.load()), static_cast<long>(pool.inUse.load()),
                  static_cast<long>(pool.burstMax.load()));
    }
}

int DrmMemPoolStatGet(uint32_t index, DrmMemPoolStat *stat)
{
    if (index >= DRM_MEM_POOL_NUM || stat == nullptr) {
        return DRM_ERR;
    }
    const DrmMemPool &pool = g_pools[index];
    *stat = {pool.name,           pool.fixSize,           pool.minNum,
             pool.maxNum,         pool.allocTotal.load(), pool.inUse.load(),
             pool.burstMax.load()};
    return DRM_OK;
}
