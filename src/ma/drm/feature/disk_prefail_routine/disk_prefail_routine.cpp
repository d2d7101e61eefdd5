#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"

#include "ma/drm/framework/drm_data_mgr/drm_disk_event_queue.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/drm_data_mgr/drm_queue.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework/utils/drm_list.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

namespace {

constexpr uint32_t kFeature = DRM_FEATURE_PREFAIL;
constexpr uint32_t kMaxCycle = 2592000;  // 30 days, the operator's upper bound

using GroupRoutine = int (*)(uint32_t diskId);

struct PrefailMember {
    DrmListHead link;
    uint32_t diskId;
};
static_assert(sizeof(PrefailMember) == 24, "a group member is a 24-byte block");

struct PrefailGroup {
    uint64_t groupId;
    DrmListHead members;  // touched only on the feature's worker: no lock
    GroupRoutine routine;
};

struct PrefailState {
    PrefailGroup groups[DPR_GROUP_NUM];
    uint32_t cycle[DPR_START_TYPE_NUM][DPR_GROUP_NUM];  // seconds; written by any thread
    uint32_t counter[DPR_GROUP_NUM];
    uint8_t startSwitch[DPR_START_TYPE_NUM];
    DrmQueue events;
};

constexpr GroupRoutine kRoutines[] = {
    DrmSATAPrefailRoutineForStartType,     DrmSASPrefailRoutineForStartType,
    DrmSASKSSDPrefailRoutineForStartType,  DrmNvmePrefailRoutineForStartType,
    DrmSasHddPrefailRoutineForStartType,
};
static_assert(sizeof(kRoutines) / sizeof(kRoutines[0]) == DPR_GROUP_NUM,
              "one routine per prefail group");
static_assert(DRM_PREFAIL_GROUP_NUM == DPR_GROUP_NUM, "the adapter's groups are ours");

// The routine-enable flag stays 1: the start-type switch is the operator's.
constexpr bool kRoutineEnabled = true;

PrefailState g_dpr = {};

int ReadFailed(uint32_t diskId, int ret)
{
    DRM_LOG(3, "Get Disk(%u) smart info event fail(%d).", diskId, ret);
    return ret;
}

PrefailMember *FindMember(PrefailGroup *g, uint32_t diskId)
{
    for (DrmListHead *p = g->members.next; p != &g->members; p = p->next) {
        PrefailMember *m = DRM_LIST_ENTRY(p, PrefailMember, link);
        if (m->diskId == diskId) {
            return m;
        }
    }
    return nullptr;
}

void RemoveMember(PrefailGroup *g, uint32_t diskId)
{
    PrefailMember *m = FindMember(g, diskId);
    if (m != nullptr) {
        DrmListDel(&m->link);
        DRM_FREE_UMM(m, sizeof(*m));
    }
}

int SetDprDiskData(uint32_t diskId, uint32_t group)
{
    auto *rec = static_cast<uint32_t *>(DRM_MALLOC_UMM(sizeof(uint32_t)));
    if (rec == nullptr) {
        DRM_LOG(3, "Malloc for disk(%u) failed.", diskId);
        return -1;
    }
    *rec = group;
    DrmLockFeatureData(kFeature);
    int ret = setFeatureLocPrivateData(diskId, kFeature, rec);
    DrmUnlockFeatureData(kFeature);
    if (ret != 0) {
        DRM_LOG(3, "Set locale private data fail for disk(%u).", diskId);
        DRM_FREE_UMM(rec, sizeof(*rec));
        return -1;
    }
    return 0;
}

int HandleDiskIn(uint32_t diskId)
{
    uint32_t group = 0;
    int ret = DrmGetPrefailDiskGroup(diskId, &group);
    if (ret != 0 || group >= DPR_GROUP_NUM) {
        DRM_LOG(4, "Get disk type failed(%d) for disk(%u).", ret, diskId);
        return -1;
    }
    PrefailGroup *g = &g_dpr.groups[group];
    if (FindMember(g, diskId) != nullptr) {
        DRM_LOG(5, "Disk(%u) rein.", diskId);
        return 0;
    }
    auto *m = static_cast<PrefailMember *>(DRM_MALLOC_UMM(sizeof(PrefailMember)));
    if (m == nullptr) {
        DRM_LOG(3, "Handle Disk(%u) in event fail.", diskId);
        return -1;
    }
    m->diskId = diskId;
    DrmListAddTail(&m->link, &g->members);
    if (SetDprDiskData(diskId, group) != 0) {
        DRM_LOG(3, "Set locale private data fail for disk(%u).", diskId);
        DrmListDel(&m->link);
        DRM_FREE_UMM(m, sizeof(*m));
        return -1;
    }
    return 0;
}

// Clears and frees the disk's group record; false when it has none.
bool TakeDiskData(uint32_t diskId, uint32_t *group)
{
    void *rec = nullptr;
    DrmLockFeatureData(kFeature);
    if (getFeatureLocPrivateData(diskId, kFeature, &rec) != 0 || rec == nullptr) {
        DrmUnlockFeatureData(kFeature);
        DRM_LOG(4, "Get private data fail for disk(%u), info(%p).", diskId, rec);
        return false;
    }
    *group = *static_cast<uint32_t *>(rec);
    (void)setFeatureLocPrivateData(diskId, kFeature, nullptr);
    DrmUnlockFeatureData(kFeature);
    DRM_FREE_UMM(rec, sizeof(uint32_t));
    return true;
}

int HandleDiskOut(uint32_t diskId)
{
    uint32_t group = 0;
    if (!TakeDiskData(diskId, &group)) {
        return -1;
    }
    if (group < DPR_GROUP_NUM) {
        RemoveMember(&g_dpr.groups[group], diskId);
    }
    return 0;
}

void HandleQueuedEvents() { DrmDiskEventDrain(&g_dpr.events, HandleDiskIn, HandleDiskOut); }

void DrmMasterDikePreFailRoutineForSmartType()
{
    for (uint32_t g = 0; g < DPR_GROUP_NUM; ++g) {
        ++g_dpr.counter[g];
        uint32_t cycle = __atomic_load_n(&g_dpr.cycle[DPR_START_TYPE_SMART][g], __ATOMIC_RELAXED);
        if (g_dpr.counter[g] < cycle / DPR_ANALYSE_PERIOD_S) {
            continue;
        }
        g_dpr.counter[g] = 0;
        PrefailGroup &group = g_dpr.groups[g];
        for (DrmListHead *p = group.members.next; p != &group.members; p = p->next) {
            uint32_t diskId = DRM_LIST_ENTRY(p, PrefailMember, link)->diskId;
            int ret = group.routine(diskId);
            if (ret != 0) {
                DRM_LOG(3, "Handle monitor disk(%u) life in event fail(%d).", diskId, ret);
            }
        }
    }
}

using StartTypeRoutine = void (*)();
constexpr StartTypeRoutine kStartTypeRoutines[] = {DrmMasterDikePreFailRoutineForSmartType};
static_assert(sizeof(kStartTypeRoutines) / sizeof(kStartTypeRoutines[0]) == DPR_START_TYPE_NUM,
              "one routine per start type");

void RunStartTypeRoutines()
{
    if (!kRoutineEnabled) {
        return;
    }
    for (uint32_t t = 0; t < DPR_START_TYPE_NUM; ++t) {
        if (__atomic_load_n(&g_dpr.startSwitch[t], __ATOMIC_RELAXED) == 1) {
            kStartTypeRoutines[t]();
        }
    }
}

}  // namespace

