#include "disk_mgr/disk_mgr.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>

#include "config/config_prefix.h"
#include "disk_mgr/disk_mgr_file.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_adapter_os/keeper_os.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DISK_MGR";
constexpr const char *kRegistryFile = "config/disk_mgr.config";
constexpr size_t kPathMax = 4096;
constexpr const char *kUnreadableSuffix = ".unreadable";

// Return codes with fixed meanings for the data manager.
constexpr int32_t kNotFound = 4;
constexpr int32_t kRegistryFull = 2;
constexpr int32_t kNoSuchObj = 1;
constexpr int32_t kListTooSmall = 6;
constexpr int32_t kBadUpdateArg = 7;

struct DiskMgrState {
    DiskMgrObj *slots[MAX_DISK_ID_NUM];
    KeeperAtomic *count;
    uint32_t cursor;  // next id to try, always < MAX_DISK_ID_NUM
    char *filePath;
    bool inited;
};

DiskMgrState g_diskMgr = {};

struct EnumText {
    const char *agentStr;
    const char *display;
};

constexpr EnumText kDiskTypeText[] = {
    {"SSD_NVMe", "NVME SSD"}, {"SSD_SAS", "SAS SSD"},   {"SSD_SATA", "SATA SSD"},
    {"HDD_SAS", "SAS HDD"},   {"HDD_SATA", "SATA HDD"}, {"HDD_NL_SAS", "NL SAS HDD"},
    {nullptr, "UNKONW DISK TYPE"},
};
static_assert(sizeof(kDiskTypeText) / sizeof(kDiskTypeText[0]) == DISK_TYPE_UNKNOWN + 1);

constexpr const char *kMediaTypeText[] = {"SLC", "MLC", "TLC", "QLC", "PLC", "MAGNET", "UNKNOWN"};
static_assert(sizeof(kMediaTypeText) / sizeof(kMediaTypeText[0]) == MEDIA_TYPE_UNKNOWN + 1);

constexpr const char *kDiskStateText[] = {"Normal state", "Fault state", "Off-line state",
                                          "Prefail state", "Slow state", ""};
static_assert(sizeof(kDiskStateText) / sizeof(kDiskStateText[0]) == DISK_STATE_UNSET + 1);

bool SnEqual(const char *a, const char *b) { return strncmp(a, b, DISK_SN_LEN) == 0; }

uint32_t RegisteredCount()
{
    return g_diskMgr.count == nullptr ? 0 : static_cast<uint32_t>(KeeperAtomicRead(g_diskMgr.count));
}

void LogAllSn(const char *sn)
{
    KLOG_DEBUG(kTag, "GetDiskIdBySn can't find sn = %s", sn);
    for (uint32_t i = 0; i < MAX_DISK_ID_NUM; ++i) {
        if (g_diskMgr.slots[i] != nullptr) {
            KLOG_DEBUG(kTag, "\tsn = %.40s, diskid= %d", g_diskMgr.slots[i]->sn, static_cast<int>(i));
        }
    }
}

// Adds one parsed element; a taken id keeps the entry loaded first.
void StoreLoadedObj(DiskMgrObj *obj)
{
    if (g_diskMgr.slots[obj->diskId] != nullptr) {
        KLOG_ERR(kTag, "Detected duplicate disk id: %u", obj->diskId);
        KeeperFree(obj);
        return;
    }
    g_diskMgr.slots[obj->diskId] = obj;
    (void)KeeperAtomicInc(g_diskMgr.count);
}

