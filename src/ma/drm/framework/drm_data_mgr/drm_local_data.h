// Per-disk private data of the DRM features: one pointer per (disk, feature),
// guarded by one spinlock per feature.
//
// Ownership: a stored block belongs to the feature that stored it; the
// framework never frees or reads it.
// Locking: getFeatureLocPrivateData / setFeatureLocPrivateData do not lock.
// The caller holds DrmLockFeatureData(featureId) around the call AND around
// every use of the returned pointer, so that a disk-out handler (which clears
// and frees under the same lock) can never leave a dangling pointer behind.
#pragma once

#include <cstdint>

#include "ma/drm/framework/utils/drm_defs.h"

// Creates the records for DrmGetMaxDiskNum disks in one host partition
// "BDM_DRM_LOCAL_DISK_POOL". 0 / -1. DrmLocalDataMgrFin deletes it (0).
[[nodiscard]] int DrmLocalDataMgrInit();
[[nodiscard]] int DrmLocalAllocPartition();
int DrmLocalDataMgrFin();

// Reads or writes the slot of (diskId, featureId); storing null clears it.
// 0, or -1 with "Para is invalid: disk ID(%u), inner ID(%u), feature ID(%u)."
// for a disk id out of range, a feature id of 32 or more, a null `out`, or
// before DrmLocalDataMgrInit.
[[nodiscard]] int getFeatureLocPrivateData(uint32_t diskId, uint32_t featureId, void **out);
[[nodiscard]] int setFeatureLocPrivateData(uint32_t diskId, uint32_t featureId, void *data);

// Takes or releases the feature's lock; feature ids of 32 or more are
// ignored. Spinlock: hold it briefly and never across a call that may block
// on another DRM lock.
void DrmLockFeatureData(uint32_t featureId);
void DrmUnlockFeatureData(uint32_t featureId);

// The disk ids that have data for the feature, in id order, taking the
// feature's lock itself (so the caller must not hold it). 0; -1 for a feature
// id of 32 or more, a null output, or more disks than `capacity`.
[[nodiscard]] int DrmGetFeatureDiskList(uint32_t featureId, uint32_t *diskIds, uint32_t capacity,
                                        uint32_t *count);