int DrmPrefailRoutineInit()
{
    drmQueueInit(&g_dpr.events);
    for (uint32_t g = 0; g < DPR_GROUP_NUM; ++g) {
        g_dpr.groups[g].groupId = g;
        DrmListInit(&g_dpr.groups[g].members);
        g_dpr.groups[g].routine = kRoutines[g];
        g_dpr.cycle[DPR_START_TYPE_SMART][g] = DprDefaultCycle(g);
        g_dpr.counter[g] = 0;
    }
    g_dpr.startSwitch[DPR_START_TYPE_SMART] = 1;
    DrmRegisterDiskEventHandler(kFeature, nullptr, DrmDiskPrefailDiskEventHandle);
    int ret = DrmRegisterAnalyser(kFeature, nullptr, DRM_PERIOD_NONE, DrmPrefailAnalyse,
                                  DPR_ANALYSE_PERIOD_S, DRM_SCHED_MODE_SEPERATE);
    if (ret != 0) {
        DRM_LOG(3, "register drm disk prefail routine analyzer fail(%d).", ret);
        DrmUnregisterDiskEventHandler(kFeature);
        return -1;
    }
    return 0;
}

int DrmPrefailRoutineFin()
{
    DrmUnregisterDiskEventHandler(kFeature);
    DrmDiskEventDrop(&g_dpr.events);
    for (PrefailGroup &g : g_dpr.groups) {
        while (!DrmListEmpty(&g.members)) {
            PrefailMember *m = DRM_LIST_ENTRY(g.members.next, PrefailMember, link);
            uint32_t group = 0;
            (void)TakeDiskData(m->diskId, &group);
            DrmListDel(&m->link);
            DRM_FREE_UMM(m, sizeof(*m));
        }
    }
    drmQueueDestroy(&g_dpr.events);
    return 0;
}

