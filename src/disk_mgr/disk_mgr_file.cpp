#include "disk_mgr/disk_mgr_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "disk_mgr/file_sys.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DISK_MGR";
constexpr const char *kWalSuffix = ".wal";
constexpr size_t kCapacityTextLen = 30;

// Check ids of the validation table, one per member plus the sentinel.
enum DiskInfoCheckId : uint32_t {
    CHECK_DISK_ID = 0,
    CHECK_DISK_STATE,
    CHECK_FRAME_ID,
    CHECK_SLOT_ID,
    CHECK_DISK_CAPACITY,
    CHECK_SECTOR_SIZE,
    CHECK_VENDOR,
    CHECK_MODEL,
    CHECK_FIRMWARE,
    CHECK_SN,
    CHECK_PCI_ADDR,
    CHECK_DISK_TYPE,
    CHECK_MEDIA_TYPE,
    CHECK_STEP_LIMIT,
};

using CheckFn = int (*)(const cJSON *item, uint32_t checkId);

struct DiskInfoCheckRow {
    uint32_t checkId;
    const char *key;
    CheckFn check;
};

const DiskInfoCheckRow kCheckTable[] = {
    {CHECK_DISK_ID, "diskId", CheckCJsonNumValue},
    {CHECK_DISK_STATE, "diskState", CheckCJsonNumValue},
    {CHECK_FRAME_ID, "frameId", CheckCJsonNumValue},
    {CHECK_SLOT_ID, "slotId", CheckCJsonNumValue},
    {CHECK_DISK_CAPACITY, "diskCapacity", CheckCJsonStrValue},
    {CHECK_SECTOR_SIZE, "sectorSize", CheckCJsonNumValue},
    {CHECK_VENDOR, "vendor", CheckCJsonStrValue},
    {CHECK_MODEL, "model", CheckCJsonStrValue},
    {CHECK_FIRMWARE, "firmware", CheckCJsonStrValue},
    {CHECK_SN, "sn", CheckCJsonStrValue},
    {CHECK_PCI_ADDR, "pciAddr", CheckCJsonStrValue},
    {CHECK_DISK_TYPE, "diskType", CheckCJsonNumValue},
    {CHECK_MEDIA_TYPE, "mediaType", CheckCJsonNumValue},
    {CHECK_STEP_LIMIT, "Check Step Limit", CheckCJsonError},
};
static_assert(sizeof(kCheckTable) / sizeof(kCheckTable[0]) == CHECK_STEP_LIMIT + 1,
              "one validation row per check id, sentinel last");

// Length limits of the string members, indexed by check id (0: not a string).
constexpr size_t kStrLimit[CHECK_STEP_LIMIT] = {
    0, 0, 0, 0, kCapacityTextLen, 0, DISK_VENDOR_LEN, DISK_MODEL_LEN, DISK_FIRMWARE_LEN,
    DISK_SN_LEN, DISK_PCI_ADDR_LEN, 0, 0,
};

bool IsDecimalInteger(const char *text)
{
    char *end = nullptr;
    errno = 0;
    (void)strtoll(text, &end, 10);
    return end != text && *end == '\0';
}

int WriteDocument(int fd, const cJSON *doc)
{
    char *text = cJSON_Print(doc);
    if (text == nullptr) {
        KLOG_ERR(kTag, "cJSON_Print fail");
        return -1;
    }
    int ret = FileSysWriteAll(fd, text, strlen(text));
    cJSON_free(text);
    return ret;
}

int RemoveAfterPermissionFailure(int fd, const char *path)
{
    (void)g_fileSysOps.close(fd);
    (void)g_fileSysOps.unlink(path);
    KLOG_ERR(kTag, "config file permission set fail, file path = %s", path);
    return -1;
}

}  // namespace

