#include "data_mgr/data_mgr_master/data_mgr_dma.h"

#include <cjson/cJSON.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DATA_MGR_MASTER";
constexpr uint64_t kIdModulus = 65535;
constexpr uint32_t kDefaultWaitMs = 300 * 1000;
constexpr size_t kSnBufLen = 40;
constexpr size_t kSnCopyLimit = 39;

using DmaParamBuilder = int (*)(cJSON *params, const void *data);

struct DmaMsgOps {
    const char *method;
    DmaParamBuilder addParams;
};

// Sync-task flag: one byte, 1 = keep running. Owned by the thread it was
// created for, which frees it in its clean-up. The task's reference to it
// (DmaState::syncSwitch) is only read and written under taskLock, and the
// clean-up clears the reference (if it still names its flag) under the same
// lock before freeing, so start and cancel can never reach a released flag.
// A start after a cancel replaces the reference; the cancelled thread still
// owns and frees its old flag.
using DmmSyncSwitch = uint8_t;

struct DmaState {
    std::atomic<uint64_t> requestId;  // constant-initialised: exists before first use
    std::once_flag locksOnce;
    KeeperSpinLockT *sendLock;
    KeeperSpinLockT *taskLock;
    DmmSyncSwitch *syncSwitch;       // g_dmmSync2DmaSwitch
    std::atomic<uint32_t> waitMs;
    std::atomic<uint32_t> liveThreads;
};

DmaState g_dma = {{0}, {}, nullptr, nullptr, nullptr, {kDefaultWaitMs}, {0}};

// Both locks are created on first use, once, whichever thread gets there.
bool EnsureLocks()
{
    std::call_once(g_dma.locksOnce, [] {
        g_dma.sendLock = KeeperSpinLockCreate();
        g_dma.taskLock = KeeperSpinLockCreate();
    });
    return g_dma.sendLock != nullptr && g_dma.taskLock != nullptr;
}

// Adds a string member from a fixed-size field that might lack its NUL.
bool AddFieldString(cJSON *obj, const char *name, const char *field, size_t fieldLen)
{
    char text[DISK_PCI_ADDR_LEN + 1] = {};
    size_t n = strnlen(field, fieldLen);
    if (n >= sizeof(text)) {
        return false;
    }
    memcpy(text, field, n);
    return cJSON_AddStringToObject(obj, name, text) != nullptr;
}

int AddDiskInfoParams(cJSON *params, const void *data)
{
    if (data == nullptr) {
        KLOG_ERR(kTag, "RPC diskHealthInfoInner params is NULL");
        return -1;
    }
    const auto *info = static_cast<const DiskBaseInfo *>(data);
    bool ok = cJSON_AddNumberToObject(params, "disk_state", info->diskState) != nullptr &&
              cJSON_AddNumberToObject(params, "disk_capacity",
                                      static_cast<double>(info->diskCapacity)) != nullptr &&
              AddFieldString(params, "vendor", info->vendor, sizeof(info->vendor)) &&
              AddFieldString(params, "model", info->model, sizeof(info->model)) &&
              AddFieldString(params, "device_name", info->deviceName, sizeof(info->deviceName)) &&
              cJSON_AddNumberToObject(params, "disk_type", info->diskType) != nullptr;
    return ok ? 0 : -1;
}

int AddDiskStateParams(cJSON *params, const void *data)
{
    if (data == nullptr) {
        KLOG_ERR(kTag, "RPC diskState params is NULL");
        return -1;
    }
    uint32_t state = *static_cast<const uint32_t *>(data);
    return cJSON_AddNumberToObject(params, "disk_state", state) != nullptr ? 0 : -1;
}

int AddStrategyParams(cJSON *params, const void *data)
{
    if (data == nullptr) {
        KLOG_ERR(kTag, "RPC diskHandleStrategy params is NULL");
        return -1;
    }
    const char *text = static_cast<const char *>(data);
    return cJSON_AddStringToObject(params, "disk_handle_strategy", text) != nullptr ? 0 : -1;
}

int AddNoParams(cJSON *, const void *) { return 0; }