int DrmTransDiskTypeToDprGroup(uint32_t drmType, uint32_t *group)
{
    static constexpr uint32_t kGroupOfType[] = {DPR_GROUP_SATA, DPR_GROUP_SAS_SSD, DPR_GROUP_NVME,
                                                DPR_GROUP_SAS_HDD};
    static_assert(sizeof(kGroupOfType) / sizeof(kGroupOfType[0]) == DRM_DISK_TYPE_NUM);
    if (drmType >= DRM_DISK_TYPE_NUM || group == nullptr) {
        DRM_LOG(4, "Drm featue didn't support disktyepe(%u)", drmType);
        return -1;
    }
    *group = kGroupOfType[drmType];
    return 0;
}

int DrmDprSetCycleConfig(const DprCycleConfig *cfg)
{
    if (cfg == nullptr || cfg->startType >= DPR_START_TYPE_NUM || cfg->cycle == 0 ||
        cfg->cycle > kMaxCycle) {
        return -1;
    }
    uint32_t group = 0;
    int ret = DrmTransDiskTypeToDprGroup(cfg->diskType, &group);
    if (ret != 0) {
        DRM_LOG(4, "Transform disk type to drp group id failed(%d), diskType(%d)", ret,
                static_cast<int>(cfg->diskType));
        return -1;
    }
    __atomic_store_n(&g_dpr.cycle[cfg->startType][group], cfg->cycle, __ATOMIC_RELAXED);
    if (group == DPR_GROUP_SAS_SSD) {  // the KSSDs are SAS SSDs to the operator
        __atomic_store_n(&g_dpr.cycle[cfg->startType][DPR_GROUP_SAS_KSSD], cfg->cycle,
                         __ATOMIC_RELAXED);
    }
    return 0;
}

int DrmDprSetSwitch(const DprSwitch *sw)
{
    if (sw == nullptr || sw->startType >= DPR_START_TYPE_NUM) {
        return -1;
    }
    __atomic_store_n(&g_dpr.startSwitch[sw->startType], sw->on != 0 ? 1 : 0, __ATOMIC_RELAXED);
    return 0;
}

uint32_t DrmDprGetCycle(uint32_t group)
{
    return group < DPR_GROUP_NUM
               ? __atomic_load_n(&g_dpr.cycle[DPR_START_TYPE_SMART][group], __ATOMIC_RELAXED)
               : 0;
}

