// The per-disk data store: one DataMgrObj per registered disk holding a
// reference to its registry entry, the last 100 IO statistics, the last raw
// IO frame, health, node and DRM information and the handling strategy.
//
// Every write goes through DataMgrDiskInfoSet and every read through
// DataMgrDiskInfoGet, dispatched by info type (data_mgr_types.h). The store
// also registers new disks (after the whitelist decision), announces disk
// arrival and removal to DRM, and tells the data agent every change it must
// know (data_mgr_dma.h).
//
// Threads and locks: one spin lock serialises every operation here and,
// through it, every change of the registry. It is held for the whole
// operation, including registry saves, data-agent sends and DRM
// notifications, so a DRM notification function must never call back into
// the data manager. Lock order: data-manager lock, then the data-agent send
// lock; never the reverse.
//
// Ownership: the registry owns the DiskBaseInfo entries; the store owns its
// objects and drops an object in the same operation that removes its entry.
// Callers own every buffer they pass; nothing passed in is retained.
//
// Messages carry the module tag "DATA_MGR_MASTER".
#pragma once

#include <cstdint>

#include "data_mgr/data_mgr_master/data_mgr_types.h"
#include "disk_mgr/disk_mgr.h"

// Status codes of the store (registry and per-type codes pass through).
enum DataMgrStatus : int32_t {
    DATA_MGR_OK = 0,
    DATA_MGR_ERR = -1,           // bad arguments, not initialised/enabled, per-type failure
    DATA_MGR_ERR_DISK_ID = 1,    // disk id not valid or no object for it
    DATA_MGR_ERR_FULL = 2,       // registry full
    DATA_MGR_ERR_OBJ_EXIST = 3,  // an object already exists for the new id
    DATA_MGR_ERR_SN = 4,         // serial number not registered or not the one of the id
    DATA_MGR_ERR_WHITELIST = 8,  // serial number rejected by the whitelist
};

inline constexpr uint32_t DATA_MGR_IO_RING_SIZE = 100;
inline constexpr uint32_t DATA_MGR_FIND_BY_SN = 0xFFFFFFFFu;  // diskId: look up by serial number

// DRM disk events.
enum DataMgrDrmEvent : uint32_t {
    DATA_MGR_DRM_DISK_FOUND = 0,
    DATA_MGR_DRM_DISK_REMOVED = 1,
};

// Notified with the data-manager lock held; non-zero means failure.
using DataMgrDrmNotifyFunc = int32_t (*)(uint32_t diskId, KeeperStr sn, uint32_t event);

// Start-up step "DATA_MGR" (after DISK_MGR and DRM): creates an object per
// registry entry, enables the store and announces every disk to DRM (a failed
// announcement is logged, not returned). 0, or -1 when already initialised
// or the objects cannot be created.
[[nodiscard]] int32_t DataMgrInit();

// Releases every object and clears the flags (the lock stays). Always 0.
int32_t DataMgrDestroy();

// CLI feature switch. Enable recreates empty objects from the registry (no
// DRM announcement); disable drops all objects with their history.
void DataMgrEnable();
void DataMgrDisable();

// Installs (or, with null, removes) the DRM notification function. Always 0.
int32_t DataMgrSetDrmNotifyFunc(DataMgrDrmNotifyFunc func);

// Writes one kind of information of one disk. `diskId` DATA_MGR_FIND_BY_SN
// finds the disk by serial number and, for base information of an unknown but
// whitelisted disk, registers it. `sn.len` must be at most 40 and `sn.buf`
// non-null; the serial number always has to match the disk. `data` points to
// the record of the info type (a u32 for strategy and state). Returns a
// DataMgrStatus or a code passed up from the registry or the per-type
// operation.
[[nodiscard]] int32_t DataMgrDiskInfoSet(uint32_t diskId, KeeperStr sn, const void *data,
                                         uint32_t infoType);

// Copies one kind of information of one disk into `buf` (at most `bufSize`
// bytes; a smaller buffer than the record fails with -1). `sn.len` 0 skips the
// serial-number check. The enabled flag is not consulted. 0, -1, 1 or 4.
[[nodiscard]] int32_t DataMgrDiskInfoGet(uint32_t diskId, KeeperStr sn, void *buf,
                                         uint32_t bufSize, uint32_t infoType);

// Ids and serial numbers of all registered disks (see DiskMgrListAllDisk);
// 0 with *count untouched while the store is disabled, -1 when not
// initialised.
[[nodiscard]] int32_t ListAllOnlineDisk(uint32_t *ids, KeeperStr *sns, uint32_t capacity,
                                        uint32_t *count);

// A consistent copy of every disk's registry entry into baseInfos[0..] and its
// strategy text (null when it has none) into strategyStrs[0..], in id order.
// Both arrays need room for MAX_DISK_NUM entries. 0 or -1.
[[nodiscard]] int32_t DataMgrAgentAllInfoGet(DiskBaseInfo **baseInfos, const char **strategyStrs,
                                             uint32_t *count);

// The text of a strategy, or null for DISK_STRATEGY_NO_TEXT and out-of-range values.
const char *DataMgrStrategyText(uint32_t strategy);

// Convenience forms. "Sn" keys look the disk up by serial number; "id" keys
// check the serial number against the id; the plain getters skip that check.
[[nodiscard]] int32_t DiskBaseInfoSet(KeeperStr sn, const DiskBaseInfo *info);
[[nodiscard]] int32_t DiskIoStatInfoSet(KeeperStr sn, const DiskIoInfoFrame *frame);
[[nodiscard]] int32_t DiskHealthInfoSet(KeeperStr sn, const DiskHealthInfo *info);
[[nodiscard]] int32_t DiskDrmInfoSet(uint32_t diskId, KeeperStr sn, const DiskDrmInfo *info);
[[nodiscard]] int32_t DiskNodeInfoSet(KeeperStr sn, const DiskNodeInfo *info);
[[nodiscard]] int32_t DiskHandleStrategySet(uint32_t diskId, KeeperStr sn, uint32_t strategy);
[[nodiscard]] int32_t DiskStateSet(uint32_t diskId, KeeperStr sn, uint32_t state);

[[nodiscard]] int32_t DiskBaseInfoGet(uint32_t diskId, DiskBaseInfo *info);
[[nodiscard]] int32_t DiskIoStatInfoGet(uint32_t diskId, DiskIoStatInfo *info);
[[nodiscard]] int32_t DiskHealthInfoGet(uint32_t diskId, DiskHealthInfo *info);
[[nodiscard]] int32_t DiskDrmInfoGet(uint32_t diskId, DiskDrmInfo *info);
// The strategy text itself (static storage); null when there is none or on failure.
const char *DiskStrategyStrGet(uint32_t diskId);

[[nodiscard]] int32_t DiskBaseInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskBaseInfo *info);
[[nodiscard]] int32_t DiskIoStatInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskIoStatInfo *info);
[[nodiscard]] int32_t DiskHealthInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskHealthInfo *info);
[[nodiscard]] int32_t DiskDrmInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskDrmInfo *info);
[[nodiscard]] int32_t DiskNodeInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskNodeInfo *info);
[[nodiscard]] int32_t DiskHandleStrategyGetWithSn(uint32_t diskId, KeeperStr sn, uint32_t *strategy);
[[nodiscard]] int32_t DiskStateGetWithSn(uint32_t diskId, KeeperStr sn, uint32_t *state);
