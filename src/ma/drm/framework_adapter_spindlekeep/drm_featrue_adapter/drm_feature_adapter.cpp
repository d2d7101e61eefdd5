#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

#include <cstring>

#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "ma/drm/framework/utils/drm_defs.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

namespace {

constexpr const char *kTag = "DRM_FEATURE";
constexpr const char *kKorvanVendor = "0x1c7f";
constexpr uint32_t kNoType = 0xFFFFFFFFu;

struct DrmEventRow {
    DrmDiskEventHandler allNodesHandler;
    DrmDiskEventHandler masterHandler;
};

struct DrmAdapterState {
    DrmEventRow events[DRM_MAX_FEATURE_NUM];
};

DrmAdapterState g_adapter;

// DRM disk type by daemon disk type (DiskType order: NVMe SSD, SAS SSD,
// SATA SSD, SAS HDD, SATA HDD, NL-SAS HDD).
constexpr uint32_t kDrmTypeOf[] = {DRM_DISK_TYPE_NVME_SSD,
                                   DRM_DISK_TYPE_SAS_SSD,
                                   DRM_DISK_TYPE_SATA_SSD,
                                   DRM_DISK_TYPE_SAS_HDD,
                                   kNoType,
                                   DRM_DISK_TYPE_SAS_HDD};
// Prefail group by daemon disk type, for the vendor "0x1c7f" and for others.
constexpr uint32_t kKorvanGroupOf[] = {
    DRM_PREFAIL_GROUP_NVME, DRM_PREFAIL_GROUP_SAS_KSSD, kNoType, kNoType, kNoType, kNoType};
constexpr uint32_t kGroupOf[] = {DRM_PREFAIL_GROUP_NVME,
                                 DRM_PREFAIL_GROUP_SAS_SSD,
                                 DRM_PREFAIL_GROUP_SATA,
                                 DRM_PREFAIL_GROUP_SAS_HDD,
                                 kNoType,
                                 DRM_PREFAIL_GROUP_SAS_HDD};
static_assert(sizeof(kDrmTypeOf) / sizeof(kDrmTypeOf[0]) == DISK_TYPE_UNKNOWN);
static_assert(sizeof(kGroupOf) / sizeof(kGroupOf[0]) == DISK_TYPE_UNKNOWN);
static_assert(sizeof(kKorvanGroupOf) / sizeof(kKorvanGroupOf[0]) == DISK_TYPE_UNKNOWN);

// The disk's base record and its serial-number reference (into `base`).
int ReadBase(uint32_t diskId, DiskBaseInfo *base, KeeperStr *sn)
{
    memset(base, 0, sizeof(*base));
    char empty[1] = "";
    KeeperStr none = {0, empty};  // length 0: no serial-number check
    int32_t ret = DataMgrDiskInfoGet(diskId, none, base, sizeof(*base), DATA_INFO_BASE);
    if (ret != 0) {
        KLOG_ERR(kTag, "Get disk(%u) baseinfo fail, ret(%d).", diskId, ret);
        return DRM_ERR;
    }
    base->sn[sizeof(base->sn) - 1] = '\0';
    *sn = {static_cast<uint32_t>(strlen(base->sn)), base->sn};
    return DRM_OK;
}

int SetState(uint32_t diskId, KeeperStr sn, uint32_t state)
{
    return DataMgrDiskInfoSet(diskId, sn, &state, DATA_INFO_DISK_STATE);
}

}  // namespace

// ---- disk events ------------------------------------------------------------

void DrmRegisterDiskEventHandler(uint32_t featureId, DrmDiskEventHandler allNodesHandler,
                                 DrmDiskEventHandler masterHandler)
{
    if (featureId < DRM_MAX_FEATURE_NUM) {
        g_adapter.events[featureId] = {allNodesHandler, masterHandler};
    }
}

void DrmUnregisterDiskEventHandler(uint32_t featureId)
{
    if (featureId < DRM_MAX_FEATURE_NUM) {
        g_adapter.events[featureId] = {nullptr, nullptr};
    }
}

void DrmNotifyDiskEvent(uint32_t diskId, uint32_t event)
{
    for (const auto &row : g_adapter.events) {
        if (row.allNodesHandler != nullptr) {
            row.allNodesHandler(diskId, event);
        }
        if (DrmIsMasterNode() && row.masterHandler != nullptr) {
            row.masterHandler(diskId, event);
        }
    }
}

int32_t DrmDiskEventNotify(uint32_t diskId, KeeperStr, uint32_t event)
{
    DrmNotifyDiskEvent(DrmTransDiskId(diskId), event);
    return 0;
}

int DrmDiskEventAdapterInit()
{
    int32_t ret = DataMgrSetDrmNotifyFunc(DrmDiskEventNotify);
    if (ret != 0) {
        DRM_ADPT_LOG(3, "DrmDiskEventAdapterInit failed(%d).", ret);
        return DRM_ERR;
    }
    return DRM_OK;
}

