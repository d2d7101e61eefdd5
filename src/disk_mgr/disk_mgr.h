// The disk registry: serial number to stable disk id, one DiskBaseInfo record
// per registered disk, persisted in "config/disk_mgr.config" after every
// change so that a disk keeps its id across restarts.
//
// Ownership: the registry owns every entry (DiskMgrObj). Pointers handed out by
// DiskMgrGetObj stay valid until an offline update removes that entry or the
// registry is destroyed.
//
// Threads and locks: the registry has no lock of its own. DiskMgrInit runs on
// the start-up thread; afterwards every call comes from the data manager while
// it holds its spin lock, so calls never overlap. Only the registered count is
// atomic.
//
// Results: signed 32-bit status, 0 on success; the other codes are listed per
// function and are part of the contract (the data manager branches on them).
#pragma once

#include <cstddef>
#include <cstdint>

// A length and pointer pair passed by value. Serial numbers travel as
// {DISK_SN_LEN, pointer to a DISK_SN_LEN-byte field}.
struct KeeperStr {
    uint32_t len;
    char *buf;
};

inline constexpr uint32_t MAX_DISK_ID_NUM = 128;  // ids 0..127, one slot each
inline constexpr uint32_t MAX_DISK_NUM = 64;      // disks registered at once
inline constexpr uint32_t DISK_ID_INVALID = 0xFFFFFFFFU;
inline constexpr uint32_t DISK_LOCATION_UNKNOWN = 0xFFFFFFFFU;  // frameId/slotId

inline constexpr size_t DISK_VENDOR_LEN = 10;
inline constexpr size_t DISK_MODEL_LEN = 44;
inline constexpr size_t DISK_FIRMWARE_LEN = 10;
inline constexpr size_t DISK_SN_LEN = 40;
inline constexpr size_t DISK_DEVICE_NAME_LEN = 20;
inline constexpr size_t DISK_PCI_ADDR_LEN = 256;

enum DiskType : uint32_t {
    DISK_TYPE_SSD_NVME = 0,
    DISK_TYPE_SSD_SAS = 1,
    DISK_TYPE_SSD_SATA = 2,
    DISK_TYPE_HDD_SAS = 3,
    DISK_TYPE_HDD_SATA = 4,
    DISK_TYPE_HDD_NL_SAS = 5,
    DISK_TYPE_UNKNOWN = 6,
};

enum MediaType : uint32_t {
    MEDIA_TYPE_SLC = 0,
    MEDIA_TYPE_MLC = 1,
    MEDIA_TYPE_TLC = 2,
    MEDIA_TYPE_QLC = 3,
    MEDIA_TYPE_PLC = 4,
    MEDIA_TYPE_MAGNET = 5,
    MEDIA_TYPE_UNKNOWN = 6,
};

enum DiskState : uint32_t {
    DISK_STATE_NORMAL = 0,
    DISK_STATE_FAULT = 1,
    DISK_STATE_OFFLINE = 2,  // an update with this state removes the entry
    DISK_STATE_PREFAIL = 3,
    DISK_STATE_SLOW = 4,
    DISK_STATE_UNSET = 5,    // in records from data collection: keep the stored state
};

// The disk record. Zero-fill before filling: records are compared as a whole,
// padding and unused buffer bytes included.
struct DiskBaseInfo {
    uint32_t diskId;     // 0..127; DISK_ID_INVALID while unassigned
    uint32_t diskState;  // DiskState
    uint32_t frameId;    // DISK_LOCATION_UNKNOWN when unknown
    uint32_t slotId;     // DISK_LOCATION_UNKNOWN when unknown
    uint64_t diskCapacity;  // unit as the agent reports it
    uint32_t sectorSize;
    char vendor[DISK_VENDOR_LEN];
    char model[DISK_MODEL_LEN];
    char firmware[DISK_FIRMWARE_LEN];
    char sn[DISK_SN_LEN];                  // NUL-terminated; the disk's identity
    char deviceName[DISK_DEVICE_NAME_LEN];  // not persisted; "unknown" after a load
    char pciAddr[DISK_PCI_ADDR_LEN];        // NVMe only, all zero otherwise
    uint32_t diskType;   // DiskType
    uint32_t mediaType;  // MediaType
};

