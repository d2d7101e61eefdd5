#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"

#include <algorithm>
#include <cmath>

#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

namespace {

constexpr uint32_t kMaxMembers = 128;  // disk ids are 0..127
constexpr uint32_t kDrmTypes = 4;
constexpr double kMadToSigma = 1.4826;  // MAD of a normal distribution -> its deviation
// Healthy disks of one model often report the same whole microsecond, so the
// MAD can be 0 and any disk 1 us above the median would be infinitely far
// out. The floor (5% of the median) leaves the ratio R to decide there.
constexpr double kMadFloorShare = 0.05;
constexpr double kMadFloorUs = 1.0;
// The own baseline follows the latency with a time constant of 256 cycles
// (about 13 minutes) once 256 samples were averaged; it counts as
// established after one minute of samples.
constexpr uint32_t kBaselineShift = 8;
constexpr uint32_t kBaselineWarm = 20;

struct Scored {
    bool comparable;
    bool selfSlow;
    bool baseline;  // the disk's own baseline was established
};

double MedianOf(double *v, uint32_t n)
{
    std::nth_element(v, v + n / 2, v + n);
    double upper = v[n / 2];
    if (n % 2 != 0) {
        return upper;
    }
    double lower = *std::max_element(v, v + n / 2);
    return (lower + upper) / 2.0;
}

bool Eligible(const SlowDiskOutlierMember &m)
{
    return m.history != nullptr && m.sample.valid != 0 && m.sample.latencyUs != 0 &&
           m.sample.iops >= SLOW_DISK_OUTLIER_MIN_IOPS;
}

// Marks the disks of comparable load; returns how many.
uint32_t MarkComparable(const SlowDiskOutlierMember *members, uint32_t n, Scored *scored)
{
    double iops[kMaxMembers];
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (Eligible(members[i])) {
            iops[k++] = static_cast<double>(members[i].sample.iops);
        }
    }
    if (k == 0) {
        return 0;
    }
    double med = MedianOf(iops, k);
    double band = static_cast<double>(SLOW_DISK_OUTLIER_LOAD_BAND);
    uint32_t count = 0;
    for (uint32_t i = 0; i < n; ++i) {
        double load = static_cast<double>(members[i].sample.iops);
        scored[i].comparable = Eligible(members[i]) && load * band >= med && load <= med * band;
        count += scored[i].comparable ? 1 : 0;
    }
    return count;
}

// Checks the sample against the disk's own baseline, then moves the baseline.
void TrackBaseline(SlowDiskOutlierHistory *h, uint32_t latencyUs, uint16_t ratioPct, Scored *s)
{
    uint64_t fx = static_cast<uint64_t>(latencyUs) << kBaselineShift;
    s->baseline = h->baselineSamples >= kBaselineWarm;
    s->selfSlow = s->baseline && static_cast<double>(fx) * 100.0 >=
                                     static_cast<double>(ratioPct) *
                                         static_cast<double>(h->baselineFx);
    if (h->baselineSamples < (1u << kBaselineShift)) {
        ++h->baselineSamples;  // running mean until the average window is full
        int64_t step = (static_cast<int64_t>(fx) - static_cast<int64_t>(h->baselineFx)) /
                       static_cast<int64_t>(h->baselineSamples);
        h->baselineFx = static_cast<uint64_t>(static_cast<int64_t>(h->baselineFx) + step);
    } else {
        int64_t step = (static_cast<int64_t>(fx) - static_cast<int64_t>(h->baselineFx)) >>
                       kBaselineShift;
        h->baselineFx = static_cast<uint64_t>(static_cast<int64_t>(h->baselineFx) + step);
    }
}

bool BitGet(const SlowDiskOutlierHistory &h, uint32_t slot)
{
    return (h.bits[slot / 64] >> (slot % 64) & 1u) != 0;
}