int32_t LoadElements(const cJSON *doc)
{
    int n = cJSON_GetArraySize(doc);
    KLOG_DEBUG(kTag, "load config file, disk info num = %d", n);
    if (n > static_cast<int>(MAX_DISK_NUM)) {
        KLOG_DEBUG(kTag, "Too Many Disk Obj(%d) in Config File", n);
        return -1;
    }
    int index = 0;
    for (const cJSON *elem = doc->child; elem != nullptr; elem = elem->next, ++index) {
        auto *obj = static_cast<DiskMgrObj *>(KeeperAlloc(sizeof(DiskMgrObj)));
        if (obj != nullptr) {
            (void)memset_s(obj, sizeof(*obj), 0, sizeof(*obj));
        }
        if (obj == nullptr || ParseCJson2DiskInfo(elem, obj) != 0) {
            KLOG_ERR(kTag, "log config file error at diskInfoCJson[%d]", index);
            if (obj != nullptr) {
                KeeperFree(obj);
            }
            DiskMgrFreeAllObj();
            return -1;
        }
        StoreLoadedObj(obj);
    }
    return 0;
}

bool Terminated(const char *field, size_t size) { return memchr(field, '\0', size) != nullptr; }

// The file's loader refuses a whole file over one bad element, so a record
// that would not load back must never reach the file: it would cost every
// disk its id at the next start.
bool RecordIsStorable(const DiskBaseInfo *r, bool isNew)
{
    bool stateOk = isNew || (r->diskState < DISK_STATE_UNSET && r->diskState != DISK_STATE_OFFLINE);
    return stateOk && r->diskType < DISK_TYPE_UNKNOWN && r->mediaType < MEDIA_TYPE_UNKNOWN &&
           Terminated(r->vendor, sizeof(r->vendor)) && Terminated(r->model, sizeof(r->model)) &&
           Terminated(r->firmware, sizeof(r->firmware)) && Terminated(r->sn, sizeof(r->sn)) &&
           Terminated(r->pciAddr, sizeof(r->pciAddr));
}

int32_t RefuseRecord(uint32_t diskId)
{
    KLOG_ERR(kTag, "disk info update refused, record of disk %u would not load back", diskId);
    return -1;
}

int32_t RegisterNew(uint32_t diskId, const DiskBaseInfo *record)
{
    if (DiskMgrIsSnExist(record->sn) == 0 || record->diskState == DISK_STATE_OFFLINE) {
        return -1;
    }
    if (!RecordIsStorable(record, true)) {
        return RefuseRecord(diskId);
    }
    auto *obj = static_cast<DiskMgrObj *>(KeeperAlloc(sizeof(DiskMgrObj)));
    if (obj == nullptr || memcpy_s(obj, sizeof(*obj), record, sizeof(*record)) != EOK) {
        KLOG_ERR(kTag, "DiskInfoUpdate fail , memcpy DiskMgrObj fail");
        if (obj != nullptr) {
            KeeperFree(obj);
        }
        return -1;
    }
    obj->diskId = diskId;
    obj->diskState = DISK_STATE_NORMAL;
    g_diskMgr.slots[diskId] = obj;
    if (DiskInfoSavetoConfig() != 0) {
        g_diskMgr.slots[diskId] = nullptr;
        KeeperFree(obj);
        KLOG_ERR(kTag, "DiskInfoUpdate DiskInfoSavetoConfig fail , config file path = %s",
                 g_diskMgr.filePath);
        return -1;
    }
    (void)KeeperAtomicInc(g_diskMgr.count);
    return 0;
}

int32_t RemoveEntry(uint32_t diskId)
{
    DiskMgrObj *obj = g_diskMgr.slots[diskId];
    g_diskMgr.slots[diskId] = nullptr;
    int32_t ret = DiskInfoSavetoConfig();
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskInfoUpdate DiskInfoSavetoConfig fail , config file path = %s",
                 g_diskMgr.filePath);
        g_diskMgr.slots[diskId] = obj;
        return ret;
    }
    KeeperFree(obj);
    (void)KeeperAtomicDec(g_diskMgr.count);
    return 0;
}

