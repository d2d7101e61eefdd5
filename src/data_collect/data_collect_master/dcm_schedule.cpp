#include "data_collect/data_collect_master/dcm_schedule.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "config/config.h"
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_mgr/data_mgr_master/data_mgr_online.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

constexpr const char *kTag = "DCM";
constexpr int kErrAgain = EAGAIN;      // 11
constexpr int kErrNoMem = ENOMEM;      // 12
constexpr int kErrInval = EINVAL;      // 22
constexpr int kErrAlready = EALREADY;  // 114
constexpr int kErrNoMedium = ENOMEDIUM;  // 123
constexpr uint32_t kFailedPollMs = 500;
constexpr uint32_t kLockPollMs = 1;
constexpr uint32_t kMaxBatches = UINT8_MAX;
// Serial numbers remembered beyond the limit: every disk of the three
// agents can be remembered.
constexpr uint32_t kOverflowMax = 2 * DCM_MAX_DEVICE_LIST;
// A changed overflow is logged at most once per this many scans (a minute).
constexpr uint32_t kOverflowLogScans = 12;

using SnField = char[DISK_SN_LEN];

struct AgentListNode {
    AgentListNode *next;
    AgentInfo agent;
    std::atomic<uint8_t> *stopFlag;
};

struct StepWorkerContext {
    uint32_t type;
    AgentInfo agent;
    DiskBriefInfo *const *records;
    uint16_t count;
    uint32_t offset;
    uint32_t step;
    KeeperSem *sem;
    std::atomic<int> *result;
};

// Disks beyond the node's limit of 64. A scan admits at most 64 disks,
// those it admitted before first, so an extra disk never displaces a
// monitored one; the others are the overflow, which the query threads leave
// alone (their sets could only fail, and a failed message is re-polled every
// 500 ms) and which is logged once per change.
struct DcmOverflowState {
    SnField admitted[DCM_MAX_DEVICE_LIST];  // the last scan's merged list; under listLock
    uint32_t admittedCount;
    SnField overflow[kOverflowMax];  // under the overflow lock
    uint32_t overflowCount;
    bool logPending;       // under listLock, like the two below
    uint32_t quietScans;   // scans until the next overflow record may go out
    uint32_t lastTotal;    // disks beyond the limit at the last scan, remembered or not
};

struct DcmScheduleState {
    std::atomic<uint8_t> inited;
    std::atomic<KeeperSpinLockT *> listLock;     // g_uniqueAgentListSpinLock
    std::atomic<KeeperSpinLockT *> enableLock;   // g_enableScanAllAgentDeviceListScheduleTaskSpinLock
    std::atomic<KeeperSpinLockT *> runningLock;  // g_uniqueScanAllAgentDeviceListScheduleTaskRunningSpinLock
    std::atomic<KeeperSpinLockT *> overflowLock;
    AgentListNode *queryTaskList;                // under listLock
    std::atomic<uint8_t> *scanAllRunningFlag;    // under enableLock
    DcmOverflowState over;
};

DcmScheduleState g_dcm{};

// One agent's device list during a scan; records taken into the merged list
// are set to null.
struct AgentDeviceList {
    DiskBriefInfo **records;
    uint16_t count;
};

// The agent-list and running locks are held across network exchanges and
// sleeps of several seconds; a waiter polls instead of spinning a core.
void LockPolitely(KeeperSpinLockT *lock)
{
    while (!KeeperSpinTryLock(lock)) {
        KeeperSleepMs(kLockPollMs);
    }
}

KeeperSpinLockT *ListLockOrLog()
{
    KeeperSpinLockT *lock = g_dcm.listLock.load(std::memory_order_acquire);
    if (lock == nullptr) {
        KLOG_ERR(kTag, "Invoker are never Init DCM or init fail but no retry.");
    }
    return lock;
}

const char *MethodOf(uint32_t type)
{
    const DcmMessageInfo *info = DcmMessageInfoGet(type);
    return info == nullptr ? "unknown" : info->method;
}

void FreeDeviceList(DiskBriefInfo **records, uint16_t count)
{
    if (records == nullptr) {
        return;
    }
    for (uint16_t i = 0; i < count; ++i) {
        KeeperFree(records[i]);
    }
    KeeperFree(records);
}

