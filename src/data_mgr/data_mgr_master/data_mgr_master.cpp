#include "data_mgr/data_mgr_master/data_mgr_master.h"

#include <cstring>
#include <mutex>

#include "data_mgr/data_mgr_master/data_mgr_dma.h"
#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DATA_MGR_MASTER";
constexpr uint32_t kSnMaxLen = DISK_SN_LEN;

// Everything the store knows about one registered disk.
struct DataMgrObj {
    uint32_t diskId;
    DiskBaseInfo *base;  // the registry entry; owned by the registry
    DiskIoStatInfo ioStatRing[DATA_MGR_IO_RING_SIZE];
    uint32_t ringWriteIndex;  // slot overwritten next once the ring is full
    uint32_t ringCount;       // valid slots, 0..100
    DiskIoInfoFrame lastFrame;  // all zero until the first frame
    DiskHealthInfo health;
    bool healthSet;  // false until the first health record: reads fail meanwhile
    DiskNodeInfo node;
    DiskDrmInfo drm;
    uint32_t strategy;
};

struct DataMgrState {
    DataMgrObj *objs[MAX_DISK_ID_NUM];
    bool inited;
    bool enabled;
    std::once_flag lockOnce;
    KeeperSpinLockT *lock;
    DataMgrDrmNotifyFunc drmNotify;
    DataMgrWhiteListFunc whiteList;
};

DataMgrState g_dataMgr = {};

constexpr const char *kStrategyText[] = {
    "No action required",
    "Migrate data and replace the hard disk",
    "Replace the hard disk",
    nullptr,  // accepted and stored, but has no text
};
static_assert(sizeof(kStrategyText) / sizeof(kStrategyText[0]) == DISK_STRATEGY_BUTT,
              "one text row per handling strategy");

// Created by whichever of DataMgrInit and DataMgrSetDrmNotifyFunc runs first.
bool EnsureLock()
{
    std::call_once(g_dataMgr.lockOnce, [] { g_dataMgr.lock = KeeperSpinLockCreate(); });
    return g_dataMgr.lock != nullptr;
}

KeeperStr EntrySn(DiskBaseInfo *entry) { return KeeperStr{kSnMaxLen, entry->sn}; }

bool SnEqual(const char *a, const char *b) { return strncmp(a, b, kSnMaxLen) == 0; }

bool SnArgValid(KeeperStr sn) { return sn.len <= kSnMaxLen && sn.buf != nullptr; }

DataMgrObj *CreateEmptyObj(uint32_t diskId)
{
    auto *obj = static_cast<DataMgrObj *>(KeeperAlloc(sizeof(DataMgrObj)));
    if (obj == nullptr) {
        return nullptr;
    }
    memset(obj, 0, sizeof(*obj));
    obj->diskId = diskId;
    obj->drm.remainingLife = DISK_REMAINING_LIFE_UNKNOWN;
    return obj;
}

void ReleaseAllObjs()
{
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM; ++id) {
        DataMgrReleaseObjLocked(id);
    }
}

// One object per registry entry. On failure every object is released again,
// so a later attempt starts from an empty table.
int CreateAllDataMgrObjsByDiskMgr()
{
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM; ++id) {
        DiskMgrObj *entry = nullptr;
        if (DiskMgrGetObj(id, &entry) != 0) {
            DataMgrReleaseObjLocked(id);
            continue;
        }
        if (g_dataMgr.objs[id] != nullptr) {
            KLOG_ERR(kTag, "CreateAllDataMgrObjsByDiskMgr fail : Already Exist Data Mgr Obj");
            ReleaseAllObjs();
            return -1;
        }
        DataMgrObj *obj = CreateEmptyObj(id);
        if (obj == nullptr) {
            KLOG_ERR(kTag, "CreateAllDataMgrObjsByDiskMgr fail : Create Empty Data Mgr Obj fail");
            ReleaseAllObjs();
            return -1;
        }
        obj->base = entry;
        g_dataMgr.objs[id] = obj;
    }
    return 0;
}

