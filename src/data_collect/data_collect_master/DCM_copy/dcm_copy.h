// Record mapping: converts the members of a checked agent answer into the
// fixed fields of the per-disk records handed to the data manager.
//
// Every copier first runs its per-disk check (DCM_validate) and returns 22
// (EINVAL) when it fails, or the bounded copy's own result when a string does
// not fit its field. Copiers only read the JSON and write the one record they
// are given; they use constant tables and may run on any thread at once.
// Results are errno values, 0 on success. Messages carry the tag "DCM".
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>

#include "data_collect/data_collect_master/dcm_types.h"

// Copies one element of "disks" into one zero-filled record of the message's
// record type (DiskBriefInfo, DiskBaseInfo, DiskHealthInfoSnWrap,
// DiskIoInfoFrameSnWrap).
using CopyStructFromJsonFn = int (*)(const cJSON *disk, void *record);
extern const CopyStructFromJsonFn g_copyStructFromJsonStrategyMap[MESSAGE_TYPE_BUTT];

[[nodiscard]] int CopyDiskBriefInfoFromJSON(const cJSON *disk, void *record);
[[nodiscard]] int CopyDiskBaseInfoFromJSON(const cJSON *disk, void *record);
[[nodiscard]] int CopyDiskHealthInfoFromJSON(const cJSON *disk, void *record);
[[nodiscard]] int CopyDiskIoInfoFromJSON(const cJSON *disk, void *record);

// Element i of the array `disks` into record i of `list`, in order. The first
// failure stops the walk (ERROR "Copy(MessageType:%d) failed(%d)") and is
// returned; records behind the last element stay as they are. 22 for a bad
// type, a missing list, a non-array or more elements than records.
[[nodiscard]] int CopyBatchFromJSON(uint32_t type, const cJSON *disks, const ArrayList *list);

// Disk type and media type strings to the registry's enumerations, ignoring
// case; a string outside the table logs CRITICAL and gives 6 (unknown).
[[nodiscard]] uint32_t ConvertDiskTypeStr2Enum(const cJSON *value);
[[nodiscard]] uint32_t ConvertDiskMediaTypeStr2Enum(const cJSON *value);

// value = value * 10 + digit for every character, in wrapping u64
// arithmetic. Meant for strings that passed the decimal-digit check: the
// conversion stops at the first other character, and a non-string gives 0.
[[nodiscard]] uint64_t ConvertDecimalStringToUint64(const cJSON *value);

// A JSON number to an unsigned integer: truncated toward zero, 0 for
// negative values (and for anything that is not a number), `max` above it.
[[nodiscard]] uint32_t ConvertJsonNumberToUint32(const cJSON *value);

// "tick_rate" and "ticks" of an IO "result" (decimal digits) into the outputs;
// 12 when either is missing or not decimal digits.
[[nodiscard]] int CopyClockTicksInstantFromJSON(const cJSON *result, uint64_t *tickRate,
                                                uint64_t *ticks);