uint64_t StartDetached(KeeperThreadFn entry, KeeperThreadFn exit, void *arg)
{
    KeeperThreadAttr attr{0, 0, arg, arg};
    return KeeperThreadCreate(entry, exit, &attr);
}

void FreeArg(void *arg) { KeeperFree(arg); }

void FreeQueryContext(void *arg)
{
    auto *context = static_cast<QueryAgentTaskContext *>(arg);
    context->~QueryAgentTaskContext();
    KeeperFree(context);
}

void FreeScanFlag(void *arg)
{
    auto *flag = static_cast<std::atomic<uint8_t> *>(arg);
    flag->~atomic();
    KeeperFree(flag);
}

// The acquire loads pair with the cancellers' release stores, so the thread
// frees its context or flag only after the cancelling store is complete.
void QueryAgentScheduleTaskLoop(void *arg)
{
    auto *context = static_cast<QueryAgentTaskContext *>(arg);
    while (context->stopFlag.load(std::memory_order_acquire) != 1) {
        QueryAgentScheduleTask(context);
    }
}

void StepQueryMessageAndSaveTask(void *arg)
{
    auto *ctx = static_cast<StepWorkerContext *>(arg);
    int ret = QueryMessageAndSave(ctx->type, &ctx->agent, ctx->records, ctx->count);
    if (ret != 0) {
        KLOG_ERR(kTag, "Agent(%s) QueryMessageAndSave(message:%s) Failed(ret:%d)(offset:%u)(step:%u).",
                 ctx->agent.agentName, MethodOf(ctx->type), ret, ctx->offset, ctx->step);
        ctx->result->store(ret, std::memory_order_relaxed);
    }
    KeeperSemPost(ctx->sem);
}

// Starts the worker of one batch; the semaphore token is taken first and
// given back when the worker cannot be started.
void StartStepWorker(const StepWorkerContext &proto, std::atomic<int> *result)
{
    auto *ctx = static_cast<StepWorkerContext *>(KeeperAlloc(sizeof(StepWorkerContext)));
    if (ctx == nullptr) {
        KLOG_ERR(kTag,
                 "Agent(%s) QueryMessageAndSave(message:%s) malloc context "
                 "Failed(offset:%u)(step:%u).",
                 proto.agent.agentName, MethodOf(proto.type), proto.offset, proto.step);
        result->store(kErrNoMem, std::memory_order_relaxed);
        return;
    }
    *ctx = proto;
    KeeperSemWait(proto.sem);
    if (StartDetached(StepQueryMessageAndSaveTask, FreeArg, ctx) == 0) {
        KeeperSemPost(proto.sem);
        KeeperFree(ctx);
        KLOG_CRIT(kTag, "StepQueryMessageAndSave Create WorkerThread failed.");
        result->store(kErrNoMem, std::memory_order_relaxed);
    }
}

// Runs the messages that are due; `records` is the pass's device list.
void QueryDueMessages(QueryAgentTaskContext *context, DiskBriefInfo *const *records,
                      uint16_t count)
{
    for (uint32_t type = MESSAGE_DISK_BASE_INFO; type < MESSAGE_TYPE_BUTT; ++type) {
        if (!IsQueryMessageDue(context, type, time(nullptr))) {
            continue;
        }
        int ret = StepQueryMessageAndSave(type, &context->agent, records, count);
        if (ret == 0) {
            context->lastQueryTime[type] = time(nullptr);
        } else {
            KLOG_ERR(kTag, "QueryMessageAndSave(%s) failed(%d).", MethodOf(type), ret);
        }
    }
}

int AddAgentToList(const AgentInfo *agent, std::atomic<uint8_t> *stopFlag)
{
    KeeperSpinLockT *lock = g_dcm.listLock.load(std::memory_order_acquire);
    LockPolitely(lock);
    for (AgentListNode *node = g_dcm.queryTaskList; node != nullptr; node = node->next) {
        if (IsSameAgent(&node->agent, agent)) {
            KeeperSpinUnlock(lock);
            KLOG_INFO(kTag, "Agent(%s) existed in queryTaskList", agent->agentName);
            return kErrAlready;
        }
    }
    auto *node = static_cast<AgentListNode *>(KeeperAlloc(sizeof(AgentListNode)));
    if (node == nullptr) {
        KeeperSpinUnlock(lock);
        KLOG_ERR(kTag, "malloc AgentListNode failed");
        return kErrNoMem;
    }
    *node = AgentListNode{g_dcm.queryTaskList, *agent, stopFlag};
    g_dcm.queryTaskList = node;
    KeeperSpinUnlock(lock);
    return 0;
}