void NotifyAllDiskFindInit()
{
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM; ++id) {
        DiskMgrObj *entry = nullptr;
        if (DiskMgrGetObj(id, &entry) != 0) {
            continue;
        }
        if (DataMgrNotifyDrmDiskEvent(id, EntrySn(entry), DATA_MGR_DRM_DISK_FOUND) != 0) {
            KLOG_ERR(kTag, "DataMgrInit notify drm add disk fail");
            return;
        }
    }
    KLOG_WARN(kTag, "NotifyAllDiskFindInit success");
}

// Drops the object of a disk whose registry entry was just removed and tells
// the data agent and DRM. Returns the DRM notification's status.
int32_t FinishOffline(uint32_t diskId, char *sn)
{
    DataMgrReleaseObjLocked(diskId);
    KeeperStr snRef{kSnMaxLen, sn};
    int ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_POWEROFF_DISK, snRef, nullptr);
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskPoweroff info send Rpc to agent failed! ret:[%d]", ret);
    }
    int32_t notifyRet = DataMgrNotifyDrmDiskEvent(diskId, snRef, DATA_MGR_DRM_DISK_REMOVED);
    if (notifyRet != 0) {
        KLOG_ERR(kTag, "DiskBaseInfoSet notify drm delete disk fail");
    }
    KLOG_INFO(kTag, "Offline disk (sn = %.40s, disk id = %u) success", sn, diskId);
    return notifyRet;
}

// A base record the registry could not store and load back is refused: a
// state outside the enumeration, or a text field without its terminator.
bool BaseRecordUsable(const DiskBaseInfo &r)
{
    return r.diskState <= DISK_STATE_UNSET && strnlen(r.sn, sizeof(r.sn)) < sizeof(r.sn) &&
           strnlen(r.vendor, sizeof(r.vendor)) < sizeof(r.vendor) &&
           strnlen(r.model, sizeof(r.model)) < sizeof(r.model) &&
           strnlen(r.firmware, sizeof(r.firmware)) < sizeof(r.firmware) &&
           strnlen(r.deviceName, sizeof(r.deviceName)) < sizeof(r.deviceName) &&
           strnlen(r.pciAddr, sizeof(r.pciAddr)) < sizeof(r.pciAddr);
}

// ---- set operations (data-manager lock held, object present, sn checked) ----

int32_t DataMgrBaseInfoSetInner(uint32_t diskId, KeeperStr, const void *data)
{
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    DiskBaseInfo rec;
    memcpy(&rec, data, sizeof(rec));
    rec.diskId = diskId;
    if (rec.diskState == DISK_STATE_UNSET) {
        rec.diskState = obj->base->diskState;
    }
    if (memcmp(&rec, obj->base, sizeof(rec)) == 0) {
        return 0;
    }
    if (!BaseRecordUsable(rec) || DiskInfoUpdate(diskId, &rec) != 0) {
        KLOG_ERR(kTag, "DiskBaseInfoSet update disk id = %d error: update to disk mgr fail",
                 static_cast<int>(diskId));
        return -1;
    }
    if (rec.diskState == DISK_STATE_OFFLINE) {
        (void)FinishOffline(diskId, rec.sn);  // agent and DRM failures do not change the result
        return 0;
    }
    int ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_SET_DISK_INFO, EntrySn(&rec), &rec);
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskHealthinfoInner send Rpc to agent failed! ret:[%d]", ret);
    }
    return 0;
}

