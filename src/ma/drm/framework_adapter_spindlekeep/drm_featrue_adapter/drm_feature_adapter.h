// The DRM features' view of the daemon: DRM disk types and prefail groups,
// disk events, and readers/writers over the disk data store
// (data_mgr_master.h). Messages carry the tag "DRM_FEATURE".
//
// Threads: the readers and writers take the data-manager lock through the
// store, so they must never be called from a disk-event handler (which runs
// with that lock held); handlers only queue work and trigger their analyser.
#pragma once

#include <cstdint>

#include "data_mgr/data_mgr_master/data_mgr_types.h"
#include "disk_mgr/disk_mgr.h"

enum DrmDiskType : uint32_t {
    DRM_DISK_TYPE_SATA_SSD = 0,
    DRM_DISK_TYPE_SAS_SSD = 1,
    DRM_DISK_TYPE_NVME_SSD = 2,
    DRM_DISK_TYPE_SAS_HDD = 3,  // SAS and NL-SAS HDDs
    DRM_DISK_TYPE_NUM = 4,
};

enum DrmPrefailGroup : uint32_t {
    DRM_PREFAIL_GROUP_SATA = 0,
    DRM_PREFAIL_GROUP_SAS_SSD = 1,
    DRM_PREFAIL_GROUP_SAS_KSSD = 2,
    DRM_PREFAIL_GROUP_NVME = 3,
    DRM_PREFAIL_GROUP_SAS_HDD = 4,
    DRM_PREFAIL_GROUP_NUM = 5,
};

enum DrmDiskEvent : uint32_t {
    DRM_DISK_EVENT_IN = 0,
    DRM_DISK_EVENT_OUT = 1,
};

// Disk states written back.
inline constexpr uint32_t DRM_DISK_STATE_NORMAL = 0;
inline constexpr uint32_t DRM_DISK_STATE_FAULT = 1;
inline constexpr uint32_t DRM_DISK_STATE_PREFAIL = 3;
inline constexpr uint32_t DRM_DISK_STATE_SLOW = 4;

// ---- disk events -----------------------------------------------------------

// Called with the data-manager lock held: queue work only.
using DrmDiskEventHandler = void (*)(uint32_t diskId, uint32_t event);

// Sets / clears the feature's row; ids of 32 or more are ignored. Start-up only.
void DrmRegisterDiskEventHandler(uint32_t featureId, DrmDiskEventHandler allNodesHandler,
                                 DrmDiskEventHandler masterHandler);
void DrmUnregisterDiskEventHandler(uint32_t featureId);
// Calls every row's allNodesHandler, then (on the master node) its masterHandler.
void DrmNotifyDiskEvent(uint32_t diskId, uint32_t event);
// The data store's notify function: translates the id and notifies. Always 0.
int32_t DrmDiskEventNotify(uint32_t diskId, KeeperStr sn, uint32_t event);
// Installs / removes DrmDiskEventNotify in the data store. 0 / -1.
[[nodiscard]] int DrmDiskEventAdapterInit();
void DrmDiskEventAdapterFin();

// Bring-up phases of the adapter. Phase 1 clears the action registry; phase 2
// connects the disk events. 0 / -1; finis 0.
[[nodiscard]] int DrmFrameworkAdapterInitPhase1();
int DrmFrameworkAdapterFinPhase1();
[[nodiscard]] int DrmFrameworkAdapterInitPhase2();
int DrmFrameworkAdapterFinPhase2();

// ---- readers and writers ----------------------------------------------------

struct DrmDiskIoStat {
    uint64_t readIops;
    uint64_t writeIops;
    uint64_t readIoBand;
    uint64_t writeIoBand;
    uint64_t readIoDelay;
    uint64_t writeIoDelay;
    uint32_t ioBusyNum;
    uint32_t avgServeTime;  // microseconds, low 32 bits
    uint32_t utilization;   // whole percent
};

struct DrmHealthInfo {
    uint64_t powerOnHours;
    uint32_t wearInt;
    uint32_t wearDec;
};

// Every function below: 0 on success, -1 (or the data store's code where
// stated) on failure, with the failure logged.

// DRM disk type of a daemon disk type / of a disk.
[[nodiscard]] int TransDiskType(uint32_t diskType, uint32_t *drmType);
[[nodiscard]] int DrmGetDiskType(uint32_t diskId, uint32_t *drmType);
// Prefail group of a daemon disk type and vendor / of a disk.
[[nodiscard]] int TransDiskGroup(uint32_t diskType, const char *vendor, uint32_t *group);
[[nodiscard]] int DrmGetPrefailDiskGroup(uint32_t diskId, uint32_t *group);

// Newest IO statistics of the disk.
[[nodiscard]] int DrmGetDiskIoStat(uint32_t diskId, DrmDiskIoStat *out);
// Power-on hours and wear; the store's code on a failed read.
[[nodiscard]] int DrmGetHealthInfo(uint32_t diskId, DrmHealthInfo *out);
// The whole health record; the store's code on a failed read.
[[nodiscard]] int GetSpindlekeepInfo(uint32_t diskId, DiskHealthInfo *out);

// Type-specific parts of the health record.
// SATA: `count` four-byte SMART attributes {id, threshold, current, worst};
// count * 4 must be 120.
[[nodiscard]] int DrmAtaGetSmartInfo(uint32_t diskId, uint8_t *entries, uint32_t count);
[[nodiscard]] int DrmSasSsdGetIElogInfo(uint32_t diskId, uint8_t out[3]);  // ASC, ASCQ, IE flag
[[nodiscard]] int DrmSasKssdGetLogInfo(uint32_t diskId, uint8_t out[2]);   // cap id, cap status
[[nodiscard]] int DrmNvmeGetICritWarning(uint32_t diskId, uint8_t *bits);  // bits 0..4
[[nodiscard]] int DrmSasHddGetSenseInfo(uint32_t diskId, uint8_t out[3]);  // ASC, ASCQ, IE flag

// Normal or Prefail becomes Slow; other states stay.
[[nodiscard]] int DrmReportSlowDisk(uint32_t diskId);
// Normal becomes Prefail; 0 whatever the state once the disk is readable.
[[nodiscard]] int DrmReportDiskPrefail(uint32_t diskId);
// Sets the disk state; the store's code on failure.
[[nodiscard]] int DrmSetDiskStat(uint32_t diskId, uint32_t state);
// Writes health score and remaining life (hours); below 25 hours the disk
// becomes Fault, below 720 Prefail. Returns the result of the DRM record write.
[[nodiscard]] int DrmSetLifeMonitorResult(uint32_t diskId, uint64_t remainingHours);