void ScanAllAgentDeviceListLoop(void *arg)
{
    auto *flag = static_cast<std::atomic<uint8_t> *>(arg);
    KeeperSpinLockT *running = g_dcm.runningLock.load(std::memory_order_acquire);
    LockPolitely(running);
    while (flag->load(std::memory_order_acquire) != 0) {
        ScanAllAgentDeviceListScheduleTask();
        KeeperSleepMs(g_messagePeriodMap[MESSAGE_DISK_BRIEF_INFO]);
    }
    KeeperSpinUnlock(running);
}

bool SnListed(const SnField *list, uint32_t count, const char *sn)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (strncmp(list[i], sn, DISK_SN_LEN) == 0) {
            return true;
        }
    }
    return false;
}

// Fills the merged list from the agents' lists: disks admitted by the last
// scan first, then new ones, each in listing order, up to the limit. The
// serial numbers of the rest go to `overflow` (at most kOverflowMax); every
// record not merged is freed. Returns how many did not fit.
uint32_t SelectMonitored(AgentDeviceList *lists, uint32_t agents, DiskBriefInfo **merged,
                         uint32_t *mergedCount, SnField *overflow, uint32_t *overflowCount)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t a = 0; a < agents; ++a) {
            for (uint16_t i = 0; i < lists[a].count; ++i) {
                DiskBriefInfo *r = lists[a].records[i];
                if (r == nullptr || *mergedCount >= DCM_MAX_DEVICE_LIST ||
                    (pass == 0 && !SnListed(g_dcm.over.admitted, g_dcm.over.admittedCount, r->sn))) {
                    continue;
                }
                merged[(*mergedCount)++] = r;
                lists[a].records[i] = nullptr;
            }
        }
    }
    uint32_t beyond = 0;
    for (uint32_t a = 0; a < agents; ++a) {
        for (uint16_t i = 0; i < lists[a].count; ++i) {
            DiskBriefInfo *r = lists[a].records[i];
            if (r != nullptr) {
                if (*overflowCount < kOverflowMax) {
                    (void)memcpy(overflow[(*overflowCount)++], r->sn, DISK_SN_LEN);
                }
                ++beyond;
                KeeperFree(r);
            }
        }
        KeeperFree(lists[a].records);
    }
    return beyond;
}

// Publishes the scan's admitted disks and overflow (list lock held) and logs
// the overflow when it changed, at most once per kOverflowLogScans scans.
void PublishOverflow(DiskBriefInfo *const *merged, uint32_t mergedCount, const SnField *overflow,
                     uint32_t overflowCount, uint32_t beyond)
{
    DcmOverflowState &over = g_dcm.over;
    for (uint32_t i = 0; i < mergedCount; ++i) {
        (void)memcpy(over.admitted[i], merged[i]->sn, DISK_SN_LEN);
    }
    over.admittedCount = mergedCount;
    KeeperSpinLockT *lock = g_dcm.overflowLock.load(std::memory_order_acquire);
    KeeperSpinLock(lock);
    bool changed = overflowCount != over.overflowCount || beyond != over.lastTotal;
    for (uint32_t i = 0; i < overflowCount && !changed; ++i) {
        changed = !SnListed(over.overflow, over.overflowCount, overflow[i]);
    }
    (void)memcpy(over.overflow, overflow, sizeof(SnField) * overflowCount);
    over.overflowCount = overflowCount;
    KeeperSpinUnlock(lock);
    over.lastTotal = beyond;
    over.logPending = over.logPending || changed;
    if (over.quietScans > 0) {
        --over.quietScans;
    }
    if (!over.logPending || over.quietScans > 0) {
        return;
    }
    if (beyond != 0) {
        KLOG_WARN(kTag, "%u disks listed beyond the limit of %u are not monitored (first: %.40s).",
                  beyond, DCM_MAX_DEVICE_LIST, overflowCount != 0 ? overflow[0] : "");
    } else {
        KLOG_INFO(kTag, "every listed disk is monitored again.");
    }
    over.logPending = false;
    over.quietScans = kOverflowLogScans;
}