int32_t DataMgrIoInfoSetInner(uint32_t diskId, KeeperStr, const void *data)
{
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    DiskIoInfoFrame frame;
    memcpy(&frame, data, sizeof(frame));
    if (obj->lastFrame.ticks == 0) {
        obj->lastFrame = frame;
        return 0;
    }
    if (IoStatCheck(&obj->lastFrame, &frame) != 0) {
        obj->lastFrame = frame;  // a counter reset or a stale frame: start over from it
        return -1;
    }
    DiskIoStatInfo stat;
    (void)IoStatCalculate(&obj->lastFrame, &frame, &stat);
    obj->lastFrame = frame;
    uint32_t slot;
    if (obj->ringCount < DATA_MGR_IO_RING_SIZE) {
        slot = obj->ringCount++;
    } else {
        slot = obj->ringWriteIndex;
        obj->ringWriteIndex = (obj->ringWriteIndex + 1) % DATA_MGR_IO_RING_SIZE;
    }
    if (memcpy_s(&obj->ioStatRing[slot], sizeof(DiskIoStatInfo), &stat, sizeof(stat)) != EOK) {
        KLOG_ERR(kTag, "DiskIoStatInfoSet copy info error");
        return -1;
    }
    return 0;
}

int32_t DataMgrSmartInfoSetInner(uint32_t diskId, KeeperStr, const void *data)
{
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    int ret = memcpy_s(&obj->health, sizeof(obj->health), data, sizeof(DiskHealthInfo));
    if (ret != EOK) {
        KLOG_ERR(kTag, "DiskHealthInfoSet copy info error");
        return ret;
    }
    obj->healthSet = true;
    return 0;
}

int32_t DataMgrDrmInfoSetInner(uint32_t diskId, KeeperStr, const void *data)
{
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    int ret = memcpy_s(&obj->drm, sizeof(obj->drm), data, sizeof(DiskDrmInfo));
    if (ret != EOK) {
        KLOG_ERR(kTag, "DataMgrDrmInfoSetInner copy info error");
    }
    return ret;
}

int32_t DataMgrNodeInfoSetInner(uint32_t diskId, KeeperStr, const void *data)
{
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    int ret = memcpy_s(&obj->node, sizeof(obj->node), data, sizeof(DiskNodeInfo));
    if (ret != EOK) {
        KLOG_ERR(kTag, "DataMgrNodeInfoSetInner copy info error");
    }
    return ret;
}

int32_t StoreStrategy(uint32_t diskId, uint32_t strategy)
{
    if (strategy >= DISK_STRATEGY_BUTT) {
        return -1;
    }
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    obj->strategy = strategy;
    int ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_SET_HANDLE_STRATEGY, EntrySn(obj->base),
                                            kStrategyText[strategy]);
    if (ret != 0) {
        KLOG_ERR(kTag, "HandleStrategyStr info send Rpc to agent failed! ret:[%d]", ret);
    }
    return 0;
}

int32_t DataMgrStrategySetInner(uint32_t diskId, KeeperStr, const void *data)
{
    return StoreStrategy(diskId, *static_cast<const uint32_t *>(data));
}

// Strategy that follows a newly set state; BUTT when the state keeps the old one.
uint32_t StrategyForState(uint32_t state)
{
    switch (state) {
        case DISK_STATE_PREFAIL:
        case DISK_STATE_SLOW:
            return DISK_STRATEGY_MIGRATE_AND_REPLACE;
        case DISK_STATE_FAULT:
            return DISK_STRATEGY_REPLACE;
        default:
            return DISK_STRATEGY_BUTT;
    }
}

int32_t DataMgrDiskStateSetInner(uint32_t diskId, KeeperStr, const void *data)
{
    uint32_t state = *static_cast<const uint32_t *>(data);
    if (state >= DISK_STATE_UNSET) {
        return -1;
    }
    // Work on a copy: a refused update leaves the entry exactly as it was.
    DiskBaseInfo rec = *g_dataMgr.objs[diskId]->base;
    rec.diskState = state;
    if (DiskInfoUpdate(diskId, &rec) != 0) {
        return -1;
    }
    if (state == DISK_STATE_OFFLINE) {
        return FinishOffline(diskId, rec.sn);
    }
    int32_t ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_SET_DISK_STATE, EntrySn(&rec), &state);
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskState info send Rpc to agent failed! ret:[%d]", ret);
    }
    uint32_t strategy = StrategyForState(state);
    if (strategy != DISK_STRATEGY_BUTT) {
        (void)StoreStrategy(diskId, strategy);
    }
    return ret;
}

