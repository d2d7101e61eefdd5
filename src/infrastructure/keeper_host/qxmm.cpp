#include "infrastructure/keeper_host/qxmm.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/host_mutex.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr uint32_t kHeapMagic = 0x51a7b10cu;
constexpr uint32_t kHeapFreed = 0xdeadf7eeu;
constexpr uint32_t kNoModule = 0xFFFFFFFFu;
constexpr size_t kModuleSlots = 64;
constexpr uint32_t kDefaultAlign = 8;
constexpr uint32_t kMaxAlign = 4096;

// Sits in front of every qxmm_malloc block; 16 bytes keep the caller's part
// as aligned as malloc's.
struct HeapHeader {
    uint32_t magic;
    uint32_t module;
    uint64_t size;
};
static_assert(sizeof(HeapHeader) == 16, "heap header keeps 16-byte alignment");

struct ModuleSlot {
    std::atomic<uint32_t> module{kNoModule};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> count{0};
};

// One heap chunk of a pool: `count` structures and a bit per structure that
// is set while it is handed out.
struct Chunk {
    uint8_t *base;
    uint64_t *usedBits;
    uint32_t count;
};

struct Partition {
    std::atomic<bool> used{false};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // pool state below
    bool isPool = false;
    char name[QXMM_NAME_LEN] = {};
    uint32_t owner = 0;
    void *region = nullptr;  // continuous partitions
    uint64_t size = 0;
    uint32_t stride = 0;  // pools: structure size rounded up to the alignment
    uint32_t align = 0;
    uint32_t maxNum = 0;
    uint32_t step = 0;
    bool expand = false;
    uint32_t total = 0;
    uint32_t inUse = 0;
    Chunk *chunks = nullptr;  // sorted by base address
    uint32_t chunkCount = 0;
    void *freeList = nullptr;  // intrusive: first word of a free structure
};

struct QxmmState {
    pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;  // claiming/releasing slots
    Partition parts[QXMM_MAX_PARTITIONS];
    ModuleSlot modules[kModuleSlots];
    ModuleSlot overflow;  // modules beyond the table share this slot
    std::atomic<uint64_t> attempts{0};
    std::atomic<uint32_t> failNth{0};
    std::atomic<bool> failSticky{false};
};

QxmmState g_mm;

bool InjectedFailure()
{
    uint64_t n = g_mm.attempts.fetch_add(1) + 1;
    uint32_t nth = g_mm.failNth.load();
    return nth != 0 && (n == nth || (g_mm.failSticky.load() && n > nth));
}

ModuleSlot *SlotOf(uint32_t module, bool create)
{
    if (module == kNoModule) {
        return &g_mm.overflow;
    }
    for (ModuleSlot &slot : g_mm.modules) {
        uint32_t m = slot.module.load(std::memory_order_acquire);
        if (m == module) {
            return &slot;
        }
        if (m != kNoModule) {
            continue;
        }
        if (!create) {
            return nullptr;
        }
        uint32_t expected = kNoModule;
        if (slot.module.compare_exchange_strong(expected, module) || expected == module) {
            return &slot;
        }
    }
    return &g_mm.overflow;
}

Partition *PartitionOf(uint32_t id)
{
    if (id == 0 || id > QXMM_MAX_PARTITIONS) {
        return nullptr;
    }
    Partition *p = &g_mm.parts[id - 1];
    return p->used.load(std::memory_order_acquire) ? p : nullptr;
}

// Claims a free slot and names it. Returns its number, 0 when full.
uint32_t ClaimPartition(const char *name, uint32_t owner)
{
    HostLocked table(&g_mm.tableLock);
    for (uint32_t i = 0; i < QXMM_MAX_PARTITIONS; ++i) {
        Partition &p = g_mm.parts[i];
        if (p.used.load(std::memory_order_relaxed)) {
            continue;
        }
        HostLocked pool(&p.lock);
        p.isPool = false;
        (void)strncpy_s(p.name, sizeof(p.name), name, sizeof(p.name) - 1);
        p.owner = owner;
        p.region = nullptr;
        p.size = 0;
        p.chunks = nullptr;
        p.chunkCount = 0;
        p.freeList = nullptr;
        p.total = 0;
        p.inUse = 0;
        p.used.store(true, std::memory_order_release);
        return i + 1;
    }
    return 0;
}

void ReleaseMemoryLocked(Partition *p)
{
    free(p->region);
    p->region = nullptr;
    for (uint32_t i = 0; i < p->chunkCount; ++i) {
        free(p->chunks[i].base);
        free(p->chunks[i].usedBits);
    }
    free(p->chunks);
    p->chunks = nullptr;
    p->chunkCount = 0;
    p->freeList = nullptr;
    p->total = 0;
    p->inUse = 0;
}