void BitPut(SlowDiskOutlierHistory *h, uint32_t slot, bool on)
{
    uint64_t mask = uint64_t{1} << (slot % 64);
    h->bits[slot / 64] = on ? h->bits[slot / 64] | mask : h->bits[slot / 64] & ~mask;
}

// Outlier bits of the last `w` recorded cycles.
uint32_t CountLast(const SlowDiskOutlierHistory &h, uint32_t w)
{
    uint32_t take = std::min(w, h.filled);
    uint32_t count = 0;
    for (uint32_t back = 1; back <= take; ++back) {
        count += BitGet(h, (h.next + SLOW_DISK_OUTLIER_RING_CYCLES - back) %
                               SLOW_DISK_OUTLIER_RING_CYCLES)
                     ? 1
                     : 0;
    }
    return count;
}

// Records one cycle, keeping `outliers` the count over the last `w` cycles.
void PushCycle(SlowDiskOutlierHistory *h, uint32_t w, bool outlier)
{
    if (h->countedWindow != w) {  // the window was changed: count afresh
        h->outliers = CountLast(*h, w);
        h->countedWindow = w;
    }
    // The cycle leaving the window; it is `next` itself when w fills the ring.
    if (h->filled >= w) {
        uint32_t leaving =
            (h->next + SLOW_DISK_OUTLIER_RING_CYCLES - w) % SLOW_DISK_OUTLIER_RING_CYCLES;
        h->outliers -= BitGet(*h, leaving) ? 1 : 0;
    }
    BitPut(h, h->next, outlier);
    h->outliers += outlier ? 1 : 0;
    h->next = (h->next + 1) % SLOW_DISK_OUTLIER_RING_CYCLES;
    h->filled = std::min(h->filled + 1, SLOW_DISK_OUTLIER_RING_CYCLES);
}

void PushScore(SlowDiskOutlierHistory *h, const SlowDiskOutlierScore &s)
{
    h->scores[h->scoreNext] = s;
    h->scoreNext = static_cast<uint8_t>((h->scoreNext + 1) % SLOW_DISK_OUTLIER_SCORE_NUM);
    if (h->scoreCount < SLOW_DISK_OUTLIER_SCORE_NUM) {
        ++h->scoreCount;
    }
}

template <typename T>
T Saturate(double v, double lo, double hi)
{
    return static_cast<T>(std::clamp(v, lo, hi));
}

// Median and MAD of the comparable disks' latency.
void ZoneSpread(const SlowDiskOutlierMember *members, uint32_t n, const Scored *scored,
                double *median, double *mad)
{
    double lat[kMaxMembers];
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (scored[i].comparable) {
            lat[k++] = members[i].sample.latencyUs;
        }
    }
    *median = MedianOf(lat, k);
    k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (scored[i].comparable) {
            lat[k++] = std::fabs(members[i].sample.latencyUs - *median);
        }
    }
    *mad = MedianOf(lat, k);
}

// Scores the comparable disks against the zone and their own baselines.
// Returns whether each disk is over both fences in outlier[].
void ScoreZone(SlowDiskOutlierMember *members, uint32_t n, const SlowDiskOutlierConfig &cfg,
               Scored *scored, bool *outlier, SlowDiskOutlierScore *scores,
               SlowDiskOutlierZoneResult *r)
{
    double median = 0.0;
    double mad = 0.0;
    ZoneSpread(members, n, scored, &median, &mad);
    double sigma = kMadToSigma * std::max({mad, median * kMadFloorShare, kMadFloorUs});
    r->medianUs = static_cast<uint32_t>(median);
    r->madUs = static_cast<uint32_t>(mad);
    uint32_t withBaseline = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (!scored[i].comparable) {
            continue;
        }
        double lat = members[i].sample.latencyUs;
        double z = (lat - median) / sigma;
        outlier[i] = lat * 100.0 >= cfg.ratioPct * median && z * 10.0 >= cfg.zTenths;
        TrackBaseline(members[i].history, members[i].sample.latencyUs, cfg.ratioPct, &scored[i]);
        withBaseline += scored[i].baseline ? 1 : 0;
        r->selfSlow += scored[i].selfSlow ? 1 : 0;
        scores[i] = SlowDiskOutlierScore{members[i].sample.latencyUs, r->medianUs,
                                         Saturate<uint16_t>(lat * 100.0 / median, 0, UINT16_MAX),
                                         Saturate<int16_t>(z * 10.0, INT16_MIN, INT16_MAX),
                                         0, {}};
    }
    r->zoneWide = withBaseline >= SLOW_DISK_OUTLIER_MIN_PEERS && r->selfSlow * 2 > withBaseline;
}

}  // namespace