// ---- get operations (data-manager lock held, object present) ----

int32_t CopyOut(void *buf, uint32_t size, const void *src, size_t len, const char *what,
                uint32_t diskId)
{
    if (memcpy_s(buf, size, src, len) != EOK) {
        KLOG_ERR(kTag, "%s copy info%s fail,disk id = %d,buf size = %u", what,
                 strcmp(what, "IoInfo") == 0 ? "" : " to buf", static_cast<int>(diskId), size);
        return -1;
    }
    return 0;
}

int32_t DataMgrBaseInfoGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    return CopyOut(buf, size, g_dataMgr.objs[diskId]->base, sizeof(DiskBaseInfo), "BaseInfo",
                   diskId);
}

int32_t DataMgrIoInfoGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    DataMgrObj *obj = g_dataMgr.objs[diskId];
    if (obj->ringCount == 0) {
        KLOG_DEBUG(kTag, "Try get io info, but no io info to get");
        return -1;
    }
    uint32_t newest = obj->ringCount < DATA_MGR_IO_RING_SIZE
                          ? obj->ringCount - 1
                          : (obj->ringWriteIndex + DATA_MGR_IO_RING_SIZE - 1) % DATA_MGR_IO_RING_SIZE;
    return CopyOut(buf, size, &obj->ioStatRing[newest], sizeof(DiskIoStatInfo), "IoInfo", diskId);
}

// A zero-filled record would read as a new, healthy disk: the analyses must
// see "nothing yet" as a failed read and try again later.
int32_t DataMgrSmartInfoGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    if (!g_dataMgr.objs[diskId]->healthSet) {
        KLOG_DEBUG(kTag, "Try get health info, but no health info to get");
        return -1;
    }
    return CopyOut(buf, size, &g_dataMgr.objs[diskId]->health, sizeof(DiskHealthInfo),
                   "SmartInfo", diskId);
}

int32_t DataMgrDrmInfoGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    return CopyOut(buf, size, &g_dataMgr.objs[diskId]->drm, sizeof(DiskDrmInfo), "DrmInfo",
                   diskId);
}

int32_t DataMgrNodeInfoGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    return CopyOut(buf, size, &g_dataMgr.objs[diskId]->node, sizeof(DiskNodeInfo), "NodeInfo",
                   diskId);
}

// The u32 and pointer gets cannot fail for a buffer of the right size.
int32_t DataMgrStrategyGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    uint32_t v = g_dataMgr.objs[diskId]->strategy;
    return memcpy_s(buf, size, &v, sizeof(v)) == EOK ? 0 : -1;
}

int32_t DataMgrDiskStateGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    uint32_t v = g_dataMgr.objs[diskId]->base->diskState;
    return memcpy_s(buf, size, &v, sizeof(v)) == EOK ? 0 : -1;
}

int32_t DataMgrStrategyStrGetInner(uint32_t diskId, void *buf, uint32_t size)
{
    const char *text = DataMgrStrategyText(g_dataMgr.objs[diskId]->strategy);
    return memcpy_s(buf, size, &text, sizeof(text)) == EOK ? 0 : -1;
}

using DataMgrSetOp = int32_t (*)(uint32_t diskId, KeeperStr sn, const void *data);
using DataMgrGetOp = int32_t (*)(uint32_t diskId, void *buf, uint32_t size);

constexpr DataMgrSetOp kSetOps[] = {
    DataMgrBaseInfoSetInner, DataMgrIoInfoSetInner,   DataMgrSmartInfoSetInner,
    DataMgrDrmInfoSetInner,  DataMgrNodeInfoSetInner, DataMgrStrategySetInner,
    DataMgrDiskStateSetInner,
    nullptr,  // the strategy text is derived, never set
};
constexpr DataMgrGetOp kGetOps[] = {
    DataMgrBaseInfoGetInner, DataMgrIoInfoGetInner,   DataMgrSmartInfoGetInner,
    DataMgrDrmInfoGetInner,  DataMgrNodeInfoGetInner, DataMgrStrategyGetInner,
    DataMgrDiskStateGetInner, DataMgrStrategyStrGetInner,
};
static_assert(sizeof(kSetOps) / sizeof(kSetOps[0]) == DATA_INFO_BUTT, "one set row per info type");
static_assert(sizeof(kGetOps) / sizeof(kGetOps[0]) == DATA_INFO_BUTT, "one get row per info type");

