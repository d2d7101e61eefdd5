// Platform services of the DRM framework: node and disk-id hooks, the opcode
// action registry and detached worker threads. Messages go to the host log
// as module DRM_ADAPTER_MODULE_ID.
#pragma once

#include <cstdint>

// ---- node and disk-id hooks (fixed for this daemon) -------------------------

bool DrmIsNodeNormal();
bool DrmIsMasterNode();
uint32_t DrmGetMinDiskId();
bool DrmIsDiskIdValid(uint32_t diskId);
uint32_t DrmGetMaxDiskNum();
uint32_t DrmTransDiskId(uint32_t diskId);

// ---- action handlers ----------------------------------------------------------

inline constexpr uint32_t DRM_ACTION_SLOT_NUM = 128;
// Result of a request for an opcode nobody registered.
inline constexpr int DRM_ACTION_NO_HANDLER = 65206;

// Handles one request; may store an output block and its length. 0 = success.
using DrmActionHandler = int (*)(const void *in, uint32_t inLen, void **out, uint32_t *outLen);

struct DrmActionSlot {
    uint32_t opcode;  // 0 = free
    DrmActionHandler handler;
};

struct DrmActionResponse {
    void *out;
    uint32_t outLen;
    int result;
};

using DrmActionCallback = void (*)(void *cbCtx, const DrmActionResponse *response);

// Clears every slot (adapter phase 1).
void DrmActionRegistryReset();
// Takes the first free slot; null when all are taken.
DrmActionSlot *DrmAddActionHandler(uint32_t opcode, DrmActionHandler handler);
// 0; -1 for a null handler, an opcode already present or no free slot.
[[nodiscard]] int DrmRegisterActionHandler(uint32_t opcode, DrmActionHandler handler);
// Run the opcode's handler on the caller's thread. The handler's result,
// DRM_ACTION_NO_HANDLER for an unknown opcode, -1 for a slot without handler.
// The asynchronous form hands the response to cb(cbCtx, ...) (also on failure).
int DrmAsyncActionRequest(uint32_t opcode, const void *in, uint32_t inLen, DrmActionCallback cb,
                          void *cbCtx);
int DrmSyncActionRequest(uint32_t opcode, const void *in, uint32_t inLen,
                         DrmActionResponse *response);

// ---- worker threads ---------------------------------------------------------

using DrmThreadFunc = void (*)(const void *data, uint32_t len);

// Runs func(copy of data, len) on a new detached thread, which owns the copy
// and frees it. `flags` is not used. 0; -1 for a null func, a nonzero len
// with null data, no memory or no thread.
[[nodiscard]] int DrmAsyncThreadCtxRun(uint32_t flags, DrmThreadFunc func, const void *data,
                                       uint32_t len);

// Test seam: how a worker thread is started (default: a detached POSIX
// thread). The starter runs entry(arg) on some thread, now or later, and
// returns 0, or nonzero when it cannot (arg is then freed by the caller).
// Null restores the default. Set it while no worker starts.
using DrmThreadStarter = int (*)(void (*entry)(void *arg), void *arg);
void DrmSetThreadStarter(DrmThreadStarter starter);
