#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"

#include <linux/netlink.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"

namespace {

constexpr const char *kTag = "DCM";
constexpr int kErrNoMem = ENOMEM;      // 12
constexpr int kErrAlready = EALREADY;  // 114
constexpr size_t kMinEventLen = 10;    // shorter messages cannot hold a key and value
constexpr uint32_t kNotifyFirstDelayMs = 100;
constexpr size_t kDriverPathLen = 282;
constexpr const char *kNvmeDriverDir = "/sys/bus/pci/drivers/nvme/";
constexpr const char *kRebindMethod = "dca_rebind_nvme2uio";

struct HotPlugState {
    KeeperSpinLockT *lock;      // created once by the "HOT_PLUG" step
    std::atomic<uint8_t> stop;  // 1: received events are dropped
    uint8_t started;            // 1 while a listener thread exists; under lock
};

HotPlugState g_hotPlug = {nullptr, {1}, 0};

struct ListenerContext {
    AgentInfo agent;  // the listener's own copy
};

struct NotifyContext {
    char pci[HOT_PLUG_PCI_LEN];
    AgentInfo agent;  // independent of the listener's context
};

// One row per field: where the value lands and which key precedes it.
struct EventKey {
    const char *key;
    size_t keyLen;
    size_t offset;  // of the field inside HotPlugEvent
};

constexpr EventKey kEventKeys[] = {
    {"ACTION=", 7, offsetof(HotPlugEvent, action)},
    {"DEVPATH=", 8, offsetof(HotPlugEvent, devPath)},
    {"SUBSYSTEM=", 10, offsetof(HotPlugEvent, subsystem)},
};
static_assert(sizeof(kEventKeys) / sizeof(kEventKeys[0]) == 3, "three event fields");

// First start position of `key`, scanning 0 .. len - keyLen - 1, so that a key
// is only found when at least one byte follows it; -1 when absent.
ptrdiff_t FindKey(const char *msg, size_t len, const char *key, size_t keyLen)
{
    for (size_t i = 0; i + keyLen < len; ++i) {
        if (memcmp(msg + i, key, keyLen) == 0) {
            return static_cast<ptrdiff_t>(i);
        }
    }
    return -1;
}

// The port id the listener binds: process id and thread handle, so that a
// restarted listener thread gets an address of its own.
uint32_t ListenerPortId()
{
    auto self = static_cast<uint64_t>(pthread_self());
    return static_cast<uint32_t>(static_cast<uint64_t>(getpid()) | (self << 16));
}

void ListenerEnd(ListenerContext *ctx)
{
    KLOG_ERR(kTag, " Get Sys Hot Plug Event Socket Fd fail, close thread");
    KeeperSpinLock(g_hotPlug.lock);
    g_hotPlug.stop.store(1);
    g_hotPlug.started = 0;
    KeeperSpinUnlock(g_hotPlug.lock);
    KeeperFree(ctx);
}

// The listener thread. It has no socket at first: the first receive fails on
// purpose and its error path opens the socket, exactly as after any later
// receive error (an overflowing receive buffer, for instance).
void HotPlugSocketListerHandler(void *arg)
{
    auto *ctx = static_cast<ListenerContext *>(arg);
    KLOG_DEBUG(kTag, " HotPlugSocketListerHandler thread start");
    char buf[HOT_PLUG_MSG_BUF_LEN];
    struct iovec iov = {buf, sizeof(buf)};
    struct sockaddr_nl self = {};
    self.nl_family = AF_NETLINK;
    self.nl_pid = ListenerPortId();
    self.nl_groups = 0xFFFFFFFFu;
    // The receive writes the sender's address here; every new socket is bound
    // to `self`, which stays untouched.
    struct sockaddr_nl from = self;
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    int fd = -1;
    for (;;) {
        (void)memset_s(buf, sizeof(buf), 0, sizeof(buf));
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        ssize_t n = recvmsg(fd, &msg, 0);
        if (n >= 0) {
            if (g_hotPlug.stop.load() == 1) {
                KLOG_DEBUG(kTag, " HotPlugSocketListerHandler get msg,but not parse");
                continue;
            }
            HandleSysHotPlugEventMsg(&ctx->agent, buf, static_cast<size_t>(n));
            continue;
        }
        int err = errno;
        KLOG_ERR(kTag, "recvmsg error: %d - %s", err, strerror(err));
        if (close(fd) != 0) {
            err = errno;
            KLOG_ERR(kTag, "close sockopt error: %d - %s", err, strerror(err));
        }
        fd = GetSysHotPlugEventSocketFd(&self);
        if (fd < 0) {
            break;
        }
    }
    ListenerEnd(ctx);
}

// Caller holds the hot-plug lock.
void CreateAndStartListenerThreadLocked(const AgentInfo *agent)
{
    auto *ctx = static_cast<ListenerContext *>(KeeperAlloc(sizeof(ListenerContext)));
    if (ctx == nullptr) {
        KLOG_CRIT(kTag, "malloc context failed.");
        g_hotPlug.stop.store(1);
        return;
    }
    (void)memset_s(ctx, sizeof(*ctx), 0, sizeof(*ctx));
    ctx->agent = *agent;
    KeeperThreadAttr attr = {0, 0, ctx, nullptr};
    if (KeeperThreadCreate(HotPlugSocketListerHandler, nullptr, &attr) == 0) {
        KLOG_CRIT(kTag, "StartHotPlugListener Create Timer failed.");
        KeeperFree(ctx);
        g_hotPlug.stop.store(1);
        return;
    }
    g_hotPlug.started = 1;
}

void ReleaseNotifyContext(void *ctx) { KeeperFree(ctx); }

void NotifyAgentNvmeDiskOn(const AgentInfo *agent, const char *pci)
{
    cJSON *req = CreateBaseRequest(kRebindMethod);
    if (req == nullptr) {
        return;
    }
    cJSON *params = cJSON_AddObjectToObject(req, "params");
    if (params == nullptr || cJSON_AddStringToObject(params, "pci_address", pci) == nullptr) {
        cJSON_Delete(req);
        return;
    }
    // The agent's answer carries nothing the daemon acts on.
    cJSON_Delete(PostRequestWithJSON(agent, req));
    cJSON_Delete(req);
}

}  // namespace

