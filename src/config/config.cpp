#include "config/config.h"

#include <unistd.h>

#include <cerrno>

#include "config/config_backup.h"
#include "config/config_prefix.h"
#include "disk_mgr/disk_mgr_file.h"
#include "disk_mgr/file_sys.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

const char *const g_configDiskTypeKeys[CONFIG_DISK_TYPE_NUM] = {"sata_ssd_disk", "sas_ssd_disk",
                                                                "nvme_disk", "sas_hdd"};

namespace {

constexpr const char *kCfgTag = "DISK_CONFIG";
constexpr const char *kMgrTag = "DISK_MGR";
constexpr size_t kPathMax = 4096;
constexpr uint32_t kUpgradeDepthMax = 5;

struct ConfigState {
    cJSON *tree;  // null until loaded; never freed while the daemon runs
    KeeperRwLockT *lock;
};

ConfigState g_config = {};

struct DiskTypeDefaults {
    const char *key;
    int32_t taskCycle;
    int32_t minThreshold;
    int32_t minSlowCycle;
};

constexpr DiskTypeDefaults kDiskTypeDefaults[CONFIG_DISK_TYPE_NUM] = {
    {"sata_ssd_disk", 20, 1, 50},
    {"sas_ssd_disk", 20, 1, 50},
    {"nvme_disk", 20, 1, 50},
    {"sas_hdd", 20, 100, 50},
};

int FormatConfigPath(char *buf, size_t size, const char *suffix)
{
    if (sprintf_s(buf, size, "%s/%s%s", GetConfigPrefix(), CONFIG_FILE_NAME, suffix) < 0) {
        KLOG_ERR(kCfgTag, "concatenate config prefix:%s with file:%s failed.", GetConfigPrefix(),
                 CONFIG_FILE_NAME);
        return 1;
    }
    return 0;
}

bool FileExists(const char *path) { return access(path, F_OK) == 0; }

cJSON *AddDiskTypeNode(cJSON *root, const DiskTypeDefaults &d)
{
    cJSON *node = cJSON_AddObjectToObject(root, d.key);
    if (node == nullptr) {
        KLOG_ERR(kCfgTag, "create disk type config node failed");
        return nullptr;
    }
    if (cJSON_AddNumberToObject(node, "task_cycle", d.taskCycle) == nullptr ||
        cJSON_AddNumberToObject(node, "min_threshold_value", d.minThreshold) == nullptr ||
        cJSON_AddNumberToObject(node, "min_slow_cycle", d.minSlowCycle) == nullptr) {
        KLOG_ERR(kCfgTag, "create config node failed");
        return nullptr;
    }
    return node;
}

bool AddTopLevelDefaults(cJSON *root)
{
    if (cJSON_AddNumberToObject(root, "feature_switch", 1) == nullptr ||
        cJSON_AddNumberToObject(root, "takeover_disk_switch", 0) == nullptr) {
        KLOG_ERR(kCfgTag, "create config node failed");
        return false;
    }
    cJSON *life = cJSON_AddObjectToObject(root, "disklife_prediction");
    if (life == nullptr) {
        KLOG_ERR(kCfgTag, "create parent failed");
        return false;
    }
    if (cJSON_AddNumberToObject(life, "task_cycle", 86400) == nullptr) {
        KLOG_ERR(kCfgTag, "create config node failed");
        return false;
    }
    return true;
}

// The defaults stay in memory only: the file is first written by a change.
cJSON *LoadConfigFileNotExist()
{
    cJSON *root = cJSON_CreateObject();
    if (root == nullptr) {
        KLOG_ERR(kCfgTag, "create rootNode failed");
        return nullptr;
    }
    bool ok = AddTopLevelDefaults(root);
    for (uint32_t i = 0; ok && i < CONFIG_DISK_TYPE_NUM; ++i) {
        ok = AddDiskTypeNode(root, kDiskTypeDefaults[i]) != nullptr;
    }
    if (!ok) {
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

cJSON *LoadConfigObject(const char *path)
{
    cJSON *tree = LoadCJsonFromFile(path);
    if (tree != nullptr && !cJSON_IsObject(tree)) {
        KLOG_ERR(kCfgTag, "config file %s does not hold a JSON object", path);
        cJSON_Delete(tree);
        tree = nullptr;
    }
    if (tree == nullptr) {
        KLOG_ERR(kCfgTag, "load file %s failed", path);
    }
    return tree;
}

// Merges the upgrade file into the loaded tree and saves the result. The
// upgrade file is deleted only once the merged tree is safely in the file;
// otherwise the merge is tried again at the next start.
cJSON *ApplyUpgrade(cJSON *tree, const char *path, const char *upgradePath)
{
    cJSON *upgrade = LoadCJsonFromFile(upgradePath);
    if (upgrade == nullptr) {
        KLOG_ERR(kCfgTag, "load upgrade file %s failed, but continue", upgradePath);
        return tree;
    }
    int merged = ConfigUpgradeNode(tree, upgrade, 0);
    cJSON_Delete(upgrade);
    if (merged != 0) {
        cJSON_Delete(tree);
        return LoadConfigObject(path);
    }
    if (SaveCJsonToFile(path, tree, DISK_MGR_FILE_MODE, SPK_SERVICE_USER, SPK_SERVICE_GROUP) != 0) {
        KLOG_ERR(kMgrTag, "save upgrade config to file failed, but continue");
        cJSON_Delete(tree);
        return LoadConfigObject(path);
    }
    if (g_fileSysOps.unlink(upgradePath) != 0) {
        KLOG_ERR(kMgrTag, "del upgrade config file failed %d, but continue", errno);
    }
    return tree;
}

cJSON *LoadConfigFileExist()
{
    char path[kPathMax] = {};
    char upgradePath[kPathMax] = {};
    if (FormatConfigPath(path, sizeof(path), "") != 0 ||
        FormatConfigPath(upgradePath, sizeof(upgradePath), CONFIG_UPGRADE_SUFFIX) != 0) {
        return nullptr;
    }
    cJSON *tree = LoadConfigObject(path);
    if (tree == nullptr) {
        return nullptr;
    }
    if (!FileExists(upgradePath)) {
        KLOG_INFO(kCfgTag, "upgrade file %s not exist, no need upgrade", upgradePath);
        return tree;
    }
    return ApplyUpgrade(tree, path, upgradePath);
}

// A save cut short between removing the old file and renaming its WAL copy
// leaves only the WAL, and it holds the newer document: move it into place
// rather than fall back to a backup or the defaults.
bool RecoverInterruptedSave(const char *path)
{
    char *wal = GetWalFileName(path);
    bool walExists = wal != nullptr && FileExists(wal);
    KeeperFree(wal);
    if (!walExists) {
        return false;
    }
    cJSON *doc = LoadCJsonFromFile(path);
    cJSON_Delete(doc);
    return doc != nullptr && FileExists(path);
}

cJSON *LoadOrBuildTree(const char *path)
{
    if (FileExists(path) || RecoverInterruptedSave(path)) {
        return LoadConfigFileExist();
    }
    KLOG_INFO(kCfgTag, "file %s not exist, try recover form back up config", path);
    if (RecoverConfigFromBak() == 0) {
        KLOG_INFO(kCfgTag, "recover from bak");
        return LoadConfigFileExist();
    }
    return LoadConfigFileNotExist();
}

// Looks up parent (and child when given) in the tree; the caller holds the
// lock. Logs and returns null when a name is missing or the value is not a
// number.
cJSON *FindNumberNode(const char *parent, const char *child)
{
    cJSON *node = cJSON_GetObjectItem(g_config.tree, parent);
    if (node == nullptr) {
        KLOG_ERR(kMgrTag, "no such config %s", parent);
        return nullptr;
    }
    if (child != nullptr) {
        node = cJSON_IsObject(node) ? cJSON_GetObjectItem(node, child) : nullptr;
        if (node == nullptr) {
            KLOG_ERR(kMgrTag, "no such config %s", child);
            return nullptr;
        }
    }
    if (!cJSON_IsNumber(node)) {
        KLOG_ERR(kMgrTag, "config %s is not a number", child != nullptr ? child : parent);
        return nullptr;
    }
    return node;
}

int ReadNumber(const char *parent, const char *child, uint32_t *value)
{
    if (g_config.lock == nullptr) {
        KLOG_ERR(kMgrTag, "no such config %s", child != nullptr ? child : parent);
        return 1;
    }
    KeeperReadLock(g_config.lock);
    const cJSON *node = FindNumberNode(parent, child);
    if (node != nullptr) {
        *value = static_cast<uint32_t>(node->valueint);
    }
    KeeperRwUnlock(g_config.lock);
    return node != nullptr ? 0 : 1;
}

// Adds parent.child as a number when `add` and the parent object lacks the
// child; the caller holds the lock exclusive. The new node, or null.
cJSON *AddMissingChild(const char *parent, const char *child, bool add)
{
    cJSON *node = cJSON_GetObjectItem(g_config.tree, parent);
    if (!add || child == nullptr || !cJSON_IsObject(node) ||
        cJSON_GetObjectItem(node, child) != nullptr) {
        return nullptr;
    }
    return cJSON_AddNumberToObject(node, child, 0);
}

// Sets the value and saves the whole tree; the caller holds the lock
// exclusive. 0, 1 (no such number) or the save's result. With `add`, a
// missing child of an existing parent object is created first, and removed
// again when the save fails.
int WriteNumberLocked(const char *parent, const char *child, int32_t value, const char *path,
                      bool add)
{
    cJSON *added = AddMissingChild(parent, child, add);
    cJSON *node = FindNumberNode(parent, child);
    if (node == nullptr) {
        return 1;
    }
    cJSON_SetNumberValue(node, value);
    int ret = SaveCJsonToFile(path, g_config.tree, DISK_MGR_FILE_MODE, SPK_SERVICE_USER,
                              SPK_SERVICE_GROUP);
    if (ret == 0) {
        return 0;
    }
    if (child == nullptr) {
        KLOG_ERR(kMgrTag, "save config %s:%d to file failed: %d", parent, value, ret);
    } else {
        KLOG_ERR(kMgrTag, "save config parent:%s child:%s val:%d to file failed: %d", parent,
                 child, value, ret);
    }
    if (added != nullptr) {  // the tree keeps matching the file
        cJSON_Delete(cJSON_DetachItemViaPointer(cJSON_GetObjectItem(g_config.tree, parent), added));
    }
    return 1;
}

int WriteNumber(const char *parent, const char *child, int32_t value, bool add = false)
{
    char path[kPathMax] = {};
    if (FormatConfigPath(path, sizeof(path), "") != 0) {
        return 1;
    }
    int ret = 1;
    if (g_config.lock == nullptr) {
        KLOG_ERR(kMgrTag, "no such config %s", child != nullptr ? child : parent);
    } else {
        KeeperWriteLock(g_config.lock);
        ret = g_config.tree == nullptr ? 1 : WriteNumberLocked(parent, child, value, path, add);
        KeeperRwUnlock(g_config.lock);
    }
    if (BackUpConfigFile() != 0) {
        KLOG_ERR(kMgrTag, "bak config failed");
    }
    return ret;
}

}  // namespace

int InitConfig()
{
    if (g_config.lock == nullptr) {
        g_config.lock = KeeperRwLockCreate();
        if (g_config.lock == nullptr) {
            KLOG_ERR(kCfgTag, "Config create lock failed");
            return 1;
        }
    }
    KeeperWriteLock(g_config.lock);
    if (g_config.tree != nullptr) {
        KLOG_ERR(kCfgTag, "Config already inited");
        KeeperRwUnlock(g_config.lock);
        return 1;
    }
    char path[kPathMax] = {};
    if (FormatConfigPath(path, sizeof(path), "") != 0) {
        KeeperRwUnlock(g_config.lock);
        return 1;
    }
    g_config.tree = LoadOrBuildTree(path);
    bool ok = g_config.tree != nullptr;
    KeeperRwUnlock(g_config.lock);
    KLOG_INFO(kCfgTag, "Config init %s", ok ? "successfully" : "failed");
    return ok ? 0 : 1;
}

int ConfigUpgradeNode(cJSON *config, const cJSON *upgrade, uint32_t depth)
{
    if (depth >= kUpgradeDepthMax || config == nullptr || !cJSON_IsObject(upgrade)) {
        return 1;
    }
    for (const cJSON *item = upgrade->child; item != nullptr; item = item->next) {
        cJSON *existing = cJSON_GetObjectItem(config, item->string);
        if (existing != nullptr) {
            // Only objects on both sides are merged; any other existing
            // value is the operator's and wins.
            if (item->child != nullptr && cJSON_IsObject(existing) &&
                ConfigUpgradeNode(existing, item, depth + 1) != 0) {
                KLOG_ERR(kMgrTag, "upgrade node %s failed", item->string);
                return 1;
            }
            continue;
        }
        cJSON *copy = cJSON_Duplicate(item, 1);
        if (copy == nullptr || !cJSON_AddItemToObject(config, item->string, copy)) {
            cJSON_Delete(copy);
            KLOG_ERR(kMgrTag, "copy upgrade node %s to config node %s failed", item->string,
                     config->string != nullptr ? config->string : "(root)");
            return 1;
        }
    }
    return 0;
}

int GetConfigInt(const char *key, uint32_t *value)
{
    if (key == nullptr || value == nullptr) {
        KLOG_ERR(kMgrTag, "null input %p:%p", static_cast<const void *>(key),
                 static_cast<void *>(value));
        return 1;
    }
    return ReadNumber(key, nullptr, value);
}

int GetChildNodeConfigInt(const char *parent, const char *child, uint32_t *value)
{
    if (parent == nullptr || child == nullptr || value == nullptr) {
        KLOG_ERR(kMgrTag, "null input %p:%p:%p", static_cast<const void *>(parent),
                 static_cast<const void *>(child), static_cast<void *>(value));
        return 1;
    }
    return ReadNumber(parent, child, value);
}

int SetConfigInt(const char *key, int32_t value)
{
    if (key == nullptr) {
        KLOG_ERR(kMgrTag, "null input %p:%d", static_cast<const void *>(key), value);
        return 1;
    }
    return WriteNumber(key, nullptr, value);
}

int SetChildNodeConfigInt(const char *parent, const char *child, int32_t value)
{
    if (parent == nullptr || child == nullptr) {
        KLOG_ERR(kMgrTag, "null input parent:%p child:%p val:%d", static_cast<const void *>(parent),
                 static_cast<const void *>(child), value);
        return 1;
    }
    return WriteNumber(parent, child, value);
}

bool ChildNodeConfigExists(const char *parent, const char *child)
{
    if (parent == nullptr || child == nullptr || g_config.lock == nullptr) {
        return false;
    }
    KeeperReadLock(g_config.lock);
    const cJSON *node = cJSON_GetObjectItem(g_config.tree, parent);
    bool found = cJSON_IsObject(node) && cJSON_GetObjectItem(node, child) != nullptr;
    KeeperRwUnlock(g_config.lock);
    return found;
}

int SetOrAddChildNodeConfigInt(const char *parent, const char *child, int32_t value)
{
    if (parent == nullptr || child == nullptr) {
        KLOG_ERR(kMgrTag, "null input parent:%p child:%p val:%d", static_cast<const void *>(parent),
                 static_cast<const void *>(child), value);
        return 1;
    }
    return WriteNumber(parent, child, value, true);
}

int CheckSwitchConfig(int32_t value)
{
    if (value != 0 && value != 1) {
        KLOG_ERR(kCfgTag, "invalid switch val: %d", value);
        return 1;
    }
    return 0;
}

int GetSwitchConfig(const char *key, uint32_t *value)
{
    if (GetConfigInt(key, value) != 0) {
        return 1;
    }
    return CheckSwitchConfig(static_cast<int32_t>(*value));
}

int SetSwitchConfig(const char *key, int32_t value)
{
    if (CheckSwitchConfig(value) != 0) {
        return 1;
    }
    return SetConfigInt(key, value);
}

KeeperRwLockT *ConfigLockHandle() { return g_config.lock; }

void ConfigUnload()
{
    cJSON_Delete(g_config.tree);
    g_config.tree = nullptr;
}