uint32_t JsonNumberToU32(double value)
{
    if (!std::isfinite(value)) {
        return 0;
    }
    double wrapped = std::fmod(std::trunc(value), 4294967296.0);
    if (wrapped < 0) {
        wrapped += 4294967296.0;
    }
    return static_cast<uint32_t>(wrapped);
}

char *GetWalFileName(const char *path)
{
    size_t len = strlen(path) + strlen(kWalSuffix) + 1;
    char *wal = static_cast<char *>(KeeperAlloc(len));
    if (wal == nullptr) {
        KLOG_ERR(kTag, "malloc mem error");
        return nullptr;
    }
    if (sprintf_s(wal, len, "%s%s", path, kWalSuffix) < 0) {
        KLOG_ERR(kTag, "malloc mem error");
        KeeperFree(wal);
        return nullptr;
    }
    return wal;
}

int SetFilePermission(int fd, const char *path, mode_t mode, const char *user, const char *group)
{
    if (g_fileSysOps.chmod(fd, mode) != 0) {
        KLOG_ERR(kTag, "chmod %s fail, mode = %d\n", path, static_cast<int>(mode));
        return -1;
    }
    uid_t uid = 0;
    if (g_fileSysOps.userId(user, &uid) != 0) {
        KLOG_ERR(kTag, "user:%s not exist\n", user);
        return -1;
    }
    gid_t gid = 0;
    if (g_fileSysOps.groupId(group, &gid) != 0) {
        KLOG_ERR(kTag, "group:%s not exist\n", group);
        return -1;
    }
    if (g_fileSysOps.chown(fd, uid, gid) != 0) {
        KLOG_ERR(kTag, "chmown %s fail, %s:%s\n", path, user, group);
        return -1;
    }
    return 0;
}

int TrySaveCJsonToFile(const char *path, const cJSON *doc, mode_t mode, const char *user,
                       const char *group)
{
    if (doc == nullptr) {
        KLOG_DEBUG(kTag, "pCJson is null");
        return -1;
    }
    // Created anew rather than truncated: the directory is the service
    // user's, and a link planted at this name must not be written through.
    int fd = FileSysCreateFresh(path, O_WRONLY, mode);
    if (fd < 0) {
        KLOG_ERR(kTag, "cant open config file, config file path = %s", path);
        return -1;
    }
    if (SetFilePermission(fd, path, mode, user, group) != 0) {
        return RemoveAfterPermissionFailure(fd, path);
    }
    int ret = WriteDocument(fd, doc);
    if (g_fileSysOps.close(fd) != 0) {
        ret = -1;
    }
    if (ret != 0) {
        // A WAL that might still parse would be taken for the newer document
        // by the next load, although this save reported failure.
        (void)g_fileSysOps.unlink(path);
    }
    return ret;
}

cJSON *TryLoadCJsonFromFile(const char *path)
{
    int fd = g_fileSysOps.open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        KLOG_ERR(kTag, "TryLoadCJsonFromFile %s fail, file not exist", path);
        return nullptr;
    }
    off_t end = g_fileSysOps.lseek(fd, 0, SEEK_END);
    if (end < 0 || g_fileSysOps.lseek(fd, 0, SEEK_SET) != 0) {
        KLOG_ERR(kTag, "TryLoadCJsonFromFile %s fail, seek fail", path);
        (void)g_fileSysOps.close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(end);
    char *buf = static_cast<char *>(KeeperAlloc(size + 1));
    if (buf == nullptr) {
        (void)g_fileSysOps.close(fd);
        return nullptr;
    }
    (void)memset_s(buf, size + 1, 0, size + 1);
    ssize_t got = FileSysReadFull(fd, buf, size);
    (void)g_fileSysOps.close(fd);
    cJSON *doc = nullptr;
    if (got != static_cast<ssize_t>(size)) {
        KLOG_ERR(kTag, "TryLoadCJsonFromFile %s fail, read size = %zu,filesize = %zu", path,
                 got < 0 ? static_cast<size_t>(0) : static_cast<size_t>(got), size);
    } else {
        // The whole file must be one document: a torn write never passes for
        // a complete one followed by leftovers.
        doc = cJSON_ParseWithLengthOpts(buf, size + 1, nullptr, 1);
    }
    KeeperFree(buf);
    return doc;
}

