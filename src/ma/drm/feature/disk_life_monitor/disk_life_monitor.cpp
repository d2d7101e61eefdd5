#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"

#include "ma/drm/framework/debug/diag_group.h"
#include "ma/drm/framework/drm_data_mgr/drm_disk_event_queue.h"
#include "ma/drm/framework/drm_data_mgr/drm_queue.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework/utils/drm_list.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

namespace {

constexpr uint32_t kFeature = DRM_FEATURE_LIFE_MONITOR;
constexpr uint32_t kAnalysePeriod = 5;

struct LifeMonitorMember {
    DrmListHead link;
    uint32_t diskId;
    uint8_t evaluated;   // 1 after the first successful evaluation
    uint8_t readFailed;  // 1 while its failed health read has been logged
};
static_assert(sizeof(LifeMonitorMember) == 24, "a monitored disk is a 24-byte block");

struct LifeMonitorState {
    DrmListHead members;    // touched only on the feature's worker: no lock
    uint32_t scheduleTime;  // seconds; written by any thread
    uint32_t counter;
    DrmQueue events;
};

LifeMonitorState g_life = {{nullptr, nullptr}, DRM_LIFE_DEFAULT_SCHEDULE_S, 0, {}};

int NoActionHandler(const void *, uint32_t, void **, uint32_t *) { return 0; }

LifeMonitorMember *FindMember(uint32_t diskId)
{
    for (DrmListHead *p = g_life.members.next; p != &g_life.members; p = p->next) {
        LifeMonitorMember *m = DRM_LIST_ENTRY(p, LifeMonitorMember, link);
        if (m->diskId == diskId) {
            return m;
        }
    }
    return nullptr;
}

int HandleDiskIn(uint32_t diskId)
{
    uint32_t drmType = 0;
    if (DrmGetDiskType(diskId, &drmType) != 0) {
        DRM_LOG(4, "Get disk(%u) type fail.", diskId);
        return -1;
    }
    if (drmType != DRM_DISK_TYPE_SAS_SSD && drmType != DRM_DISK_TYPE_NVME_SSD) {
        DRM_LOG(5, "Disk(%u) diskType(%d) not support life monitor.", diskId,
                static_cast<int>(drmType));
        return 0;
    }
    if (FindMember(diskId) != nullptr) {
        DRM_LOG(5, "Disk(%u) rein.", diskId);
        return 0;
    }
    auto *m = static_cast<LifeMonitorMember *>(DRM_MALLOC_UMM(sizeof(LifeMonitorMember)));
    if (m == nullptr) {
        DRM_LOG(3, "Handle Disk(%u) in event fail.", diskId);
        return -1;
    }
    m->diskId = diskId;
    m->evaluated = 0;
    DrmListAddTail(&m->link, &g_life.members);
    return 0;
}

int HandleDiskOut(uint32_t diskId)
{
    LifeMonitorMember *m = FindMember(diskId);
    if (m != nullptr) {
        DrmListDel(&m->link);
        DRM_FREE_UMM(m, sizeof(*m));
    }
    return 0;
}

void HandleQueuedEvents() { DrmDiskEventDrain(&g_life.events, HandleDiskIn, HandleDiskOut); }

void EvaluateDisk(LifeMonitorMember *m)
{
    // A disk whose health has not arrived yet fails the read (the store has
    // nothing to give), so it stays unevaluated and is tried at the next run.
    DrmHealthInfo health{};
    int ret = DrmGetHealthInfo(m->diskId, &health);
    if (ret != 0) {
        // Retried every run (health not arrived yet, or collection switched
        // off): an error once per disk, not every five seconds.
        DRM_LOG(m->readFailed != 0 ? 7 : 3, "Query disk(%u) health info life in event fail(%d).",
                m->diskId, ret);
        m->readFailed = 1;
        return;
    }
    m->readFailed = 0;
    uint64_t remaining = DrmDiskLifeRemainingHours(health.powerOnHours, health.wearInt,
                                                   health.wearDec);
    ret = DrmSetLifeMonitorResult(m->diskId, remaining);
    if (ret != 0) {
        DRM_LOG(3, "Handle monitor disk(%u) life in event fail(%d).", m->diskId, ret);
        return;
    }
    m->evaluated = 1;
}

void DrmDiskMonitorMasterMonitorDiskLife()
{
    ++g_life.counter;
    uint32_t schedule = DrmDiskLifeMonitorGetScheduleTime();
    bool due = g_life.counter >= schedule / kAnalysePeriod;
    if (due) {
        g_life.counter = 0;
    }
    for (DrmListHead *p = g_life.members.next; p != &g_life.members; p = p->next) {
        LifeMonitorMember *m = DRM_LIST_ENTRY(p, LifeMonitorMember, link);
        if (due || m->evaluated == 0) {
            EvaluateDisk(m);
        }
    }
}

}  // namespace

int DrmDiskLifeMonitorInit()
{
    drmQueueInit(&g_life.events);
    DrmListInit(&g_life.members);
    g_life.counter = 0;
    DrmRegisterDiskEventHandler(kFeature, nullptr, DrmDiskLifeMonitorDiskEventHandle);
    if (DrmRegisterAnalyser(kFeature, nullptr, DRM_PERIOD_NONE, DrmDiskLifeMonitorAnalyse,
                            kAnalysePeriod, DRM_SCHED_MODE_SEPERATE) != 0) {
        DRM_LOG(3, "register drm disk life monitor analyzer fail.");
        DrmUnregisterDiskEventHandler(kFeature);
        return -1;
    }
    // Nothing issues these requests; the opcodes are claimed so that no one else does.
    (void)DrmRegisterActionHandler(DRM_LIFE_OPCODE_A, NoActionHandler);
    if (DrmRegisterActionHandler(DRM_LIFE_OPCODE_B, NoActionHandler) != 0) {
        DRM_LOG(3, "register drm disk life monitor action handle fail.");
        DrmUnregisterDiskEventHandler(kFeature);
        return -1;
    }
    DiagRegisterLifeMonitorSetter(DrmDiskLifeMonitorSetScheduleTime);
    return 0;
}

int DrmDiskLifeMonitorFin()
{
    DiagRegisterLifeMonitorSetter(nullptr);
    DrmUnregisterDiskEventHandler(kFeature);
    DrmDiskEventDrop(&g_life.events);
    while (!DrmListEmpty(&g_life.members)) {
        LifeMonitorMember *m = DRM_LIST_ENTRY(g_life.members.next, LifeMonitorMember, link);
        DrmListDel(&m->link);
        DRM_FREE_UMM(m, sizeof(*m));
    }
    drmQueueDestroy(&g_life.events);
    return 0;
}

void DrmDiskLifeMonitorSetScheduleTime(uint32_t seconds)
{
    __atomic_store_n(&g_life.scheduleTime, seconds, __ATOMIC_RELAXED);
}

uint32_t DrmDiskLifeMonitorGetScheduleTime()
{
    return __atomic_load_n(&g_life.scheduleTime, __ATOMIC_RELAXED);
}

void DrmDiskLifeMonitorDiskEventHandle(uint32_t diskId, uint32_t event)
{
    DrmDiskEventPost(&g_life.events, kFeature, 0, diskId, event);
}

void DrmDiskLifeMonitorAnalyse(uint32_t keyHigh, uint32_t key)
{
    uint32_t k = key | keyHigh << 16;
    if (k == 0) {
        DrmDiskMonitorMasterMonitorDiskLife();
        HandleQueuedEvents();
    } else if (k == DRM_EVENT_TRIGGER_KEY) {
        HandleQueuedEvents();
    }
}
