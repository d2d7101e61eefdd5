#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"

#include <atomic>

#include "infrastructure/keeper_host/qxax.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/utils/drm_list.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_timer.h"

namespace {

struct DrmSchedQueue {
    uint8_t busy;                // a drain worker was started and has not finished
    std::atomic<uint32_t> gate;  // 1 = free; a worker drains only after taking it to 0
    qxax_spinlock_t lock;        // guards pending and busy
    DrmListHead pending;
};

struct DrmSeperateSchedEntry {
    DrmAnalyserEntry entry;
    DrmSchedQueue queue[DRM_SCHED_QUEUE_NUM];
    DrmPreprocessor preprocessor;
    DrmDemotingChecker demotingChecker;
};

struct DrmSchedNode {
    DrmListHead node;
    uint32_t key;
};
static_assert(sizeof(DrmSchedNode) == 24, "trigger nodes are 24-byte LV blocks");

struct DrmWorkerParam {
    uint32_t featureId;
    uint32_t queueIndex;
};
static_assert(sizeof(DrmWorkerParam) == 8);

struct DrmSchedState {
    DrmAnalyserEntry analysers[DRM_MAX_FEATURE_NUM];
    DrmSeperateSchedEntry seperate[DRM_MAX_FEATURE_NUM];
    std::atomic<uint64_t> tick;
};

DrmSchedState g_sched;

using RegisterRoutine = int (*)(const DrmAnalyserEntry *entry);
using TickRoutine = void (*)(uint32_t featureId, uint64_t tick);

void DrmSeperateSchedTick(uint32_t featureId, uint64_t tick);

struct ModeRoutines {
    uint32_t mode;
    RegisterRoutine reg;
    TickRoutine tick;
};
// Mode 1 is a known value without routines: registering with it fails.
constexpr ModeRoutines kModeRoutines[] = {
    {DRM_SCHED_MODE_SEPERATE, DrmRegisterSeperateSchedTask, DrmSeperateSchedTick},
    {DRM_SCHED_MODE_DEFINED, nullptr, nullptr},
};
static_assert(sizeof(kModeRoutines) / sizeof(kModeRoutines[0]) == 2);

constexpr uint64_t kSkipWindow = 900000;
constexpr uint64_t kSkipSummary = 9000000;

const ModeRoutines *FindMode(uint32_t mode)
{
    for (const auto &row : kModeRoutines) {
        if (row.mode == mode) {
            return &row;
        }
    }
    return nullptr;
}

constexpr DrmAnalyserEntry kFreeEntry = {
    DRM_FEATURE_ID_FREE, DRM_SCHED_MODE_UNSET, DRM_PERIOD_NONE, DRM_PERIOD_NONE, nullptr, nullptr};

bool IsSeperateFeature(uint32_t featureId)
{
    const DrmAnalyserEntry &e = g_sched.analysers[featureId];
    return e.featureId == featureId && e.scheduleMode == DRM_SCHED_MODE_SEPERATE;
}

void DrmSeperateSchedTick(uint32_t featureId, uint64_t tick)
{
    const DrmAnalyserEntry &e = g_sched.seperate[featureId].entry;
    if (e.period0 != 0 && tick % e.period0 == 0) {
        (void)DrmTriggerSeperateSchedAnalysis(featureId, 0, 0);
    }
    if (e.period1 != 0 && tick % e.period1 == 1) {
        (void)DrmTriggerSeperateSchedAnalysis(featureId, 1, 0);
    }
}

void Dispatch(const DrmAnalyserEntry &e, uint32_t queueIndex, uint32_t key)
{
    if (queueIndex == 0) {
        if (e.analyser0 != nullptr) {
            e.analyser0(key >> 16, key);
        }
    } else if (e.analyser1 != nullptr) {
        e.analyser1(key);
    }
}

void Drain(DrmSeperateSchedEntry &se, uint32_t queueIndex)
{
    DrmSchedQueue &q = se.queue[queueIndex];
    for (;;) {
        qxax_spin_lock(&q.lock);
        if (DrmListEmpty(&q.pending)) {
            break;  // leaves with the lock held
        }
        DrmListHead local;
        DrmListMoveAll(&q.pending, &local);
        qxax_spin_unlock(&q.lock);
        while (!DrmListEmpty(&local)) {
            DrmListHead *first = local.next;
            DrmListDel(first);
            auto *node = DRM_LIST_ENTRY(first, DrmSchedNode, node);
            Dispatch(se.entry, queueIndex, node->key);
            DRM_FREE_LV(node, sizeof(DrmSchedNode));
        }
    }
    q.busy = 0;
    q.gate.fetch_add(1);
    qxax_spin_unlock(&q.lock);
}

bool KeyPending(const DrmSchedQueue &q, uint32_t key)
{
    for (const DrmListHead *p = q.pending.next; p != &q.pending; p = p->next) {
        if (DRM_LIST_ENTRY(p, const DrmSchedNode, node)->key == key) {
            return true;
        }
    }
    return false;
}

}  // namespace

