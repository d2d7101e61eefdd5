#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "config/config.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "init/feature_start.h"
#include "ma/drm/feature/drm_feature_fixture.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"
#include "ma/drm/framework/drm_data_mgr/drm_local_data.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"
#include "support/persist_files.h"

namespace {

SlowDiskOutlierConfig Cfg(uint16_t ratio, uint8_t z, uint8_t fraction = 50, uint8_t window = 60)
{
    return SlowDiskOutlierConfig{1, 1, ratio, z, fraction, window, 0};
}

// A zone of disks with their own histories; each Run is one cycle.
struct Zone {
    explicit Zone(size_t n) : h(n), m(n)
    {
        for (size_t i = 0; i < n; ++i) m[i] = {static_cast<uint32_t>(i), &h[i], {}, false};
    }
    SlowDiskOutlierZoneResult Run(const std::vector<uint32_t> &lat, const SlowDiskOutlierConfig &c,
                                  const std::vector<uint64_t> &iops = {})
    {
        for (size_t i = 0; i < m.size(); ++i) {
            m[i].sample = {iops.empty() ? 1000 : iops[i], lat[i], 1};
        }
        return SlowDiskOutlierCycle(m.data(), static_cast<uint32_t>(m.size()), c);
    }
    bool Outlier(size_t i) const  // the newest ring bit of disk i
    {
        uint32_t slot =
            (h[i].next + SLOW_DISK_OUTLIER_RING_CYCLES - 1) % SLOW_DISK_OUTLIER_RING_CYCLES;
        return h[i].filled > 0 && (h[i].bits[slot / 64] >> (slot % 64) & 1u) != 0;
    }
    std::vector<SlowDiskOutlierHistory> h;
    std::vector<SlowDiskOutlierMember> m;
};

// Both fences at their edges, computed from the rule: four peers at 90 and
// four at 110 put the median at 110 and the MAD at 20; eight peers at 100 give
// MAD 0, where the 5% floor stands in.
TEST(SlowDiskOutlierTest, FencesAtTheirBoundaries)
{
    struct Case {
        std::vector<uint32_t> peers;
        double median, mad;
        uint16_t ratio;
        uint8_t z;
    } cases[] = {
        {{90, 90, 90, 90, 110, 110, 110, 110}, 110, 20, 150, 10},   // R decides
        {{90, 90, 90, 90, 110, 110, 110, 110}, 110, 20, 110, 30},   // Z decides
        {{90, 90, 90, 90, 110, 110, 110, 110}, 110, 20, 200, 10},
        {{90, 90, 90, 90, 110, 110, 110, 110}, 110, 20, 110, 20},
        {{100, 100, 100, 100, 100, 100, 100, 100}, 100, 5, 110, 30},  // floored MAD decides
        {{100, 100, 100, 100, 100, 100, 100, 100}, 100, 5, 150, 30},
    };
    for (const Case &c : cases) {
        double byRatio = c.ratio * c.median / 100.0;
        double byZ = c.median + c.z / 10.0 * 1.4826 * c.mad;
        auto edge = static_cast<uint32_t>(std::ceil(std::max(byRatio, byZ)));
        for (uint32_t lat : {edge - 1, edge}) {
            Zone zone(9);
            std::vector<uint32_t> l = c.peers;
            l.push_back(lat);
            SlowDiskOutlierZoneResult r = zone.Run(l, Cfg(c.ratio, c.z));
            EXPECT_EQ(r.medianUs, static_cast<uint32_t>(c.median));
            EXPECT_EQ(r.outliers, lat == edge ? 1u : 0u) << c.ratio << "/" << +c.z << " at " << lat;
            EXPECT_EQ(zone.Outlier(8), lat == edge);
        }
    }
}

// Which disks are compared: enough IOPS, within 4x of the median load, a
// readable sample with a latency, at least four of them.
TEST(SlowDiskOutlierTest, OnlyComparableLoadIsCompared)
{
    struct Case {
        const char *name;
        uint64_t iops;  // of the slow disk 4; peers run 1000 (or 10 with `lowPeers`)
        uint32_t latency, valid;
        bool lowPeers, outlier;
        uint32_t comparable;
    } cases[] = {
        {"at 4x the median load", 4000, 400, 1, false, true, 5},
        {"above 4x", 4001, 400, 1, false, false, 4},
        {"at a quarter", 250, 400, 1, false, true, 5},
        {"below a quarter", 249, 400, 1, false, false, 4},
        {"minimum IOPS", 10, 400, 1, true, true, 5},
        {"under minimum IOPS", 9, 400, 1, true, false, 4},
        {"no latency measured", 1000, 0, 1, false, false, 4},
        {"unreadable", 1000, 400, 0, false, false, 4},
    };
    for (const Case &c : cases) {
        Zone zone(5);
        uint64_t peer = c.lowPeers ? 10 : 1000;
        for (size_t i = 0; i < 4; ++i) zone.m[i].sample = {peer, 100, 1};
        zone.m[4].sample = {c.iops, c.latency, c.valid};
        SlowDiskOutlierZoneResult r = SlowDiskOutlierCycle(zone.m.data(), 5, Cfg(150, 30));
        EXPECT_EQ(r.comparable, c.comparable) << c.name;
        EXPECT_EQ(zone.Outlier(4), c.outlier) << c.name;
        EXPECT_EQ(zone.h[4].filled, 1u) << c.name << ": every member records its cycle";
    }
    Zone three(4);  // a zone shrunk to three disks (one left: no history) compares nothing
    three.m[3].history = nullptr;
    SlowDiskOutlierZoneResult r = three.Run({100, 100, 400, 100}, Cfg(150, 30));
    EXPECT_EQ(r.comparable, 3u);
    EXPECT_EQ(r.outliers, 0u);
    EXPECT_EQ(three.h[3].filled, 0u);
}

// Declared when the outlier cycles of the window reach P x W, rounded up;
// once per episode; again after a clean window.
TEST(SlowDiskOutlierTest, DeclaredAtTheFractionOfTheWindowOncePerEpisode)
{
    const std::vector<uint32_t> slow{100, 100, 100, 100, 300}, calm{100, 100, 100, 100, 100};
    for (uint8_t p : {10, 15, 33, 50, 100}) {
        SlowDiskOutlierConfig c = Cfg(150, 30, p, 7);  // 140 cycles
        uint32_t need = (140u * p + 99) / 100;
        ASSERT_EQ(SlowDiskOutlierNeededCycles(c), need);
        Zone zone(5);
        for (uint32_t i = 0; i + 1 < need; ++i) {
            ASSERT_EQ(zone.Run(slow, c).declared, 0u) << +p << " cycle " << i;
            if (need < 140) {
                ASSERT_EQ(zone.Run(calm, c).declared, 0u);  // spread the marks
            }
        }
        EXPECT_EQ(zone.Run(slow, c).declared, 1u) << +p;
        EXPECT_TRUE(zone.m[4].declared);
        EXPECT_EQ(zone.Run(slow, c).declared, 0u) << "reported once";
        for (int i = 0; i < 139; ++i) zone.Run(calm, c);
        EXPECT_NE(zone.h[4].outliers, 0u);
        EXPECT_EQ(zone.h[4].reported, 1);
        zone.Run(calm, c);  // the window is clean: the episode ends
        EXPECT_EQ(zone.h[4].reported, 0);
        for (uint32_t i = 0; i < need; ++i) zone.Run(slow, c);
        EXPECT_EQ(zone.h[4].reported, 1) << "a new episode is declared";
    }
}

TEST(SlowDiskOutlierTest, SeveralDisksOfAZoneAreDeclaredTogether)
{
    Zone zone(10);
    const std::vector<uint32_t> lat{95, 98, 100, 100, 200, 102, 105, 97, 210, 103};
    SlowDiskOutlierConfig c = Cfg(150, 30, 10, 5);  // 10 cycles
    SlowDiskOutlierZoneResult r{};
    for (int i = 0; i < 10; ++i) r = zone.Run(lat, c);
    EXPECT_EQ(r.declared, 2u);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(zone.m[i].declared, i == 4 || i == 8) << i;
}

// Most disks slower than their own baseline: nothing is marked or declared,
// although one disk stands out from the others; once the baselines follow
// the new level, the peer comparison resumes.
TEST(SlowDiskOutlierTest, ZoneWideSlowdownDeclaresNone)
{
    SlowDiskOutlierConfig c = Cfg(150, 30, 10, 5);
    Zone zone(6);
    for (int i = 0; i < 300; ++i) zone.Run({100, 100, 100, 100, 100, 100}, c);
    const std::vector<uint32_t> shifted{180, 180, 180, 180, 600, 100};
    SlowDiskOutlierZoneResult r = zone.Run(shifted, c);
    EXPECT_TRUE(r.zoneWide);
    EXPECT_EQ(r.selfSlow, 5u);
    EXPECT_EQ(r.outliers, 0u);
    SlowDiskOutlierScore s[SLOW_DISK_OUTLIER_SCORE_NUM];
    ASSERT_EQ(SlowDiskOutlierRecentScores(zone.h[4], s, SLOW_DISK_OUTLIER_SCORE_NUM), 20u);
    EXPECT_EQ(s[19].flags, SLOW_DISK_OUTLIER_SCORE_SELF_SLOW | SLOW_DISK_OUTLIER_SCORE_ZONE_WIDE);
    EXPECT_EQ(s[19].ratioPct, 333);

    Zone fresh(6);  // the same cycle without own histories is a plain peer outlier
    EXPECT_EQ(fresh.Run(shifted, c).outliers, 1u);

    // 180 stays at R x the baseline until 1 - (255/256)^k of the step is taken
    // up: 73 cycles; the 600 disk alone is no majority.
    int cycles = 1;
    while (zone.Run(shifted, c).zoneWide && cycles < 2000) ++cycles;
    EXPECT_NEAR(cycles, std::log(0.75) / std::log(255.0 / 256.0), 3);
    for (int i = 0; i < 10; ++i) r = zone.Run(shifted, c);
    EXPECT_FALSE(r.zoneWide);
    EXPECT_TRUE(zone.h[4].reported);
}

// The window count matches a plain count of what was fed, across ring wraps
// and window changes.
TEST(SlowDiskOutlierTest, WindowCountSurvivesWrapsAndWindowChanges)
{
    Zone zone(5);
    std::vector<uint32_t> prefix{0};  // outlier cycles fed before each cycle
    uint32_t seed = 1;
    const uint8_t windows[] = {240, 5, 60, 240};
    for (uint8_t w : windows) {
        SlowDiskOutlierConfig c = Cfg(150, 30, 100, w);
        for (int i = 0; i < 6000; ++i) {
            seed = seed * 1103515245u + 12345u;
            bool slow = (seed >> 16) % 3 == 0;
            zone.Run({100, 100, 100, 100, slow ? 300u : 100u}, c);
            prefix.push_back(prefix.back() + (slow ? 1 : 0));
            size_t span = std::min<size_t>(w * 20u, prefix.size() - 1);
            ASSERT_EQ(zone.h[4].outliers, prefix.back() - prefix[prefix.size() - 1 - span])
                << +w << " cycle " << i;
        }
    }
}

TEST(SlowDiskOutlierTest, SampleIsTheOpsWeightedLatency)
{
    struct Case {
        uint64_t rIops, wIops, rDelay, wDelay, iops;
        uint32_t latency;
    } cases[] = {
        {100, 0, 80, 999, 100, 80},
        {0, 50, 999, 300, 50, 300},
        {100, 300, 100, 200, 400, 175},
        {0, 0, 500, 500, 0, 0},
        {1, 0, UINT64_MAX, 0, 1, UINT32_MAX},
        {UINT64_MAX, 1, 10, 10, UINT64_MAX, 10},
    };
    for (const Case &c : cases) {
        DrmDiskIoStat io{c.rIops, c.wIops, 0, 0, c.rDelay, c.wDelay, 3, 999, 50};
        SlowDiskOutlierSample s = SlowDiskOutlierSampleOf(io);
        EXPECT_EQ(s.iops, c.iops) << c.rIops << "/" << c.wIops;
        EXPECT_EQ(s.latencyUs, c.latency) << c.rIops << "/" << c.wIops;
        EXPECT_EQ(s.valid, 1u);
    }
}

TEST(SlowDiskOutlierTest, ConfigRangesAndRecentScores)
{
    const SlowDiskOutlierConfig def = SlowDiskOutlierDefaultConfig(2);
    EXPECT_TRUE(SlowDiskOutlierConfigValid(def));
    EXPECT_EQ(def.on, 0);
    EXPECT_EQ(SlowDiskOutlierWindowCycles(def), 1200u);
    EXPECT_EQ(SlowDiskOutlierNeededCycles(def), 600u);
    struct Field {
        int lo, hi;
        void (*set)(SlowDiskOutlierConfig &, int);
    } fields[] = {
        {0, 3, [](SlowDiskOutlierConfig &c, int v) { c.diskType = static_cast<uint8_t>(v); }},
        {0, 1, [](SlowDiskOutlierConfig &c, int v) { c.on = static_cast<uint8_t>(v); }},
        {110, 1000, [](SlowDiskOutlierConfig &c, int v) { c.ratioPct = static_cast<uint16_t>(v); }},
        {10, 100, [](SlowDiskOutlierConfig &c, int v) { c.zTenths = static_cast<uint8_t>(v); }},
        {10, 100, [](SlowDiskOutlierConfig &c, int v) { c.fractionPct = static_cast<uint8_t>(v); }},
        {5, 240, [](SlowDiskOutlierConfig &c, int v) { c.windowMin = static_cast<uint8_t>(v); }},
    };
    for (const Field &f : fields) {
        for (int v : {f.lo - 1, f.lo, f.hi, f.hi + 1}) {
            if (v < 0) continue;
            SlowDiskOutlierConfig c = def;
            f.set(c, v);
            EXPECT_EQ(SlowDiskOutlierConfigValid(c), v >= f.lo && v <= f.hi) << f.lo << ".." << v;
        }
    }

    Zone zone(5);
    for (uint32_t i = 0; i < 25; ++i) zone.Run({100, 100, 100, 100, 200 + i}, Cfg(150, 30));
    SlowDiskOutlierScore s[5];
    ASSERT_EQ(SlowDiskOutlierRecentScores(zone.h[4], s, 5), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(s[i].latencyUs, 220 + i);
        EXPECT_EQ(s[i].medianUs, 100u);
        EXPECT_EQ(s[i].ratioPct, 220 + i);
        EXPECT_EQ(s[i].zTenths, static_cast<int16_t>((120.0 + i) / (1.4826 * 5) * 10));
        EXPECT_EQ(s[i].flags, SLOW_DISK_OUTLIER_SCORE_OUTLIER);
    }
}

// ---- in the detector, through the adapter and the data store --------------

class SlowDiskOutlierModeTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override
    {
        SetUpFeature(DrmClassicalSlowDiskDetectV2Init, DrmClassicalSlowDiskDetectV2Fin);
        ASSERT_EQ(DrmSlowDiskDetectSetSwitch(1), 0);
    }

