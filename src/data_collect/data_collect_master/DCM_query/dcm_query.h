// The questions asked of a collecting agent and what happens to the answers:
// the device list, base information (completed by the kernel agent's slot
// query), health information and IO counters.
//
// One generic routine (QueryMessage) serves every message through four
// constant strategy tables indexed by MessageType: request builder (here),
// result check (DCM_validate), per-disk copier (DCM_copy) and save operation
// (here). One call handles one request for one batch; the scheduling
// (dcm_schedule.h) decides when to ask and splits device lists into batches.
//
// Threads: every function may run on any number of threads at once; calls
// share nothing but constant tables. Requests, responses and record lists
// live for one call. Saves go through the data manager, which serialises
// them under its own lock.
//
// Results are errno values, 0 on success: 5 post failed, 12 allocation,
// 13 misuse of the device-list save row, 22 a failed per-disk check or an
// empty list, 74 a bad envelope or "result", or the data manager's status.
// Messages carry the module tag "DCM".
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_collect/data_collect_master/dcm_types.h"

// The constant period of the IO counter request, sent as a decimal string.
inline constexpr uint64_t DCM_IOSTAT_PERIOD = 20;
// Value of a device-list count after a failed query (65535).
inline constexpr uint16_t DCM_DEVICE_COUNT_FAILED = UINT16_MAX;

// Per-message constants.
struct DcmMessageInfo {
    const char *method;
    uint32_t disksPerRequest;  // 0: the whole list in one request
    uint32_t recordSize;
};
// The row of `type`, or null for a value outside MessageType.
[[nodiscard]] const DcmMessageInfo *DcmMessageInfoGet(uint32_t type);

// Request builder: method, devices of the batch, their number, the period.
// Returns a new request owned by the caller, or null on allocation failure.
using ConstructRequestFn = cJSON *(*)(const char *method, DiskBriefInfo *const *devices,
                                      uint16_t count, uint64_t period);
extern const ConstructRequestFn g_constructRequestStrategyMap[MESSAGE_TYPE_BUTT];

// Save operation: the answer's "result" (base information merges slot ids
// into it), the records and their number.
using SaveMessageFn = int (*)(cJSON *result, void *const *records, uint32_t count);
extern const SaveMessageFn g_saveMessageStrategyMap[MESSAGE_TYPE_BUTT];

// Creates `list->count` zero-filled records of `list->elementSize` bytes.
// 22 for a zero count or size, 12 when an allocation fails (nothing kept).
[[nodiscard]] int ArrayListCreate(ArrayList *list);
// Frees every record and the pointer array; the list becomes empty. Null-safe.
void ArrayListRelease(ArrayList *list);
// A zero-filled array of `count` pointers to zero-filled records, or null.
[[nodiscard]] void **AllocSeparateMemoryList(uint32_t count, uint32_t size);

// Writes `value` in decimal into a new buffer of digits + 1 bytes
// (out->len = that size). out->buf must be null on entry (22 otherwise);
// 12 when the allocation fails. The caller frees out->buf with KeeperFree.
[[nodiscard]] int ConvertUint2DecimalString(uint64_t value, KeeperStr *out);

// The device list of `agent`: a new array of *count records (the caller
// frees each record and the array with KeeperFree), or null. *count is 0 for
// an empty list and 65535 after any failure.
[[nodiscard]] DiskBriefInfo **QueryDeviceList(const AgentInfo *agent, uint16_t *count);

// One request of `type` for `devices[0..count)`. On 0, `list` (created for
// `count` records) holds one record per answered disk and *response the
// parsed answer, which the caller deletes. On failure *response is null.
[[nodiscard]] int QueryMessage(uint32_t type, const AgentInfo *agent,
                               DiskBriefInfo *const *devices, uint16_t count, ArrayList *list,
                               cJSON **response);

// One request for one batch, then the save operation of the type (1..3).
[[nodiscard]] int QueryMessageAndSave(uint32_t type, const AgentInfo *agent,
                                      DiskBriefInfo *const *devices, uint16_t count);

// Base information of one disk from `agent`, slot id included.
[[nodiscard]] int FetchDiskBaseInfoFromAgent(const AgentInfo *agent, const DiskBriefInfo *brief,
                                             DiskBaseInfo *out);

// Asks the kernel agent for the slots of the NVMe disks of a base "result",
// merges them into that result as "slot_id" members and copies the batch
// into `list` again.
[[nodiscard]] int QueryDiskSlotInfo(cJSON *baseResult, const ArrayList *list);

// The save operations (rows 1..3 of g_saveMessageStrategyMap); the last
// failing set status, or 0. Results 0 and 8 (not whitelisted) count as success.
[[nodiscard]] int SaveDiskBaseInfo(cJSON *result, void *const *records, uint32_t count);
[[nodiscard]] int SaveDiskHealthInfo(cJSON *result, void *const *records, uint32_t count);
[[nodiscard]] int SaveDiskIoInfoFrame(cJSON *result, void *const *records, uint32_t count);

// Hands the serial numbers of a device list to the data manager's refresh.
[[nodiscard]] int SaveDiskBriefInfo(DiskBriefInfo *const *records, uint32_t count);
