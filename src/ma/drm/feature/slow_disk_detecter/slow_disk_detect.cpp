#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"

#include "infrastructure/keeper_host/qxax.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_debug.h"
#include "ma/drm/framework/drm_data_mgr/drm_disk_event_queue.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/drm_data_mgr/drm_queue.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"
#include "ma/drm/framework/utils/drm_list.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

struct SlowDiskZone {
    qxax_spinlock_t lock;
    DrmListHead members;
    uint32_t cycleIndex;  // 0..99; the first cycle after start uses 1
    bool outlierOn;       // the peer-outlier mode ran in the last run (worker only)
};

namespace {

constexpr uint32_t kFeature = DRM_FEATURE_SLOW_DISK;
constexpr uint32_t kAnalysePeriod = 3;
constexpr uint32_t kMaxMembers = 128;  // disk ids are 0..127
constexpr uint64_t kSuspectWindow = 7500;
constexpr uint64_t kSuspectSummary = 75000;

struct SlowDiskMember {
    DrmListHead link;
    uint32_t diskId;
};
static_assert(sizeof(SlowDiskMember) == 24, "a zone member is a 24-byte block");

struct SlowDiskState {
    SlowDiskZone zones[DRM_SLOW_DISK_ZONE_NUM];
    SlowDiskConfig config[DRM_SLOW_DISK_ZONE_NUM];
    SlowDiskOutlierConfig outlierConfig[DRM_SLOW_DISK_ZONE_NUM];
    uint8_t enabled;  // read by the worker, written by start-up and the CLI
    DrmQueue events;
};

SlowDiskState g_slowDisk = {};

SlowDiskMember *FindMember(SlowDiskZone *zone, uint32_t diskId)
{
    for (DrmListHead *p = zone->members.next; p != &zone->members; p = p->next) {
        SlowDiskMember *m = DRM_LIST_ENTRY(p, SlowDiskMember, link);
        if (m->diskId == diskId) {
            return m;
        }
    }
    return nullptr;
}

void UnlinkAndFree(SlowDiskMember *m)
{
    DrmListDel(&m->link);
    DRM_FREE_UMM(m, sizeof(*m));
}

int AddDiskToZone(SlowDiskZone *zone, uint32_t diskId)
{
    if (FindMember(zone, diskId) != nullptr) {
        DRM_LOG(5, "Disk(%u) re in.", diskId);
        return 0;
    }
    auto *m = static_cast<SlowDiskMember *>(DRM_MALLOC_UMM(sizeof(SlowDiskMember)));
    if (m == nullptr) {
        DRM_LOG(3, "Malloc disk obj(%u) fail.", diskId);
        return -1;
    }
    m->diskId = diskId;
    DrmListAddTail(&m->link, &zone->members);
    auto *h = static_cast<SlowDiskDiskData *>(DRM_MALLOC_UMM(sizeof(SlowDiskDiskData)));
    if (h == nullptr) {
        DRM_LOG(3, "create iostat fail for disk(%u).", diskId);
        UnlinkAndFree(m);
        return -1;
    }
    DrmLockFeatureData(kFeature);
    int ret = setFeatureLocPrivateData(diskId, kFeature, h);
    DrmUnlockFeatureData(kFeature);
    if (ret != 0) {
        DRM_LOG(3, "set locale private data fail for disk(%u).", diskId);
        DRM_FREE_UMM(h, sizeof(*h));
        UnlinkAndFree(m);
        return -1;
    }
    return 0;
}

void RemoveDiskFromZone(SlowDiskZone *zone, uint32_t diskId)
{
    SlowDiskMember *m = FindMember(zone, diskId);
    if (m == nullptr) {
        return;
    }
    UnlinkAndFree(m);
    DrmLockFeatureData(kFeature);
    void *h = nullptr;
    if (getFeatureLocPrivateData(diskId, kFeature, &h) != 0) {
        DrmUnlockFeatureData(kFeature);
        DRM_LOG(4, "Get private data fail for disk(%u).", diskId);
        return;
    }
    (void)setFeatureLocPrivateData(diskId, kFeature, nullptr);
    DrmUnlockFeatureData(kFeature);
    if (h != nullptr) {
        DRM_FREE_UMM(h, sizeof(SlowDiskDiskData));
    }
}

int HandleDiskIn(uint32_t diskId)
{
    uint32_t drmType = 0;
    if (DrmGetDiskType(diskId, &drmType) != 0) {
        DRM_LOG(4, "Get disk(%u) type fail.", diskId);
        return -1;
    }
    if (drmType >= DRM_SLOW_DISK_ZONE_NUM) {
        DRM_LOG(4, "Invalid disk type(%d) for disk(%u).", static_cast<int>(drmType), diskId);
        return 0;
    }
    SlowDiskZone *zone = &g_slowDisk.zones[drmType];
    qxax_spin_lock(&zone->lock);
    int ret = AddDiskToZone(zone, diskId);
    qxax_spin_unlock(&zone->lock);
    return ret;
}

int HandleDiskOut(uint32_t diskId)
{
    for (SlowDiskZone &zone : g_slowDisk.zones) {
        qxax_spin_lock(&zone.lock);
        RemoveDiskFromZone(&zone, diskId);
        qxax_spin_unlock(&zone.lock);
    }
    return 0;
}

void HandleQueuedEvents() { DrmDiskEventDrain(&g_slowDisk.events, HandleDiskIn, HandleDiskOut); }

// One zone's IO figures, read before the feature lock is taken: the reads go
// through the data-manager lock, which must not be waited for under a DRM
// spinlock. A false `ok[i]` marks a failed read.
struct ZoneReads {
    uint32_t ids[kMaxMembers];
    SlowDiskIoFigures io[kMaxMembers];
    SlowDiskOutlierSample sample[kMaxMembers];  // the peer-outlier mode's input
    bool ok[kMaxMembers];
    uint32_t n;
};

void ReadZone(SlowDiskZone *zone, ZoneReads *r)
{
    r->n = 0;
    qxax_spin_lock(&zone->lock);
    for (DrmListHead *p = zone->members.next; p != &zone->members && r->n < kMaxMembers;
         p = p->next) {
        r->ids[r->n++] = DRM_LIST_ENTRY(p, SlowDiskMember, link)->diskId;
    }
    qxax_spin_unlock(&zone->lock);
    for (uint32_t i = 0; i < r->n; ++i) {
        DrmDiskIoStat st{};
        r->ok[i] = DrmGetDiskIoStat(r->ids[i], &st) == 0;
        r->sample[i] = r->ok[i] ? SlowDiskOutlierSampleOf(st) : SlowDiskOutlierSample{};
        if (!r->ok[i]) {
            DRM_LOG(4, "get disk(%u) io stat fail.", r->ids[i]);
            continue;
        }
        r->io[i] = SlowDiskIoFigures{st.readIops,  st.writeIops,    st.readIoBand, st.writeIoBand,
                                     st.ioBusyNum, st.avgServeTime, st.utilization};
    }
}

// Under the feature-3 lock: stores the cycle's samples and fills the views of
// both modes.
void CollectDiskPerformance(const ZoneReads &r, uint32_t cycle, SlowDiskMemberView *views,
                            SlowDiskOutlierMember *members)
{
    for (uint32_t i = 0; i < r.n; ++i) {
        void *h = nullptr;
        views[i] = SlowDiskMemberView{r.ids[i], nullptr};
        members[i] = SlowDiskOutlierMember{r.ids[i], nullptr, r.sample[i], false};
        if (getFeatureLocPrivateData(r.ids[i], kFeature, &h) != 0 || h == nullptr) {
            DRM_LOG(4, "Get private data for disk(%u) fail.", r.ids[i]);
            continue;
        }
        auto *data = static_cast<SlowDiskDiskData *>(h);
        views[i].history = &data->io;
        members[i].history = &data->outlier;
        SlowDiskRecordSample(views[i].history, cycle, r.ok[i] ? &r.io[i] : nullptr);
    }
}

// Under the feature-3 lock: one run of the peer-outlier mode when the zone's
// row has it on. A mode switched on starts from empty histories, so marks
// from an earlier period of the mode do not count into the new window.
// Returns the disks it declares in `declared`.
uint32_t RunOutlierMode(SlowDiskZone *zone, uint32_t drmType, SlowDiskOutlierMember *members,
                        uint32_t n, uint32_t *declared)
{
    SlowDiskOutlierConfig cfg;
    __atomic_load(&g_slowDisk.outlierConfig[drmType], &cfg, __ATOMIC_RELAXED);
    if (cfg.on == 0) {
        zone->outlierOn = false;
        return 0;
    }
    if (!zone->outlierOn) {
        for (uint32_t i = 0; i < n; ++i) {
            if (members[i].history != nullptr) {
                *members[i].history = SlowDiskOutlierHistory{};
            }
        }
        zone->outlierOn = true;
    }
    (void)SlowDiskOutlierCycle(members, n, cfg);
    uint32_t count = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (members[i].declared) {
            declared[count++] = members[i].diskId;
            DRM_LOG(4, "Disk(%u) is a peer outlier in %u of the last %u cycles.",
                    members[i].diskId, members[i].history->outliers,
                    SlowDiskOutlierWindowCycles(cfg));
        }
    }
    return count;
}