// A registry entry is a plain disk record.
using DiskMgrObj = DiskBaseInfo;

// Text tables of the enumerations. The agent strings are matched without
// regard to case; anything else maps to the UNKNOWN value. The text functions
// never return null (values out of range give the UNKNOWN text, or "" for
// disk states).
[[nodiscard]] uint32_t DiskTypeFromAgentStr(const char *str);
const char *DiskTypeDisplayText(uint32_t diskType);
[[nodiscard]] uint32_t MediaTypeFromAgentStr(const char *str);
const char *MediaTypeText(uint32_t mediaType);
const char *DiskStateDisplayText(uint32_t diskState);

// Initialises the registry and loads the registry file. `path` null means
// "<prefix>/config/disk_mgr.config". A registry file that cannot be loaded
// leaves the registry empty and still returns 0. -1 when already initialised
// or when the path cannot be built or stored.
[[nodiscard]] int32_t DiskMgrInit(const char *path);

// Releases every entry and the path; logs an error when not initialised.
void DiskMgrDestroy();

// Stores an owned copy of the registry file path. 0 or -1.
[[nodiscard]] int32_t SetGConfigFilePath(const char *path);

// Fills the slot table from the registry file. -1 (and nothing loaded) when the
// file cannot be loaded, holds more than 64 elements or any invalid element;
// an element whose id is already taken is dropped (the first one wins).
[[nodiscard]] int32_t DiskInfoLoadConfig();

// Writes every occupied slot to the registry file (crash-safe save). 0 or -1.
[[nodiscard]] int32_t DiskInfoSavetoConfig();

// 0 and the id of the entry with serial number `sn` (at most 40 characters
// compared); 4 when none matches; -1 when snLen > 40 or sn is null.
[[nodiscard]] int32_t GetDiskIdBySn(uint32_t snLen, const char *sn, uint32_t *diskId);

// Proposes a free id for a new disk without taking it: ids are handed out in
// increasing order and wrap after 127; a freed id is reused only when the
// cursor comes round to it again. 2 when 64 disks are registered; -1 on bad
// arguments or when no slot is free.
[[nodiscard]] int32_t GetNewDiskId(uint32_t snLen, const char *sn, uint32_t *diskId);

// Inserts (empty slot), replaces (same serial number) or removes (same serial
// number, state offline) the entry of `diskId`, then saves the registry file.
// A new entry whose save fails is withdrawn; a removal whose save fails is
// undone; a replacement whose save fails stays in memory. 7 when diskId > 127
// or record is null; -1 on every other failure. The record is copied.
[[nodiscard]] int32_t DiskInfoUpdate(uint32_t diskId, const DiskBaseInfo *record);

// 0 when an entry has this serial number (40-character comparison), else -1.
[[nodiscard]] int32_t DiskMgrIsSnExist(const char *sn);

// 0 and a pointer to the entry (still owned by the registry) when diskId < 128
// and the slot is occupied; 1 otherwise.
[[nodiscard]] int32_t DiskMgrGetObj(uint32_t diskId, DiskMgrObj **obj);

// Writes the registered count to *count first; 6 when `capacity` is below it.
// Otherwise fills ids[i] and copies the serial number into snBufs[i] (bounded
// by snBufs[i].len) in id order: 0, or -1 when a serial number does not fit.
[[nodiscard]] int32_t DiskMgrListAllDisk(uint32_t *ids, KeeperStr *snBufs, uint32_t capacity,
                                         uint32_t *count);

// Releases every entry and empties all slots; the count becomes 0.
void DiskMgrFreeAllObj();