// Adds one chunk of `count` structures to the pool and threads them onto
// the free list. Caller holds the pool lock.
int GrowLocked(Partition *p, uint32_t count)
{
    size_t bytes = static_cast<size_t>(count) * p->stride;
    void *base = nullptr;
    if (posix_memalign(&base, p->align, bytes) != 0) {
        return -ENOMEM;
    }
    auto *bits = static_cast<uint64_t *>(calloc((count + 63) / 64, sizeof(uint64_t)));
    auto *chunks = static_cast<Chunk *>(realloc(p->chunks, (p->chunkCount + 1) * sizeof(Chunk)));
    if (bits == nullptr || chunks == nullptr) {
        free(base);
        free(bits);
        if (chunks != nullptr) {
            p->chunks = chunks;
        }
        return -ENOMEM;
    }
    p->chunks = chunks;
    uint32_t at = p->chunkCount;
    while (at > 0 && chunks[at - 1].base > static_cast<uint8_t *>(base)) {
        chunks[at] = chunks[at - 1];
        --at;
    }
    chunks[at] = Chunk{static_cast<uint8_t *>(base), bits, count};
    ++p->chunkCount;
    for (uint32_t i = count; i > 0; --i) {
        void *block = static_cast<uint8_t *>(base) + static_cast<size_t>(i - 1) * p->stride;
        memcpy(block, &p->freeList, sizeof(void *));
        p->freeList = block;
    }
    p->total += count;
    return 0;
}

// Locates `block` in the pool: its chunk and index. False when the pointer
// is not the start of one of the pool's structures. Caller holds the lock.
bool FindBlockLocked(const Partition *p, const void *block, Chunk **chunk, uint32_t *index)
{
    auto *b = static_cast<const uint8_t *>(block);
    uint32_t lo = 0;
    uint32_t hi = p->chunkCount;
    while (lo < hi) {  // first chunk whose base is above b
        uint32_t mid = lo + (hi - lo) / 2;
        if (p->chunks[mid].base <= b) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == 0) {
        return false;
    }
    Chunk *c = &p->chunks[lo - 1];
    auto offset = static_cast<size_t>(b - c->base);
    if (offset >= static_cast<size_t>(c->count) * p->stride || offset % p->stride != 0) {
        return false;
    }
    *chunk = c;
    *index = static_cast<uint32_t>(offset / p->stride);
    return true;
}

bool ValidPoolArgs(uint32_t minNum, uint32_t maxNum, uint32_t structSize, uint32_t align,
                   uint32_t reserved)
{
    bool alignOk = align == 0 || (align <= kMaxAlign && (align & (align - 1)) == 0);
    // Keep one chunk's size well inside 32-bit structure counts times stride.
    return maxNum != 0 && minNum <= maxNum && structSize != 0 && structSize <= (1u << 24) &&
           alignOk && reserved == 0;
}

}  // namespace

int qx_mm_pool_init() { return 0; }

void qx_mm_pool_exit()
{
    for (uint32_t id = 1; id <= QXMM_MAX_PARTITIONS; ++id) {
        if (PartitionOf(id) != nullptr) {
            (void)deletePartitionByID(id);
        }
    }
}

void *qxmm_malloc(size_t size, uint32_t module, const char *caller)
{
    (void)caller;
    if (size == 0 || size > SIZE_MAX - sizeof(HeapHeader) || InjectedFailure()) {
        return nullptr;
    }
    auto *h = static_cast<HeapHeader *>(malloc(sizeof(HeapHeader) + size));
    if (h == nullptr) {
        return nullptr;
    }
    h->magic = kHeapMagic;
    h->module = module;
    h->size = size;
    ModuleSlot *slot = SlotOf(module, true);
    slot->bytes.fetch_add(size);
    slot->count.fetch_add(1);
    return h + 1;
}

int qxmm_free(void *ptr, uint32_t module, const char *caller)
{
    (void)module;
    (void)caller;
    if (ptr == nullptr) {
        return 0;
    }
    HeapHeader *h = static_cast<HeapHeader *>(ptr) - 1;
    if (h->magic != kHeapMagic) {
        return -EFAULT;
    }
    h->magic = kHeapFreed;
    ModuleSlot *slot = SlotOf(h->module, true);
    slot->bytes.fetch_sub(h->size);
    slot->count.fetch_sub(1);
    free(h);
    return 0;
}

QxmmModuleUsage qxmm_module_usage(uint32_t module)
{
    ModuleSlot *slot = SlotOf(module, false);
    if (slot == nullptr) {
        return QxmmModuleUsage{0, 0};
    }
    return QxmmModuleUsage{slot->bytes.load(), slot->count.load()};
}

int createContinuousPartition(const char *name, uint32_t owner, uint64_t size,
                              uint32_t *partitionId, void **base, const char *caller)
{
    (void)caller;
    if (name == nullptr || partitionId == nullptr || base == nullptr || size == 0 ||
        size > SIZE_MAX) {
        return -EINVAL;
    }
    if (InjectedFailure()) {
        return -ENOMEM;
    }
    void *region = calloc(1, static_cast<size_t>(size));
    if (region == nullptr) {
        return -ENOMEM;
    }
    uint32_t id = ClaimPartition(name, owner);
    if (id == 0) {
        free(region);
        return -ENOSPC;
    }
    Partition *p = &g_mm.parts[id - 1];
    {
        HostLocked pool(&p->lock);
        p->region = region;
        p->size = size;
    }
    *partitionId = id;
    *base = region;
    return 0;
}