int InitHotPlugListener()
{
    if (g_hotPlug.lock != nullptr) {
        return kErrAlready;
    }
    g_hotPlug.lock = KeeperSpinLockCreate();
    return g_hotPlug.lock == nullptr ? kErrNoMem : 0;
}

void StartHotPlugListener(const AgentInfo *agent)
{
    if (g_hotPlug.lock == nullptr || agent == nullptr) {
        KLOG_ERR(kTag, "hot plug listener not initialised.");
        return;
    }
    KeeperSpinLock(g_hotPlug.lock);
    if (g_hotPlug.stop.load() == 1) {
        g_hotPlug.stop.store(0);
        if (g_hotPlug.started == 0) {
            CreateAndStartListenerThreadLocked(agent);
        }
    }
    KeeperSpinUnlock(g_hotPlug.lock);
}

void StopHotPlugListener()
{
    if (g_hotPlug.lock == nullptr) {
        return;
    }
    KeeperSpinLock(g_hotPlug.lock);
    g_hotPlug.stop.store(1);
    KeeperSpinUnlock(g_hotPlug.lock);
}

int GetSysHotPlugEventSocketFd(const struct sockaddr_nl *addr)
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        int err = errno;
        KLOG_ERR(kTag, "socket error: %d - %s", err, strerror(err));
        return -1;
    }
    int rcvBuf = 0;
    socklen_t optLen = sizeof(rcvBuf);
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, &optLen) != 0) {
        int err = errno;
        (void)close(fd);
        KLOG_ERR(kTag, "getsockopt error: %d - %s", err, strerror(err));
        return -1;
    }
    KLOG_INFO(kTag, "Hot plug socket receive buffer size: %d", rcvBuf);
    if (bind(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof(*addr)) != 0) {
        int err = errno;
        KLOG_ERR(kTag, "bind error: %d - %s", err, strerror(err));
        (void)close(fd);
        return -1;
    }
    return fd;
}

