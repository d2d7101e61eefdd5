// Records and message types shared by the query, check and copy layers of
// data collection.
//
// Every record here is plain data, zero-filled before it is filled, and
// owned by whoever allocated it (normally an ArrayList of one query).
#pragma once

#include <cstdint>

#include "data_mgr/data_mgr_master/data_mgr_types.h"
#include "disk_mgr/disk_mgr.h"

// The questions asked of a collecting agent; the index of every strategy table.
enum MessageType : uint32_t {
    MESSAGE_DISK_BRIEF_INFO = 0,   // "dca_get_disks_brief_info", device list
    MESSAGE_DISK_BASE_INFO = 1,    // "dca_get_disks_base_info"
    MESSAGE_DISK_HEALTH_INFO = 2,  // "dca_get_disks_health_info"
    MESSAGE_DISK_IOSTAT = 3,       // "dca_get_disks_iostat"
    MESSAGE_TYPE_BUTT = 4,
};

// Most disks an agent may list in one device list.
inline constexpr uint32_t DCM_MAX_DEVICE_LIST = 64;

// One entry of an agent's device list.
struct DiskBriefInfo {
    char sn[DISK_SN_LEN];                  // NUL-terminated
    char deviceName[DISK_DEVICE_NAME_LEN];  // NUL-terminated
};

// Health record of one disk as copied from an answer; only `health` is
// handed to the data manager.
struct DiskHealthInfoSnWrap {
    char sn[DISK_SN_LEN];
    DiskHealthInfo health;
};

// IO counter frame of one disk as copied from an answer; only `frame` is
// handed to the data manager.
struct DiskIoInfoFrameSnWrap {
    char sn[DISK_SN_LEN];
    DiskIoInfoFrame frame;
};

// A list of `count` separately allocated, zero-filled records of
// `elementSize` bytes each. Created by ArrayListCreate (DCM_query) and
// released by ArrayListRelease; always holds exactly `count` records.
struct ArrayList {
    void **elements;
    uint32_t count;
    uint32_t elementSize;
};