void DrmDiskEventAdapterFin()
{
    int32_t ret = DataMgrSetDrmNotifyFunc(nullptr);
    if (ret != 0) {
        DRM_ADPT_LOG(3, "DrmDiskEventAdapterFin failed(%d).", ret);
    }
}

int DrmFrameworkAdapterInitPhase1()
{
    DrmActionRegistryReset();
    return DRM_OK;
}

int DrmFrameworkAdapterFinPhase1() { return DRM_OK; }

int DrmFrameworkAdapterInitPhase2()
{
    if (DrmDiskEventAdapterInit() != DRM_OK) {
        DRM_ADPT_LOG(3, "Init disk event adapter fail.");
        return DRM_ERR;
    }
    return DRM_OK;
}

int DrmFrameworkAdapterFinPhase2()
{
    DrmDiskEventAdapterFin();
    return DRM_OK;
}

// ---- disk types and groups ----------------------------------------------------

int TransDiskType(uint32_t diskType, uint32_t *drmType)
{
    if (drmType == nullptr || diskType >= DISK_TYPE_UNKNOWN || kDrmTypeOf[diskType] == kNoType) {
        KLOG_ERR(kTag, "Drm featue didn't support disktype(%u)", diskType);
        return DRM_ERR;
    }
    *drmType = kDrmTypeOf[diskType];
    return DRM_OK;
}

int DrmGetDiskType(uint32_t diskId, uint32_t *drmType)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    int ret = TransDiskType(base.diskType, drmType);
    if (ret != DRM_OK) {
        KLOG_ERR(kTag, "Disk(%u) type(%u) not support, ret(%d).", diskId, base.diskType, ret);
        return DRM_ERR;
    }
    return DRM_OK;
}

int TransDiskGroup(uint32_t diskType, const char *vendor, uint32_t *group)
{
    bool korvan = vendor != nullptr && strcmp(vendor, kKorvanVendor) == 0;
    uint32_t value = diskType < DISK_TYPE_UNKNOWN
                         ? (korvan ? kKorvanGroupOf[diskType] : kGroupOf[diskType])
                         : kNoType;
    if (value == kNoType || group == nullptr) {
        if (korvan) {
            KLOG_ERR(kTag, "Drm featue didn't support korvan disktyepe(%u)", diskType);
        } else {
            KLOG_ERR(kTag, "Drm featue didn't support disktyepe(%u)", diskType);
        }
        return DRM_ERR;
    }
    *group = value;
    return DRM_OK;
}

int DrmGetPrefailDiskGroup(uint32_t diskId, uint32_t *group)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    base.vendor[sizeof(base.vendor) - 1] = '\0';
    int ret = TransDiskGroup(base.diskType, base.vendor, group);
    if (ret != DRM_OK) {
        KLOG_ERR(kTag, "Disk(%u) type(%u) not support, vender(%s), ret(%d).", diskId, base.diskType,
                 base.vendor, ret);
        return DRM_ERR;
    }
    return DRM_OK;
}

// ---- readers ----------------------------------------------------------------

int DrmGetDiskIoStat(uint32_t diskId, DrmDiskIoStat *out)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (out == nullptr || ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    DiskIoStatInfo stat = {};
    int32_t ret = DataMgrDiskInfoGet(diskId, sn, &stat, sizeof(stat), DATA_INFO_IOSTAT);
    if (ret != 0) {
        KLOG_ERR(kTag, "Get disk(%u) iostat info fail, ret(%d).", diskId, ret);
        return DRM_ERR;
    }
    *out = {stat.readIops,    stat.writeIops,
            stat.readIoBand,  stat.writeIoBand,
            stat.readIoDelay, stat.writeIoDelay,
            stat.ioBusyNum,   static_cast<uint32_t>(stat.avgServeTime),
            stat.utilization};
    return DRM_OK;
}

int GetSpindlekeepInfo(uint32_t diskId, DiskHealthInfo *out)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (out == nullptr || ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    int32_t ret = DataMgrDiskInfoGet(diskId, sn, out, sizeof(*out), DATA_INFO_HEALTH);
    if (ret != 0) {
        KLOG_ERR(kTag, "Get disk(%u) sn(%s) health info fail, ret(%d).", diskId, base.sn, ret);
    }
    return ret;
}

int DrmGetHealthInfo(uint32_t diskId, DrmHealthInfo *out)
{
    DiskHealthInfo health = {};
    int ret = out != nullptr ? GetSpindlekeepInfo(diskId, &health) : DRM_ERR;
    if (ret != 0) {
        return ret;
    }
    *out = {health.powerOnHours, health.wearInt, health.wearDec};
    return DRM_OK;
}

// ---- type-specific health readers ------------------------------------------------

namespace {

// The disk's health record, with the readers' failure message.
int ReadHealthArea(uint32_t diskId, DiskHealthInfo *health)
{
    memset(health, 0, sizeof(*health));
    int ret = GetSpindlekeepInfo(diskId, health);
    if (ret != 0) {
        KLOG_ERR(kTag, "Get disk(%u) info fail, ret(%d).", diskId, ret);
    }
    return ret;
}

}  // namespace

