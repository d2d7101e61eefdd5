#include "data_mgr/data_mgr_master/data_mgr_online.h"

#include <regex.h>

#include <cstring>

#include "data_collect/data_collect_master/dcm_schedule.h"
#include "data_mgr/data_mgr_master/data_mgr_dma.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DATA_MGR_MASTER";

struct WhiteListRow {
    uint32_t diskType;
    const char *vendorPattern;  // at most 44 characters
    const char *modelPattern;   // at most 30 characters
};

constexpr WhiteListRow kWhiteList[] = {
    {DISK_TYPE_SSD_SATA, "^ATA$", "^((KSSD-)|(KVE)|(KV-SAS)).*"},
    {DISK_TYPE_SSD_NVME, "^KORVAN$|^0x1c7f$", ".*"},
    {DISK_TYPE_SSD_SAS, "^KORVAN$|^0x1c7f$|^TELMAR$|^OSKEN$", ".*"},
    {DISK_TYPE_HDD_SAS, "^WD$|^Western Digital$|^SEAGATE$|^TOSHIBA$", ".*"},
};

struct NonWhiteListSnNode {
    NonWhiteListSnNode *next;
    char sn[NON_WHITELIST_SN_LEN];
};

// The non-whitelist cache; guarded by the data-manager lock.
struct DataMgrOnlineState {
    NonWhiteListSnNode *head;
    uint32_t count;
};

DataMgrOnlineState g_online = {nullptr, 0};

// Matches one compiled-on-demand pattern against `text`; -1 when the
// pattern does not compile.
int RegexMatches(const char *pattern, const char *text)
{
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0) {
        return -1;
    }
    int hit = regexec(&re, text, 0, nullptr, 0) == 0 ? 1 : 0;
    regfree(&re);
    return hit;
}

bool SnInList(const char *sn, const KeeperStr *snList, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (snList[i].buf != nullptr && strncmp(snList[i].buf, sn, DISK_SN_LEN) == 0) {
            return true;
        }
    }
    return false;
}

// Removes one disk that left every device list: registry entry, agent,
// DRM, object. 0, or the registry's status when the removal failed.
int32_t OfflineOneDisk(uint32_t diskId, const DiskBaseInfo *entry)
{
    char sn[DISK_SN_LEN + 1] = {0};
    if (strncpy_s(sn, sizeof(sn), entry->sn, DISK_SN_LEN) != EOK) {
        KLOG_ERR(kTag, "offline disk sn error(sn= %s)", sn);
        return -1;
    }
    KLOG_INFO(kTag, "Try offline disk (sn = %s disk id = %u)", sn, diskId);
    // The update gets a copy: should the registry refuse, its entry keeps
    // the state it had.
    DiskBaseInfo offline = *entry;
    offline.diskState = DISK_STATE_OFFLINE;
    int32_t ret = DiskInfoUpdate(diskId, &offline);
    if (ret != 0) {
        KLOG_ERR(kTag, "DiskSerialNumberRefresh delete offline disk fail, sn = %s", sn);
        return ret;
    }
    KeeperStr snStr{static_cast<uint32_t>(strlen(sn)), sn};
    int send = DataMgrMasterSendRpcMsg2Agent(DMA_MSG_POWEROFF_DISK, snStr, nullptr);
    if (send != 0) {
        KLOG_ERR(kTag, "DiskHealthinfoInner send Rpc to agent failed! ret:[%d]", send);
    }
    KeeperStr snField{static_cast<uint32_t>(DISK_SN_LEN), sn};
    if (DataMgrNotifyDrmDiskEvent(diskId, snField, DATA_MGR_DRM_DISK_REMOVED) != 0) {
        KLOG_ERR(kTag, "DiskBaseInfoSet notify drm delete disk fail");
    }
    DataMgrReleaseObjLocked(diskId);
    KLOG_INFO(kTag, "offline disk (disk id = %u) success", diskId);
    return 0;
}

