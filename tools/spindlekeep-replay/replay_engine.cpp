#include "replay_engine.h"

#include <algorithm>
#include <cmath>

#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"
#include "data_mgr/data_mgr_master/data_mgr_types.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_rules.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

namespace {

constexpr uint64_t kTickRate = 1000000;  // the model's latency ticks are microseconds
constexpr uint64_t kCycleTicks = kReplayCycleSeconds * kTickRate;
constexpr uint64_t kKiBPerMiB = 1024;
constexpr uint64_t kUsPerMs = 1000;
constexpr double kSecondsPerHour = 3600.0;
constexpr size_t kMaxZoneDrives = 128;  // the daemon's disk ids are 0..127

struct DriveState {
    TraceCounters counters;
    DiskIoInfoFrame last;
    SlowDiskIoHistory history;
    SlowDiskOutlierHistory outlier;
    bool seen;                  // a window with data for it has begun
    uint64_t firstWindowCycle;  // traceCycles when that window began
    bool candidate;             // this cycle: passed the four candidate gates
};

struct Engine {
    const TraceHost *trace;
    const ReplayOptions *opt;
    SlowDiskConfig cfg;
    uint32_t bwLimitMiB;
    std::vector<DriveState> drives;
    std::vector<SlowDiskMemberView> views;
    SlowDiskOutlierConfig outlierCfg;
    std::vector<SlowDiskOutlierMember> outlierMembers;
    uint32_t cycleIndex;  // the zone's ring position; the first cycle uses 1
    uint64_t clock;       // virtual ticks at kTickRate
    uint32_t window;      // the window being replayed or drained
    int64_t ts;           // trace time of the current cycle
    ReplayHost *out;
};

DiskIoInfoFrame FrameOf(const TraceCounters &c, uint64_t clock, bool valid) {
    DiskIoInfoFrame f{};
    f.bytes_read = c.bytesRead;
    f.bytes_written = c.bytesWritten;
    f.num_read_ops = c.readOps;
    f.num_write_ops = c.writeOps;
    f.read_latency_ticks = c.readLatencyUs;
    f.write_latency_ticks = c.writeLatencyUs;
    f.io_busy_num = valid ? c.inFlight : 0;
    f.queue_depth = f.io_busy_num;
    f.ticks = clock;
    f.tick_rate = kTickRate;
    f.io_time = c.ioTimeUs;
    return f;
}

// Advances one drive's counters by the cycle's share of its sample and reads
// its statistics as the detector would. False: no data this cycle.
bool ReadDrive(Engine &e, DriveState &ds, const TraceSample *s, DrmDiskIoStat *io) {
    bool valid = s != nullptr && s->valid;
    if (valid) {
        TraceCountersAdd(&ds.counters, TraceModelStep(*s, kReplayCycleSeconds, e.opt->ioSize));
    }
    DiskIoInfoFrame now = FrameOf(ds.counters, e.clock, valid);
    DiskIoStatInfo st{};
    bool paired = IoStatCheck(&ds.last, &now) == 0 && IoStatCalculate(&ds.last, &now, &st) == 0;
    ds.last = now;
    if (!valid || !paired) {
        return false;
    }
    // The record the detectors get from DrmGetDiskIoStat.
    *io = DrmDiskIoStat{
        st.readIops,    st.writeIops,    st.readIoBand, st.writeIoBand,
        st.readIoDelay, st.writeIoDelay, st.ioBusyNum,  static_cast<uint32_t>(st.avgServeTime),
        st.utilization};
    return true;
}

// The four candidate gates of the written rule, counted one by one.
void CountGates(const Engine &e, DriveState &ds, ReplayGates *g, uint32_t cycle) {
    const SlowDiskSample &s = ds.history.samples[cycle];
    ds.candidate = false;
    if (!SlowDiskBitGet(ds.history.validBits, cycle) || s.iops == 0) {
        return;
    }
    ++g->cycles;
    bool svctm = s.svctm < static_cast<uint64_t>(e.cfg.minThreshold) * kUsPerMs;
    bool busy = s.busyNum < SLOW_DISK_BUSY_MIN;
    bool util = s.util < SLOW_DISK_UTIL_MIN;
    bool bw = s.bandwidth > e.bwLimitMiB * kKiBPerMiB;
    g->svctm += svctm ? 1 : 0;
    g->busy += busy ? 1 : 0;
    g->util += util ? 1 : 0;
    g->bandwidth += bw ? 1 : 0;
    ds.candidate = !svctm && !busy && !util && !bw;
    g->candidate += ds.candidate ? 1 : 0;
}

void Declare(Engine &e, size_t d, uint32_t mode) {
    ReplayDrive &r = e.out->drives[d];
    ReplayDecision &dec = r.mode[mode];
    if (!dec.declared) {
        dec.declared = true;
        dec.window = e.window;
        dec.ts = e.ts;
        uint64_t cycles = e.out->traceCycles + 1 - e.drives[d].firstWindowCycle;
        dec.traceHours = static_cast<double>(cycles * kReplayCycleSeconds) / kSecondsPerHour;
    }
    ++dec.count;
    r.windowDeclared[mode][e.window] = 1;
}

// The written rule's decision of this cycle, with the peer gate's count.
void WrittenRuleCycle(Engine &e, uint32_t cycle) {
    auto n = static_cast<uint32_t>(e.drives.size());
    SlowDiskSuspectResult r = SlowDiskFindSuspect(e.views.data(), n, cycle, e.cfg, e.bwLimitMiB);
    if (r.candidateCount == 1 && !r.found) {
        for (uint32_t i = 0; i < n; ++i) {
            e.out->drives[i].gates.peers += e.drives[i].candidate ? 1 : 0;
        }
    }
    if (!r.found) {
        return;
    }
    ++e.out->drives[r.index].gates.marked;
    if (SlowDiskCheck(e.views.data(), n, r.index, e.cfg)) {
        Declare(e, r.index, REPLAY_MODE_WRITTEN);
    }
}

// One detection cycle; `w` null for an empty cycle between windows.
void Cycle(Engine &e, const TraceWindow *w, uint32_t slot) {
    e.clock += kCycleTicks;
    e.cycleIndex = e.cycleIndex + 1 >= SLOW_DISK_CYCLE_NUM ? 0 : e.cycleIndex + 1;
    uint32_t cycle = e.cycleIndex;
    for (size_t d = 0; d < e.drives.size(); ++d) {
        DriveState &ds = e.drives[d];
        DrmDiskIoStat io{};
        bool ok = ReadDrive(e, ds, w != nullptr ? &w->slots[d][slot] : nullptr, &io);
        SlowDiskIoFigures fig{io.readIops,  io.writeIops,    io.readIoBand, io.writeIoBand,
                              io.ioBusyNum, io.avgServeTime, io.utilization};
        SlowDiskRecordSample(&ds.history, cycle, ok ? &fig : nullptr);
        CountGates(e, ds, &e.out->drives[d].gates, cycle);
        SlowDiskOutlierMember &m = e.outlierMembers[d];
        m.sample = ok ? SlowDiskOutlierSampleOf(io) : SlowDiskOutlierSample{0, 0, 0};
        m.declared = false;
    }
    WrittenRuleCycle(e, cycle);
    auto n = static_cast<uint32_t>(e.drives.size());
    (void)SlowDiskOutlierCycle(e.outlierMembers.data(), n, e.outlierCfg);
    for (uint32_t d = 0; d < n; ++d) {
        if (e.outlierMembers[d].declared) {
            Declare(e, d, REPLAY_MODE_OUTLIER);
        }
    }
    ++e.out->cycles;
    if (w != nullptr) {
        ++e.out->traceCycles;
    }
}

void StartWindow(Engine &e, const TraceWindow &w) {
    for (size_t d = 0; d < e.drives.size(); ++d) {
        DriveState &ds = e.drives[d];
        if (!ds.seen && std::any_of(w.slots[d].begin(), w.slots[d].end(),
                                    [](const TraceSample &s) { return s.valid; })) {
            ds.seen = true;
            ds.firstWindowCycle = e.out->traceCycles;
        }
    }
}

std::string DayOf(const std::string &file) {
    size_t dot = file.rfind(".csv");
    return dot == std::string::npos ? file : file.substr(0, dot);
}

// The outlier row of the options: the type's defaults, switched on, with the
// parameters given in the options.
int OutlierConfigOf(const ReplayOptions &o, SlowDiskOutlierConfig *cfg, std::string *error) {
    if (o.drmType >= SLOW_DISK_DRM_TYPE_NUM) {
        *error = "DRM type must be 0..3";
        return -1;
    }
    if (o.ioSize == 0) {
        *error = "IO size must be at least 1 byte";
        return -1;
    }
    SlowDiskOutlierConfig c = SlowDiskOutlierDefaultConfig(o.drmType);
    c.on = 1;
    const double given[3] = {o.ratio * 100.0, o.zScore * 10.0, o.fraction * 100.0};
    const double limit[3] = {SLOW_DISK_OUTLIER_RATIO_MAX, SLOW_DISK_OUTLIER_Z_MAX,
                             SLOW_DISK_OUTLIER_FRACTION_MAX};
    for (int i = 0; i < 3; ++i) {
        if (o.outlierSet[i] && !(given[i] >= 0.0 && given[i] <= limit[i])) {
            *error = "outlier parameter out of range";
            return -1;
        }
    }
    c.ratioPct = o.outlierSet[0] ? static_cast<uint16_t>(std::lround(given[0])) : c.ratioPct;
    c.zTenths = o.outlierSet[1] ? static_cast<uint8_t>(std::lround(given[1])) : c.zTenths;
    c.fractionPct = o.outlierSet[2] ? static_cast<uint8_t>(std::lround(given[2])) : c.fractionPct;
    c.windowMin = o.outlierSet[3] ? static_cast<uint8_t>(std::min(o.windowMin, 255u)) : c.windowMin;
    if (!SlowDiskOutlierConfigValid(c)) {
        *error = "outlier parameters out of range: R 1.1..10, Z 1..10, P 0.1..1, W 5..240 minutes";
        return -1;
    }
    *cfg = c;
    return 0;
}

}  // namespace

