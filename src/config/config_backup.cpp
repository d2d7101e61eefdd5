#include "config/config_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/config_prefix.h"
#include "disk_mgr/disk_mgr_file.h"
#include "disk_mgr/file_sys.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"

namespace {

constexpr const char *kTag = "DISK_CONFIG";
constexpr size_t kPathMax = 4096;
constexpr size_t kCopyChunk = 2048;
constexpr int32_t kKeepOldBackups = 4;  // plus the new one: five remain
constexpr size_t kStampLen = 32;

struct BackupState {
    time_t (*now)();
};

BackupState g_backup = {nullptr};

time_t Now() { return g_backup.now != nullptr ? g_backup.now() : time(nullptr); }

// Backup files and a restored configuration file get the same mode and owner
// but report failures in their own words.
enum PermissionTarget { PERM_BAK_FILE, PERM_CONFIG_FILE };

int ApplyPermission(int fd, const char *path, PermissionTarget target)
{
    if (g_fileSysOps.chmod(fd, DISK_MGR_FILE_MODE) != 0) {
        if (target == PERM_BAK_FILE) {
            KLOG_ERR(kTag, "chmod %s fail, mode = %d\n", path, static_cast<int>(DISK_MGR_FILE_MODE));
        } else {
            KLOG_ERR(kTag, "chmod config file %s fail\n", path);
        }
        return -1;
    }
    uid_t uid = 0;
    if (g_fileSysOps.userId(SPK_SERVICE_USER, &uid) != 0) {
        KLOG_ERR(kTag, "user:%s not exist\n", SPK_SERVICE_USER);
        return -1;
    }
    gid_t gid = 0;
    if (g_fileSysOps.groupId(SPK_SERVICE_GROUP, &gid) != 0) {
        KLOG_ERR(kTag, "group:%s not exist\n", SPK_SERVICE_GROUP);
        return -1;
    }
    if (g_fileSysOps.chown(fd, uid, gid) != 0) {
        if (target == PERM_BAK_FILE) {
            KLOG_ERR(kTag, "chmown %s fail, %s:%s\n", path, SPK_SERVICE_USER, SPK_SERVICE_GROUP);
        } else {
            KLOG_ERR(kTag, "chown config file %s fail\n", path);
        }
        return -1;
    }
    return 0;
}

int SetUsrConfigBakPermission(int fd, const char *path)
{
    return ApplyPermission(fd, path, PERM_BAK_FILE);
}

int FormatBakDir(char *buf, size_t size)
{
    if (sprintf_s(buf, size, "%s/%s", GetConfigPrefix(), CONFIG_BAK_DIR) < 0) {
        KLOG_ERR(kTag, "concatenate config prefix:%s with Dir:%s failed.", GetConfigPrefix(),
                 CONFIG_BAK_DIR);
        return -1;
    }
    return 0;
}

int FormatBakPath(char *buf, size_t size, const char *name)
{
    if (sprintf_s(buf, size, "%s/%s/%s", GetConfigPrefix(), CONFIG_BAK_DIR, name) < 0) {
        KLOG_ERR(kTag, "concatenate config prefix:%s with Dir:%s failed.", GetConfigPrefix(),
                 CONFIG_BAK_DIR);
        return -1;
    }
    return 0;
}

int FormatConfigFilePath(char *buf, size_t size)
{
    if (sprintf_s(buf, size, "%s/%s", GetConfigPrefix(), CONFIG_FILE_NAME) < 0) {
        KLOG_ERR(kTag, "concatenate config prefix:%s with file:%s failed.", GetConfigPrefix(),
                 CONFIG_FILE_NAME);
        return -1;
    }
    return 0;
}

// Copies `in` from its current position to its end into `out`. 0 or -1
// (errno from the failing call).
int CopyFile(int in, int out)
{
    char chunk[kCopyChunk];
    for (;;) {
        ssize_t got = FileSysReadFull(in, chunk, sizeof(chunk));
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            return 0;
        }
        if (FileSysWriteAll(out, chunk, static_cast<size_t>(got)) != 0) {
            return -1;
        }
    }
}

