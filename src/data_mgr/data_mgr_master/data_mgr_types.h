// Per-disk records kept by the data store besides the registry entry: raw IO
// counter frames, computed IO statistics, health, DRM result and node
// information, the handling strategies and the info types that select them in
// DataMgrDiskInfoSet/DataMgrDiskInfoGet.
//
// All records are plain data, zero-filled before use and copied by value; the
// field order is part of the contract with data collection and the CLI.
#pragma once

#include <cstdint>

// Raw IO counters of one disk at one instant, as the agent delivers them.
// All fields but queue_depth, io_busy_num, ticks and tick_rate only grow.
struct DiskIoInfoFrame {
    uint64_t bytes_read;
    uint64_t bytes_written;
    uint64_t num_read_ops;
    uint64_t num_write_ops;
    uint64_t read_latency_ticks;
    uint64_t write_latency_ticks;
    uint32_t queue_depth;
    uint32_t io_busy_num;   // 0xFFFFFFFF: the agent does not know it
    uint64_t ticks;         // clock ticks of the instant; 0 means "no frame yet"
    uint64_t tick_rate;     // ticks per second
    uint64_t io_time;       // accumulated busy time, microseconds
};

// Statistics computed from two accepted frames (data_mgr_io_stat.h).
struct DiskIoStatInfo {
    uint64_t readIops;
    uint64_t writeIops;
    uint64_t readIoBand;    // KiB/s
    uint64_t writeIoBand;   // KiB/s
    uint64_t readIoDelay;   // microseconds per read
    uint64_t writeIoDelay;  // microseconds per write
    uint32_t queueDepth;
    uint32_t ioBusyNum;
    uint64_t avgServeTime;  // microseconds per operation
    uint32_t utilization;   // whole percent, 0..100
    uint32_t utilizationDec;  // hundredths of a percent, 0..99
};

inline constexpr uint32_t DISK_SMART_ATTR_NUM = 30;

// One SATA SMART attribute as the prefail routine reads it.
struct DiskSmartAttr {
    uint8_t id;
    uint8_t threshold;
    uint8_t current;
    uint8_t worst;
};

// NVMe SSD: the critical warning byte of the SMART/health log.
struct DiskNvmeHealth {
    uint8_t criticalWarning;
};

// SAS SSD of the vendors that report a capacitor self-test.
struct DiskSasCapHealth {
    uint8_t capacitanceId;
    uint8_t capacitanceStatus;
};

// Other SAS SSDs and SAS/NL-SAS HDDs: the informational-exceptions sense.
struct DiskSasIeHealth {
    uint8_t asc;
    uint8_t ascq;
    uint8_t ieLogSupported;
};

// The disk-type dependent part of the health record; as large as its largest
// variant. Which member is valid follows the disk's type (and vendor for SAS
// SSDs); a SATA HDD leaves it all zero.
union DiskHealthArea {
    uint8_t raw[DISK_SMART_ATTR_NUM * sizeof(DiskSmartAttr)];
    DiskSmartAttr sata[DISK_SMART_ATTR_NUM];
    DiskNvmeHealth nvme;
    DiskSasCapHealth sasCap;
    DiskSasIeHealth sasIe;
};
static_assert(sizeof(DiskHealthArea) == 120, "health area holds 30 four-byte attributes");

struct DiskHealthInfo {
    uint64_t powerOnHours;  // hours; values stay within u32 range
    uint32_t wearInt;       // agent's wear figure / 100
    uint32_t wearDec;       // agent's wear figure % 100
    DiskHealthArea area;
};

inline constexpr uint32_t DISK_REMAINING_LIFE_UNKNOWN = 0xFFFFFFFFu;

// Result of the disk life monitor.
struct DiskDrmInfo {
    uint32_t healthScore;
    uint32_t remainingLife;  // hours; DISK_REMAINING_LIFE_UNKNOWN before a prediction
};

// Stored and returned verbatim; nothing in the daemon interprets it.
struct DiskNodeInfo {
    uint8_t data[60];
};
static_assert(sizeof(DiskNodeInfo) == 60, "node information is 60 opaque bytes");

// Handling strategy: the suggestion given to the operator and the data agent.
enum DiskHandleStrategy : uint32_t {
    DISK_STRATEGY_NO_ACTION = 0,          // "No action required"
    DISK_STRATEGY_MIGRATE_AND_REPLACE = 1,  // "Migrate data and replace the hard disk"
    DISK_STRATEGY_REPLACE = 2,            // "Replace the hard disk"
    DISK_STRATEGY_NO_TEXT = 3,            // accepted and stored, has no text
    DISK_STRATEGY_BUTT = 4,
};

// Info types of DataMgrDiskInfoSet/Get; index of the per-type operation tables.
enum DataInfoType : uint32_t {
    DATA_INFO_BASE = 0,        // DiskBaseInfo
    DATA_INFO_IOSTAT = 1,      // set: DiskIoInfoFrame; get: newest DiskIoStatInfo
    DATA_INFO_HEALTH = 2,      // DiskHealthInfo
    DATA_INFO_DRM = 3,         // DiskDrmInfo
    DATA_INFO_NODE = 4,        // DiskNodeInfo
    DATA_INFO_STRATEGY = 5,    // u32 DiskHandleStrategy
    DATA_INFO_DISK_STATE = 6,  // u32 disk state
    DATA_INFO_STRATEGY_STR = 7,  // get only: const char * text, or null
    DATA_INFO_BUTT = 8,
};