    // One second of 1000 reads at `latUs` each as the disk's next frame.
    void Feed(const std::string &sn, uint64_t latUs)
    {
        DiskIoInfoFrame &f = frames_[sn];
        f.tick_rate = 1000000;
        f.ticks += 1000000;
        f.num_read_ops += 1000;
        f.read_latency_ticks += 1000 * latUs;
        f.io_time += 100000;
        (void)DiskIoStatInfoSet(drmfeat::Sn(sn).Ref(), &f);
    }

    void Cycle(const std::vector<uint64_t> &lat)
    {
        for (size_t i = 0; i < lat.size(); ++i) Feed("SN-" + std::to_string(i), lat[i]);
        DrmSlowDiskDetectAnalyse(0);
    }

    const SlowDiskOutlierHistory &Outlier(uint32_t id)
    {
        void *h = nullptr;
        EXPECT_EQ(getFeatureLocPrivateData(id, DRM_FEATURE_SLOW_DISK, &h), 0);
        return static_cast<SlowDiskDiskData *>(h)->outlier;
    }

    std::map<std::string, DiskIoInfoFrame> frames_;
};

// A declaration sets the Slow state with its suggestion once; the written
// rule's own history keeps being recorded beside the mode; the mode is off
// by default and starts from empty histories when switched on.
TEST_F(SlowDiskOutlierModeTest, DeclarationTakesTheSlowDiskReportOnce)
{
    std::vector<uint32_t> ids;
    for (int i = 0; i < 5; ++i) {
        ids.push_back(AddDisk("SN-" + std::to_string(i), DISK_TYPE_SSD_SAS));
    }
    const std::vector<uint64_t> lat{100, 100, 300, 100, 100};
    Cycle(lat);  // the first frames only seed the statistics
    for (int i = 0; i < 20; ++i) Cycle(lat);
    EXPECT_EQ(Outlier(ids[2]).filled, 0u) << "off by default";

    SlowDiskOutlierConfig cfg = SlowDiskOutlierDefaultConfig(DRM_DISK_TYPE_SAS_SSD);
    cfg.on = 1;
    cfg.windowMin = 5;     // 100 cycles
    cfg.fractionPct = 10;  // 10 of them
    ASSERT_EQ(DrmSlowDiskOutlierSetConfig(&cfg), 0);
    for (int i = 0; i < 9; ++i) Cycle(lat);
    EXPECT_EQ(State(ids[2]), DISK_STATE_NORMAL);
    Cycle(lat);
    EXPECT_EQ(State(ids[2]), DISK_STATE_SLOW);
    for (int i = 0; i < 5; ++i) Cycle(lat);
    EXPECT_EQ(Sent("dma_set_disk_state", "SN-2", "disk_state"), std::vector<std::string>{"4"});
    EXPECT_EQ(Sent("dma_set_disk_handle_strategy", "SN-2", "disk_handle_strategy"),
              std::vector<std::string>{"Migrate data and replace the hard disk"});
    for (uint32_t id : ids) {
        EXPECT_EQ(State(id), id == ids[2] ? DISK_STATE_SLOW : DISK_STATE_NORMAL);
    }
    void *h = nullptr;
    ASSERT_EQ(getFeatureLocPrivateData(ids[2], DRM_FEATURE_SLOW_DISK, &h), 0);
    EXPECT_EQ(SlowDiskSlowCount(static_cast<SlowDiskIoHistory *>(h)), 0u);
    EXPECT_TRUE(SlowDiskBitGet(static_cast<SlowDiskIoHistory *>(h)->validBits, 5));

    drmtest::Reply r =
        drmtest::Diag({"u_drm_slow_disk", "showdiskoutlier", std::to_string(ids[2])});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    EXPECT_EQ(r.text.substr(0, r.text.find('\n')),
              "disk(" + std::to_string(ids[2]) + "): outlier cycles 15 of the last 15, reported 1, "
              "baseline 300 us");
    EXPECT_NE(r.text.find("       300       100       300       269         1\n"),
              std::string::npos) << r.text;

    cfg.on = 0;
    ASSERT_EQ(DrmSlowDiskOutlierSetConfig(&cfg), 0);
    Cycle(lat);
    EXPECT_EQ(Outlier(ids[2]).filled, 15u) << "an idle mode records nothing";
    cfg.on = 1;
    ASSERT_EQ(DrmSlowDiskOutlierSetConfig(&cfg), 0);
    Cycle(lat);
    EXPECT_EQ(Outlier(ids[2]).filled, 1u);
    EXPECT_EQ(Outlier(ids[2]).reported, 0);
    cfg.windowMin = 4;
    EXPECT_EQ(DrmSlowDiskOutlierSetConfig(&cfg), -1);
    SlowDiskOutlierConfig now{};
    ASSERT_EQ(DrmSlowDiskOutlierGetConfig(DRM_DISK_TYPE_SAS_SSD, &now), 0);
    EXPECT_EQ(now.windowMin, 5);
    EXPECT_EQ(DrmSlowDiskOutlierGetConfig(4, &now), -1);
}