int SaveCJsonToFile(const char *path, const cJSON *doc, mode_t mode, const char *user,
                    const char *group)
{
    char *wal = GetWalFileName(path);
    if (wal == nullptr) {
        KLOG_ERR(kTag, "make tmp Config File Path error");
        return -1;
    }
    int ret = -1;
    if (TrySaveCJsonToFile(wal, doc, mode, user, group) != 0) {
        KLOG_ERR(kTag, "Save to  tmp Config error");
    } else {
        if (g_fileSysOps.unlink(path) != 0) {
            KLOG_ERR(kTag, "Remove old config fail");
        }
        if (g_fileSysOps.rename(wal, path) != 0) {
            KLOG_ERR(kTag, "Rename new config fail");
        } else {
            ret = 0;
        }
    }
    KeeperFree(wal);
    return ret;
}

cJSON *LoadCJsonFromFile(const char *path)
{
    char *wal = GetWalFileName(path);
    if (wal == nullptr) {
        return nullptr;
    }
    cJSON *doc = nullptr;
    int walFd = g_fileSysOps.open(wal, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (walFd >= 0) {
        (void)g_fileSysOps.close(walFd);
        doc = TryLoadCJsonFromFile(wal);
    }
    if (doc != nullptr) {
        KLOG_DEBUG(kTag, "Exisit wal file and read from = %s", wal);
        if (g_fileSysOps.rename(wal, path) != 0) {
            KLOG_ERR(kTag, "Rename wal config File fail");
        }
    } else {
        doc = TryLoadCJsonFromFile(path);
    }
    KeeperFree(wal);
    return doc;
}

int CheckUIntInRange(uint32_t value, uint32_t low, uint32_t high)
{
    if (low >= high) {
        KLOG_WARN(kTag, "CheckUIntInRange Func input error param.");
        return -1;
    }
    return (value >= low && value < high) ? 0 : -1;
}

int CheckCJsonNumValue(const cJSON *item, uint32_t checkId)
{
    double number = cJSON_GetNumberValue(item);
    if (std::isnan(number)) {
        KLOG_ERR(kTag, "Value number is not a number.");
        return -1;
    }
    uint32_t value = JsonNumberToU32(number);
    switch (checkId) {
        case CHECK_DISK_ID:
            return CheckUIntInRange(value, 0, MAX_DISK_ID_NUM);
        case CHECK_DISK_STATE:
            return (value == DISK_STATE_OFFLINE) ? -1 : CheckUIntInRange(value, 0, DISK_STATE_UNSET);
        case CHECK_DISK_TYPE:
            return CheckUIntInRange(value, 0, DISK_TYPE_UNKNOWN);
        case CHECK_MEDIA_TYPE:
            return CheckUIntInRange(value, 0, MEDIA_TYPE_UNKNOWN);
        case CHECK_FRAME_ID:
        case CHECK_SLOT_ID:
        case CHECK_SECTOR_SIZE:
            return 0;
        default:
            KLOG_WARN(kTag, "CheckCJsonNumValue Func input error param(%d).",
                      static_cast<int>(checkId));
            return 0;
    }
}

int CheckStrInLimitLength(const char *str, size_t limit)
{
    if (str == nullptr || strnlen(str, limit) >= limit) {
        KLOG_ERR(kTag, "Value string len is beyond len limit.");
        return -1;
    }
    return 0;
}

int CheckCJsonStrValue(const cJSON *item, uint32_t checkId)
{
    const char *str = cJSON_GetStringValue(item);
    if (str == nullptr) {
        KLOG_ERR(kTag, "Value string not exist.");
        return -1;
    }
    if (checkId >= CHECK_STEP_LIMIT || kStrLimit[checkId] == 0) {
        KLOG_WARN(kTag, "CheckStrLenInLimit Func input error param(%d).", static_cast<int>(checkId));
        return 0;
    }
    if (CheckStrInLimitLength(str, kStrLimit[checkId]) != 0) {
        return -1;
    }
    if (checkId == CHECK_DISK_CAPACITY && !IsDecimalInteger(str)) {
        return -1;
    }
    return 0;
}

int CheckCJsonError(const cJSON *, uint32_t)
{
    KLOG_WARN(kTag, "It Seem Check Step Not Match Number Need To Be Save");
    return -1;
}

int CheckCJsonIsValidDiskInfo(const cJSON *elem)
{
    if (elem == nullptr) {
        KLOG_ERR(kTag, "Check Disk Mgr Obj CJson Fail, Bad Param(NULL).");
        return -1;
    }
    for (uint32_t i = 0; i < CHECK_STEP_LIMIT; ++i) {
        const DiskInfoCheckRow &row = kCheckTable[i];
        const cJSON *item = cJSON_GetObjectItem(elem, row.key);
        if (item == nullptr) {
            KLOG_ERR(kTag, "Check Disk Mgr Obj CJson Fail, Member %s not exist.", row.key);
        }
        if (row.check(item, row.checkId) != 0) {
            KLOG_ERR(kTag, "Check Disk Mgr Obj CJson Fail, (%s).", row.key);
            return -1;
        }
    }
    return 0;
}

namespace {

uint32_t MemberU32(const cJSON *elem, const char *key)
{
    return JsonNumberToU32(cJSON_GetNumberValue(cJSON_GetObjectItem(elem, key)));
}

const char *MemberStr(const cJSON *elem, const char *key)
{
    return cJSON_GetStringValue(cJSON_GetObjectItem(elem, key));
}

// strtoll already clamps an overlong number to LLONG_MAX, which is the
// intended reading of a capacity too large for the file's format.
uint64_t CapacityFromText(const char *text)
{
    long long v = strtoll(text, nullptr, 10);
    return static_cast<uint64_t>(v);
}

}  // namespace

int ParseCJson2DiskInfo(const cJSON *elem, DiskBaseInfo *out)
{
    int ret = CheckCJsonIsValidDiskInfo(elem);
    if (ret != 0 || out == nullptr) {
        KLOG_ERR(kTag, "Parse CJson to Disk Info fail, Vaild format (ret = %d).", ret);
        return -1;
    }
    out->diskId = MemberU32(elem, "diskId");
    out->diskState = MemberU32(elem, "diskState");
    out->frameId = MemberU32(elem, "frameId");
    out->slotId = MemberU32(elem, "slotId");
    out->sectorSize = MemberU32(elem, "sectorSize");
    out->diskType = MemberU32(elem, "diskType");
    out->mediaType = MemberU32(elem, "mediaType");
    out->diskCapacity = CapacityFromText(MemberStr(elem, "diskCapacity"));
    int copy = strcpy_s(out->vendor, sizeof(out->vendor), MemberStr(elem, "vendor"));
    copy |= strcpy_s(out->model, sizeof(out->model), MemberStr(elem, "model"));
    copy |= strcpy_s(out->firmware, sizeof(out->firmware), MemberStr(elem, "firmware"));
    copy |= strcpy_s(out->sn, sizeof(out->sn), MemberStr(elem, "sn"));
    copy |= strcpy_s(out->pciAddr, sizeof(out->pciAddr), MemberStr(elem, "pciAddr"));
    copy |= strcpy_s(out->deviceName, sizeof(out->deviceName), "unknown");
    return copy;
}

int DiskMgrAddNumToCJson(cJSON *obj, const char *name, uint32_t value)
{
    if (cJSON_AddNumberToObject(obj, name, static_cast<double>(value)) == nullptr) {
        KLOG_ERR(kTag, "DiskMgrAddNumToCJson fail, cJSON_AddNumberToObject get NULL");
        return -1;
    }
    return 0;
}

int DiskMgrAddStringToCJson(cJSON *obj, const char *name, const char *value)
{
    const cJSON *item = cJSON_AddStringToObject(obj, name, value);
    const char *stored = cJSON_GetStringValue(item);
    if (stored == nullptr || strcmp(stored, value) != 0) {
        KLOG_ERR(kTag, "DiskMgrAddStringToCJson fail, valueName = %s value = %s", name, value);
        return -1;
    }
    return 0;
}

namespace {

// The character fields are NUL-terminated by construction, but a record copied
// in from outside may fill a field to the last byte; never read past it.
int AddFieldString(cJSON *obj, const char *name, const char *field, size_t size)
{
    char text[DISK_PCI_ADDR_LEN + 1] = {};
    if (strncpy_s(text, sizeof(text), field, strnlen(field, size)) != EOK) {
        return -1;
    }
    return DiskMgrAddStringToCJson(obj, name, text);
}

int AddDiskMembers(cJSON *elem, const DiskMgrObj *obj)
{
    const struct {
        const char *name;
        uint32_t value;
    } numbers[] = {
        {"diskId", obj->diskId},         {"diskState", obj->diskState},
        {"frameId", obj->frameId},       {"slotId", obj->slotId},
        {"sectorSize", obj->sectorSize}, {"diskType", obj->diskType},
        {"mediaType", obj->mediaType},
    };
    for (const auto &n : numbers) {
        if (DiskMgrAddNumToCJson(elem, n.name, n.value) != 0) {
            return -1;
        }
    }
    char capacity[kCapacityTextLen] = {};
    if (sprintf_s(capacity, sizeof(capacity), "%" PRIu64, obj->diskCapacity) < 0 ||
        DiskMgrAddStringToCJson(elem, "diskCapacity", capacity) != 0) {
        return -1;
    }
    const struct {
        const char *name;
        const char *field;
        size_t size;
    } strings[] = {
        {"vendor", obj->vendor, sizeof(obj->vendor)},
        {"model", obj->model, sizeof(obj->model)},
        {"sn", obj->sn, sizeof(obj->sn)},
        {"pciAddr", obj->pciAddr, sizeof(obj->pciAddr)},
        {"firmware", obj->firmware, sizeof(obj->firmware)},
    };
    for (const auto &s : strings) {
        if (AddFieldString(elem, s.name, s.field, s.size) != 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

cJSON *ConvertSingleDiskMgrObj2cJSON(const DiskMgrObj *obj)
{
    cJSON *elem = cJSON_CreateObject();
    if (elem == nullptr) {
        return nullptr;
    }
    if (obj == nullptr || AddDiskMembers(elem, obj) != 0) {
        cJSON_Delete(elem);
        return nullptr;
    }
    return elem;
}

int ConvertDiskMgrObjs2cJSON(DiskMgrObj *const *objs, uint32_t num, cJSON **out)
{
    cJSON *array = cJSON_CreateArray();
    if (array == nullptr || objs == nullptr || out == nullptr) {
        cJSON_Delete(array);
        return -1;
    }
    for (uint32_t i = 0; i < num; ++i) {
        if (objs[i] == nullptr) {
            continue;
        }
        cJSON *elem = ConvertSingleDiskMgrObj2cJSON(objs[i]);
        if (elem == nullptr) {
            KLOG_ERR(kTag, "ConvertSingleDiskMgrObj2cJSON fail diskid = %d", static_cast<int>(i));
            cJSON_Delete(array);
            return -1;
        }
        if (!cJSON_AddItemToArray(array, elem)) {
            KLOG_ERR(kTag, "cJSON_AddItemToArray fail");
            cJSON_Delete(elem);
            cJSON_Delete(array);
            return -1;
        }
    }
    *out = array;
    return 0;
}
