// Checks an agent answer must pass before anything of it is stored: member
// type predicates, the per-message check lists, the check of the answer's
// "result" object and the vendor class of a "vendor_id" value.
//
// Every function only reads the JSON it is given (which stays the caller's)
// and uses constant tables, so all of them may run on any number of threads
// at once. Member names are looked up without regard to case.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>

#include "data_collect/data_collect_master/dcm_types.h"

// A predicate over one member value; `value` is null when the member is missing.
using CheckFn = bool (*)(const cJSON *value);

struct CheckListItem {
    const char *key;
    CheckFn check;
};

// The member `key` of `object`, found as cJSON_GetObjectItem finds it (first
// match, names compared ignoring ASCII case; null for a null object or key),
// but without a locale call per character: the checks and copies of one
// pass look up some 3,000 members.
[[nodiscard]] cJSON *DcmMember(const cJSON *object, const char *key);

// The predicates of the check lists.
[[nodiscard]] bool IsJsonString(const cJSON *value);        // any string, "" included
[[nodiscard]] bool IsJsonNumber(const cJSON *value);
[[nodiscard]] bool IsJsonBool(const cJSON *value);
[[nodiscard]] bool IsDecimalDigitString(const cJSON *value);  // "0".."9"+, at least one
[[nodiscard]] bool IsValidDiskType(const cJSON *value);       // "SSD_NVMe", ... any case
[[nodiscard]] bool IsValidDiskMediaType(const cJSON *value);  // "SLC", ... any case

// Runs `rows` in order over the members of `object`; false for a null object
// or at the first failing member (DEBUG "CheckList validate %s failed.").
[[nodiscard]] bool IsValidJsonWithCheckList(const cJSON *object, const CheckListItem *list,
                                            size_t rows);

// Vendor class of a "vendor_id" value.
enum DiskVendor : uint32_t {
    DISK_VENDOR_PLATFORM = 0,  // "KORVAN", "TELMAR", "OSKEN", "0x1c7f", any case
    DISK_VENDOR_OTHER = 1,     // any other string
    DISK_VENDOR_INVALID = 2,   // not a string (logged as an error)
};
[[nodiscard]] DiskVendor ParseDiskVendor(const cJSON *value);

// Device-list "result": "disks" an array of at most 64 elements.
[[nodiscard]] bool IsValidDiskBriefInfoResultJson(const cJSON *result);

// A "result" check: the result object and the number of devices asked for.
using ValidateResultFn = bool (*)(const cJSON *result, uint32_t asked);
// One row per MessageType.
extern const ValidateResultFn g_validateResultStrategyMap[MESSAGE_TYPE_BUTT];

// Per-disk checks, one element of "disks" each.
[[nodiscard]] bool IsValidDiskBriefInfoJSON(const cJSON *disk);
[[nodiscard]] bool IsValidDiskBaseInfoJSON(const cJSON *disk);
[[nodiscard]] bool IsValidDiskHealthInfoJSON(const cJSON *disk);
[[nodiscard]] bool IsValidDiskIoInfoJSON(const cJSON *disk);

// True when `value` is a string equal to "SSD_NVMe" ignoring case.
[[nodiscard]] bool IsNvmeDiskTypeJson(const cJSON *value);

// Which type-dependent health members a disk carries, decided by disk type
// and, for SAS SSDs, vendor class. Shared by the health check and its copier
// so that the two can never disagree.
enum DcmHealthKind : uint32_t {
    DCM_HEALTH_NVME = 0,      // "critical_warning"
    DCM_HEALTH_SATA_SSD = 1,  // "SMART_list" of 30 attributes
    DCM_HEALTH_SAS_CAP = 2,   // SAS SSD of a platform vendor: capacitance
    DCM_HEALTH_SAS_SENSE = 3, // other SAS SSD: "ASC", "ASCQ"
    DCM_HEALTH_SAS_HDD = 4,   // SAS and NL-SAS HDD: "is_support_ie_log", "ASC", "ASCQ"
    DCM_HEALTH_NONE = 5,      // SATA HDD and anything else: not collected
    DCM_HEALTH_KIND_BUTT = 6,
};
[[nodiscard]] DcmHealthKind DcmHealthKindOf(uint32_t diskType, DiskVendor vendor);

inline constexpr uint32_t DCM_SMART_LIST_LEN = 30;

// Index of a disk-type or media-type string in its table (the enumeration
// value of the registry), ignoring case; 6 (unknown) for anything else,
// without logging.
[[nodiscard]] uint32_t DcmDiskTypeLookup(const cJSON *value);
[[nodiscard]] uint32_t DcmMediaTypeLookup(const cJSON *value);