const SlowDiskOutlierFieldInfo g_slowDiskOutlierFields[SLOW_DISK_OUTLIER_FIELD_NUM] = {
    {"outlier_switch", 0, 1},
    {"outlier_ratio_percent", SLOW_DISK_OUTLIER_RATIO_MIN, SLOW_DISK_OUTLIER_RATIO_MAX},
    {"outlier_z_tenths", SLOW_DISK_OUTLIER_Z_MIN, SLOW_DISK_OUTLIER_Z_MAX},
    {"outlier_fraction_percent", SLOW_DISK_OUTLIER_FRACTION_MIN, SLOW_DISK_OUTLIER_FRACTION_MAX},
    {"outlier_window_minutes", SLOW_DISK_OUTLIER_WINDOW_MIN_MIN, SLOW_DISK_OUTLIER_WINDOW_MIN_MAX},
};

uint32_t SlowDiskOutlierFieldGet(const SlowDiskOutlierConfig &cfg, uint32_t field)
{
    switch (field) {
        case SLOW_DISK_OUTLIER_FIELD_SWITCH: return cfg.on;
        case SLOW_DISK_OUTLIER_FIELD_RATIO: return cfg.ratioPct;
        case SLOW_DISK_OUTLIER_FIELD_Z: return cfg.zTenths;
        case SLOW_DISK_OUTLIER_FIELD_FRACTION: return cfg.fractionPct;
        case SLOW_DISK_OUTLIER_FIELD_WINDOW: return cfg.windowMin;
        default: return 0;
    }
}

void SlowDiskOutlierFieldSet(SlowDiskOutlierConfig *cfg, uint32_t field, uint32_t value)
{
    auto u8 = static_cast<uint8_t>(value);
    switch (field) {
        case SLOW_DISK_OUTLIER_FIELD_SWITCH: cfg->on = u8; break;
        case SLOW_DISK_OUTLIER_FIELD_RATIO: cfg->ratioPct = static_cast<uint16_t>(value); break;
        case SLOW_DISK_OUTLIER_FIELD_Z: cfg->zTenths = u8; break;
        case SLOW_DISK_OUTLIER_FIELD_FRACTION: cfg->fractionPct = u8; break;
        case SLOW_DISK_OUTLIER_FIELD_WINDOW: cfg->windowMin = u8; break;
        default: break;
    }
}

SlowDiskOutlierConfig SlowDiskOutlierDefaultConfig(uint32_t drmType)
{
    return SlowDiskOutlierConfig{static_cast<uint8_t>(drmType), 0, 150, 30, 50, 60, 0};
}

bool SlowDiskOutlierConfigValid(const SlowDiskOutlierConfig &cfg)
{
    bool valid = cfg.diskType < kDrmTypes;
    for (uint32_t f = 0; f < SLOW_DISK_OUTLIER_FIELD_NUM; ++f) {
        uint32_t v = SlowDiskOutlierFieldGet(cfg, f);
        valid = valid && v >= g_slowDiskOutlierFields[f].min && v <= g_slowDiskOutlierFields[f].max;
    }
    return valid;
}

