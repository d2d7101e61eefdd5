#include "ma/drm/feature/slow_disk_detecter/slow_disk_debug.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/qxax.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"
#include "ma/drm/framework/debug/drm_debug.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework/utils/drm_log.h"

namespace {

constexpr const char *kGroup = "u_drm_slow_disk";
constexpr uint32_t kIdsPerLine = 16;
constexpr uint32_t kBlockCycles = 25;

DrmDiagCmd g_slowDiskCmds[] = {
    {"showdiskinzone", DebugShowDiskInZone,
     "u_drm_slow_disk showdisk disktype: show disk list in zone, disktype[0-3]\n"},
    {"showdiskiostat", DebugShowDiskIoStat,
     "u_drm_slow_disk showdiskiostat diskid: show disk iostat\n"},
    {"showdiskoutlier", DebugShowDiskOutlier,
     "u_drm_slow_disk showdiskoutlier diskid: show disk peer-outlier window and recent scores\n"},
};
constexpr uint32_t kCmdCount = sizeof(g_slowDiskCmds) / sizeof(g_slowDiskCmds[0]);
static_assert(kCmdCount == 3, "three slow disk diagnose commands");

// Parses argv[2]; false (and a message) for text that is not a number.
bool ParseArg(const char *text, uint64_t *value)
{
    errno = 0;
    *value = qxax_str_tou64(text, 0);
    if (errno != 0) {
        DBG_Print("invalid param: %s.\n", text);
        return false;
    }
    return true;
}

// Reads argv[2] as a disk id; false (and a message) otherwise.
bool DiskIdArg(int argc, char **argv, uint32_t *diskId)
{
    if (argc < 3) {
        DBG_Print("lack param.\n");
        return false;
    }
    uint64_t id = 0;
    if (!ParseArg(argv[2], &id) || id > UINT32_MAX) {
        return false;
    }
    *diskId = static_cast<uint32_t>(id);
    return true;
}

// Prints ids[0..n) as "%d," lines of 16 without the final comma.
int PrintIds(const uint32_t *ids, uint32_t n)
{
    for (uint32_t start = 0; start < n; start += kIdsPerLine) {
        char line[256] = {};
        size_t len = 0;
        for (uint32_t i = start; i < n && i < start + kIdsPerLine; ++i) {
            int w = snprintf(line + len, sizeof(line) - len, "%d,", static_cast<int>(ids[i]));
            if (w < 0 || static_cast<size_t>(w) >= sizeof(line) - len) {
                DBG_Print("inner error occur.\n");
                return -1;
            }
            len += static_cast<size_t>(w);
        }
        line[len - 1] = '\0';
        DBG_Print("%s\n", line);
    }
    return 0;
}

using CycleValue = uint64_t (*)(const SlowDiskIoHistory &h, uint32_t cycle);

struct HistoryRow {
    const char *label;
    CycleValue value;
};

constexpr HistoryRow kRows[] = {
    {"index:", [](const SlowDiskIoHistory &, uint32_t c) -> uint64_t { return c; }},
    {"isvalid:", [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t {
         return SlowDiskBitGet(h.validBits, c) ? 1 : 0;
     }},
    {"isslow:", [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t {
         return SlowDiskBitGet(h.slowBits, c) ? 1 : 0;
     }},
    {"svctm:", [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t { return h.samples[c].svctm; }},
    {"iops:", [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t { return h.samples[c].iops; }},
    {"bandwidth:",
     [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t { return h.samples[c].bandwidth; }},
    {"util:", [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t { return h.samples[c].util; }},
    {"busynum:",
     [](const SlowDiskIoHistory &h, uint32_t c) -> uint64_t { return h.samples[c].busyNum; }},
};
static_assert(sizeof(kRows) / sizeof(kRows[0]) == 8, "eight lines per block");

void PrintRow(const HistoryRow &row, const SlowDiskIoHistory &h, uint32_t first)
{
    char line[1024];
    int len = snprintf(line, sizeof(line), "%10s", row.label);
    for (uint32_t c = first; c < first + kBlockCycles && len >= 0; ++c) {
        int w = snprintf(line + len, sizeof(line) - static_cast<size_t>(len), "%10lu",
                         static_cast<unsigned long>(row.value(h, c)));
        len = w < 0 || static_cast<size_t>(w) >= sizeof(line) - static_cast<size_t>(len) ? -1
                                                                                           : len + w;
    }
    if (len < 0) {
        DBG_Print("inner error occur.\n");
        return;
    }
    DBG_Print("%s\n", line);
}

}  // namespace

int DebugShowDiskInZone(int argc, char **argv)
{
    if (argc < 3) {
        DBG_Print("lack param.\n");
        return -1;
    }
    uint64_t type = 0;
    if (!ParseArg(argv[2], &type)) {
        return -1;
    }
    if (type >= DRM_SLOW_DISK_ZONE_NUM) {
        DBG_Print("invalid disk type: %u.\n", static_cast<unsigned>(type));
        return -1;
    }
    uint32_t ids[128];
    int n = DrmSlowDiskDetectZoneMembers(static_cast<uint32_t>(type), ids, 128);
    return n < 0 ? -1 : PrintIds(ids, static_cast<uint32_t>(n));
}

// A disk's slow-disk data, copied under the feature's data lock (the analyser
// writes it on its worker) into one static block: diagnose commands run one at
// a time. Null, with the diagnose message, when the disk has none.
static const SlowDiskDiskData *CopyDiskData(uint32_t diskId)
{
    static SlowDiskDiskData copy;
    void *h = nullptr;
    DrmLockFeatureData(DRM_FEATURE_SLOW_DISK);
    bool found = getFeatureLocPrivateData(diskId, DRM_FEATURE_SLOW_DISK, &h) == 0 && h != nullptr;
    if (found) {
        memcpy(&copy, h, sizeof(copy));
    }
    DrmUnlockFeatureData(DRM_FEATURE_SLOW_DISK);
    if (!found) {
        DBG_Print("disk(%u) iostat not exist.\n", diskId);
        return nullptr;
    }
    return &copy;
}

int DebugShowDiskIoStat(int argc, char **argv)
{
    uint32_t diskId = 0;
    if (!DiskIdArg(argc, argv, &diskId)) {
        return -1;
    }
    const SlowDiskDiskData *copy = CopyDiskData(diskId);
    if (copy == nullptr) {
        return -1;
    }
    for (uint32_t first = 0; first < SLOW_DISK_CYCLE_NUM; first += kBlockCycles) {
        for (const HistoryRow &row : kRows) {
            PrintRow(row, copy->io, first);
        }
    }
    return 0;
}

int DebugShowDiskOutlier(int argc, char **argv)
{
    uint32_t diskId = 0;
    if (!DiskIdArg(argc, argv, &diskId)) {
        return -1;
    }
    const SlowDiskDiskData *data = CopyDiskData(diskId);
    if (data == nullptr) {
        return -1;
    }
    const SlowDiskOutlierHistory &copy = data->outlier;
    DBG_Print("disk(%u): outlier cycles %u of the last %u, reported %u, baseline %lu us\n", diskId,
              copy.outliers, std::min(copy.filled, copy.countedWindow), copy.reported,
              static_cast<unsigned long>(copy.baselineFx >> 8));
    SlowDiskOutlierScore scores[SLOW_DISK_OUTLIER_SCORE_NUM];
    uint32_t n = SlowDiskOutlierRecentScores(copy, scores, SLOW_DISK_OUTLIER_SCORE_NUM);
    DBG_Print("%10s%10s%10s%10s%10s\n", "latency:", "median:", "ratio%:", "z*10:", "flags:");
    for (uint32_t i = 0; i < n; ++i) {
        const SlowDiskOutlierScore &s = scores[i];
        DBG_Print("%10u%10u%10u%10d%10u\n", s.latencyUs, s.medianUs,
                  static_cast<unsigned>(s.ratioPct), static_cast<int>(s.zTenths),
                  static_cast<unsigned>(s.flags));
    }
    return 0;
}

int DrmSlowDiskDetectDebugInitDiag()
{
    (void)DrmDebugRegAgentGroup(kGroup, "diagnose function of PANTRAY_DRM_SLOW_DISK");
    if (DrmDebugRegDiagCmdGroup(kGroup, g_slowDiskCmds, kCmdCount) != 0) {
        DRM_LOG(3, "DRM_SLOW_DISK: reg diag cmd fail.");
        return -1;
    }
    return 0;
}

void DrmSlowDiskDetectDebugFinDiag()
{
    DrmDebugUnRegDiagCmdGroup(kGroup, g_slowDiskCmds);
    DrmDebugUnRegAgentGroup(kGroup);
}