int DrmAtaGetSmartInfo(uint32_t diskId, uint8_t *entries, uint32_t count)
{
    constexpr uint32_t kExpected = sizeof(DiskHealthArea::sata);
    if (entries == nullptr || static_cast<uint64_t>(count) * sizeof(DiskSmartAttr) != kExpected) {
        KLOG_ERR(kTag,
                 "Sata smart log entry diffent disk(%u), expected size(%u), actuality size(%u)",
                 diskId, kExpected, static_cast<uint32_t>(count * sizeof(DiskSmartAttr)));
        return DRM_ERR;
    }
    DiskHealthInfo health;
    int ret = ReadHealthArea(diskId, &health);
    if (ret == 0) {
        memcpy(entries, health.area.sata, kExpected);
    }
    return ret;
}

int DrmSasSsdGetIElogInfo(uint32_t diskId, uint8_t out[3])
{
    DiskHealthInfo health;
    int ret = out != nullptr ? ReadHealthArea(diskId, &health) : DRM_ERR;
    if (ret == 0) {
        out[0] = health.area.sasIe.asc;
        out[1] = health.area.sasIe.ascq;
        out[2] = health.area.sasIe.ieLogSupported;
    }
    return ret;
}

int DrmSasKssdGetLogInfo(uint32_t diskId, uint8_t out[2])
{
    DiskHealthInfo health;
    int ret = out != nullptr ? ReadHealthArea(diskId, &health) : DRM_ERR;
    if (ret == 0) {
        out[0] = health.area.sasCap.capacitanceId;
        out[1] = health.area.sasCap.capacitanceStatus;
    }
    return ret;
}

int DrmNvmeGetICritWarning(uint32_t diskId, uint8_t *bits)
{
    DiskHealthInfo health;
    int ret = bits != nullptr ? ReadHealthArea(diskId, &health) : DRM_ERR;
    if (ret == 0) {
        *bits = health.area.nvme.criticalWarning & 0x1F;
    }
    return ret;
}

int DrmSasHddGetSenseInfo(uint32_t diskId, uint8_t out[3])
{
    return DrmSasSsdGetIElogInfo(diskId, out);
}

// ---- writers ----------------------------------------------------------------

int DrmReportSlowDisk(uint32_t diskId)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    if (base.diskState != DRM_DISK_STATE_NORMAL && base.diskState != DRM_DISK_STATE_PREFAIL) {
        return DRM_OK;
    }
    KLOG_ERR(kTag, "Find slow disk(%u).", diskId);
    return SetState(diskId, sn, DRM_DISK_STATE_SLOW) == 0 ? DRM_OK : DRM_ERR;
}

int DrmReportDiskPrefail(uint32_t diskId)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    if (base.diskState == DRM_DISK_STATE_NORMAL) {
        KLOG_ERR(kTag, "Find prefail disk(%u).", diskId);
        (void)SetState(diskId, sn, DRM_DISK_STATE_PREFAIL);
    }
    return DRM_OK;
}

int DrmSetDiskStat(uint32_t diskId, uint32_t state)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    int32_t ret = SetState(diskId, sn, state);
    if (ret != 0) {
        KLOG_ERR(kTag, "Set disk(%u) state prefail fail, ret(%d).", diskId, ret);
    }
    return ret;
}

namespace {

// Health score and state by remaining life: under a month of service the
// disk is prefail, under a day it is treated as failed.
constexpr uint64_t kFaultBelowHours = 25;
constexpr uint64_t kPrefailBelowHours = 720;
constexpr uint64_t kReplaceBelowHours = 2160;
constexpr uint32_t kScoreAtRisk = 37;
constexpr uint32_t kScoreHealthy = 100;

}  // namespace

int DrmSetLifeMonitorResult(uint32_t diskId, uint64_t remainingHours)
{
    DiskBaseInfo base;
    KeeperStr sn;
    if (ReadBase(diskId, &base, &sn) != DRM_OK) {
        return DRM_ERR;
    }
    DiskDrmInfo info = {remainingHours < kPrefailBelowHours ? kScoreAtRisk : kScoreHealthy,
                        static_cast<uint32_t>(remainingHours)};
    int32_t ret = DataMgrDiskInfoSet(diskId, sn, &info, DATA_INFO_DRM);
    if (ret != 0) {
        KLOG_ERR(kTag, "Set disk(%u) sn(%s) drm info fail, ret(%d).", diskId, base.sn, ret);
    }
    if (remainingHours < kFaultBelowHours) {
        KLOG_WARN(kTag, "Disk(%u) sn(%s) will be fault.", diskId, base.sn);
        (void)SetState(diskId, sn, DRM_DISK_STATE_FAULT);
    } else if (remainingHours < kPrefailBelowHours) {
        KLOG_WARN(kTag, "Disk(%u) sn(%s) will be prefail, ret(%d).", diskId, base.sn, ret);
        (void)SetState(diskId, sn, DRM_DISK_STATE_PREFAIL);
    } else if (remainingHours < kReplaceBelowHours) {
        KLOG_WARN(kTag, "Disk(%u) sn(%s) need be replaced.", diskId, base.sn);
    }
    return ret;
}