void DetectZone(SlowDiskZone *zone, uint32_t drmType)
{
    zone->cycleIndex = zone->cycleIndex + 1 >= SLOW_DISK_CYCLE_NUM ? 0 : zone->cycleIndex + 1;
    uint32_t cycle = zone->cycleIndex;
    ZoneReads reads;
    ReadZone(zone, &reads);
    SlowDiskMemberView views[kMaxMembers];
    SlowDiskOutlierMember members[kMaxMembers];
    uint32_t outliers[kMaxMembers];
    SlowDiskConfig cfg;
    __atomic_load(&g_slowDisk.config[drmType], &cfg, __ATOMIC_RELAXED);  // the CLI may store it

    DrmLockFeatureData(kFeature);
    CollectDiskPerformance(reads, cycle, views, members);
    SlowDiskSuspectResult s =
        SlowDiskFindSuspect(views, reads.n, cycle, cfg, SlowDiskBandwidthLimit(drmType));
    bool declare = s.found && SlowDiskCheck(views, reads.n, s.index, cfg);
    uint32_t outlierCount = RunOutlierMode(zone, drmType, members, reads.n, outliers);
    DrmUnlockFeatureData(kFeature);

    if (s.candidateCount != 1) {
        DRM_LOG_LIMITED(DRM_MODULE_ID, 5, kSuspectWindow, kSuspectSummary, 6,
                        "Find %u suspected disks, don't set slow cycle.", s.candidateCount);
    }
    if (declare) {
        (void)DrmReportSlowDisk(s.diskId);
    }
    for (uint32_t i = 0; i < outlierCount; ++i) {
        (void)DrmReportSlowDisk(outliers[i]);
    }
}

}  // namespace

