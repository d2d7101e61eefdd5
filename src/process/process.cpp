#include "process/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <pthread.h>

#include "config/config_prefix.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/qxlog.h"
#include "infrastructure/keeper_securec/securec.h"
#include "init/init.h"

namespace {

constexpr const char *kTag = "MAIN";
constexpr const char *kAliveFile = "config/spindlekeep_master_process_alive";
constexpr const char *kAliveDelFile = "config/spindlekeep_master_process_alive.del.tmp";
constexpr size_t kPathLen = 1024;
constexpr rlim_t kOpenFileLimit = 1000000;

}  // namespace

int KeeperUnlinkAlive()
{
    char alive[kPathLen];
    char del[kPathLen];
    if (sprintf_s(alive, sizeof(alive), "%s/%s", GetConfigPrefix(), kAliveFile) < 0) {
        KLOG_ERR(kTag, "sprintf alive file name failed.");
        return errno;
    }
    if (sprintf_s(del, sizeof(del), "%s/%s", GetConfigPrefix(), kAliveDelFile) < 0) {
        KLOG_ERR(kTag, "sprintf alive del file name failed.");
        return errno;
    }
    if (access(alive, F_OK) != 0) {
        int err = errno;
        if (err == ENOENT) {
            KLOG_DEBUG(kTag, "spindlekeep master active file not exist.");
            return 0;
        }
        KLOG_ERR(kTag, "spindlekeep master access AliveFile failed(errno:%d).", err);
        return err;
    }
    if (rename(alive, del) != 0) {
        int err = errno;
        KLOG_ERR(kTag, "spindlekeep master rename AliveFile failed(errno:%d).", err);
        return err;
    }
    if (unlink(del) != 0) {
        int err = errno;
        KLOG_ERR(kTag, "spindlekeep master unlink AliveFile failed(errno:%d).", err);
        return err;
    }
    KLOG_INFO(kTag, "spindlekeep master unlink AliveFile success.");
    return 0;
}

void KeeperCreateAlive()
{
    char alive[kPathLen];
    if (sprintf_s(alive, sizeof(alive), "%s/%s", GetConfigPrefix(), kAliveFile) < 0) {
        KLOG_ERR(kTag, "get alive file failed(errno:%d).", errno);
        return;
    }
    int fd = creat(alive, 0600);
    if (fd < 0) {
        KLOG_ERR(kTag, "Create AliveFile [%s] failed(errno:%d).", alive, errno);
        return;
    }
    KLOG_INFO(kTag, "Create AliveFile [%s] success.", alive);
    close(fd);
}

void KeeperRegSigHandler(void (*handler)(int))
{
    struct sigaction act = {};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    (void)sigaction(SIGTERM, &act, nullptr);
    KLOG_INFO(kTag, "%d signal registered.", SIGTERM);
}

void KeeperSigHandler(int sig)
{
    if (sig == SIGTERM) {
        KLOG_WARN(kTag, "spindlekeep master catches signal %d.", sig);
    } else {
        KLOG_ERR(kTag, "spindlekeep master receive except signal %d.", sig);
    }
}

void KeeperMainWaitSig(const sigset_t *set)
{
    int sig = 0;
    while (sigwait(set, &sig) != 0) {
    }
    KLOG_INFO(kTag, "spindlekeep master exit with signal %d.", sig);
}

void KeeperBlockSignals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    pthread_sigmask(SIG_SETMASK, set, nullptr);
}

void KeeperSetResourceLimits()
{
    rlimit core = {RLIM_INFINITY, RLIM_INFINITY};
    (void)setrlimit(RLIMIT_CORE, &core);
    rlimit files = {kOpenFileLimit, kOpenFileLimit};
    (void)setrlimit(RLIMIT_NOFILE, &files);
}

int KeeperMain()
{
    if (InitConfigPrefix() != 0) {
        KLOG_ERR(kTag, "Init spindlekeep config path failed.");
        return 4;
    }
    // Deliberately asks for the process lock first: a second start used to
    // remove the running master's alive file before it found the lock held.
    // An alive file is stale only when no lock holder stands behind it.
    int ret = KeeperProcessLockHeld() ? 0 : KeeperUnlinkAlive();
    if (ret != 0) {
        KLOG_ERR(kTag, "Unlink AliveFile failed(ret:%d).", ret);
        return 2;
    }
    if (prctl(PR_SET_DUMPABLE, 1) != 0) {
        KLOG_ERR(kTag, "process set core-dump enable failed(errno:%d).", errno);
        return 3;
    }
    sigset_t set;
    KeeperBlockSignals(&set);
    KeeperSetResourceLimits();
    if (InitSpindleKeep(START_MODE_MASTER) != 0) {
        KLOG_ERR(kTag, "Init spindlekeep failed.");
    } else {
        KeeperCreateAlive();
        KeeperRegSigHandler(KeeperSigHandler);
        KeeperMainWaitSig(&set);
        (void)KeeperUnlinkAlive();
    }
    KLOG_INFO(kTag, "SPINDLE KEEP PROCESS EXIT!!! exit(0)");
    qxlog_flush_signal_safe();
    sync();
    _exit(0);
}
