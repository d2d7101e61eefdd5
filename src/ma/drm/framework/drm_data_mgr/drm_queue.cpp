#include "ma/drm/framework/drm_data_mgr/drm_queue.h"

#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"

namespace {

struct DrmQueueElem {
    DrmListHead node;
    void *data;
};
static_assert(sizeof(DrmQueueElem) == 24, "queue elements are 24-byte LV blocks");

int Link(DrmQueue *q, void *data, bool atHead)
{
    if (q == nullptr) {
        return -1;
    }
    auto *elem = static_cast<DrmQueueElem *>(DRM_MALLOC_LV(sizeof(DrmQueueElem)));
    if (elem == nullptr) {
        return -1;
    }
    elem->data = data;
    qxax_spin_lock(&q->lock);
    if (atHead) {
        DrmListAddHead(&elem->node, &q->head);
    } else {
        DrmListAddTail(&elem->node, &q->head);
    }
    qxax_spin_unlock(&q->lock);
    return 0;
}

}  // namespace

void drmQueueInit(DrmQueue *q)
{
    qxax_spin_lock_init(&q->lock);
    DrmListInit(&q->head);
}

void drmQueueDestroy(DrmQueue *) {}

int drmQueueQueue(DrmQueue *q, void *data) { return Link(q, data, false); }

int drmQueueQueueHead(DrmQueue *q, void *data) { return Link(q, data, true); }

void *drmQueueDequeue(DrmQueue *q)
{
    if (q == nullptr) {
        return nullptr;
    }
    qxax_spin_lock(&q->lock);
    if (DrmListEmpty(&q->head)) {
        qxax_spin_unlock(&q->lock);
        return nullptr;
    }
    DrmListHead *first = q->head.next;
    DrmListDel(first);
    qxax_spin_unlock(&q->lock);
    auto *elem = DRM_LIST_ENTRY(first, DrmQueueElem, node);
    void *data = elem->data;
    DRM_FREE_LV(elem, sizeof(DrmQueueElem));
    return data;
}