// Frees the records of disks the last scan could not admit: a query pass
// leaves them alone. Returns the records kept, moved to the front.
uint16_t DropOverflowDisks(DiskBriefInfo **records, uint16_t count)
{
    KeeperSpinLockT *lock = g_dcm.overflowLock.load(std::memory_order_acquire);
    KeeperSpinLock(lock);
    uint16_t kept = 0;
    for (uint16_t i = 0; i < count; ++i) {
        if (SnListed(g_dcm.over.overflow, g_dcm.over.overflowCount, records[i]->sn)) {
            KeeperFree(records[i]);
        } else {
            records[kept++] = records[i];
        }
    }
    KeeperSpinUnlock(lock);
    return kept;
}

// Searches the device lists of the listed agents; list lock held by the caller.
int FetchFromListedAgents(uint32_t snLen, const char *sn, DiskBaseInfo *out)
{
    size_t cmpLen = snLen > DISK_SN_LEN ? DISK_SN_LEN : snLen;
    for (AgentListNode *node = g_dcm.queryTaskList; node != nullptr; node = node->next) {
        KLOG_DEBUG(kTag, "try to match agent(%s).", node->agent.agentName);
        uint16_t count = 0;
        DiskBriefInfo **records = QueryDeviceList(&node->agent, &count);
        if (records == nullptr) {
            KLOG_ERR(kTag, "query agent(%s) device list Failed.", node->agent.agentName);
            continue;
        }
        for (uint16_t i = 0; i < count; ++i) {
            if (strncmp(records[i]->sn, sn, cmpLen) == 0) {
                int ret = FetchDiskBaseInfoFromAgent(&node->agent, records[i], out);
                FreeDeviceList(records, count);
                return ret;
            }
            KLOG_DEBUG(kTag, "assert [%s] not memcmp [%.40s]", records[i]->sn, sn);
        }
        FreeDeviceList(records, count);
    }
    return kErrNoMedium;
}

}  // namespace

const uint32_t g_messagePeriodMap[MESSAGE_TYPE_BUTT] = {
    5000,     // MESSAGE_DISK_BRIEF_INFO: the scan period, and the pause after a failed list
    3600000,  // MESSAGE_DISK_BASE_INFO
    3000,     // MESSAGE_DISK_HEALTH_INFO
    3000,     // MESSAGE_DISK_IOSTAT: also paces the query pass
};

int InitDataCollectMaster()
{
    uint8_t expected = 0;
    if (!g_dcm.inited.compare_exchange_strong(expected, 1)) {
        KLOG_WARN(kTag, "DataCollectMaster Already Initiated.");
        return kErrAlready;
    }
    static const char *const kLockFailures[] = {
        "g_uniqueAgentListSpinLock Create Failed.",
        "g_enableScanAllAgentDeviceListScheduleTaskSpinLock Create Failed.",
        "g_uniqueScanAllAgentDeviceListScheduleTaskRunningSpinLock Create Failed.",
        "overflow lock Create Failed.",
    };
    constexpr size_t kLocks = sizeof(kLockFailures) / sizeof(kLockFailures[0]);
    KeeperSpinLockT *locks[kLocks] = {};
    for (size_t i = 0; i < kLocks; ++i) {
        locks[i] = KeeperSpinLockCreate();
        if (locks[i] == nullptr) {
            for (size_t j = 0; j < i; ++j) {
                KeeperSpinLockDestroy(locks[j]);
            }
            g_dcm.inited.store(0);
            KLOG_CRIT(kTag, "%s", kLockFailures[i]);
            return kErrNoMem;
        }
    }
    DataMgrOnlineInstallWhiteList();
    g_dcm.overflowLock.store(locks[3], std::memory_order_release);
    g_dcm.runningLock.store(locks[2], std::memory_order_release);
    g_dcm.enableLock.store(locks[1], std::memory_order_release);
    g_dcm.listLock.store(locks[0], std::memory_order_release);
    return 0;
}