int32_t ReplaceEntry(uint32_t diskId, const DiskBaseInfo *record)
{
    if (!RecordIsStorable(record, false)) {
        return RefuseRecord(diskId);
    }
    if (memcpy_s(g_diskMgr.slots[diskId], sizeof(DiskMgrObj), record, sizeof(*record)) != EOK) {
        KLOG_ERR(kTag, "DiskInfoUpdate fail , memcpy DiskMgrObj fail");
        return -1;
    }
    int32_t ret = DiskInfoSavetoConfig();
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskInfoUpdate DiskInfoSavetoConfig fail , config file path = %s",
                 g_diskMgr.filePath);
    }
    return ret;
}

}  // namespace

uint32_t DiskTypeFromAgentStr(const char *str)
{
    for (uint32_t i = 0; str != nullptr && i < DISK_TYPE_UNKNOWN; ++i) {
        if (strcasecmp(str, kDiskTypeText[i].agentStr) == 0) {
            return i;
        }
    }
    return DISK_TYPE_UNKNOWN;
}

const char *DiskTypeDisplayText(uint32_t diskType)
{
    return kDiskTypeText[diskType < DISK_TYPE_UNKNOWN ? diskType : DISK_TYPE_UNKNOWN].display;
}

uint32_t MediaTypeFromAgentStr(const char *str)
{
    for (uint32_t i = 0; str != nullptr && i < MEDIA_TYPE_UNKNOWN; ++i) {
        if (strcasecmp(str, kMediaTypeText[i]) == 0) {
            return i;
        }
    }
    return MEDIA_TYPE_UNKNOWN;
}

const char *MediaTypeText(uint32_t mediaType)
{
    return kMediaTypeText[mediaType < MEDIA_TYPE_UNKNOWN ? mediaType : MEDIA_TYPE_UNKNOWN];
}

const char *DiskStateDisplayText(uint32_t diskState)
{
    return kDiskStateText[diskState < DISK_STATE_UNSET ? diskState : DISK_STATE_UNSET];
}

int32_t SetGConfigFilePath(const char *path)
{
    size_t len = strlen(path) + 1;
    char *copy = static_cast<char *>(KeeperAlloc(len));
    if (copy == nullptr) {
        KLOG_ERR(kTag, "Malloc failed.");
        return -1;
    }
    if (strcpy_s(copy, len, path) != EOK) {
        KLOG_ERR(kTag, "String copy failed.");
        KeeperFree(copy);
        return -1;
    }
    if (g_diskMgr.filePath != nullptr) {
        KeeperFree(g_diskMgr.filePath);
    }
    g_diskMgr.filePath = copy;
    return 0;
}

int32_t DiskMgrInit(const char *path)
{
    KLOG_INFO(kTag, "Disk Mgr Model Init start = %s", path == nullptr ? "(default)" : path);
    if (g_diskMgr.inited) {
        KLOG_WARN(kTag, "Disk Mgr Model already init");
        return -1;
    }
    if (g_diskMgr.count == nullptr) {
        g_diskMgr.count = KeeperAtomicCreate(0);
        if (g_diskMgr.count == nullptr) {
            return -1;
        }
    }
    g_diskMgr.cursor = 0;
    char defaultPath[kPathMax] = {};
    if (path == nullptr) {
        if (sprintf_s(defaultPath, sizeof(defaultPath), "%s/%s", GetConfigPrefix(), kRegistryFile) < 0) {
            KLOG_ERR(kTag, "Concatenate config prefix:%s with file:%s failed.", GetConfigPrefix(),
                     kRegistryFile);
            return -1;
        }
        path = defaultPath;
    }
    if (SetGConfigFilePath(path) != 0) {
        KLOG_ERR(kTag, "Set config file path = %s failed", path);
        return -1;
    }
    if (DiskInfoLoadConfig() != 0) {
        KLOG_WARN(kTag, "DiskInfoLoadConfig fail , config file path = %s", g_diskMgr.filePath);
    }
    g_diskMgr.inited = true;
    KLOG_INFO(kTag, "Disk Mgr Model Init finish , config file path = %s", g_diskMgr.filePath);
    return 0;
}

