// A feature's queue of disk events. The data manager's notify callback posts
// {disk id, event} from whichever thread announced the disk and triggers the
// feature's analyser; the analyser handles the queued events on its own
// worker, so a feature's disk data is only ever touched by its analyser.
//
// Ownership: the event records are heap blocks owned by the queue until
// handled or dropped. Thread safety: as DrmQueue (any thread).
#pragma once

#include <cstdint>

#include "ma/drm/framework/drm_data_mgr/drm_queue.h"

// Handles one event of one disk; nonzero is logged as a failure.
using DrmDiskEventFn = int (*)(uint32_t diskId);

// Queues the event and triggers analyser slot `slot` (0 or 1) of the feature
// with the event key. A record that cannot be allocated or queued is logged
// and dropped.
void DrmDiskEventPost(DrmQueue *q, uint32_t featureId, uint32_t slot, uint32_t diskId,
                      uint32_t event);
// Handles every queued event in order with onIn or onOut and frees it.
void DrmDiskEventDrain(DrmQueue *q, DrmDiskEventFn onIn, DrmDiskEventFn onOut);
// Frees every queued event without handling it (teardown).
void DrmDiskEventDrop(DrmQueue *q);