// 1 when the two files differ (any byte or the length), 0 when identical, -1
// on a read failure.
int FilesDiffer(int a, int b)
{
    char bufA[kCopyChunk];
    char bufB[kCopyChunk];
    for (;;) {
        ssize_t gotA = FileSysReadFull(a, bufA, sizeof(bufA));
        ssize_t gotB = FileSysReadFull(b, bufB, sizeof(bufB));
        if (gotA < 0 || gotB < 0) {
            return -1;
        }
        if (gotA != gotB || memcmp(bufA, bufB, static_cast<size_t>(gotA)) != 0) {
            return 1;
        }
        if (gotA == 0) {
            return 0;
        }
    }
}

bool IsBackupName(const char *name) { return strncmp(name, CONFIG_BAK_PREFIX, strlen(CONFIG_BAK_PREFIX)) == 0; }

// Collects up to CONFIG_BAK_LIST_MAX matching names into `list`.
int CollectBackupNames(DIR *dir, char **list, int32_t *count)
{
    *count = 0;
    while (*count < static_cast<int32_t>(CONFIG_BAK_LIST_MAX)) {
        const dirent *e = readdir(dir);
        if (e == nullptr) {
            break;
        }
        if (!IsBackupName(e->d_name)) {
            continue;
        }
        size_t len = strlen(e->d_name) + 1;
        char *copy = static_cast<char *>(KeeperAlloc(len));
        if (copy == nullptr || strcpy_s(copy, len, e->d_name) != EOK) {
            KLOG_ERR(kTag, "malloc fail");
            if (copy != nullptr) {
                KeeperFree(copy);
            }
            return -1;
        }
        list[(*count)++] = copy;
    }
    return 0;
}

// Opens the configuration file for reading; -1 when missing or unreadable
// (logged).
int GetConfigFileFd()
{
    char path[kPathMax] = {};
    if (FormatConfigFilePath(path, sizeof(path)) != 0) {
        return -1;
    }
    int fd = g_fileSysOps.open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0 && errno == ENOENT) {
        KLOG_INFO(kTag, "file %s not exist, continue", CONFIG_FILE_NAME);
    } else if (fd < 0) {
        int err = errno;
        KLOG_INFO(kTag, "Error opening config file : errno(%d) - %s", err, strerror(err));
    }
    return fd;
}

// Opens the newest backup for reading; -1 and errno on failure.
int GetLatestBakFile(char *const *list, int32_t count)
{
    char path[kPathMax] = {};
    if (count <= 0 || FormatBakPath(path, sizeof(path), list[0]) != 0) {
        errno = ENOENT;
        return -1;
    }
    return g_fileSysOps.open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
}

enum BackupNeed { BAK_NOT_NEEDED = 0, BAK_NEEDED = 1, BAK_UNKNOWN = -1 };

BackupNeed IsConfigNeedBackUp(int cfgFd, char *const *list, int32_t count)
{
    if (count == 0) {
        KLOG_DEBUG(kTag, "no bak config found need to update");
        return BAK_NEEDED;
    }
    int bakFd = GetLatestBakFile(list, count);
    if (bakFd < 0) {
        int err = errno;
        KLOG_ERR(kTag, "Get latest bak config file(%s) fail: %d - %s", list[0], err, strerror(err));
        return BAK_UNKNOWN;
    }
    int differ = FilesDiffer(cfgFd, bakFd);
    (void)g_fileSysOps.close(bakFd);
    if (differ == 0) {
        return BAK_NOT_NEEDED;
    }
    if (differ < 0 || g_fileSysOps.lseek(cfgFd, 0, SEEK_SET) != 0) {
        return BAK_UNKNOWN;
    }
    KLOG_DEBUG(kTag, "Bak config file not same as now config need to update");
    return BAK_NEEDED;
}