// Start-up reads each key that is present and in range; a missing key, a
// value out of range or not a number leaves the default. The CLI adds a key
// the file does not have yet.
TEST(SlowDiskOutlierConfigTest, KeysReadAtStartUpKeepDefaultsForMissingAndBadValues)
{
    if (!KeeperOsInstalled()) {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);  // the configuration lock comes from it
    }
    std::string prefix = ResetTestPrefix();
    WriteFileText(prefix + "/config/spindlekeep_config.json",
                  R"({"feature_switch": 1, "nvme_disk": {"task_cycle": 20, "outlier_switch": 1,
                      "outlier_ratio_percent": 200, "outlier_z_tenths": 101,
                      "outlier_window_minutes": -5},
                      "sas_hdd": {"outlier_fraction_percent": "50",
                                  "outlier_window_minutes": 240}})");
    ConfigUnload();
    ASSERT_EQ(InitConfig(), 0);
    struct Row {
        uint32_t type;
        uint32_t fields[SLOW_DISK_OUTLIER_FIELD_NUM];
    } rows[] = {
        {0, {0, 150, 30, 50, 60}},
        {2, {1, 200, 30, 50, 60}},
        {3, {0, 150, 30, 50, 240}},
    };
    SetSlowDiskOutlierConfig();
    for (const Row &r : rows) {
        SlowDiskOutlierConfig loaded = LoadSlowDiskOutlierConfig(r.type);
        SlowDiskOutlierConfig running{};
        ASSERT_EQ(DrmSlowDiskOutlierGetConfig(r.type, &running), 0);
        EXPECT_EQ(loaded.diskType, r.type);
        for (uint32_t f = 0; f < SLOW_DISK_OUTLIER_FIELD_NUM; ++f) {
            EXPECT_EQ(SlowDiskOutlierFieldGet(loaded, f), r.fields[f]) << r.type << " " << f;
            EXPECT_EQ(SlowDiskOutlierFieldGet(running, f), r.fields[f]) << r.type << " " << f;
        }
    }
    EXPECT_FALSE(ChildNodeConfigExists("sas_ssd_disk", "outlier_switch"));
    ASSERT_EQ(SetOrAddChildNodeConfigInt("nvme_disk", "outlier_fraction_percent", 70), 0);
    EXPECT_EQ(LoadSlowDiskOutlierConfig(2).fractionPct, 70);
    EXPECT_NE(ReadFileText(prefix + "/config/spindlekeep_config.json")
                  .find("\"outlier_fraction_percent\":\t70"),
              std::string::npos);
    EXPECT_EQ(SetOrAddChildNodeConfigInt("no_such_type", "outlier_switch", 1), 1);
    EXPECT_FALSE(ChildNodeConfigExists("no_such_type", "outlier_switch"));
    ConfigUnload();
}

}  // namespace
