// Inside the data manager: what the online/offline refresh and the whitelist
// (the same module directory) need of the store, beyond its public interface.
//
// Every function named "...Locked" must be called with the data-manager lock
// held (DataMgrLock); the others take it themselves.
#pragma once

#include <cstdint>

#include "data_mgr/data_mgr_master/data_mgr_master.h"

// Whitelist decision for a disk that is not registered: `data` is the record
// passed to DataMgrDiskInfoSet for `infoType`. True when it may be registered.
// Called with the data-manager lock held.
using DataMgrWhiteListFunc = bool (*)(uint32_t snLen, const char *sn, const void *data,
                                      uint32_t infoType);

// Installs the whitelist decision (IsInWhiteList). Until one is installed no
// unregistered disk is accepted: a set for an unknown serial number gives
// DATA_MGR_ERR_WHITELIST, since only whitelisted disks may ever be monitored.
void DataMgrSetWhiteListFunc(DataMgrWhiteListFunc func);

// The data-manager lock. False from DataMgrLock when the lock was never
// created (the store was never initialised); then nothing is held.
[[nodiscard]] bool DataMgrLock();
void DataMgrUnlock();

[[nodiscard]] bool DataMgrIsInitedLocked();

// The registry entry of the disk's object, or null when it has no object.
[[nodiscard]] DiskBaseInfo *DataMgrObjEntryLocked(uint32_t diskId);

// Frees the object of `diskId` and empties its slot (no effect when empty).
void DataMgrReleaseObjLocked(uint32_t diskId);

// Registers a new disk from its base record: new id (written into the
// record), registry save, object, DRM event 0 and "dma_set_disk_info_inner".
// 0 or the failing step's status; agent and DRM failures are only logged.
[[nodiscard]] int32_t DataMgrCreateNewDiskInfo(DiskBaseInfo *baseInfo);

// Calls the DRM notification function: -1 without one, else its result.
int32_t DataMgrNotifyDrmDiskEvent(uint32_t diskId, KeeperStr sn, uint32_t event);