// Fetches, matches and, when whitelisted, registers one unregistered disk.
// -1 ends the online phase for this refresh.
int32_t OnlineOneDisk(const KeeperStr &entry)
{
    DiskBaseInfo info;
    memset(&info, 0, sizeof(info));
    int32_t ret = FetchDiskBaseInfo(DISK_SN_LEN, entry.buf, &info);
    if (ret != 0) {
        KLOG_ERR(kTag, "FetchDiskBaseInfo fail, sn = %.40s, ret = %d", entry.buf, ret);
        return -1;
    }
    if (strncmp(info.sn, entry.buf, DISK_SN_LEN) != 0) {
        // An agent that answers for another disk must not get that disk
        // registered under a serial number it was not asked about.
        KLOG_ERR(kTag, "FetchDiskBaseInfo answered sn = %.40s for sn = %.40s", info.sn, entry.buf);
        return 0;
    }
    info.vendor[DISK_VENDOR_LEN - 1] = '\0';
    info.model[DISK_MODEL_LEN - 1] = '\0';
    int32_t match = DiskWhiteListMatch(info.vendor, info.model, info.diskType);
    if (match != WHITELIST_MATCH) {
        ProcessNonWhitelist(info.sn, info.vendor, info.model, match);
        return 0;
    }
    KLOG_DEBUG(kTag, "Current sn (%s) in whitelist. vendor(%s), model(%s)", info.sn, info.vendor,
               info.model);
    if (DataMgrCreateNewDiskInfo(&info) != 0) {
        KLOG_ERR(kTag, "DiskSerialNumberRefresh init disk fail");
        return -1;
    }
    KLOG_INFO(kTag, "Fetch new disk base info(sn = %s) success", info.sn);
    return 0;
}

}  // namespace

int32_t DiskWhiteListMatch(const char *vendor, const char *model, uint32_t diskType)
{
    if (vendor == nullptr || model == nullptr) {
        return WHITELIST_NO_MATCH;
    }
    for (const WhiteListRow &row : kWhiteList) {
        int vendorHit = RegexMatches(row.vendorPattern, vendor);
        int modelHit = RegexMatches(row.modelPattern, model);
        if (vendorHit < 0 || modelHit < 0) {
            return WHITELIST_PATTERN_ERROR;
        }
        if (row.diskType == diskType && vendorHit == 1 && modelHit == 1) {
            return WHITELIST_MATCH;
        }
    }
    return WHITELIST_NO_MATCH;
}

bool IsInNonWhiteListSn(uint32_t snLen, const char *sn)
{
    if (sn == nullptr) {
        return false;
    }
    size_t len = strnlen(sn, snLen > DISK_SN_LEN ? DISK_SN_LEN : snLen);
    for (const NonWhiteListSnNode *node = g_online.head; node != nullptr; node = node->next) {
        if (strlen(node->sn) == len && memcmp(node->sn, sn, len) == 0) {
            KLOG_DEBUG(kTag, "Current sn (%s) in NonWhiteListSnNode", node->sn);
            return true;
        }
    }
    return false;
}

int32_t AddSnToNonWhiteList(const char *sn)
{
    if (g_online.count >= NON_WHITELIST_CACHE_MAX) {
        KLOG_INFO(kTag, "nonWhiteListSnNode cache is full");
        return -1;
    }
    auto *node = static_cast<NonWhiteListSnNode *>(KeeperAlloc(sizeof(NonWhiteListSnNode)));
    if (node == nullptr) {
        KLOG_ERR(kTag, "malloc nonWhiteListSnNode failed");
        return -1;
    }
    memset(node, 0, sizeof(*node));
    if (sn == nullptr || strcpy_s(node->sn, sizeof(node->sn), sn) != EOK) {
        KLOG_ERR(kTag, "copy nonWhiteListSnNode sn failed");
        KeeperFree(node);
        return -1;
    }
    node->next = g_online.head;
    g_online.head = node;
    ++g_online.count;
    return 0;
}

uint32_t NonWhiteListCount() { return g_online.count; }