int SubmitQueryAgentScheduleTask(const AgentInfo *agent)
{
    if (ListLockOrLog() == nullptr) {
        return kErrAgain;
    }
    if (agent == nullptr) {
        return kErrInval;
    }
    void *mem = KeeperAlloc(sizeof(QueryAgentTaskContext));
    if (mem == nullptr) {
        KLOG_CRIT(kTag, "malloc SubmitQueryAgentScheduleTask context failed.");
        return kErrNoMem;
    }
    memset(mem, 0, sizeof(QueryAgentTaskContext));
    auto *context = new (mem) QueryAgentTaskContext{};
    context->agent = *agent;
    context->lastQueryTime[MESSAGE_DISK_BRIEF_INFO] = time(nullptr);
    int ret = AddAgentToList(agent, &context->stopFlag);
    if (ret != 0) {
        FreeQueryContext(context);
        KLOG_ERR(kTag, "Submit query agent schedule task failed(ret:%d).", ret);
        return ret;
    }
    if (StartDetached(QueryAgentScheduleTaskLoop, FreeQueryContext, context) == 0) {
        KLOG_CRIT(kTag, "SubmitQueryAgentScheduleTask Create TimerThread failed.");
        (void)CancelQueryAgentScheduleTask(agent);
        FreeQueryContext(context);
        return kErrNoMem;
    }
    return 0;
}

int CancelQueryAgentScheduleTask(const AgentInfo *agent)
{
    KeeperSpinLockT *lock = ListLockOrLog();
    if (lock == nullptr) {
        return kErrAgain;
    }
    if (agent == nullptr) {
        return kErrInval;
    }
    LockPolitely(lock);
    AgentListNode **link = &g_dcm.queryTaskList;
    while (*link != nullptr) {
        AgentListNode *node = *link;
        if (!IsSameAgent(&node->agent, agent)) {
            KLOG_DEBUG(kTag, "assert mismatch agent(%s)with(%s).", node->agent.agentName,
                       agent->agentName);
            link = &node->next;
            continue;
        }
        node->stopFlag->store(1, std::memory_order_release);
        *link = node->next;
        KLOG_INFO(kTag, "cancel query agent (%s)", node->agent.agentName);
        KeeperFree(node);
        break;
    }
    KeeperSpinUnlock(lock);
    return 0;
}

void CancelAllQueryAgentScheduleTask()
{
    KeeperSpinLockT *lock = ListLockOrLog();
    if (lock == nullptr) {
        return;
    }
    LockPolitely(lock);
    while (g_dcm.queryTaskList != nullptr) {
        AgentListNode *node = g_dcm.queryTaskList;
        node->stopFlag->store(1, std::memory_order_release);
        g_dcm.queryTaskList = node->next;
        KLOG_INFO(kTag, "cancel query agent (%s)", node->agent.agentName);
        KeeperFree(node);
    }
    KeeperSpinUnlock(lock);
    CancelScanAllAgentDeviceListScheduleTask();
}

int SubmitScanAllAgentDeviceListScheduleTask()
{
    if (ListLockOrLog() == nullptr) {
        return kErrAgain;
    }
    KeeperSpinLockT *lock = g_dcm.enableLock.load(std::memory_order_acquire);
    KeeperSpinLock(lock);
    if (g_dcm.scanAllRunningFlag != nullptr && g_dcm.scanAllRunningFlag->load() == 1) {
        KeeperSpinUnlock(lock);
        KLOG_INFO(kTag, "Global Scan All Agent ScheduleTask is Already Running.");
        return kErrAlready;
    }
    void *mem = KeeperAlloc(sizeof(std::atomic<uint8_t>));
    if (mem == nullptr) {
        KeeperSpinUnlock(lock);
        KLOG_CRIT(kTag, "SubmitScanAllAgentDeviceListScheduleTask malloc context failed.");
        return kErrNoMem;
    }
    auto *flag = new (mem) std::atomic<uint8_t>(1);
    if (StartDetached(ScanAllAgentDeviceListLoop, FreeScanFlag, flag) == 0) {
        FreeScanFlag(flag);
        g_dcm.scanAllRunningFlag = nullptr;
        KeeperSpinUnlock(lock);
        KLOG_CRIT(kTag, "SubmitScanAllAgentDeviceListScheduleTask Create TimerThread failed.");
        return kErrNoMem;
    }
    g_dcm.scanAllRunningFlag = flag;
    KeeperSpinUnlock(lock);
    return 0;
}