constexpr DmaMsgOps kDmaMsgOps[] = {
    {"dma_set_disk_info_inner", AddDiskInfoParams},
    {"dma_set_disk_state", AddDiskStateParams},
    {"dma_set_disk_handle_strategy", AddStrategyParams},
    {"dma_poweroff_disk", AddNoParams},
};
static_assert(sizeof(kDmaMsgOps) / sizeof(kDmaMsgOps[0]) == DMA_MSG_BUTT,
              "one operation row per data-agent message type");

// The serial number as a terminated string of at most 40 characters.
bool SnText(KeeperStr sn, char (&out)[kSnBufLen + 1])
{
    if (sn.buf == nullptr) {
        return false;
    }
    size_t limit = sn.len < kSnBufLen ? sn.len : kSnBufLen;
    size_t n = strnlen(sn.buf, limit);
    memcpy(out, sn.buf, n);
    out[n] = '\0';
    return true;
}

int DataMgrMasterAddParam(cJSON *request, uint32_t msgType, KeeperStr sn, const void *data)
{
    char snText[kSnBufLen + 1] = {};
    bool snOk = SnText(sn, snText);
    cJSON *params = cJSON_CreateObject();
    int ret = -1;
    if (params == nullptr) {
        KLOG_ERR(kTag, "RPC params create failed.");
    } else if (!snOk || cJSON_AddStringToObject(params, "sn", snText) == nullptr) {
        KLOG_ERR(kTag, "RPC params add sn failed. sn = %s", snText);
    } else if (kDmaMsgOps[msgType].addParams(params, data) != 0) {
        KLOG_ERR(kTag, "RPC params add disk info failed.");
    } else if (!cJSON_AddItemToObject(request, "params", params)) {
        KLOG_ERR(kTag, "RPC add params to request failed.");
    } else {
        return 0;  // the request owns params now
    }
    cJSON_Delete(params);
    KLOG_ERR(kTag, "RPC msg add params failed. msgType = %d, sn = %s", static_cast<int>(msgType),
             snText);
    return ret;
}

// Posts one request text to the data agent. The answer is not examined.
int PostToDataAgent(const char *reqJsonStr)
{
    auto *rsp = static_cast<char *>(KeeperAlloc(AGENT_RSP_BUF_LEN));
    if (rsp == nullptr) {
        KLOG_ERR(kTag, "RPC rspJsonStr malloc failed!");
        return -1;
    }
    AgentInfo agent = DcmWellKnownAgentGet(DCM_AGENT_DMA);
    int ret = PostRequest(&agent, static_cast<uint32_t>(strlen(reqJsonStr) + 1), reqJsonStr,
                          KeeperStr{AGENT_RSP_BUF_LEN, rsp});
    KeeperFree(rsp);
    return ret;
}

void FreeBaseInfoArray(DiskBaseInfo **array)
{
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        if (array[i] != nullptr) {
            KeeperFree(array[i]);
            array[i] = nullptr;
        }
    }
}

int DiskBaseInfoArrayMalloc(DiskBaseInfo **array)
{
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        array[i] = static_cast<DiskBaseInfo *>(KeeperAlloc(sizeof(DiskBaseInfo)));
        if (array[i] == nullptr) {
            KLOG_ERR(kTag, "diskBaseInfoArray[%d] malloc failed!", static_cast<int>(i));
            return -1;
        }
        memset(array[i], 0, sizeof(DiskBaseInfo));
    }
    return 0;
}

// Sends base information and strategy of `count` copied disks.
int SyncCopiedDisks(DiskBaseInfo **bases, const char **texts, uint32_t count, char *snBuf)
{
    KeeperStr sn{kSnBufLen, snBuf};
    for (uint32_t i = 0; i < count; ++i) {
        memset(snBuf, 0, kSnBufLen);
        size_t snLen = strnlen(bases[i]->sn, sizeof(bases[i]->sn));
        int ret = strncpy_s(snBuf, kSnCopyLimit, bases[i]->sn, snLen);
        if (ret != EOK) {
            KLOG_ERR(kTag, "strncpy_s failed! ret = %d", ret);
            return -1;
        }
        ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_SET_DISK_INFO, sn, bases[i]);
        if (ret != 0) {
            KLOG_ERR(kTag, "diskBaseInfoArray[%d] send Rpc to agent failed! ret:[%d]",
                     static_cast<int>(i), ret);
        }
        ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_SET_HANDLE_STRATEGY, sn, texts[i]);
        if (ret != 0) {
            KLOG_ERR(kTag, "diskStrategyStr[%d] send Rpc to agent failed! ret:[%d]",
                     static_cast<int>(i), ret);
        }
    }
    return 0;
}