// Creates the next backup file with its mode and owner; -1 when none could
// be made. `path` receives its path.
int GetNewBakConfigFile(char *path, size_t size)
{
    char stamp[kStampLen] = {};
    time_t now = Now();
    tm local{};
    if (localtime_r(&now, &local) == nullptr ||
        strftime(stamp, sizeof(stamp), "%Y-%m-%d-%H-%M-%S", &local) == 0 ||
        sprintf_s(path, size, "%s/%s/%s_%s", GetConfigPrefix(), CONFIG_BAK_DIR, CONFIG_BAK_PREFIX,
                  stamp) < 0) {
        KLOG_ERR(kTag, "concatenate config prefix:%s_%s with file:%s/%s failed.", GetConfigPrefix(),
                 stamp, CONFIG_BAK_DIR, CONFIG_BAK_PREFIX);
        return -1;
    }
    int fd = FileSysCreateFresh(path, O_WRONLY, DISK_MGR_FILE_MODE);
    if (fd < 0) {
        int err = errno;
        KLOG_ERR(kTag, "fail to create bak config file : errno(%d) - %s", err, strerror(err));
        return -1;
    }
    if (SetUsrConfigBakPermission(fd, path) != 0) {
        (void)g_fileSysOps.close(fd);
        if (g_fileSysOps.unlink(path) != 0) {
            KLOG_WARN(kTag, "error bak file delete fail");
        }
        return -1;
    }
    return fd;
}

// Removes the oldest backups so that only the four newest old ones remain.
int PruneBackups(char *const *list, int32_t count)
{
    for (int32_t i = 0; i < count - kKeepOldBackups; ++i) {
        char path[kPathMax] = {};
        if (FormatBakPath(path, sizeof(path), list[count - 1 - i]) != 0) {
            return 1;
        }
        if (g_fileSysOps.unlink(path) != 0) {
            int err = errno;
            KLOG_ERR(kTag, "Delete excess backup files fail: %d - %s", err, strerror(err));
            return 1;
        }
    }
    return 0;
}

int BackUpConfigToNewBakFile(int cfgFd, int32_t count, char *const *list)
{
    char path[kPathMax] = {};
    int bakFd = GetNewBakConfigFile(path, sizeof(path));
    if (bakFd < 0) {
        KLOG_INFO(kTag, "Error create config bak file");
        return 1;
    }
    int copied = CopyFile(cfgFd, bakFd);
    if (g_fileSysOps.close(bakFd) != 0) {
        copied = -1;
    }
    if (copied != 0) {
        // A torn backup would be the newest and the one a recovery picks.
        (void)g_fileSysOps.unlink(path);
        KLOG_INFO(kTag, "Error copy config bak file");
        return 1;
    }
    return PruneBackups(list, count);
}

// Runs the decision and the backup; the caller holds the lock. 0 or 1.
int BackUpLocked()
{
    int cfgFd = GetConfigFileFd();
    if (cfgFd < 0) {
        return 1;
    }
    int result = 1;
    int32_t count = 0;
    char **list = GetALLBackupConfigNameList(&count);
    if (list == nullptr) {
        KLOG_ERR(kTag, "Get bak config file list fail");
    } else {
        BackupNeed need = IsConfigNeedBackUp(cfgFd, list, count);
        if (need == BAK_NEEDED) {
            result = BackUpConfigToNewBakFile(cfgFd, count, list);
            if (result != 0) {
                KLOG_ERR(kTag, "Bak config fail");
            }
        } else {
            result = need == BAK_NOT_NEEDED ? 0 : 1;
            KLOG_DEBUG(kTag, "Bak config file same as now config, don't need to update");
        }
        FreeBackupConfigNameList(list, count);
    }
    (void)g_fileSysOps.close(cfgFd);
    return result;
}

// Copies the newest backup into "<config>.wal" and moves it into place, so
// that a recovery cut short leaves no torn configuration file behind: the
// next start simply recovers again.
int CopyBackupIntoPlace(int bakFd)
{
    char path[kPathMax] = {};
    if (FormatConfigFilePath(path, sizeof(path)) != 0) {
        return 1;
    }
    char *wal = GetWalFileName(path);
    if (wal == nullptr) {
        return 1;
    }
    int result = 1;
    int fd = FileSysCreateFresh(wal, O_RDWR, DISK_MGR_FILE_MODE);
    if (fd < 0) {
        int err = errno;
        KLOG_ERR(kTag, "Create new config file fail: %d - %s", err, strerror(err));
    } else {
        int copied = CopyFile(bakFd, fd);
        int err = errno;
        bool permitted = copied != 0 || ApplyPermission(fd, wal, PERM_CONFIG_FILE) == 0;
        if (g_fileSysOps.close(fd) != 0 && copied == 0) {
            copied = -1;
            err = errno;
        }
        if (copied != 0) {
            KLOG_ERR(kTag, "Copy latest bak config file fail: %d - %s", err, strerror(err));
        } else if (!permitted) {
            KLOG_ERR(kTag, "Set config file:%s permission fail.", path);
        } else if (g_fileSysOps.rename(wal, path) == 0) {
            result = 0;
        }
        if (result != 0) {
            (void)g_fileSysOps.unlink(wal);
        }
    }
    KeeperFree(wal);
    return result;
}