void CancelScanAllAgentDeviceListScheduleTask()
{
    if (ListLockOrLog() == nullptr) {
        return;
    }
    KLOG_INFO(kTag, "cancel scan all agent.");
    KeeperSpinLockT *lock = g_dcm.enableLock.load(std::memory_order_acquire);
    KeeperSpinLock(lock);
    if (g_dcm.scanAllRunningFlag != nullptr && g_dcm.scanAllRunningFlag->load() == 1) {
        g_dcm.scanAllRunningFlag->store(0, std::memory_order_release);
        g_dcm.scanAllRunningFlag = nullptr;
    } else {
        KLOG_DEBUG(kTag, "ScanAllAgentDeviceListScheduleTask is already canceled.");
    }
    KeeperSpinUnlock(lock);
}

bool IsQueryMessageDue(const QueryAgentTaskContext *context, uint32_t type, time_t now)
{
    if (type >= MESSAGE_TYPE_BUTT) {
        return false;
    }
    int64_t elapsed = static_cast<int64_t>(now) - static_cast<int64_t>(context->lastQueryTime[type]);
    return elapsed * 1000 >= static_cast<int64_t>(g_messagePeriodMap[type]);
}

void QueryAgentScheduleTask(QueryAgentTaskContext *context)
{
    uint16_t count = 0;
    DiskBriefInfo **records = QueryDeviceList(&context->agent, &count);
    if (records == nullptr) {
        KLOG_DEBUG(kTag, "query Agent(%s) failed(%s).", context->agent.agentName,
                   count != 0 ? "networkFail" : "emptyList");
        KeeperSleepMs(g_messagePeriodMap[MESSAGE_DISK_BRIEF_INFO]);
        return;
    }
    context->lastQueryTime[MESSAGE_DISK_BRIEF_INFO] = time(nullptr);
    count = DropOverflowDisks(records, count);
    QueryDueMessages(context, records, count);
    FreeDeviceList(records, count);

    int64_t elapsed = static_cast<int64_t>(time(nullptr)) -
                      static_cast<int64_t>(context->lastQueryTime[MESSAGE_DISK_IOSTAT]);
    int64_t period = g_messagePeriodMap[MESSAGE_DISK_IOSTAT];
    uint32_t sleepMs = (elapsed >= 0 && elapsed * 1000 <= period)
                           ? static_cast<uint32_t>(period - elapsed * 1000)
                           : kFailedPollMs;
    KLOG_DEBUG(kTag, "agent(%s) timer sleepMs(%u).", context->agent.agentName, sleepMs);
    KeeperSleepMs(sleepMs);
}

uint32_t DcmBatchCount(uint32_t type, uint32_t count)
{
    const DcmMessageInfo *info = DcmMessageInfoGet(type);
    if (info == nullptr || info->disksPerRequest == 0) {
        return count == 0 ? 0 : 1;
    }
    return (count + info->disksPerRequest - 1) / info->disksPerRequest;
}

int StepQueryMessageAndSave(uint32_t type, const AgentInfo *agent, DiskBriefInfo *const *records,
                            uint16_t count)
{
    const DcmMessageInfo *info = DcmMessageInfoGet(type);
    if (info == nullptr || info->disksPerRequest == 0 || agent == nullptr || records == nullptr) {
        return kErrInval;
    }
    uint32_t step = info->disksPerRequest;
    uint32_t batches = DcmBatchCount(type, count);
    if (batches > kMaxBatches) {
        KLOG_CRIT(kTag, "Calculated number of StepQueryThread even more than UINT8_MAX(num:%f).",
                  static_cast<double>(batches));
        return kErrInval;
    }
    KeeperSem *sem = KeeperSemCreate(batches);
    if (sem == nullptr) {
        KLOG_ERR(kTag, "Step query Agent(%s) create Sem Fail.", agent->agentName);
        return kErrNoMem;
    }
    std::atomic<int> result{0};
    for (uint32_t offset = 0; offset < count; offset += step) {
        uint32_t size = count - offset < step ? count - offset : step;
        StepWorkerContext proto{type, *agent, records + offset, static_cast<uint16_t>(size),
                                offset, step, sem, &result};
        StartStepWorker(proto, &result);
    }
    // Every started worker gives its token back when it is done.
    for (uint32_t i = 0; i < batches; ++i) {
        KeeperSemWait(sem);
    }
    KeeperSemDestroy(sem);
    return result.load();
}

