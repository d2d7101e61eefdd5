// Query scheduling: keeps the collection running.
//
// One query thread per submitted agent walks through the messages at their
// own periods (device list and IO counters about every 3 s, health every
// pass, base information hourly), splitting each message over the agent's
// disks into parallel batch workers. One scan thread merges the device lists
// of all agents every 5 s into the set of online disks of the data manager.
// FetchDiskBaseInfo answers the data manager's request for the base
// information of one disk from whichever agent lists it.
//
// Threads and locks:
//   - the agent-list lock guards the list of queried agents; it is held
//     while a scan reads every device list and while FetchDiskBaseInfo
//     searches, so submits and cancels wait for those exchanges. It may be
//     taken while the data-manager lock is held (FetchDiskBaseInfo runs
//     under it), never the reverse: no save runs under the agent-list lock.
//   - the enable lock guards the current scan thread's run flag; the running
//     lock is held by a scan thread for its whole life, so at most one scan
//     loop runs at a time.
//   - the overflow lock guards the serial numbers the last scan could not
//     admit; scans write them, query passes read them. Held only briefly.
//   - query, worker and scan threads are detached and free their own
//     context when they end; a stop request takes effect after the pass in
//     progress.
//
// More than 64 disks across the agents: a scan admits at most 64, those it
// admitted before first and then new ones in listing order, so an extra disk
// never displaces a monitored one. The rest are not monitored: no query pass
// asks for them, and one warning names how many there are, once per change
// of that set and at most once a minute (an INFO record when it empties).
//
// Results are errno values: 11 not initialised, 12 allocation or thread
// creation, 22 bad arguments, 114 already present, 123 no agent lists a disk.
// Messages carry the module tag "DCM".
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_collect/data_collect_master/dcm_types.h"

// Period of each message in milliseconds, indexed by MessageType.
extern const uint32_t g_messagePeriodMap[MESSAGE_TYPE_BUTT];

// Owned by its query thread and freed when the thread ends.
struct QueryAgentTaskContext {
    AgentInfo agent;
    std::atomic<uint8_t> stopFlag;  // 1: end after the current pass (set under the list lock)
    time_t lastQueryTime[MESSAGE_TYPE_BUTT];  // wall-clock seconds of the last success
};

// Start-up step "DCM": creates the locks and installs the data manager's
// whitelist decision. 0; 114 when already initialised; 12 when a lock cannot
// be created.
[[nodiscard]] int InitDataCollectMaster();

// Starts the query thread of `agent`. 0, 114 when it is already listed, 12.
[[nodiscard]] int SubmitQueryAgentScheduleTask(const AgentInfo *agent);
// Asks the query thread of `agent` to stop. 0 (listed or not), 11.
[[nodiscard]] int CancelQueryAgentScheduleTask(const AgentInfo *agent);
// Stops every query thread and the scan thread.
void CancelAllQueryAgentScheduleTask();

// Starts the scan thread. 0, 114 when one is running, 12.
[[nodiscard]] int SubmitScanAllAgentDeviceListScheduleTask();
// Asks the scan thread to stop (it ends after its current sleep).
void CancelScanAllAgentDeviceListScheduleTask();

// Feature start: the user-space agent's query task, the kernel agent's, then
// the scan task, each undone when a later one fails. Does nothing while
// "feature_switch" is off.
void StartQueryAgentScheduleTask();

// One message for all `count` listed disks, in parallel batches of the
// message's size. 0 when every batch succeeded, else the last failure written.
[[nodiscard]] int StepQueryMessageAndSave(uint32_t type, const AgentInfo *agent,
                                          DiskBriefInfo *const *records, uint16_t count);

// Number of batches of a message over `count` disks (ceil(count / size)).
[[nodiscard]] uint32_t DcmBatchCount(uint32_t type, uint32_t count);

// Base information of the disk whose first `snLen` serial-number characters
// equal `sn`, from the first agent that lists it. 0, the agent query's
// failure, 123 when no agent lists it, 11 when not initialised.
[[nodiscard]] int FetchDiskBaseInfo(uint32_t snLen, const char *sn, DiskBaseInfo *out);

// One query pass of a query thread (device list, due messages, closing
// sleep). Exposed for tests; the thread calls it in a loop.
void QueryAgentScheduleTask(QueryAgentTaskContext *context);

// True when `type` is due at `now` for `context`.
[[nodiscard]] bool IsQueryMessageDue(const QueryAgentTaskContext *context, uint32_t type,
                                     time_t now);

// One scan of all agents' device lists, handed to the data manager.
void ScanAllAgentDeviceListScheduleTask();