void DiskMgrDestroy()
{
    if (!g_diskMgr.inited) {
        KLOG_ERR(kTag, "Disk Mgr Model no init,can't destroy");
        return;
    }
    KLOG_INFO(kTag, "Disk Mgr Model start destory");
    DiskMgrFreeAllObj();
    KeeperAtomicDestroy(g_diskMgr.count);
    g_diskMgr.count = nullptr;
    KeeperFree(g_diskMgr.filePath);
    g_diskMgr.filePath = nullptr;
    g_diskMgr.cursor = 0;
    g_diskMgr.inited = false;
    KLOG_INFO(kTag, "Disk Mgr Model destory success");
}

namespace {

// A registry file that cannot be read would be overwritten by the next
// registration. A hard link under a second name keeps the operator's bytes
// (the save replaces the name, not the inode) at no copying cost.
void KeepUnreadableRegistry(const char *path)
{
    if (access(path, F_OK) != 0) {
        return;  // nothing there: a fresh install
    }
    char kept[kPathMax];
    if (sprintf_s(kept, sizeof(kept), "%s%s", path, kUnreadableSuffix) < 0) {
        return;
    }
    (void)unlink(kept);
    if (link(path, kept) != 0) {
        KLOG_ERR(kTag, "keep unreadable registry file %s as %s failed(errno:%d).", path, kept,
                 errno);
        return;
    }
    KLOG_ERR(kTag, "registry file %s cannot be used; kept as %s for inspection, disks get new ids.",
             path, kept);
}

}  // namespace

int32_t DiskInfoLoadConfig()
{
    if (g_diskMgr.filePath == nullptr || g_diskMgr.count == nullptr) {
        return -1;
    }
    cJSON *doc = LoadCJsonFromFile(g_diskMgr.filePath);
    if (doc == nullptr) {
        KLOG_ERR(kTag, "cant load from config file, config file path = %s", g_diskMgr.filePath);
        KeepUnreadableRegistry(g_diskMgr.filePath);
        return -1;
    }
    int32_t ret = -1;
    if (!cJSON_IsArray(doc)) {
        KLOG_ERR(kTag, "config file %s does not hold an array of disks", g_diskMgr.filePath);
        KeepUnreadableRegistry(g_diskMgr.filePath);
    } else {
        ret = LoadElements(doc);
    }
    cJSON_Delete(doc);
    return ret;
}

int32_t DiskInfoSavetoConfig()
{
    if (g_diskMgr.filePath == nullptr) {
        return -1;
    }
    cJSON *doc = nullptr;
    if (ConvertDiskMgrObjs2cJSON(g_diskMgr.slots, MAX_DISK_ID_NUM, &doc) != 0) {
        KLOG_ERR(kTag, "Convert Disk Mgr Obj to cJSON error");
        return -1;
    }
    int ret = SaveCJsonToFile(g_diskMgr.filePath, doc, DISK_MGR_FILE_MODE, SPK_SERVICE_USER,
                              SPK_SERVICE_GROUP);
    cJSON_Delete(doc);
    if (ret != 0) {
        KLOG_ERR(kTag, "Save Disk Info Json To File error");
        return -1;
    }
    return 0;
}

int32_t GetDiskIdBySn(uint32_t snLen, const char *sn, uint32_t *diskId)
{
    if (snLen > DISK_SN_LEN || sn == nullptr || diskId == nullptr) {
        KLOG_ERR(kTag, "DiskBaseInfoSet Param error, sn len = %d", static_cast<int>(snLen));
        return -1;
    }
    for (uint32_t i = 0; i < MAX_DISK_ID_NUM; ++i) {
        if (g_diskMgr.slots[i] != nullptr && SnEqual(g_diskMgr.slots[i]->sn, sn)) {
            *diskId = i;
            return 0;
        }
    }
    LogAllSn(sn);
    return kNotFound;
}