// Unknown serial number: whitelist, then registration for base information.
int32_t SetForUnregisteredSn(KeeperStr sn, const void *data, uint32_t infoType, int32_t lookupRet)
{
    DataMgrWhiteListFunc whiteList = g_dataMgr.whiteList;
    if (whiteList == nullptr || !whiteList(sn.len, sn.buf, data, infoType)) {
        return DATA_MGR_ERR_WHITELIST;
    }
    int32_t ret = lookupRet;
    if (infoType == DATA_INFO_BASE) {
        DiskBaseInfo rec;
        memcpy(&rec, data, sizeof(rec));
        ret = BaseRecordUsable(rec) ? DataMgrCreateNewDiskInfo(&rec) : DATA_MGR_ERR;
        if (ret == 0) {
            return 0;
        }
    }
    KLOG_DEBUG(kTag, "DataMgrDiskInfoSet fail, sn = %.40s,info type= %d", sn.buf,
               static_cast<int>(infoType));
    return ret;
}

int32_t CheckParamValid(uint32_t diskId, KeeperStr sn, uint32_t infoType, const char *op)
{
    if (diskId >= MAX_DISK_ID_NUM || g_dataMgr.objs[diskId] == nullptr) {
        KLOG_DEBUG(kTag, "%s error,disk id = %d,info type= %dobj not init or vaild disk id", op,
                   static_cast<int>(diskId), static_cast<int>(infoType));
        return DATA_MGR_ERR_DISK_ID;
    }
    DiskBaseInfo *entry = g_dataMgr.objs[diskId]->base;
    if (entry == nullptr || (sn.len != 0 && !SnEqual(entry->sn, sn.buf))) {
        KLOG_DEBUG(kTag, "%s,disk id = %d,info type= %d,sn=%.40ssn not valid or match diskId", op,
                   static_cast<int>(diskId), static_cast<int>(infoType), sn.buf);
        return DATA_MGR_ERR_SN;
    }
    return 0;
}

int32_t DataMgrDiskInfoSetLocked(uint32_t diskId, KeeperStr sn, const void *data,
                                 uint32_t infoType)
{
    if (!g_dataMgr.inited || !g_dataMgr.enabled) {
        KLOG_ERR(kTag, "Data Mgr init = %d,Mgr Enable =%d", g_dataMgr.inited ? 1 : 0,
                 g_dataMgr.enabled ? 1 : 0);
        return DATA_MGR_ERR;
    }
    if (diskId == DATA_MGR_FIND_BY_SN) {
        int32_t ret = GetDiskIdBySn(sn.len, sn.buf, &diskId);
        if (ret != 0) {
            return SetForUnregisteredSn(sn, data, infoType, ret);
        }
    }
    // A set always compares the serial number, even one of length 0.
    KeeperStr checked{kSnMaxLen, sn.buf};
    int32_t ret = CheckParamValid(diskId, checked, infoType, "DataMgrDiskInfoSet");
    if (ret != 0) {
        return ret;
    }
    ret = kSetOps[infoType](diskId, sn, data);
    if (ret == 0) {
        KLOG_DEBUG(kTag, "SET INFO SUCCESS, INFO TYPE = %d", static_cast<int>(infoType));
    } else {
        KLOG_DEBUG(kTag, "SET INFO FAIL, INFO TYPE = %d", static_cast<int>(infoType));
    }
    return ret;
}

}  // namespace

// ---- inner interface ----

void DataMgrSetWhiteListFunc(DataMgrWhiteListFunc func)
{
    if (EnsureLock()) {
        KeeperSpinLock(g_dataMgr.lock);
        g_dataMgr.whiteList = func;
        KeeperSpinUnlock(g_dataMgr.lock);
    }
}