int DrmRegisterSeperateSchedTask(const DrmAnalyserEntry *entry)
{
    if (entry == nullptr) {
        DRM_LOG(3, "task is NULL");
        return DRM_ERR;
    }
    if (entry->featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG(3, "Invalid featureId(%u).", entry->featureId);
        return DRM_ERR;
    }
    g_sched.seperate[entry->featureId].entry = *entry;
    return DRM_OK;
}

int DrmRegisterAnalyser(uint32_t featureId, DrmAnalyser1 analyser1, uint32_t period1,
                        DrmAnalyser0 analyser0, uint32_t period0, uint32_t scheduleMode)
{
    DRM_LOG(5, "DRM_FRM: Register analyser for featureId(%u).", featureId);
    if (featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG(3, "DRM_FRM: Invalid featureId(%u), max feature num(%u).", featureId,
                DRM_MAX_FEATURE_NUM);
        return DRM_ERR;
    }
    DrmAnalyserEntry &e = g_sched.analysers[featureId];
    if (e.scheduleMode != DRM_SCHED_MODE_UNSET && e.scheduleMode != scheduleMode) {
        DRM_LOG(3, "DRM_FRM: Unsupport for different scheduler mode (%u).", scheduleMode);
        return DRM_ERR;
    }
    // Checked before anything is stored, so a refused registration leaves no
    // half-registered entry for the tick to complain about.
    const ModeRoutines *mode = FindMode(scheduleMode);
    if (mode == nullptr || mode->reg == nullptr) {
        DRM_LOG(3, "no scheduleMode matched input value [%d].", static_cast<int>(scheduleMode));
        return DRM_ERR;
    }
    e.featureId = featureId;
    if (e.analyser1 == nullptr) {
        e.analyser1 = analyser1;
        e.period1 = period1;
    }
    if (e.analyser0 == nullptr) {
        e.analyser0 = analyser0;
        e.period0 = period0;
    }
    e.scheduleMode = scheduleMode;
    return mode->reg(&e) == DRM_OK ? DRM_OK : DRM_ERR;
}

int DrmTriggerSeperateSchedAnalysis(uint32_t featureId, uint32_t queueIndex, uint32_t key)
{
    if (!DrmIsNodeNormal() || queueIndex >= DRM_SCHED_QUEUE_NUM ||
        featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG_LIMITED(DRM_MODULE_ID, 5, kSkipWindow, kSkipSummary, 4,
                        "Node is not in normal stat, skip schedule.");
        return DRM_ERR;
    }
    DrmSchedQueue &q = g_sched.seperate[featureId].queue[queueIndex];
    qxax_spin_lock(&q.lock);
    if (KeyPending(q, key)) {
        qxax_spin_unlock(&q.lock);
        return DRM_OK;
    }
    auto *node = static_cast<DrmSchedNode *>(DRM_MALLOC_LV(sizeof(DrmSchedNode)));
    if (node == nullptr) {
        qxax_spin_unlock(&q.lock);
        DRM_LOG_LIMITED(DRM_MODULE_ID, 5, kSkipWindow, kSkipSummary, 3, "Alloc mem failed!.");
        return DRM_ERR;
    }
    node->key = key;
    DrmListAddTail(&node->node, &q.pending);
    if (q.busy == 1) {
        qxax_spin_unlock(&q.lock);
        return DRM_OK;
    }
    // A failed start leaves the node pending: the next trigger starts a worker.
    DrmWorkerParam param = {featureId, queueIndex};
    if (DrmAsyncThreadCtxRun(0, DrmSeperateSchedAnalysis, &param, sizeof(param)) == DRM_OK) {
        q.busy = 1;
    }
    qxax_spin_unlock(&q.lock);
    return DRM_OK;
}

void DrmSeperateSchedAnalysis(const void *data, uint32_t len)
{
    if (len != sizeof(DrmWorkerParam)) {
        DRM_LOG(3, "BITE:Invlid dataLen %u compare with stuSize %u.", len,
                static_cast<uint32_t>(sizeof(DrmWorkerParam)));
        return;
    }
    DrmWorkerParam param = *static_cast<const DrmWorkerParam *>(data);
    if (param.queueIndex >= DRM_SCHED_QUEUE_NUM || param.featureId >= DRM_MAX_FEATURE_NUM) {
        return;
    }
    DrmSeperateSchedEntry &se = g_sched.seperate[param.featureId];
    DrmSchedQueue &q = se.queue[param.queueIndex];
    if (q.gate.fetch_sub(1) - 1 != 0) {
        q.gate.fetch_add(1);  // another worker is draining
        return;
    }
    Drain(se, param.queueIndex);
}

int triggerSchedAnalysis(uint32_t featureId, uint32_t queueIndex, uint32_t key)
{
    if (featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG(3, "Invalid featureId(%u).", featureId);
        return DRM_ERR;
    }
    if (!IsSeperateFeature(featureId)) {
        return DRM_ERR;
    }
    return DrmTriggerSeperateSchedAnalysis(featureId, queueIndex, key);
}

