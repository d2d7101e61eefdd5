#include "init/init.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "cli/server/cli_uds_server.h"
#include "config/config.h"
#include "config/config_backup.h"
#include "config/config_prefix.h"
#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"
#include "data_collect/data_collect_master/dcm_schedule.h"
#include "data_mgr/data_mgr_master/data_mgr_dma.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "disk_mgr/disk_mgr.h"
#include "disk_mgr/disk_mgr_file.h"
#include "disk_mgr/file_sys.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_host/qxlog.h"
#include "infrastructure/keeper_host/qxmm.h"
#include "infrastructure/keeper_securec/securec.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"
#include "init/feature_start.h"
#include "init/init_takeover.h"
#include "ma/drm/framework/debug/diag_group.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_init.h"

namespace {

constexpr const char *kTag = "INIT";
constexpr const char *kLockFile = "config/spindlekeep_master_process_lockfile";
constexpr size_t kPathLen = 1024;
constexpr mode_t kLockFileMode = 0600;

struct InitState {
    uint32_t startMode;
    int lockFd;  // kept open for the life of the process: it holds the lock
};

InitState g_init = {START_MODE_MASTER, -1};

int StepQxaxFini()
{
    qxax_destory();
    return 0;
}

int StepQxlogInit()
{
    const char *dir = g_init.startMode == START_MODE_SUPER ? "/var/log/spindlekeep_super/"
                                                           : "/var/log/spindlekeep/";
    (void)qxlog_set_file_path_ext(dir, dir);
    (void)qxlog_init();
    (void)qxlog_set_backup_num(100);
    return 0;
}

int StepQxlogFini()
{
    qxlog_destroy();
    return 0;
}

int StepDiagnoseAgentInit() { return DBG_DiagnoseAgentInit(getpid(), "spindleKeep"); }

int StepDiagnoseAgentFini()
{
    DBG_DiagnoseAgentDestroy(getpid());
    return 0;
}

int StepMemPoolFini()
{
    qx_mm_pool_exit();
    return 0;
}

int StepTracePoint() { return 0; }

// The registry's own default file below the install prefix.
int StepDiskMgrInit() { return DiskMgrInit(nullptr); }

void FeatureStartConfigBackUp() { (void)StartConfigBackUpTask(); }

constexpr StartupStep kSteps[] = {
    {"Process_Check", ProcessCheckInit, nullptr},
    {"qxax", qxax_Init, StepQxaxFini},
    {"qxlog", StepQxlogInit, StepQxlogFini},
    {"DBG_DiagnoseAgent", StepDiagnoseAgentInit, StepDiagnoseAgentFini},
    {"qx_mm_pool", qx_mm_pool_init, StepMemPoolFini},
    {"InfraAdapter_KORVAN-Lite", KeeperInfraLiteInstall, nullptr},
    {"schedule_task_frame", InitScheduleTask, FiniScheduleTask},
    {"CONFIG", InitConfig, nullptr},
    {"DISK_MGR", StepDiskMgrInit, nullptr},
    {"DRM", SpindleKeepInitDrm, SpindleKeepFiniDrm},
    {"DATA_MGR", DataMgrInit, nullptr},
    {"HOT_PLUG", InitHotPlugListener, nullptr},
    {"Cli-Server", InitCliServer, nullptr},
    {"DCM", InitDataCollectMaster, nullptr},
    {"TracePoint", StepTracePoint, nullptr},
    {"diagnose", DiagGroupInit, nullptr},
};

constexpr std::array<FeatureStartOp, 5> kFeatureStart = {{
    {"StartQueryAgentScheduleTask", StartQueryAgentScheduleTask},
    {"StartDmmSync2DmaScheduleTask", StartDmmSync2DmaScheduleTask},
    {"StartConfigBackUpTask", FeatureStartConfigBackUp},
    {"StartFeature", StartFeature},
    {"StartTakeOverDiskSwitch", StartTakeOverDiskSwitch},
}};

void RollBack(const StartupStep *steps, size_t failed)
{
    for (size_t i = failed; i-- > 0;) {
        if (steps[i].fini == nullptr) {
            continue;
        }
        KLOG_DEBUG(kTag, "SpindleKeep step(%s) finalize start. ", steps[i].name);
        int ret = steps[i].fini();
        KLOG_DEBUG(kTag, "SpindleKeep step(%s) finalized(ret:%d).", steps[i].name, ret);
    }
}

}  // namespace

uint32_t InitStartMode() { return g_init.startMode; }

const StartupStep *InitStepTable(size_t *count)
{
    *count = sizeof(kSteps) / sizeof(kSteps[0]);
    return kSteps;
}