bool DataMgrLock()
{
    if (g_dataMgr.lock == nullptr && !EnsureLock()) {
        return false;
    }
    KeeperSpinLock(g_dataMgr.lock);
    return true;
}

void DataMgrUnlock() { KeeperSpinUnlock(g_dataMgr.lock); }

bool DataMgrIsInitedLocked() { return g_dataMgr.inited; }

DiskBaseInfo *DataMgrObjEntryLocked(uint32_t diskId)
{
    return diskId < MAX_DISK_ID_NUM && g_dataMgr.objs[diskId] != nullptr
               ? g_dataMgr.objs[diskId]->base
               : nullptr;
}

void DataMgrReleaseObjLocked(uint32_t diskId)
{
    if (diskId < MAX_DISK_ID_NUM && g_dataMgr.objs[diskId] != nullptr) {
        KeeperFree(g_dataMgr.objs[diskId]);
        g_dataMgr.objs[diskId] = nullptr;
    }
}

int32_t DataMgrNotifyDrmDiskEvent(uint32_t diskId, KeeperStr sn, uint32_t event)
{
    if (g_dataMgr.drmNotify == nullptr) {
        KLOG_ERR(kTag, "DataMgrNotifyDrmDiskEvent error: no notify func");
        return -1;
    }
    int32_t ret = g_dataMgr.drmNotify(diskId, sn, event);
    if (ret != 0) {
        KLOG_ERR(kTag, "DataMgrNotifyDrmDiskEvent error: bad return value");
    }
    KLOG_INFO(kTag, "DataMgrNotifyDrmDiskEvent success: diskId = %u,sn =%.40s, type = %d", diskId,
              sn.buf, static_cast<int>(event));
    return ret;
}

int32_t DataMgrCreateNewDiskInfo(DiskBaseInfo *baseInfo)
{
    uint32_t diskId = DISK_ID_INVALID;
    int32_t ret = GetNewDiskId(kSnMaxLen, baseInfo->sn, &diskId);
    if (ret != 0) {
        KLOG_ERR(kTag, "Disk %.40s GET NEW DISK ID ERROR, RET = %d", baseInfo->sn, ret);
        return ret;
    }
    baseInfo->diskId = diskId;
    if (g_dataMgr.objs[diskId] != nullptr) {
        KLOG_ERR(kTag, "DATA MGR OBJ FOR DISK ID %d ALREADY INIT", static_cast<int>(diskId));
        return DATA_MGR_ERR_OBJ_EXIST;
    }
    DataMgrObj *obj = CreateEmptyObj(diskId);
    if (obj == nullptr) {
        KLOG_ERR(kTag, "MALLOC MEM FOR NEW DISK MGR OBJ FAIL");
        KLOG_ERR(kTag, "Create New Disk Info By BaseInfo Fail");
        return DATA_MGR_ERR;
    }
    ret = DiskInfoUpdate(diskId, baseInfo);
    if (ret != 0) {
        KLOG_ERR(kTag, "Upadate base info to disk mgr fail,sn = %.40s,write to disk id = %d",
                 baseInfo->sn, static_cast<int>(diskId));
        KeeperFree(obj);
        return ret;
    }
    ret = DiskMgrGetObj(diskId, &obj->base);
    if (ret != 0) {
        KLOG_ERR(kTag, "Get base info ptr from disk mgr fail, sn = %.40s, disk id = %d",
                 baseInfo->sn, static_cast<int>(diskId));
        KeeperFree(obj);
        return ret;
    }
    g_dataMgr.objs[diskId] = obj;
    if (DataMgrNotifyDrmDiskEvent(diskId, EntrySn(baseInfo), DATA_MGR_DRM_DISK_FOUND) != 0) {
        KLOG_ERR(kTag, "DiskBaseInfoSet notify drm add disk fail");
    }
    ret = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_SET_DISK_INFO, EntrySn(baseInfo), baseInfo);
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskHealthinfoInner send Rpc to agent failed! ret:[%d]", ret);
    }
    KLOG_INFO(kTag, "online disk, sn = %.40s,disk id = %d", baseInfo->sn, static_cast<int>(diskId));
    return 0;
}

