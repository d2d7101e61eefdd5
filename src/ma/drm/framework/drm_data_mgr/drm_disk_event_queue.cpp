#include "ma/drm/framework/drm_data_mgr/drm_disk_event_queue.h"

#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

namespace {

struct DrmDiskEventRecord {
    uint32_t diskId;
    uint32_t event;
};

}  // namespace

void DrmDiskEventPost(DrmQueue *q, uint32_t featureId, uint32_t slot, uint32_t diskId,
                      uint32_t event)
{
    auto *ev = static_cast<DrmDiskEventRecord *>(DRM_MALLOC_UMM(sizeof(DrmDiskEventRecord)));
    if (ev == nullptr) {
        DRM_LOG(4, "Handle disk event: disk(%u) event(%d) fail.", diskId, static_cast<int>(event));
        return;
    }
    *ev = DrmDiskEventRecord{diskId, event};
    if (drmQueueQueue(q, ev) != 0) {
        DRM_FREE_UMM(ev, sizeof(*ev));
        DRM_LOG(3, "queue disk(%u) event(%d) failed.", diskId, static_cast<int>(event));
        return;
    }
    (void)(slot == 0 ? DrmTriggerAnalyser0(featureId, DRM_EVENT_TRIGGER_KEY)
                     : DrmTriggerAnalyser1(featureId, DRM_EVENT_TRIGGER_KEY));
}

void DrmDiskEventDrain(DrmQueue *q, DrmDiskEventFn onIn, DrmDiskEventFn onOut)
{
    void *p;
    while ((p = drmQueueDequeue(q)) != nullptr) {
        auto *ev = static_cast<DrmDiskEventRecord *>(p);
        int ret = 0;
        if (ev->event == DRM_DISK_EVENT_IN) {
            ret = onIn(ev->diskId);
        } else if (ev->event == DRM_DISK_EVENT_OUT) {
            ret = onOut(ev->diskId);
        } else {
            DRM_LOG(4, "Invalid disk event(%d) for disk(%u).", static_cast<int>(ev->event),
                    ev->diskId);
        }
        if (ret != 0) {
            DRM_LOG(3, "Handle disk(%u) event(%d) failed, ret(%d).", ev->diskId,
                    static_cast<int>(ev->event), ret);
        }
        DRM_FREE_UMM(ev, sizeof(*ev));
    }
}

void DrmDiskEventDrop(DrmQueue *q)
{
    void *p;
    while ((p = drmQueueDequeue(q)) != nullptr) {
        DRM_FREE_UMM(p, sizeof(DrmDiskEventRecord));
    }
}