int DrmTriggerAnalyser0(uint32_t featureId, uint32_t key)
{
    return triggerSchedAnalysis(featureId, 0, key);
}

int DrmTriggerAnalyser1(uint32_t featureId, uint32_t key)
{
    return triggerSchedAnalysis(featureId, 1, key);
}

int DrmRegisterPreprocessor(uint32_t featureId, DrmPreprocessor fn)
{
    if (featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG(3, "Invalid featureId(%u).", featureId);
        return DRM_ERR;
    }
    if (fn == nullptr || !IsSeperateFeature(featureId)) {
        return DRM_ERR;
    }
    g_sched.seperate[featureId].preprocessor = fn;
    return DRM_OK;
}

int DrmRegisterDemotingChecker(uint32_t featureId, DrmDemotingChecker fn)
{
    if (featureId >= DRM_MAX_FEATURE_NUM) {
        DRM_LOG(3, "Invalid featureId(%u).", featureId);
        return DRM_ERR;
    }
    if (fn == nullptr || !IsSeperateFeature(featureId)) {
        return DRM_ERR;
    }
    g_sched.seperate[featureId].demotingChecker = fn;
    return DRM_OK;
}

void DrmNotifyPreprocessors(uint32_t phase)
{
    for (uint32_t id = 0; id < DRM_MAX_FEATURE_NUM; ++id) {
        if (IsSeperateFeature(id) && g_sched.seperate[id].preprocessor != nullptr) {
            g_sched.seperate[id].preprocessor(phase);
        }
    }
}

bool DrmAllowDemoting()
{
    for (uint32_t id = 0; id < DRM_MAX_FEATURE_NUM; ++id) {
        DrmDemotingChecker check = g_sched.seperate[id].demotingChecker;
        if (IsSeperateFeature(id) && check != nullptr && !check()) {
            return false;
        }
    }
    return true;
}

void DrmTaskSchedulerTimerHandler(void *)
{
    uint64_t tick = g_sched.tick.fetch_add(1) + 1;
    for (uint32_t id = 0; id < DRM_MAX_FEATURE_NUM; ++id) {
        const DrmAnalyserEntry &e = g_sched.analysers[id];
        if (e.featureId == DRM_FEATURE_ID_FREE) {
            continue;
        }
        const ModeRoutines *mode = FindMode(e.scheduleMode);
        if (e.featureId == id && mode != nullptr && mode->tick != nullptr) {
            mode->tick(id, tick);
        } else {
            DRM_LOG(3, "invalid feature: featureId=[%d] scheduleMode=[%d].",
                    static_cast<int>(e.featureId), static_cast<int>(e.scheduleMode));
        }
    }
}

uint64_t DrmTaskSchedulerTickCount() { return g_sched.tick.load(); }

uint32_t DrmSchedPendingCount(uint32_t featureId, uint32_t queueIndex)
{
    if (featureId >= DRM_MAX_FEATURE_NUM || queueIndex >= DRM_SCHED_QUEUE_NUM) {
        return 0;
    }
    DrmSchedQueue &q = g_sched.seperate[featureId].queue[queueIndex];
    uint32_t n = 0;
    qxax_spin_lock(&q.lock);
    for (const DrmListHead *p = q.pending.next; p != &q.pending; p = p->next) {
        ++n;
    }
    qxax_spin_unlock(&q.lock);
    return n;
}

bool DrmSchedQueueIdle(uint32_t featureId, uint32_t queueIndex)
{
    if (featureId >= DRM_MAX_FEATURE_NUM || queueIndex >= DRM_SCHED_QUEUE_NUM) {
        return false;
    }
    DrmSchedQueue &q = g_sched.seperate[featureId].queue[queueIndex];
    qxax_spin_lock(&q.lock);
    bool idle = q.busy == 0 && q.gate.load() == 1;
    qxax_spin_unlock(&q.lock);
    return idle;
}

int DrmTaskSchedulerInit()
{
    for (uint32_t id = 0; id < DRM_MAX_FEATURE_NUM; ++id) {
        g_sched.analysers[id] = kFreeEntry;
        DrmSeperateSchedEntry &se = g_sched.seperate[id];
        se.entry = kFreeEntry;
        for (auto &q : se.queue) {
            q.busy = 0;
            q.gate.store(1);
            qxax_spin_lock_init(&q.lock);
            DrmListInit(&q.pending);
        }
        se.preprocessor = nullptr;
        se.demotingChecker = nullptr;
    }
    DrmTimerInit();
    if (DrmRegTimer("DrmTaskScheduler", DRM_SCHED_TICK_MS, DrmTaskSchedulerTimerHandler, nullptr,
                    DRM_TIMER_PERIODIC) != DRM_OK) {
        DRM_LOG(3, "Create TaskScheduler timer failed.");
        return DRM_ERR;
    }
    DRM_LOG(5, "Create TaskScheduler timer success.");
    return DRM_OK;
}

int DrmTaskSchedulerFin()
{
    DrmTaskSchExitTimer();
    return DRM_OK;
}