void ProcessNonWhitelist(const char *sn, const char *vendor, const char *model, int32_t match)
{
    KLOG_DEBUG(kTag, "Current sn (%s) not in whitelist. vendor(%s), model(%s)", sn, vendor, model);
    if (match != WHITELIST_NO_MATCH) {
        KLOG_ERR(kTag, "Check whiteList unknown error.");
        return;
    }
    if (AddSnToNonWhiteList(sn) != 0) {
        KLOG_ERR(kTag, "AddSnToNonWhiteList fail");
    }
}

bool IsInWhiteList(uint32_t snLen, const char *sn, const void *data, uint32_t infoType)
{
    if (sn == nullptr || IsInNonWhiteListSn(snLen, sn)) {
        return false;
    }
    DiskBaseInfo info;
    memset(&info, 0, sizeof(info));
    if (infoType == 0) {
        if (memcpy_s(&info, sizeof(info), data, sizeof(DiskBaseInfo)) != EOK) {
            KLOG_ERR(kTag, "IsInWhiteList copy baseInfo error");
            return false;
        }
    } else if (FetchDiskBaseInfo(snLen, sn, &info) != 0) {
        return false;
    }
    info.vendor[DISK_VENDOR_LEN - 1] = '\0';
    info.model[DISK_MODEL_LEN - 1] = '\0';
    int32_t match = DiskWhiteListMatch(info.vendor, info.model, info.diskType);
    if (match == WHITELIST_MATCH) {
        KLOG_DEBUG(kTag, "Current sn (%.40s) in whitelist. vendor(%s), model(%s)", sn, info.vendor,
                   info.model);
        return true;
    }
    char snCopy[DISK_SN_LEN + 1] = {0};
    (void)strncpy_s(snCopy, sizeof(snCopy), sn, snLen > DISK_SN_LEN ? DISK_SN_LEN : snLen);
    ProcessNonWhitelist(snCopy, info.vendor, info.model, match);
    return false;
}

int32_t OfflineDiskNotInSNList(const KeeperStr *snList, uint32_t count)
{
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM; ++id) {
        const DiskBaseInfo *entry = DataMgrObjEntryLocked(id);
        if (entry == nullptr || SnInList(entry->sn, snList, count)) {
            continue;
        }
        int32_t ret = OfflineOneDisk(id, entry);
        if (ret != 0) {
            return ret;
        }
    }
    return 0;
}

int32_t OnLineDiskInSNList(const KeeperStr *snList, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (snList[i].buf == nullptr) {
            continue;
        }
        uint32_t diskId = DISK_ID_INVALID;
        if (GetDiskIdBySn(DISK_SN_LEN, snList[i].buf, &diskId) == 0) {
            continue;
        }
        KLOG_DEBUG(kTag, "GetDiskIdBySn not ok.");
        if (IsInNonWhiteListSn(snList[i].len, snList[i].buf)) {
            continue;
        }
        if (OnlineOneDisk(snList[i]) != 0) {
            return -1;
        }
    }
    return 0;
}

int32_t DiskSerialNumberRefresh(const KeeperStr *snList, uint32_t count)
{
    KLOG_DEBUG(kTag, "DiskSerialNumberRefresh start");
    if (snList == nullptr && count != 0) {
        return -1;
    }
    if (!DataMgrLock()) {
        KLOG_ERR(kTag, "Data Mgr Master not init");
        return -1;
    }
    if (!DataMgrIsInitedLocked()) {
        DataMgrUnlock();
        KLOG_ERR(kTag, "Data Mgr Master not init");
        return -1;
    }
    int32_t ret = OfflineDiskNotInSNList(snList, count);
    if (ret != 0) {
        DataMgrUnlock();
        return ret;
    }
    ret = OnLineDiskInSNList(snList, count);
    DataMgrUnlock();
    KLOG_DEBUG(kTag, "DiskSerialNumberRefresh end");
    return ret;
}

void DataMgrOnlineInstallWhiteList() { DataMgrSetWhiteListFunc(IsInWhiteList); }