void ScanAllAgentDeviceListScheduleTask()
{
    KeeperSpinLockT *lock = ListLockOrLog();
    if (lock == nullptr) {
        return;
    }
    DiskBriefInfo *merged[DCM_MAX_DEVICE_LIST] = {};
    uint32_t mergedCount = 0;
    SnField overflow[kOverflowMax];
    uint32_t overflowCount = 0;
    LockPolitely(lock);
    uint32_t agents = 0;
    for (AgentListNode *node = g_dcm.queryTaskList; node != nullptr; node = node->next) {
        ++agents;
    }
    auto *lists = static_cast<AgentDeviceList *>(KeeperAlloc(sizeof(AgentDeviceList) * (agents + 1)));
    if (lists == nullptr) {
        KeeperSpinUnlock(lock);
        KLOG_ERR(kTag, "malloc scan device lists failed.");
        return;
    }
    uint32_t answered = 0;
    for (AgentListNode *node = g_dcm.queryTaskList; node != nullptr; node = node->next) {
        uint16_t count = 0;
        DiskBriefInfo **records = QueryDeviceList(&node->agent, &count);
        if (records != nullptr) {
            lists[answered++] = AgentDeviceList{records, count};
        }
    }
    uint32_t beyond = SelectMonitored(lists, answered, merged, &mergedCount, overflow, &overflowCount);
    KeeperFree(lists);
    PublishOverflow(merged, mergedCount, overflow, overflowCount, beyond);
    KeeperSpinUnlock(lock);
    // Saved after the agent-list lock is released: the data-manager lock is
    // never taken while the agent-list lock is held.
    if (SaveDiskBriefInfo(merged, mergedCount) != 0) {
        KLOG_DEBUG(kTag, "Flush SN list to MGR failed.");
    }
    for (uint32_t i = 0; i < mergedCount; ++i) {
        KeeperFree(merged[i]);
    }
}

int FetchDiskBaseInfo(uint32_t snLen, const char *sn, DiskBaseInfo *out)
{
    KeeperSpinLockT *lock = ListLockOrLog();
    if (lock == nullptr) {
        return kErrAgain;
    }
    if (sn == nullptr || out == nullptr) {
        return kErrInval;
    }
    LockPolitely(lock);
    int ret = FetchFromListedAgents(snLen, sn, out);
    KeeperSpinUnlock(lock);
    return ret;
}

void StartQueryAgentScheduleTask()
{
    uint32_t featureSwitch = 0;
    if (GetSwitchConfig("feature_switch", &featureSwitch) != 0) {
        KLOG_ERR("INIT", "get feature switch config failed");
        return;
    }
    if (featureSwitch != 1) {
        KLOG_INFO("INIT", "feature switch is off, no need start query agent task");
        return;
    }
    AgentInfo user = DcmWellKnownAgentGet(DCM_AGENT_SPDK);
    AgentInfo kernel = DcmWellKnownAgentGet(DCM_AGENT_DCAK);
    int ret = SubmitQueryAgentScheduleTask(&user);
    if (ret != 0) {
        KLOG_WARN(kTag, "Submit Query UsrAgent ScheduleTask failed(ret:%d).", ret);
        return;
    }
    ret = SubmitQueryAgentScheduleTask(&kernel);
    if (ret != 0) {
        KLOG_WARN(kTag, "Submit Query KernelAgent ScheduleTask failed(ret:%d).", ret);
        KLOG_WARN(kTag, "Cancel Query UsrAgent ScheduleTask(ret:%d).",
                  CancelQueryAgentScheduleTask(&user));
        return;
    }
    ret = SubmitScanAllAgentDeviceListScheduleTask();
    if (ret != 0) {
        KLOG_WARN(kTag, "Submit Scan All Agent ScheduleTask failed(ret:%d).", ret);
        KLOG_WARN(kTag, "Cancel Query UsrAgent ScheduleTask(ret:%d).",
                  CancelQueryAgentScheduleTask(&user));
        KLOG_WARN(kTag, "Cancel Query KernelAgent ScheduleTask(ret:%d).",
                  CancelQueryAgentScheduleTask(&kernel));
    }
}