void BackUpConfigTaskEntry(void *) { (void)BackUpConfigFile(); }

}  // namespace

char **GetALLBackupConfigNameList(int32_t *count)
{
    char dirPath[kPathMax] = {};
    if (count == nullptr || FormatBakDir(dirPath, sizeof(dirPath)) != 0) {
        return nullptr;
    }
    DIR *dir = opendir(dirPath);
    if (dir == nullptr) {
        int err = errno;
        KLOG_ERR(kTag, "open bak dir(%s) fail: %d - %s", dirPath, err, strerror(err));
        return nullptr;
    }
    auto **list = static_cast<char **>(KeeperAlloc(CONFIG_BAK_LIST_MAX * sizeof(char *)));
    if (list == nullptr) {
        KLOG_ERR(kTag, "malloc fail");
        (void)closedir(dir);
        return nullptr;
    }
    int32_t n = 0;
    int ret = CollectBackupNames(dir, list, &n);
    (void)closedir(dir);
    if (ret != 0) {
        FreeBackupConfigNameList(list, n);
        return nullptr;
    }
    KLOG_DEBUG(kTag, "there is %d bak file in backup dir", n);
    std::sort(list, list + n, [](const char *a, const char *b) { return strcmp(a, b) > 0; });
    *count = n;
    return list;
}

void FreeBackupConfigNameList(char **list, int32_t count)
{
    if (list == nullptr) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        KeeperFree(list[i]);
    }
    KeeperFree(list);
}

int BackUpConfigFile()
{
    KeeperRwLockT *lock = ConfigLockHandle();
    if (lock == nullptr) {
        KLOG_ERR(kTag, "Config file back up failed: configuration not initialised");
        return 1;
    }
    KeeperWriteLock(lock);
    KLOG_INFO(kTag, "Config file back up start");
    int result = BackUpLocked();
    KLOG_INFO(kTag, "Config file back up %s", result == 0 ? "successfully" : "failed");
    KeeperRwUnlock(lock);
    return result;
}

int RecoverConfigFromBak()
{
    int32_t count = 0;
    char **list = GetALLBackupConfigNameList(&count);
    if (list == nullptr || count == 0) {
        KLOG_ERR(kTag, "Cant get bak file list, bakNum = %d", count);
        FreeBackupConfigNameList(list, count);
        return 1;
    }
    int bakFd = GetLatestBakFile(list, count);
    FreeBackupConfigNameList(list, count);
    if (bakFd < 0) {
        KLOG_ERR(kTag, "Cant get latest bak file");
        return 1;
    }
    int result = CopyBackupIntoPlace(bakFd);
    (void)g_fileSysOps.close(bakFd);
    return result;
}

int StartConfigBackUpTask()
{
    ScheduleTaskInfo info{};
    info.name = CONFIG_BAK_TASK_NAME;
    info.repeatForever = 1;
    info.runTimes = 0;
    info.firstDelayMs = CONFIG_BAK_PERIOD_MS;
    info.periodMs = CONFIG_BAK_PERIOD_MS;
    info.entry = BackUpConfigTaskEntry;
    int ret = SubmitScheduleTask(&info);
    if (ret != 0) {
        KLOG_ERR(kTag, "Start Config Back Up Task Fail, ret = %d", ret);
    }
    return ret;
}

int StopConfigBackUpTask()
{
    int ret = CancelScheduleTask(CONFIG_BAK_TASK_NAME);
    if (ret != 0) {
        KLOG_ERR(kTag, "Cancel Config Back Up Task Fail, ret = %d", ret);
    }
    return ret;
}

void SetConfigBakClock(time_t (*now)()) { g_backup.now = now; }