// ---- public interface ----

const char *DataMgrStrategyText(uint32_t strategy)
{
    return strategy < DISK_STRATEGY_BUTT ? kStrategyText[strategy] : nullptr;
}

int32_t DataMgrInit()
{
    KLOG_INFO(kTag, "Data Mgr Model Init start");
    if (!EnsureLock()) {
        return DATA_MGR_ERR;
    }
    KeeperSpinLock(g_dataMgr.lock);
    if (g_dataMgr.inited) {
        KeeperSpinUnlock(g_dataMgr.lock);
        KLOG_ERR(kTag, "Data Mgr Master Model already init");
        return DATA_MGR_ERR;
    }
    if (CreateAllDataMgrObjsByDiskMgr() != 0) {
        KeeperSpinUnlock(g_dataMgr.lock);
        KLOG_ERR(kTag, "DataMgrInit fail, Create All DataMgr Objs By Disk Mgr fail");
        return DATA_MGR_ERR;
    }
    g_dataMgr.inited = true;
    g_dataMgr.enabled = true;
    KLOG_INFO(kTag, "Data Mgr Model Init success");
    NotifyAllDiskFindInit();
    KeeperSpinUnlock(g_dataMgr.lock);
    return 0;
}

int32_t DataMgrDestroy()
{
    KLOG_INFO(kTag, "Data Mgr Model start destroy");
    if (!DataMgrLock()) {
        KLOG_ERR(kTag, "Data Mgr Master Model no init,can't destroy");
        return 0;
    }
    if (!g_dataMgr.inited) {
        DataMgrUnlock();
        KLOG_ERR(kTag, "Data Mgr Master Model no init,can't destroy");
        return 0;
    }
    ReleaseAllObjs();
    g_dataMgr.inited = false;
    g_dataMgr.enabled = false;
    DataMgrUnlock();
    KLOG_INFO(kTag, "Data Mgr Model destroy success");
    return 0;
}

void DataMgrEnable()
{
    if (!DataMgrLock()) {
        return;
    }
    if (g_dataMgr.inited && !g_dataMgr.enabled) {
        if (CreateAllDataMgrObjsByDiskMgr() == 0) {
            g_dataMgr.enabled = true;
        } else {
            KLOG_ERR(kTag, "DataMgrEnable fail, Create All DataMgr Objs By Disk Mgr fail");
        }
    }
    DataMgrUnlock();
}

void DataMgrDisable()
{
    if (!DataMgrLock()) {
        return;
    }
    g_dataMgr.enabled = false;
    ReleaseAllObjs();
    DataMgrUnlock();
}

int32_t DataMgrSetDrmNotifyFunc(DataMgrDrmNotifyFunc func)
{
    if (!DataMgrLock()) {
        return 0;
    }
    g_dataMgr.drmNotify = func;
    DataMgrUnlock();
    KLOG_DEBUG(kTag, "Drm set new event notify func");
    return 0;
}

int32_t DataMgrDiskInfoSet(uint32_t diskId, KeeperStr sn, const void *data, uint32_t infoType)
{
    KLOG_DEBUG(kTag, "SET INFO START, INFO TYPE = %d", static_cast<int>(infoType));
    if (!SnArgValid(sn) || data == nullptr || infoType >= DATA_INFO_BUTT ||
        kSetOps[infoType] == nullptr) {
        KLOG_ERR(kTag, "DataMgrDiskInfoSet Param error, snLen = %d, diskId =%u",
                 static_cast<int>(sn.len), diskId);
        return DATA_MGR_ERR;
    }
    if (!DataMgrLock()) {
        KLOG_ERR(kTag, "Data Mgr init = %d,Mgr Enable =%d", 0, 0);
        return DATA_MGR_ERR;
    }
    int32_t ret = DataMgrDiskInfoSetLocked(diskId, sn, data, infoType);
    DataMgrUnlock();
    return ret;
}