int32_t GetNewDiskId(uint32_t snLen, const char *sn, uint32_t *diskId)
{
    if (snLen > DISK_SN_LEN || sn == nullptr || diskId == nullptr) {
        KLOG_ERR(kTag, "DiskBaseInfoSet Param error, sn_len = %d", static_cast<int>(snLen));
        return -1;
    }
    if (RegisteredCount() >= MAX_DISK_NUM) {
        return kRegistryFull;
    }
    for (uint32_t probe = 0; probe < MAX_DISK_ID_NUM; ++probe) {
        if (g_diskMgr.slots[g_diskMgr.cursor] == nullptr) {
            *diskId = g_diskMgr.cursor;
            KLOG_DEBUG(kTag, "GetNewDiskId:pre set new diskid: sn = %.40s diskId = %d", sn,
                       static_cast<int>(*diskId));
            return 0;
        }
        g_diskMgr.cursor = (g_diskMgr.cursor + 1) % MAX_DISK_ID_NUM;
    }
    return -1;
}

int32_t DiskInfoUpdate(uint32_t diskId, const DiskBaseInfo *record)
{
    if (diskId >= MAX_DISK_ID_NUM || record == nullptr) {
        return kBadUpdateArg;
    }
    DiskMgrObj *obj = g_diskMgr.slots[diskId];
    if (obj == nullptr) {
        return RegisterNew(diskId, record);
    }
    if (!SnEqual(record->sn, obj->sn)) {
        KLOG_ERR(kTag,
                 "disk info update failed, input SN (%.40s) does not match saved SN (%.40s) under "
                 "same disk id.",
                 record->sn, obj->sn);
        return -1;
    }
    if (record->diskState == DISK_STATE_OFFLINE) {
        return RemoveEntry(diskId);
    }
    return ReplaceEntry(diskId, record);
}

int32_t DiskMgrIsSnExist(const char *sn)
{
    if (sn == nullptr) {
        return -1;
    }
    for (uint32_t i = 0; i < MAX_DISK_ID_NUM; ++i) {
        if (g_diskMgr.slots[i] != nullptr && SnEqual(g_diskMgr.slots[i]->sn, sn)) {
            return 0;
        }
    }
    return -1;
}

int32_t DiskMgrGetObj(uint32_t diskId, DiskMgrObj **obj)
{
    if (diskId >= MAX_DISK_ID_NUM || obj == nullptr || g_diskMgr.slots[diskId] == nullptr) {
        return kNoSuchObj;
    }
    *obj = g_diskMgr.slots[diskId];
    return 0;
}

int32_t DiskMgrListAllDisk(uint32_t *ids, KeeperStr *snBufs, uint32_t capacity, uint32_t *count)
{
    if (count == nullptr) {
        return -1;
    }
    *count = RegisteredCount();
    if (capacity < *count) {
        return kListTooSmall;
    }
    if (*count > 0 && (ids == nullptr || snBufs == nullptr)) {
        return -1;
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i < MAX_DISK_ID_NUM && n < capacity; ++i) {
        const DiskMgrObj *obj = g_diskMgr.slots[i];
        if (obj == nullptr) {
            continue;
        }
        ids[n] = obj->diskId;
        if (snBufs[n].buf == nullptr ||
            strncpy_s(snBufs[n].buf, snBufs[n].len, obj->sn, strnlen(obj->sn, DISK_SN_LEN)) != EOK) {
            return -1;
        }
        ++n;
    }
    return 0;
}

void DiskMgrFreeAllObj()
{
    for (uint32_t i = 0; i < MAX_DISK_ID_NUM; ++i) {
        if (g_diskMgr.slots[i] != nullptr) {
            KeeperFree(g_diskMgr.slots[i]);
            g_diskMgr.slots[i] = nullptr;
        }
    }
    if (g_diskMgr.count != nullptr) {
        KeeperAtomicSet(g_diskMgr.count, 0);
    }
}
