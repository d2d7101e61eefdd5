// A locked queue of pointers. Elements are 24-byte LV blocks (drm_mem_mgr.h),
// allocated and freed outside the lock.
//
// Ownership: the caller owns the data pointers in both directions; destroying
// a queue frees nothing still queued.
// Thread safety: any thread; each queue has its own spinlock.
#pragma once

#include "infrastructure/keeper_host/qxax.h"
#include "ma/drm/framework/utils/drm_list.h"

struct DrmQueue {
    qxax_spinlock_t lock;
    DrmListHead head;
};

void drmQueueInit(DrmQueue *q);
void drmQueueDestroy(DrmQueue *q);
// Appends at the tail / inserts at the head. 0, or -1 for a null queue or
// when no element can be allocated.
[[nodiscard]] int drmQueueQueue(DrmQueue *q, void *data);
[[nodiscard]] int drmQueueQueueHead(DrmQueue *q, void *data);
// The data pointer of the head element (removed), or null when the queue is
// empty or q is null.
void *drmQueueDequeue(DrmQueue *q);