uint8_t SyncSwitchValue(DmmSyncSwitch *flag)
{
    KeeperSpinLock(g_dma.taskLock);
    uint8_t on = *flag;
    KeeperSpinUnlock(g_dma.taskLock);
    return on;
}

// The flag is tested before each wait. The first cycle runs whatever the flag
// says by then: the thread was started with it set, so a cancel that comes
// before the thread first looks still gets its one last wait and sync, the
// same as a cancel during a wait.
void DataMgrMasterSyncAll2AgentHandle(void *arg)
{
    auto *flag = static_cast<DmmSyncSwitch *>(arg);
    uint8_t on = 1;
    do {
        uint32_t waitMs = g_dma.waitMs.load();
        KLOG_DEBUG(kTag, "DMM Sync All to DMA task need to wait %ds, dmmSync2DmaSwitch=%d",
                   static_cast<int>(waitMs / 1000), static_cast<int>(on));
        KeeperSleepMs(waitMs);
        int ret = DataMgrMasterSyncAll2Agent();
        KLOG_DEBUG(kTag, "DMM Sync All to DMA task finish! ret = %d", ret);
        on = SyncSwitchValue(flag);
    } while (on != 0);
}

// Thread clean-up: forget the flag if the task still refers to it, then free it.
void DmmSyncSwitchRelease(void *arg)
{
    auto *flag = static_cast<DmmSyncSwitch *>(arg);
    KeeperSpinLock(g_dma.taskLock);
    if (g_dma.syncSwitch == flag) {
        g_dma.syncSwitch = nullptr;
    }
    KeeperSpinUnlock(g_dma.taskLock);
    KeeperFree(flag);
    g_dma.liveThreads.fetch_sub(1);
}

}  // namespace

uint32_t DataMgrRpcNextId()
{
    uint64_t n = g_dma.requestId.fetch_add(1) + 1;
    return static_cast<uint32_t>(n % kIdModulus + 1);
}

int DataMgrMasterConstructRpcJsonParam(uint32_t msgType, KeeperStr sn, const void *data,
                                       char **reqJsonStr)
{
    if (msgType >= DMA_MSG_BUTT || reqJsonStr == nullptr) {
        return -1;
    }
    const char *method = kDmaMsgOps[msgType].method;
    cJSON *request = CreateBaseRequestWithId(method, DataMgrRpcNextId());
    if (request == nullptr) {
        KLOG_ERR(kTag, "RPC msg construct base request failed. method is %s", method);
        return -1;
    }
    if (DataMgrMasterAddParam(request, msgType, sn, data) != 0) {
        cJSON_Delete(request);
        return -1;
    }
    *reqJsonStr = cJSON_PrintUnformatted(request);
    cJSON_Delete(request);
    if (*reqJsonStr == nullptr) {
        KLOG_ERR(kTag, "RPC create Unformatted reqJsonStr failed!");
        return -1;
    }
    return 0;
}

int DataMgrMasterSendRpcMsg2Agent(uint32_t msgType, KeeperStr sn, const void *data)
{
    if (msgType >= DMA_MSG_BUTT) {
        KLOG_ERR(kTag, "RPC msgType error, msgType=%d.", static_cast<int>(msgType));
        return -1;
    }
    if (!EnsureLocks()) {
        return -1;
    }
    KeeperSpinLock(g_dma.sendLock);
    char *reqJsonStr = nullptr;
    int ret = DataMgrMasterConstructRpcJsonParam(msgType, sn, data, &reqJsonStr);
    if (ret != 0) {
        KLOG_ERR(kTag, "Construct Json param failed! ret = %d", ret);
        KeeperSpinUnlock(g_dma.sendLock);
        return ret;
    }
    KLOG_DEBUG(kTag, "reqJsonStr = %s", reqJsonStr);
    ret = PostToDataAgent(reqJsonStr);
    cJSON_free(reqJsonStr);
    KeeperSpinUnlock(g_dma.sendLock);
    if (ret != 0) {
        KLOG_ERR(kTag, "RPC request post failed. ret = %d", ret);
    }
    return ret;
}