uint8_t DrmDprGetSwitch()
{
    return __atomic_load_n(&g_dpr.startSwitch[DPR_START_TYPE_SMART], __ATOMIC_RELAXED);
}

void DrmDiskPrefailDiskEventHandle(uint32_t diskId, uint32_t event)
{
    DrmDiskEventPost(&g_dpr.events, kFeature, 0, diskId, event);
}

void DrmPrefailAnalyse(uint32_t keyHigh, uint32_t key)
{
    uint32_t k = key | keyHigh << 16;
    if (k == 0) {
        RunStartTypeRoutines();
        HandleQueuedEvents();
    } else if (k == DRM_EVENT_TRIGGER_KEY) {
        HandleQueuedEvents();
    }
}

// ---- group routines -------------------------------------------------------

int DrmSATAPrefailRoutineForStartType(uint32_t diskId)
{
    uint8_t entries[DPR_SMART_ENTRY_NUM * 4] = {};
    int ret = DrmAtaGetSmartInfo(diskId, entries, DPR_SMART_ENTRY_NUM);
    if (ret != 0) {
        return ReadFailed(diskId, ret);
    }
    int i = DprSataFailingEntry(entries);
    if (i < 0) {
        return 0;
    }
    const uint8_t *e = entries + i * 4;
    DRM_LOG(4, "Smart Info Item(%u) threshold(%u) current(%u) worst(%u).", e[0], e[1], e[2], e[3]);
    DRM_LOG(4, "DRM_SATA_SSD_DISK prefail, diskId: %u.", diskId);
    return DrmReportDiskPrefail(diskId);
}

int DrmSASPrefailRoutineForStartType(uint32_t diskId)
{
    uint8_t ie[3] = {};
    int ret = DrmSasSsdGetIElogInfo(diskId, ie);
    if (ret != 0) {
        return ReadFailed(diskId, ret);
    }
    if (!DprSasSsdFails(ie[0], ie[1])) {
        return 0;
    }
    DRM_LOG(4, "DRM_SAS_SSD_DISK prefail, diskId:%u, ascq:%u.", diskId, ie[1]);
    return DrmReportDiskPrefail(diskId);
}

int DrmSASKSSDPrefailRoutineForStartType(uint32_t diskId)
{
    uint8_t cap[2] = {};
    int ret = DrmSasKssdGetLogInfo(diskId, cap);
    if (ret != 0) {
        return ReadFailed(diskId, ret);
    }
    if (!DprKssdFails(cap[0], cap[1])) {
        return 0;
    }
    DRM_LOG(4, "DRM_SAS_KSSD_DISK prefail, diskId: %u.", diskId);
    return DrmReportDiskPrefail(diskId);
}

int DrmNvmePrefailRoutineForStartType(uint32_t diskId)
{
    uint8_t bits = 0;
    int ret = DrmNvmeGetICritWarning(diskId, &bits);
    if (ret != 0) {
        return ReadFailed(diskId, ret);
    }
    if (!DprNvmeFails(bits)) {
        return 0;
    }
    DRM_LOG(4,
            "DRM_NVME_DISK prefail, diskId:%u, readOnly:%u, availableSpare:%u, "
            "volatileMemoryBackup:%u.",
            diskId, (bits >> 3) & 1u, bits & 1u, (bits >> 4) & 1u);
    return DrmReportDiskPrefail(diskId);
}

int DrmSasHddPrefailRoutineForStartType(uint32_t diskId)
{
    uint8_t sense[3] = {};
    int ret = DrmSasHddGetSenseInfo(diskId, sense);
    if (ret != 0) {
        return ReadFailed(diskId, ret);
    }
    if (!DprSasHddFails(sense[0], sense[1], sense[2])) {
        return 0;
    }
    DRM_LOG(4, "DRM_SAS_HDD_DISK prefail, diskId:%u, isSupportIELog:%u, asc:%u, ascq:%u", diskId,
            sense[2], sense[0], sense[1]);
    return DrmReportDiskPrefail(diskId);
}