int createExpStructurePartition(uint32_t minNum, uint32_t maxNum, const char *name,
                                uint32_t owner, uint32_t expStep, uint32_t structSize,
                                uint32_t *partitionId, uint32_t align, uint32_t reserved,
                                uint32_t expandFlag)
{
    if (name == nullptr || partitionId == nullptr ||
        !ValidPoolArgs(minNum, maxNum, structSize, align, reserved)) {
        return -EINVAL;
    }
    if (InjectedFailure()) {
        return -ENOMEM;
    }
    uint32_t id = ClaimPartition(name, owner);
    if (id == 0) {
        return -ENOSPC;
    }
    Partition *p = &g_mm.parts[id - 1];
    int ret = 0;
    {
        HostLocked pool(&p->lock);
        p->isPool = true;
        p->align = align == 0 ? kDefaultAlign : (align < sizeof(void *) ? sizeof(void *) : align);
        p->stride = (structSize + p->align - 1) / p->align * p->align;
        p->size = structSize;
        p->maxNum = maxNum;
        p->step = expStep != 0 ? expStep : (minNum != 0 ? minNum : 1);
        p->expand = expandFlag != 0;
        if (minNum > 0) {
            ret = GrowLocked(p, minNum);
        }
    }
    if (ret != 0) {
        (void)deletePartitionByID(id);
        return ret;
    }
    *partitionId = id;
    return 0;
}

int allocStructure(uint32_t partitionId, void **block, uint32_t owner, const char *caller)
{
    (void)owner;
    (void)caller;
    if (block == nullptr) {
        return -EINVAL;
    }
    *block = nullptr;
    Partition *p = PartitionOf(partitionId);
    if (p == nullptr || !p->isPool) {
        return p == nullptr ? -ENOENT : -EINVAL;
    }
    if (InjectedFailure()) {
        return -ENOMEM;
    }
    HostLocked pool(&p->lock);
    if (p->freeList == nullptr) {
        if (!p->expand || p->total >= p->maxNum) {
            return -ENOMEM;
        }
        uint32_t room = p->maxNum - p->total;
        int ret = GrowLocked(p, p->step < room ? p->step : room);
        if (ret != 0) {
            return ret;
        }
    }
    void *b = p->freeList;
    memcpy(&p->freeList, b, sizeof(void *));
    Chunk *chunk = nullptr;
    uint32_t index = 0;
    if (FindBlockLocked(p, b, &chunk, &index)) {
        chunk->usedBits[index / 64] |= 1ULL << (index % 64);
    }
    ++p->inUse;
    *block = b;
    return 0;
}

int freeStructure(uint32_t partitionId, void *block, uint32_t owner, const char *caller)
{
    (void)owner;
    (void)caller;
    Partition *p = PartitionOf(partitionId);
    if (p == nullptr || !p->isPool) {
        return p == nullptr ? -ENOENT : -EINVAL;
    }
    if (block == nullptr) {
        return -EFAULT;
    }
    HostLocked pool(&p->lock);
    Chunk *chunk = nullptr;
    uint32_t index = 0;
    if (!FindBlockLocked(p, block, &chunk, &index)) {
        return -EFAULT;
    }
    uint64_t bit = 1ULL << (index % 64);
    if ((chunk->usedBits[index / 64] & bit) == 0) {
        return -EALREADY;
    }
    chunk->usedBits[index / 64] &= ~bit;
    memcpy(block, &p->freeList, sizeof(void *));
    p->freeList = block;
    --p->inUse;
    return 0;
}

int deletePartitionByID(uint32_t partitionId)
{
    HostLocked table(&g_mm.tableLock);
    Partition *p = PartitionOf(partitionId);
    if (p == nullptr) {
        return -ENOENT;
    }
    HostLocked pool(&p->lock);
    p->used.store(false, std::memory_order_release);
    ReleaseMemoryLocked(p);
    return 0;
}

int qxmm_partition_stat(uint32_t partitionId, QxmmPartitionStat *stat)
{
    if (stat == nullptr) {
        return -EINVAL;
    }
    Partition *p = PartitionOf(partitionId);
    if (p == nullptr) {
        return -ENOENT;
    }
    HostLocked pool(&p->lock);
    *stat = QxmmPartitionStat{};
    stat->isPool = p->isPool ? 1 : 0;
    stat->owner = p->owner;
    stat->size = p->size;
    stat->total = p->total;
    stat->inUse = p->inUse;
    stat->maxNum = p->maxNum;
    (void)strcpy_s(stat->name, sizeof(stat->name), p->name);
    return 0;
}

void HostMmFailAlloc(uint32_t nth, bool sticky)
{
    g_mm.failSticky.store(sticky);
    g_mm.attempts.store(0);
    g_mm.failNth.store(nth);
}

uint64_t HostMmAllocAttempts() { return g_mm.attempts.load(); }