const FeatureStartOp *InitFeatureStartTable(size_t *count)
{
    *count = kFeatureStart.size();
    return kFeatureStart.data();
}

int InitRunSteps(const StartupStep *steps, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (steps[i].init == nullptr) {
            continue;
        }
        KLOG_DEBUG(kTag, "SpindleKeep step(%s) initialize start.", steps[i].name);
        int ret = steps[i].init();
        if (ret != 0) {
            KLOG_ERR(kTag, "SpindleKeep step(%s) initialize failed(ret:%d).", steps[i].name, ret);
            RollBack(steps, i);
            return ret;
        }
        KLOG_DEBUG(kTag, "SpindleKeep step(%s) initialize success.", steps[i].name);
    }
    return 0;
}

void InitRunFeatureStart(const FeatureStartOp *ops, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        ops[i].run();
    }
}

int InitSpindleKeep(uint32_t startMode)
{
    if (startMode >= 2) {
        KLOG_DEBUG(kTag, "Error start mode (%d)", startMode);
        return -1;
    }
    g_init.startMode = startMode;
    size_t count = 0;
    const StartupStep *steps = InitStepTable(&count);
    int ret = InitRunSteps(steps, count);
    if (ret != 0) {
        return ret;
    }
    size_t opCount = 0;
    const FeatureStartOp *ops = InitFeatureStartTable(&opCount);
    InitRunFeatureStart(ops, opCount);
    return 0;
}

namespace {

int FormatLockPath(char *path, size_t size)
{
    if (sprintf_s(path, size, "%s/%s", GetConfigPrefix(), kLockFile) < 0) {
        KLOG_ERR(kTag, "get lock file failed(errno:%d).", errno);
        return -1;
    }
    return 0;
}

// Deliberately 0600 and the service user's, whoever created it: a file others
// can open lets any of them hold a read lock that fails every later start,
// and a root-owned one locks the service user out after one root run. Only a
// process that may open it, that is a would-be master, can then block it. A
// name that is not one plain file (a planted link target) is left alone.
int RestrictLockFile(int fd, const char *path)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        KLOG_ERR(kTag, "process lock file %s is not a plain file, refused.", path);
        return EPERM;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (geteuid() == 0 && g_fileSysOps.userId(SPK_SERVICE_USER, &uid) == 0 &&
        g_fileSysOps.groupId(SPK_SERVICE_GROUP, &gid) == 0 && fchown(fd, uid, gid) != 0) {
        KLOG_WARN(kTag, "chown process lock file failed(errno:%d).", errno);
    }
    if (fchmod(fd, kLockFileMode) != 0) {
        KLOG_WARN(kTag, "chmod process lock file failed(errno:%d).", errno);
    }
    return 0;
}

void LogLockFailure(int err)
{
    if (err == EACCES) {
        KLOG_ERR(kTag, "get process file lock fail, maybe the permission has been set error.");
    } else if (err == EAGAIN) {
        KLOG_ERR(kTag,
                 "process file has already locked (EAGAIN), maybe the process has started and "
                 "conflict with this process start mode(%d).",
                 g_init.startMode);
    } else {
        KLOG_ERR(kTag, "failed to lock process file(errno:%d).", err);
    }
}

}  // namespace

int KeeperTryLockFile(int16_t lockType)
{
    char path[kPathLen];
    if (FormatLockPath(path, sizeof(path)) != 0) {
        return errno;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockFileMode);
    if (fd < 0) {
        int err = errno;
        KLOG_ERR(kTag, "fail open process lock file %s (errno:%d).", path, err);
        return err;
    }
    int err = RestrictLockFile(fd, path);
    if (err != 0) {
        close(fd);
        return err;
    }
    struct flock lk = {};
    lk.l_type = lockType;
    lk.l_whence = SEEK_SET;
    lk.l_start = 0;
    lk.l_len = 0;
    if (fcntl(fd, F_SETLK, &lk) == 0) {
        KLOG_DEBUG(kTag, "success lock file");
        g_init.lockFd = fd;
        return 0;
    }
    err = errno;
    close(fd);
    LogLockFailure(err);
    return err;
}

bool KeeperProcessLockHeld()
{
    char path[kPathLen];
    if (FormatLockPath(path, sizeof(path)) != 0) {
        return false;
    }
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct flock lk = {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_GETLK, &lk) == 0 && lk.l_type != F_UNLCK;
    close(fd);
    return held;
}

int ProcessCheckInit()
{
    if (g_init.startMode == START_MODE_MASTER) {
        return KeeperTryLockFile(F_WRLCK);
    }
    if (g_init.startMode == START_MODE_SUPER) {
        return KeeperTryLockFile(F_RDLCK);
    }
    return -1;
}
