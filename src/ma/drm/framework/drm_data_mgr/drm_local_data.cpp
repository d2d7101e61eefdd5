#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"

#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

namespace {

struct DrmLocalDiskRecord {
    uint32_t innerId;
    void *featureData[DRM_MAX_FEATURE_NUM];
};

struct DrmLocalDataState {
    uint32_t maxDisks;
    qxax_spinlock_t featureLock[DRM_MAX_FEATURE_NUM];
    uint32_t partitionId;
    DrmLocalDiskRecord *records;
};

DrmLocalDataState g_local;

// The record of a disk, or null (logged) when the ids are out of range.
DrmLocalDiskRecord *RecordOf(uint32_t diskId, uint32_t featureId)
{
    uint32_t innerId = diskId - DrmGetMinDiskId();
    if (g_local.records == nullptr || !DrmIsDiskIdValid(diskId) || innerId >= g_local.maxDisks ||
        featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG(3, "Para is invalid: disk ID(%u), inner ID(%u), feature ID(%u).", diskId, innerId,
                featureId);
        return nullptr;
    }
    return &g_local.records[innerId];
}

}  // namespace

int DrmLocalAllocPartition()
{
    g_local.maxDisks = DrmGetMaxDiskNum();
    for (auto &lock : g_local.featureLock) {
        qxax_spin_lock_init(&lock);
    }
    void *base = nullptr;
    uint64_t size = static_cast<uint64_t>(g_local.maxDisks) * sizeof(DrmLocalDiskRecord);
    if (createContinuousPartition("BDM_DRM_LOCAL_DISK_POOL", DRM_MODULE_ID, size,
                                  &g_local.partitionId, &base, "DrmLocalAllocPartition") != 0) {
        DRM_LOG(3, "Create BDM_DRM_LOCAL_DISK_POOL failed.");
        g_local.partitionId = 0;
        return DRM_ERR;
    }
    g_local.records = static_cast<DrmLocalDiskRecord *>(base);
    for (uint32_t i = 0; i < g_local.maxDisks; ++i) {
        g_local.records[i].innerId = i;
        for (auto &slot : g_local.records[i].featureData) {
            slot = nullptr;
        }
    }
    return DRM_OK;
}

int DrmLocalDataMgrInit()
{
    if (DrmLocalAllocPartition() != DRM_OK) {
        DRM_LOG(3, "Drm local alloc partition failed.");
        return DRM_ERR;
    }
    return DRM_OK;
}

int DrmLocalDataMgrFin()
{
    if (g_local.partitionId != 0) {
        (void)deletePartitionByID(g_local.partitionId);
        g_local.partitionId = 0;
    }
    g_local.records = nullptr;
    return DRM_OK;
}

int getFeatureLocPrivateData(uint32_t diskId, uint32_t featureId, void **out)
{
    DrmLocalDiskRecord *rec = RecordOf(diskId, featureId);
    if (rec == nullptr || out == nullptr) {
        return DRM_ERR;
    }
    *out = rec->featureData[featureId];
    return DRM_OK;
}

int setFeatureLocPrivateData(uint32_t diskId, uint32_t featureId, void *data)
{
    DrmLocalDiskRecord *rec = RecordOf(diskId, featureId);
    if (rec == nullptr) {
        return DRM_ERR;
    }
    rec->featureData[featureId] = data;
    return DRM_OK;
}

void DrmLockFeatureData(uint32_t featureId)
{
    if (featureId < DRM_MAX_FEATURE_NUM) {
        do_qxax_spinlock_lock(&g_local.featureLock[featureId], "LOCK_DRM_FEATURE_DATA", __LINE__,
                              &g_local.featureLock[featureId]);
    }
}

void DrmUnlockFeatureData(uint32_t featureId)
{
    if (featureId < DRM_MAX_FEATURE_NUM) {
        do_qxax_spinlock_unlock(&g_local.featureLock[featureId], "UNLOCK_DRM_FEATURE_DATA",
                                __LINE__, &g_local.featureLock[featureId]);
    }
}

int DrmGetFeatureDiskList(uint32_t featureId, uint32_t *diskIds, uint32_t capacity, uint32_t *count)
{
    if (featureId >= DRM_MAX_FEATURE_NUM || diskIds == nullptr || count == nullptr ||
        g_local.records == nullptr) {
        return DRM_ERR;
    }
    uint32_t n = 0;
    int ret = DRM_OK;
    DrmLockFeatureData(featureId);
    for (uint32_t i = 0; i < g_local.maxDisks; ++i) {
        if (g_local.records[i].featureData[featureId] == nullptr) {
            continue;
        }
        if (n >= capacity) {
            ret = DRM_ERR;
            break;
        }
        diskIds[n++] = i + DrmGetMinDiskId();
    }
    DrmUnlockFeatureData(featureId);
    if (ret == DRM_OK) {
        *count = n;
    }
    return ret;
}
