// Synchronisation with the data agent ("unique_DMA_agent"): the four
// dma_* JSON-RPC messages and the thread that re-sends every disk's base
// information and strategy every 300 seconds.
//
// Sends are serialised by the module's send lock. Lock order: the
// data-manager lock (when the caller holds it) before the send lock; the
// send lock is never held while taking the data-manager lock.
// Messages carry the module tag "DATA_MGR_MASTER".
#pragma once

#include <cstdint>

#include "disk_mgr/disk_mgr.h"

enum DmaMsgType : uint32_t {
    DMA_MSG_SET_DISK_INFO = 0,        // "dma_set_disk_info_inner", data: const DiskBaseInfo *
    DMA_MSG_SET_DISK_STATE = 1,       // "dma_set_disk_state", data: const uint32_t *
    DMA_MSG_SET_HANDLE_STRATEGY = 2,  // "dma_set_disk_handle_strategy", data: const char *
    DMA_MSG_POWEROFF_DISK = 3,        // "dma_poweroff_disk", data unused
    DMA_MSG_BUTT = 4,
};

// Request id of the data manager's own counter: 2, 3, ... 65535, 1, 2, ...
[[nodiscard]] uint32_t DataMgrRpcNextId();

// Builds the request text of one message into a new string the caller frees
// with cJSON_free. `sn.buf` is the disk's serial number; at most
// min(sn.len, 40) characters are used. 0 or -1 (logged).
[[nodiscard]] int DataMgrMasterConstructRpcJsonParam(uint32_t msgType, KeeperStr sn,
                                                     const void *data, char **reqJsonStr);

// Sends one message to the data agent; the answer is not examined. 0, -1 for
// a bad type or a request that cannot be built (a null data pointer for types
// 0-2 included), or the transport's code. Any thread; may block for the
// transport's full timeout while holding the send lock.
[[nodiscard]] int DataMgrMasterSendRpcMsg2Agent(uint32_t msgType, KeeperStr sn, const void *data);

// The same, logging "DiskHealthinfoInner send Rpc to agent failed! ret:[%d]"
// on failure.
[[nodiscard]] int SendMsgToDataMgrAgent(uint32_t msgType, KeeperStr sn, const void *data);

// Sends base information and strategy text of every disk of the data store
// (a consistent copy taken under the data-manager lock; the sends happen
// outside it). Send failures are logged and do not stop the loop. 0 or -1.
[[nodiscard]] int DataMgrMasterSyncAll2Agent();

// Starts the sync thread unless one is running and not cancelled. The first
// sync happens one wait period after the start.
void StartDmmSync2DmaScheduleTask();

// Asks the running sync thread to stop; it ends after its current wait and one
// more sync.
void CancelDmmSync2DmaScheduleTask();

// Tests only: the wait between syncs in milliseconds (0 restores 300 s).
void DataMgrSyncSetWaitMs(uint32_t ms);

// Number of sync threads that have not finished yet (a cancelled thread
// counts until its last sync ended).
[[nodiscard]] uint32_t DmmSyncTaskLiveCount();