int HotPlugEventParse(const char *msg, size_t len, HotPlugEvent *ev)
{
    if (msg == nullptr || ev == nullptr || len < kMinEventLen) {
        return -1;
    }
    for (const EventKey &k : kEventKeys) {
        ptrdiff_t at = FindKey(msg, len, k.key, k.keyLen);
        if (at < 0) {
            return -1;
        }
        // Never past the received bytes: the value may be the datagram's end.
        size_t valueAt = static_cast<size_t>(at) + k.keyLen;
        size_t limit = len - valueAt;
        if (limit > HOT_PLUG_FIELD_LEN - 1) {
            limit = HOT_PLUG_FIELD_LEN - 1;
        }
        char *field = reinterpret_cast<char *>(ev) + k.offset;
        if (strncpy_s(field, HOT_PLUG_FIELD_LEN, msg + valueAt, limit) != EOK) {
            KLOG_DEBUG(kTag, "HandleSysHotPlugEventMsg parse fail");
            return -1;
        }
    }
    return 0;
}

bool HotPlugEventNvmePci(const HotPlugEvent *ev, char *pci, size_t pciLen)
{
    if (strcmp(ev->action, "add") != 0 || strcmp(ev->subsystem, "nvme") != 0) {
        return false;
    }
    const char *cut = strstr(ev->devPath, "/nvme");
    if (cut == nullptr) {
        return false;
    }
    const char *slash = nullptr;
    for (const char *p = ev->devPath; p < cut; ++p) {
        if (*p == '/') {
            slash = p;
        }
    }
    if (slash == nullptr) {
        return false;
    }
    return strncpy_s(pci, pciLen, slash + 1, static_cast<size_t>(cut - slash - 1)) == EOK;
}

void HandleSysHotPlugEventMsg(const AgentInfo *agent, const char *msg, size_t len)
{
    KLOG_DEBUG(kTag, "Handle Sys Event Msg start");
    HotPlugEvent ev = {};
    char pci[HOT_PLUG_FIELD_LEN] = {};
    if (HotPlugEventParse(msg, len, &ev) != 0 || !HotPlugEventNvmePci(&ev, pci, sizeof(pci))) {
        return;
    }
    KLOG_DEBUG(kTag, "find nvme add msg, action=%s,pci=%s,sys=%s", ev.action, pci, ev.subsystem);
    CreateTaskForNotifyAgentNvmeDiskOn(agent, pci);
}

void CreateTaskForNotifyAgentNvmeDiskOn(const AgentInfo *agent, const char *pci)
{
    auto *ctx = static_cast<NotifyContext *>(KeeperAlloc(sizeof(NotifyContext)));
    if (ctx == nullptr) {
        KLOG_ERR(kTag, "malloc for task context fail");
        return;
    }
    (void)memset_s(ctx, sizeof(*ctx), 0, sizeof(*ctx));
    if (strcpy_s(ctx->pci, sizeof(ctx->pci), pci) != EOK) {
        KeeperFree(ctx);
        KLOG_ERR(kTag, "copy pci fail");
        return;
    }
    ctx->agent = *agent;
    ScheduleTaskInfo info = {.name = ctx->pci,
                             .repeatForever = 0,
                             .runTimes = 1,
                             .firstDelayMs = kNotifyFirstDelayMs,
                             .periodMs = 0,
                             .entry = NotifyAgentNvmeDiskOnTaskFunc,
                             .entryArg = ctx,
                             .endCallback = ReleaseNotifyContext,
                             .endArg = ctx};
    int ret = SubmitScheduleTask(&info);
    if (ret != SCHEDULE_TASK_OK) {
        KeeperFree(ctx);
        KLOG_INFO(kTag, "create task fail,ret = %d", ret);
        return;
    }
    KLOG_INFO(kTag, "create task to rebind pci %s", pci);
}

void NotifyAgentNvmeDiskOnTaskFunc(void *arg)
{
    auto *ctx = static_cast<NotifyContext *>(arg);
    for (uint32_t i = 0; i < HOT_PLUG_NOTIFY_CHECKS; ++i) {
        if (IsDiskOnNvmeDriver(ctx->pci)) {
            NotifyAgentNvmeDiskOn(&ctx->agent, ctx->pci);
            return;
        }
        KeeperSleep(KeeperTime{HOT_PLUG_NOTIFY_PAUSE_S, KEEPER_TIME_S});
    }
    KLOG_ERR(kTag, "Failed to detect nvme device,pci=%s", ctx->pci);
}

bool IsDiskOnNvmeDriver(const char *pci)
{
    char path[kDriverPathLen];
    if (pci == nullptr || sprintf_s(path, sizeof(path), "%s/%s", kNvmeDriverDir, pci) < 0) {
        KLOG_ERR(kTag, "Failed to build nvme device path");
        return false;
    }
    return access(path, F_OK) == 0;
}
