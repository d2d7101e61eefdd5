#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/framework/utils/drm_log.h"

namespace {

struct DrmThreadCtx {
    DrmThreadFunc func;
    uint32_t len;
    uint32_t pad;
    unsigned char data[];
};
static_assert(sizeof(DrmThreadCtx) == 16, "context header is 16 bytes");

struct DrmPlatformState {
    DrmActionSlot actions[DRM_ACTION_SLOT_NUM];
    std::atomic<DrmThreadStarter> starter;
};

DrmPlatformState g_platform;

void DrmPthreadFuncProc(void *arg)
{
    auto *ctx = static_cast<DrmThreadCtx *>(arg);
    ctx->func(ctx->data, ctx->len);
    (void)qxmm_free(ctx, DRM_ADAPTER_MODULE_ID, "DrmPthreadFuncProc");
}

void *PosixEntry(void *arg)
{
    DrmPthreadFuncProc(arg);
    return nullptr;
}

// The daemon's starter: every worker runs DrmPthreadFuncProc on a detached
// POSIX thread.
int PosixStarter(void (*)(void *), void *arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int ret = pthread_create(&tid, &attr, PosixEntry, arg);
    pthread_attr_destroy(&attr);
    return ret;
}

DrmActionSlot *FindAction(uint32_t opcode)
{
    for (auto &slot : g_platform.actions) {
        if (slot.opcode == opcode && opcode != 0) {
            return &slot;
        }
    }
    return nullptr;
}

// Runs the handler of an opcode into `response`; the request's result.
// *ran tells whether a handler ran.
int RunAction(uint32_t opcode, const void *in, uint32_t inLen, DrmActionResponse *response,
              bool *ran)
{
    *ran = false;
    DrmActionSlot *slot = FindAction(opcode);
    if (slot == nullptr) {
        DRM_ADPT_LOG(3, "Drm actionHandler is NULL, opcode(0x%x).", opcode);
        return DRM_ACTION_NO_HANDLER;
    }
    if (slot->handler == nullptr) {
        DRM_ADPT_LOG(3, "Drm sub actionSubHandler is NULL, opcode(0x%x).", opcode);
        return DRM_ERR;
    }
    *response = {nullptr, 0, 0};
    *ran = true;
    response->result = slot->handler(in, inLen, &response->out, &response->outLen);
    if (response->result != 0) {
        DRM_ADPT_LOG(3, "Drm actionSubHandler handle failed, opcode(0x%x).", opcode);
    }
    return response->result;
}

}  // namespace

bool DrmIsNodeNormal() { return true; }
bool DrmIsMasterNode() { return true; }
uint32_t DrmGetMinDiskId() { return 0; }
bool DrmIsDiskIdValid(uint32_t) { return true; }
uint32_t DrmGetMaxDiskNum() { return 128; }
uint32_t DrmTransDiskId(uint32_t diskId) { return diskId; }

void DrmActionRegistryReset()
{
    for (auto &slot : g_platform.actions) {
        slot = {0, nullptr};
    }
}

DrmActionSlot *DrmAddActionHandler(uint32_t opcode, DrmActionHandler handler)
{
    for (uint32_t i = 0; i < DRM_ACTION_SLOT_NUM; ++i) {
        DrmActionSlot &slot = g_platform.actions[i];
        if (slot.opcode == 0) {
            slot = {opcode, handler};
            DRM_ADPT_LOG(7, "Add Handler index(%u),opcode(%u),handler(0x%p).", i, opcode,
                         reinterpret_cast<void *>(handler));
            return &slot;
        }
    }
    DRM_ADPT_LOG(5, "Add Handler failed due to lack of index resource,opcode(%u),handler(0x%p).",
                 opcode, reinterpret_cast<void *>(handler));
    return nullptr;
}

int DrmRegisterActionHandler(uint32_t opcode, DrmActionHandler handler)
{
    if (handler == nullptr) {
        DRM_ADPT_LOG(3, "handler is NULL");
        return DRM_ERR;
    }
    if (FindAction(opcode) != nullptr) {
        DRM_ADPT_LOG(3, "OpCode(0x%x) has already been registered.", opcode);
        return DRM_ERR;
    }
    return DrmAddActionHandler(opcode, handler) != nullptr ? DRM_OK : DRM_ERR;
}

int DrmAsyncActionRequest(uint32_t opcode, const void *in, uint32_t inLen, DrmActionCallback cb,
                          void *cbCtx)
{
    DrmActionResponse response = {nullptr, 0, 0};
    bool ran = false;
    int ret = RunAction(opcode, in, inLen, &response, &ran);
    if (ran && cb != nullptr) {
        cb(cbCtx, &response);
    }
    return ret;
}

int DrmSyncActionRequest(uint32_t opcode, const void *in, uint32_t inLen,
                         DrmActionResponse *response)
{
    DrmActionResponse local = {nullptr, 0, 0};
    bool ran = false;
    return RunAction(opcode, in, inLen, response != nullptr ? response : &local, &ran);
}

int DrmAsyncThreadCtxRun(uint32_t, DrmThreadFunc func, const void *data, uint32_t len)
{
    if (func == nullptr) {
        DRM_ADPT_LOG(3, "func is NULL.");
        return DRM_ERR;
    }
    if (len != 0 && data == nullptr) {
        DRM_ADPT_LOG(3, "data is NULL but len is than 0.");
        return DRM_ERR;
    }
    auto *ctx = static_cast<DrmThreadCtx *>(
        qxmm_malloc(sizeof(DrmThreadCtx) + len, DRM_ADAPTER_MODULE_ID, "DrmAsyncThreadCtxRun"));
    if (ctx == nullptr) {
        DRM_ADPT_LOG(3, "DrmAsyncThreadCtxRun alloc param failed.");
        return DRM_ERR;
    }
    ctx->func = func;
    ctx->len = len;
    ctx->pad = 0;
    if (len != 0) {
        memcpy(ctx->data, data, len);
    }
    DrmThreadStarter starter = g_platform.starter.load();
    if ((starter != nullptr ? starter : PosixStarter)(DrmPthreadFuncProc, ctx) != 0) {
        (void)qxmm_free(ctx, DRM_ADAPTER_MODULE_ID, "DrmAsyncThreadCtxRun");
        DRM_ADPT_LOG(3, "Create pthread failed.");
        return DRM_ERR;
    }
    return DRM_OK;
}

void DrmSetThreadStarter(DrmThreadStarter starter) { g_platform.starter.store(starter); }