int ReplayOutlierParamsOf(const ReplayOptions &options, ReplayOutlierParams *out,
                          std::string *error) {
    SlowDiskOutlierConfig c{};
    if (OutlierConfigOf(options, &c, error) != 0) {
        return -1;
    }
    *out = ReplayOutlierParams{c.ratioPct / 100.0, c.zTenths / 10.0, c.fractionPct / 100.0,
                               c.windowMin};
    return 0;
}

int ReplayRunHost(const TraceHost &trace, const ReplayOptions &options, ReplayHost *out,
                  std::string *error) {
    SlowDiskOutlierConfig outlierCfg{};
    if (OutlierConfigOf(options, &outlierCfg, error) != 0) {
        return -1;
    }
    if (trace.drives.size() > kMaxZoneDrives) {
        *error = trace.name + ": " + std::to_string(trace.drives.size()) +
                 " drives; a zone holds at most " + std::to_string(kMaxZoneDrives);
        return -1;
    }
    *out = ReplayHost{};
    out->name = trace.name;
    size_t n = trace.drives.size();
    for (const TraceWindow &w : trace.windows) {
        out->days.push_back(DayOf(w.file));
    }
    out->drives.resize(n);
    for (size_t d = 0; d < n; ++d) {
        out->drives[d].name = trace.drives[d];
        for (auto &flags : out->drives[d].windowDeclared) {
            flags.assign(trace.windows.size(), 0);
        }
    }
    Engine e{};
    e.trace = &trace;
    e.opt = &options;
    e.cfg = SlowDiskDefaultConfig(options.drmType);
    e.bwLimitMiB = SlowDiskBandwidthLimit(options.drmType);
    e.drives.assign(n, DriveState{});
    e.views.resize(n);
    e.outlierCfg = outlierCfg;
    e.outlierMembers.resize(n);
    e.clock = kCycleTicks;
    e.out = out;
    for (size_t d = 0; d < n; ++d) {
        e.drives[d].last = FrameOf(e.drives[d].counters, e.clock, false);
        e.views[d] = SlowDiskMemberView{static_cast<uint32_t>(d), &e.drives[d].history};
        e.outlierMembers[d] = SlowDiskOutlierMember{static_cast<uint32_t>(d), &e.drives[d].outlier,
                                                    SlowDiskOutlierSample{0, 0, 0}, false};
    }
    // Enough empty cycles to empty the written rule's ring and to give the
    // outlier mode one whole quiet window, which also ends a latched episode.
    uint32_t drain = std::max(SLOW_DISK_CYCLE_NUM, SlowDiskOutlierWindowCycles(outlierCfg)) + 1;
    for (e.window = 0; e.window < trace.windows.size(); ++e.window) {
        const TraceWindow &w = trace.windows[e.window];
        StartWindow(e, w);
        for (uint32_t slot = 0; slot < w.slotCount; ++slot) {
            for (uint32_t rep = 0; rep < kReplayCyclesPerSample; ++rep) {
                e.ts = w.start +
                       static_cast<int64_t>(slot * kTraceStepSeconds + rep * kReplayCycleSeconds);
                Cycle(e, &w, slot);
            }
        }
        for (uint32_t i = 0; i < drain; ++i) {
            Cycle(e, nullptr, 0);
        }
    }
    return 0;
}
