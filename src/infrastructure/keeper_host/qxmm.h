// Host memory service: a heap with per-module accounting, continuous
// partitions and pools of fixed-size structures.
//
// Partitions are numbered from 1 (0 means "no partition"); at most
// QXMM_MAX_PARTITIONS exist at once and a deleted number may be reused.
//
// Structure pools reserve `minNum` structures at creation. When they run out
// and expansion is allowed, they grow by `expStep` structures at a time (one
// heap chunk per step) up to `maxNum`; chunks are kept until the pool is
// deleted. Every structure handed out is aligned to `align` bytes (default 8)
// and is not zeroed. freeStructure checks that the pointer is the start of a
// structure of that pool which is currently handed out, so a double free or a
// foreign pointer is refused with an error code and changes nothing.
//
// Results: 0 on success, a negative errno otherwise (-EINVAL bad argument,
// -ENOMEM no memory or the pool is at its maximum, -ENOENT unknown partition,
// -ENOSPC partition table full, -EFAULT pointer not of the pool, -EALREADY
// structure already free).
//
// Thread safety: every function may be called from any thread; each pool has
// its own lock. Deleting a partition while another thread still uses it is
// the caller's error.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t QXMM_MAX_PARTITIONS = 256;
inline constexpr size_t QXMM_NAME_LEN = 32;  // names are cut to 31 characters

// 0 on success. Calling it again is harmless.
[[nodiscard]] int qx_mm_pool_init();
// Deletes every partition left. Heap blocks stay valid and accounted.
void qx_mm_pool_exit();

// ---- heap ----------------------------------------------------------------

// Returns `size` bytes (16-byte aligned, not zeroed) accounted to `module`,
// or null (size 0, no memory, or a failing test allocation). `caller` names
// the call site for diagnostics.
void *qxmm_malloc(size_t size, uint32_t module, const char *caller);
// Returns a block of qxmm_malloc; null is ignored. The accounting follows
// the module recorded at allocation. 0, or -EFAULT when the block does not
// carry the heap's mark (not from qxmm_malloc, or already freed): the block
// is then left alone. This check is best effort; only a pool structure free
// is exact.
int qxmm_free(void *ptr, uint32_t module, const char *caller);

struct QxmmModuleUsage {
    uint64_t bytes;  // bytes currently handed out by qxmm_malloc
    uint64_t count;  // blocks currently handed out
};
// Usage of one module; a module that never allocated has zero usage.
QxmmModuleUsage qxmm_module_usage(uint32_t module);

// ---- partitions ----------------------------------------------------------

// Reserves one zero-filled region of `size` bytes named `name` for `owner`.
// Stores its number in *partitionId and its address in *base.
[[nodiscard]] int createContinuousPartition(const char *name, uint32_t owner, uint64_t size,
                                            uint32_t *partitionId, void **base,
                                            const char *caller);

// Creates a pool of structures of `structSize` bytes: `minNum` reserved now,
// at most `maxNum` (>= minNum, >= 1). `expStep`: structures added per growth
// (0: minNum, at least 1). `align`: power of two up to 4096, 0 for 8.
// `expandFlag` 0 keeps the pool at minNum. `reserved` must be 0.
[[nodiscard]] int createExpStructurePartition(uint32_t minNum, uint32_t maxNum, const char *name,
                                              uint32_t owner, uint32_t expStep,
                                              uint32_t structSize, uint32_t *partitionId,
                                              uint32_t align, uint32_t reserved,
                                              uint32_t expandFlag);

// Takes one structure from the pool into *block (null on failure).
[[nodiscard]] int allocStructure(uint32_t partitionId, void **block, uint32_t owner,
                                 const char *caller);
// Returns one structure to the pool.
[[nodiscard]] int freeStructure(uint32_t partitionId, void *block, uint32_t owner,
                                const char *caller);

// Removes a partition of either kind and releases its memory, including
// structures still handed out.
[[nodiscard]] int deletePartitionByID(uint32_t partitionId);

struct QxmmPartitionStat {
    uint32_t isPool;      // 1 structure pool, 0 continuous
    uint32_t owner;
    uint64_t size;        // region bytes, or the structure size of a pool
    uint32_t total;       // structures reserved so far (pools)
    uint32_t inUse;       // structures handed out (pools)
    uint32_t maxNum;      // pools
    char name[QXMM_NAME_LEN];
};
[[nodiscard]] int qxmm_partition_stat(uint32_t partitionId, QxmmPartitionStat *stat);