SlowDiskOutlierSample SlowDiskOutlierSampleOf(const DrmDiskIoStat &io)
{
    SlowDiskOutlierSample s{};
    s.valid = 1;
    s.iops = io.readIops + io.writeIops;
    if (s.iops < io.readIops) {  // wrapped: a saturated reading
        s.iops = UINT64_MAX;
    }
    double weight = static_cast<double>(io.readIops) + static_cast<double>(io.writeIops);
    if (weight > 0.0) {
        double lat = (static_cast<double>(io.readIops) * static_cast<double>(io.readIoDelay) +
                      static_cast<double>(io.writeIops) * static_cast<double>(io.writeIoDelay)) /
                     weight;
        s.latencyUs = Saturate<uint32_t>(lat, 0, UINT32_MAX);
    }
    return s;
}

uint32_t SlowDiskOutlierWindowCycles(const SlowDiskOutlierConfig &cfg)
{
    uint32_t minutes = std::clamp<uint32_t>(cfg.windowMin, SLOW_DISK_OUTLIER_WINDOW_MIN_MIN,
                                            SLOW_DISK_OUTLIER_WINDOW_MIN_MAX);
    return minutes * SLOW_DISK_OUTLIER_CYCLES_PER_MINUTE;
}

uint32_t SlowDiskOutlierNeededCycles(const SlowDiskOutlierConfig &cfg)
{
    uint32_t w = SlowDiskOutlierWindowCycles(cfg);
    return (w * cfg.fractionPct + 99) / 100;  // rounded up: "at least P"
}

SlowDiskOutlierZoneResult SlowDiskOutlierCycle(SlowDiskOutlierMember *members, uint32_t n,
                                               const SlowDiskOutlierConfig &cfg)
{
    SlowDiskOutlierZoneResult r{};
    n = std::min(n, kMaxMembers);
    Scored scored[kMaxMembers] = {};
    bool outlier[kMaxMembers] = {};
    SlowDiskOutlierScore scores[kMaxMembers];
    r.comparable = MarkComparable(members, n, scored);
    bool enough = r.comparable >= SLOW_DISK_OUTLIER_MIN_PEERS;
    if (enough) {
        ScoreZone(members, n, cfg, scored, outlier, scores, &r);
    }
    uint32_t w = SlowDiskOutlierWindowCycles(cfg);
    uint32_t needed = SlowDiskOutlierNeededCycles(cfg);
    for (uint32_t i = 0; i < n; ++i) {
        SlowDiskOutlierMember &m = members[i];
        m.declared = false;
        if (m.history == nullptr) {
            continue;
        }
        bool counted = outlier[i] && !r.zoneWide;
        PushCycle(m.history, w, counted);
        r.outliers += counted ? 1 : 0;
        if (enough && scored[i].comparable) {
            scores[i].flags = static_cast<uint8_t>(
                (counted ? SLOW_DISK_OUTLIER_SCORE_OUTLIER : 0) |
                (scored[i].selfSlow ? SLOW_DISK_OUTLIER_SCORE_SELF_SLOW : 0) |
                (r.zoneWide ? SLOW_DISK_OUTLIER_SCORE_ZONE_WIDE : 0));
            PushScore(m.history, scores[i]);
        }
        if (m.history->outliers == 0) {
            m.history->reported = 0;  // a clean window ends the episode
        } else if (!r.zoneWide && m.history->outliers >= needed && m.history->reported == 0) {
            m.history->reported = 1;
            m.declared = true;
            ++r.declared;
        }
    }
    return r;
}

uint32_t SlowDiskOutlierRecentScores(const SlowDiskOutlierHistory &h, SlowDiskOutlierScore *out,
                                     uint32_t capacity)
{
    uint32_t count = std::min<uint32_t>(h.scoreCount, capacity);  // the newest `count`
    uint32_t first = (h.scoreNext + SLOW_DISK_OUTLIER_SCORE_NUM - count) %
                     SLOW_DISK_OUTLIER_SCORE_NUM;
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = h.scores[(first + i) % SLOW_DISK_OUTLIER_SCORE_NUM];
    }
    return count;
}