int32_t DataMgrDiskInfoGet(uint32_t diskId, KeeperStr sn, void *buf, uint32_t bufSize,
                           uint32_t infoType)
{
    if (!SnArgValid(sn) || diskId >= MAX_DISK_ID_NUM || buf == nullptr ||
        infoType >= DATA_INFO_BUTT) {
        KLOG_ERR(kTag, "DataMgrDiskInfoGet Param error, snLen = %d, diskId =%u",
                 static_cast<int>(sn.len), diskId);
        return DATA_MGR_ERR;
    }
    KLOG_DEBUG(kTag, "GET INFO START, INFO TYPE = %d", static_cast<int>(infoType));
    if (!DataMgrLock() || !g_dataMgr.inited) {
        if (g_dataMgr.lock != nullptr) {
            DataMgrUnlock();
        }
        KLOG_ERR(kTag, "Data Mgr Master not init");
        return DATA_MGR_ERR;
    }
    int32_t ret = CheckParamValid(diskId, sn, infoType, "DataMgrDiskInfoGet");
    if (ret == 0) {
        ret = kGetOps[infoType](diskId, buf, bufSize);
        if (ret == 0) {
            KLOG_DEBUG(kTag, "GET INFO SUCCESS, INFO TYPE = %d", static_cast<int>(infoType));
        } else {
            KLOG_DEBUG(kTag, "GET INFO FAIL, INFO TYPE = %d", static_cast<int>(infoType));
        }
    }
    DataMgrUnlock();
    return ret;
}

int32_t ListAllOnlineDisk(uint32_t *ids, KeeperStr *sns, uint32_t capacity, uint32_t *count)
{
    if (ids == nullptr || sns == nullptr || count == nullptr) {
        KLOG_ERR(kTag, "Input param is NULL, please check!");
        return DATA_MGR_ERR;
    }
    if (!DataMgrLock()) {
        KLOG_ERR(kTag, "Data Mgr Master Not init");
        return DATA_MGR_ERR;
    }
    int32_t ret = 0;
    if (!g_dataMgr.inited) {
        KLOG_ERR(kTag, "Data Mgr Master Not init");
        ret = DATA_MGR_ERR;
    } else if (g_dataMgr.enabled) {
        ret = DiskMgrListAllDisk(ids, sns, capacity, count);
        if (ret != 0) {
            KLOG_ERR(kTag, "List All Online Disk fail");
        }
    }
    DataMgrUnlock();
    return ret;
}

int32_t DataMgrAgentAllInfoGet(DiskBaseInfo **baseInfos, const char **strategyStrs,
                               uint32_t *count)
{
    if (baseInfos == nullptr || strategyStrs == nullptr || count == nullptr) {
        KLOG_ERR(kTag, "Input param is NULL, please check!");
        return DATA_MGR_ERR;
    }
    *count = 0;
    if (!DataMgrLock()) {
        return 0;  // never initialised: no disks
    }
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM && *count < MAX_DISK_NUM; ++id) {
        DataMgrObj *obj = g_dataMgr.objs[id];
        if (obj == nullptr) {
            continue;
        }
        uint32_t n = *count;
        int ret = memcpy_s(baseInfos[n], sizeof(DiskBaseInfo), obj->base, sizeof(DiskBaseInfo));
        if (ret != EOK) {
            KLOG_ERR(kTag, "memcpy_s error, ret = %d", ret);
            DataMgrUnlock();
            return ret;
        }
        KLOG_DEBUG(kTag, "diskBaseInfoArray[%d], sn = %.40s", static_cast<int>(n), obj->base->sn);
        strategyStrs[n] = DataMgrStrategyText(obj->strategy);
        KLOG_DEBUG(kTag, "diskStrategyStr[%d] = %s", static_cast<int>(n),
                   strategyStrs[n] != nullptr ? strategyStrs[n] : "(null)");
        *count = n + 1;
    }
    DataMgrUnlock();
    return 0;
}