int SendMsgToDataMgrAgent(uint32_t msgType, KeeperStr sn, const void *data)
{
    int ret = DataMgrMasterSendRpcMsg2Agent(msgType, sn, data);
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskHealthinfoInner send Rpc to agent failed! ret:[%d]", ret);
    }
    return ret;
}

int DataMgrMasterSyncAll2Agent()
{
    DiskBaseInfo *bases[MAX_DISK_NUM] = {};
    const char *texts[MAX_DISK_NUM] = {};
    if (DiskBaseInfoArrayMalloc(bases) != 0) {
        KLOG_ERR(kTag, "DiskBaseInfoArrayMalloc failed!");
        FreeBaseInfoArray(bases);
        return -1;
    }
    uint32_t count = 0;
    int ret = DataMgrAgentAllInfoGet(bases, texts, &count);
    if (ret != 0) {
        KLOG_ERR(kTag, "Get all data from DataMgrMaster failed. ret = %d", ret);
        FreeBaseInfoArray(bases);
        return ret;
    }
    KLOG_DEBUG(kTag, "DMM sync to DMA..., arrayLen = %d", static_cast<int>(count));
    auto *snBuf = static_cast<char *>(KeeperAlloc(kSnBufLen));
    if (snBuf == nullptr) {
        KLOG_ERR(kTag, "sn.buf malloc failed!");
        FreeBaseInfoArray(bases);
        return -1;
    }
    ret = SyncCopiedDisks(bases, texts, count, snBuf);
    KeeperFree(snBuf);
    FreeBaseInfoArray(bases);
    return ret;
}

void StartDmmSync2DmaScheduleTask()
{
    if (!EnsureLocks()) {
        KLOG_ERR(kTag, "DmmSync2DmaScheduleTask thread create failed!");
        return;
    }
    KeeperSpinLock(g_dma.taskLock);
    if (g_dma.syncSwitch != nullptr && *g_dma.syncSwitch != 0) {
        KeeperSpinUnlock(g_dma.taskLock);
        KLOG_ERR(kTag, "DmmSync2DmaScheduleTask thread already exist!");
        return;
    }
    auto *flag = static_cast<DmmSyncSwitch *>(KeeperAlloc(sizeof(DmmSyncSwitch)));
    if (flag == nullptr) {
        KeeperSpinUnlock(g_dma.taskLock);
        KLOG_ERR(kTag, "DmmSync2DmaScheduleTask thread create failed!");
        return;
    }
    *flag = 1;
    g_dma.syncSwitch = flag;
    KeeperSpinUnlock(g_dma.taskLock);

    g_dma.liveThreads.fetch_add(1);
    KeeperThreadAttr attr{0, 0, flag, flag};
    if (KeeperThreadCreate(DataMgrMasterSyncAll2AgentHandle, DmmSyncSwitchRelease, &attr) == 0) {
        g_dma.liveThreads.fetch_sub(1);
        KeeperSpinLock(g_dma.taskLock);
        if (g_dma.syncSwitch == flag) {
            g_dma.syncSwitch = nullptr;
        }
        KeeperSpinUnlock(g_dma.taskLock);
        KeeperFree(flag);
        KLOG_ERR(kTag, "DmmSync2DmaScheduleTask thread create failed!");
        return;
    }
    KLOG_DEBUG(kTag, "DmmSync2DmaScheduleTask start!");
}

void CancelDmmSync2DmaScheduleTask()
{
    if (!EnsureLocks()) {
        KLOG_ERR(kTag, "g_dmmSync2DmaSwitch is NULL!");
        return;
    }
    KeeperSpinLock(g_dma.taskLock);
    if (g_dma.syncSwitch == nullptr) {
        KeeperSpinUnlock(g_dma.taskLock);
        KLOG_ERR(kTag, "g_dmmSync2DmaSwitch is NULL!");
        return;
    }
    *g_dma.syncSwitch = 0;
    KeeperSpinUnlock(g_dma.taskLock);
    KLOG_DEBUG(kTag, "CancelDmmSync2DmaScheduleTask finish!");
}

void DataMgrSyncSetWaitMs(uint32_t ms) { g_dma.waitMs.store(ms == 0 ? kDefaultWaitMs : ms); }

uint32_t DmmSyncTaskLiveCount() { return g_dma.liveThreads.load(); }
