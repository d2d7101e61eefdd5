// DRM memory: eight pools of fixed-size blocks ("LV" blocks) over the host's
// structure pools, with allocation statistics, and a pass-through to the host
// heap. Every host call is made as module DRM_MODULE_ID.
//
// An LV block carries an 8-byte header with its pool index; the caller gets
// the address just past it. The pool is the first row (in table order) whose
// usable size fits the request; there is no fallback to a larger pool.
//
// Lifetime: DrmMemMgrInit (the framework module "DrmMemMgr") creates the
// pools; DrmMemMgrFin deletes them with every block still handed out.
// Thread safety: every function may be called from any thread; statistics
// are atomic (the burst maximum may miss a concurrent peak).
#pragma once

#include <cstdint>

#include "ma/drm/framework/utils/drm_defs.h"

inline constexpr uint32_t DRM_MEM_POOL_NUM = 8;
inline constexpr uint32_t DRM_LV_HEADER_SIZE = 8;
// Largest LV request served (the usable size of the last pool).
inline constexpr uint64_t DRM_LV_MAX_SIZE = 4000;

// Module init and fini. 0 / -1 (a failed pool creation undoes the others).
[[nodiscard]] int DrmMemMgrInit();
int DrmMemMgrFin();

// A zeroed block of at least `size` usable bytes from the first pool that
// fits, or null (no pool fits, or the pool is exhausted). `caller`/`line`
// name the call site in failure messages.
[[nodiscard]] void *DrmMemMallocLv(const char *caller, uint32_t line, uint64_t size);
// Returns an LV block; null is reported (rate-limited) and ignored, a block
// whose header holds no pool index is reported and left alone. `size` is
// informational.
void DrmMemFreeLv(const char *caller, uint32_t line, void *ptr, uint64_t size);

// A zeroed host heap block (owner DRM_MODULE_ID), or null for size 0 or no
// memory. `pid` is the caller's module number, only reported.
[[nodiscard]] void *DrmMallocUmmMem(const char *caller, uint32_t pid, uint32_t size);
// Frees a block of DrmMallocUmmMem; null is reported and ignored.
void DrmFreeUmmMem(const char *caller, uint32_t pid, void *ptr, uint32_t size);

#define DRM_MALLOC_LV(size) DrmMemMallocLv(__func__, __LINE__, (size))
#define DRM_FREE_LV(ptr, size) DrmMemFreeLv(__func__, __LINE__, (ptr), (size))
#define DRM_MALLOC_UMM(size) DrmMallocUmmMem(__func__, DRM_MODULE_ID, (size))
#define DRM_FREE_UMM(ptr, size) DrmFreeUmmMem(__func__, DRM_MODULE_ID, (ptr), (size))

// Prints one line per pool (name, allocations since start, in use, burst
// maximum) with DBG_Print; the "drm showmemalloc" diagnose command.
void DrmMemShowStat();

// One pool's row and statistics (diagnostics and tests). 0, or -1 for an
// index of DRM_MEM_POOL_NUM or more.
struct DrmMemPoolStat {
    const char *name;
    uint32_t fixSize;  // block size including the header
    uint32_t minNum;
    uint32_t maxNum;
    int64_t allocTotal;
    int64_t inUse;
    int64_t burstMax;
};
[[nodiscard]] int DrmMemPoolStatGet(uint32_t index, DrmMemPoolStat *stat);