int DrmClassicalSlowDiskDetectV2Init()
{
    drmQueueInit(&g_slowDisk.events);
    for (uint32_t t = 0; t < DRM_SLOW_DISK_ZONE_NUM; ++t) {
        SlowDiskZone &zone = g_slowDisk.zones[t];
        qxax_spin_lock_init(&zone.lock);
        DrmListInit(&zone.members);
        zone.cycleIndex = 0;
        zone.outlierOn = false;
        g_slowDisk.config[t] = SlowDiskDefaultConfig(t);
        g_slowDisk.outlierConfig[t] = SlowDiskOutlierDefaultConfig(t);
    }
    DrmRegisterDiskEventHandler(kFeature, DrmSlowDiskDetectorDiskEventHandle, nullptr);
    if (DrmRegisterAnalyser(kFeature, DrmSlowDiskDetectAnalyse, kAnalysePeriod, nullptr,
                            DRM_PERIOD_NONE, DRM_SCHED_MODE_SEPERATE) != 0) {
        DRM_LOG(3, "Reigster drm slow disk detect analyzer fail");
        DrmUnregisterDiskEventHandler(kFeature);
        return -1;
    }
    (void)DrmSlowDiskDetectDebugInitDiag();
    return 0;
}

int DrmClassicalSlowDiskDetectV2Fin()
{
    DrmSlowDiskDetectDebugFinDiag();
    DrmUnregisterDiskEventHandler(kFeature);
    DrmDiskEventDrop(&g_slowDisk.events);
    for (SlowDiskZone &zone : g_slowDisk.zones) {
        qxax_spin_lock(&zone.lock);
        while (!DrmListEmpty(&zone.members)) {
            RemoveDiskFromZone(&zone, DRM_LIST_ENTRY(zone.members.next, SlowDiskMember, link)->diskId);
        }
        qxax_spin_unlock(&zone.lock);
    }
    drmQueueDestroy(&g_slowDisk.events);
    return 0;
}

int DrmSlowDiskDetectSetConfig(const SlowDiskConfig *cfg)
{
    if (cfg == nullptr || !SlowDiskConfigValid(*cfg)) {
        return -1;
    }
    SlowDiskConfig row = *cfg;
    __atomic_store(&g_slowDisk.config[cfg->diskType], &row, __ATOMIC_RELAXED);
    return 0;
}

int DrmSlowDiskOutlierSetConfig(const SlowDiskOutlierConfig *cfg)
{
    if (cfg == nullptr || !SlowDiskOutlierConfigValid(*cfg)) {
        return -1;
    }
    SlowDiskOutlierConfig row = *cfg;
    __atomic_store(&g_slowDisk.outlierConfig[cfg->diskType], &row, __ATOMIC_RELAXED);
    return 0;
}

int DrmSlowDiskOutlierGetConfig(uint32_t drmType, SlowDiskOutlierConfig *out)
{
    if (out == nullptr || drmType >= DRM_SLOW_DISK_ZONE_NUM) {
        return -1;
    }
    __atomic_load(&g_slowDisk.outlierConfig[drmType], out, __ATOMIC_RELAXED);
    return 0;
}

int DrmSlowDiskDetectSetSwitch(uint8_t on)
{
    __atomic_store_n(&g_slowDisk.enabled, on, __ATOMIC_RELAXED);
    return 0;
}

uint8_t DrmSlowDiskDetectGetSwitch() { return __atomic_load_n(&g_slowDisk.enabled, __ATOMIC_RELAXED); }

const SlowDiskConfig *DrmSlowDiskDetectGetConfig(uint32_t drmType)
{
    return drmType < DRM_SLOW_DISK_ZONE_NUM ? &g_slowDisk.config[drmType] : nullptr;
}

SlowDiskZone *DrmSlowDiskDetectGetZone(uint32_t drmType)
{
    return drmType < DRM_SLOW_DISK_ZONE_NUM ? &g_slowDisk.zones[drmType] : nullptr;
}

int DrmSlowDiskDetectZoneMembers(uint32_t drmType, uint32_t *ids, uint32_t capacity)
{
    SlowDiskZone *zone = DrmSlowDiskDetectGetZone(drmType);
    if (zone == nullptr) {
        return -1;
    }
    uint32_t n = 0;
    qxax_spin_lock(&zone->lock);
    for (DrmListHead *p = zone->members.next; p != &zone->members && n < capacity; p = p->next) {
        ids[n++] = DRM_LIST_ENTRY(p, SlowDiskMember, link)->diskId;
    }
    qxax_spin_unlock(&zone->lock);
    return static_cast<int>(n);
}

void DrmSlowDiskDetectorDiskEventHandle(uint32_t diskId, uint32_t event)
{
    DrmDiskEventPost(&g_slowDisk.events, kFeature, 1, diskId, event);
}

void DrmSlowDiskDetectAnalyse(uint32_t key)
{
    if (key == 0) {
        if (DrmSlowDiskDetectGetSwitch() != 0) {
            for (uint32_t t = 0; t < DRM_SLOW_DISK_ZONE_NUM; ++t) {
                DetectZone(&g_slowDisk.zones[t], t);
            }
        }
        HandleQueuedEvents();
    } else if (key == DRM_EVENT_TRIGGER_KEY) {
        HandleQueuedEvents();
    }
}
