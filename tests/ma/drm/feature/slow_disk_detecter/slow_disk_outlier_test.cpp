#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <tuple>
#include <vector>

#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

namespace {

using Lat = std::vector<uint32_t>;

SlowDiskOutlierConfig Cfg(uint16_t ratio, uint8_t z, uint8_t fraction = 50, uint8_t window = 60)
{
    return SlowDiskOutlierConfig{1, 1, ratio, z, fraction, window, 0};
}

// A zone of disks with their own histories, run at 1000 IOPS each.
struct Zone {
    explicit Zone(size_t n) : h(n), m(n)
    {
        for (size_t i = 0; i < n; ++i) m[i] = {static_cast<uint32_t>(i), &h[i], {}, false};
    }
    // Runs `times` cycles; the last cycle's result with the declarations of all.
    SlowDiskOutlierZoneResult Run(const Lat &lat, const SlowDiskOutlierConfig &c, int times = 1)
    {
        SlowDiskOutlierZoneResult r{};
        uint32_t declared = 0;
        while (times-- > 0) {
            for (size_t i = 0; i < m.size(); ++i) m[i].sample = {1000, lat[i], 1};
            r = SlowDiskOutlierCycle(m.data(), static_cast<uint32_t>(m.size()), c);
            declared += r.declared;
        }
        r.declared = declared;
        return r;
    }
    std::vector<SlowDiskOutlierHistory> h;
    std::vector<SlowDiskOutlierMember> m;
};

// Both fences at their edges, computed from the rule: four peers at 110 and
// four at 90 put the median at 110 and the MAD at 20; eight at 100 give MAD
// 0, where the floor of 5% of the median stands in.
TEST(SlowDiskOutlierTest, FencesAtTheirBoundaries)
{
    const Lat spread{110, 110, 110, 110, 90, 90, 90, 90}, flat(8, 100);
    const std::tuple<const Lat &, double, double> zones[] = {{spread, 110, 20}, {flat, 100, 5}};
    const std::pair<uint16_t, uint8_t> fences[] = {{150, 10}, {110, 30}, {200, 10}, {110, 20}, {150, 30}};
    for (const auto &[peers, median, mad] : zones) {
        for (auto [ratio, z] : fences) {  // ratio R x 100, Z x 10
            double edge = std::max(ratio * median / 100.0, median + z / 10.0 * 1.4826 * mad);
            for (uint32_t lat = static_cast<uint32_t>(std::ceil(edge)) - 1; lat <= edge + 1; ++lat) {
                Zone zone(9);
                Lat l = peers;
                l.push_back(lat);
                SlowDiskOutlierZoneResult r = zone.Run(l, Cfg(ratio, z));
                EXPECT_EQ(r.medianUs, static_cast<uint32_t>(median));
                EXPECT_EQ(r.outliers, lat >= edge ? 1u : 0u) << ratio << "/" << +z << " at " << lat;
                EXPECT_EQ(zone.h[8].outliers, r.outliers);
            }
        }
    }
}

// Declared when the outlier cycles of the window reach P x W (rounded up),
// once per episode, again after a clean window.
TEST(SlowDiskOutlierTest, DeclaredAtTheFractionOfTheWindowOncePerEpisode)
{
    const Lat slow{100, 100, 100, 100, 300}, calm(5, 100);
    for (uint8_t p : {10, 15, 33, 50, 100}) {
        SlowDiskOutlierConfig c = Cfg(150, 30, p, 7);  // 140 cycles
        uint32_t need = (140u * p + 99) / 100;
        ASSERT_EQ(SlowDiskOutlierNeededCycles(c), need);
        Zone zone(5);
        for (uint32_t i = 0; i + 1 < need; ++i) {  // spread over the window unless it takes all
            ASSERT_EQ(zone.Run(slow, c).declared + zone.Run(calm, c, need < 140).declared, 0u) << +p;
        }
        EXPECT_EQ(zone.Run(slow, c).declared, 1u) << +p;
        EXPECT_TRUE(zone.m[4].declared);
        EXPECT_EQ(zone.Run(slow, c).declared, 0u) << "reported once";
        EXPECT_FALSE(zone.m[4].declared);
        EXPECT_EQ(zone.Run(calm, c, 140).declared, 0u);
        EXPECT_EQ(zone.Run(slow, c, need).declared, 1u) << "a clean window ends the episode";
        EXPECT_TRUE(zone.m[4].declared);
    }
}

// Most disks slower than their own baseline: nothing is marked although one
// disk stands out; once the baselines follow the new level, the peer
// comparison resumes.
TEST(SlowDiskOutlierTest, ZoneWideSlowdownDeclaresNone)
{
    SlowDiskOutlierConfig c = Cfg(150, 30, 10, 5);
    Zone zone(6);
    zone.Run(Lat(6, 100), c, 300);
    const Lat shifted{150, 180, 180, 180, 600, 100};  // 150: exactly R x 100
    SlowDiskOutlierZoneResult r = zone.Run(shifted, c);
    EXPECT_EQ(std::make_tuple(r.zoneWide, r.selfSlow, r.outliers), std::make_tuple(true, 5u, 0u));
    SlowDiskOutlierScore s[SLOW_DISK_OUTLIER_SCORE_NUM];
    ASSERT_EQ(SlowDiskOutlierRecentScores(zone.h[4], s, SLOW_DISK_OUTLIER_SCORE_NUM), 20u);
    EXPECT_EQ(s[19].flags, SLOW_DISK_OUTLIER_SCORE_SELF_SLOW | SLOW_DISK_OUTLIER_SCORE_ZONE_WIDE);
    Zone fresh(6);
    EXPECT_EQ(fresh.Run(shifted, c).outliers, 1u) << "without own histories a plain outlier";
    for (uint32_t i = 0; i < 21; ++i) fresh.Run(Lat(6, i % 2 ? 110 : 90), c);
    EXPECT_NEAR(fresh.h[0].baselineFx / 256.0, (150 + 11 * 90 + 10 * 110) / 22.0, 0.2);

    // The 180 disks stay at R x their baseline until 1 - (255/256)^k of the
    // step is taken up (73 cycles); the 600 disk alone is no majority.
    int cycles = 1;
    while (zone.Run(shifted, c).zoneWide && cycles < 2000) ++cycles;
    EXPECT_NEAR(cycles, std::log(0.75) / std::log(255.0 / 256.0), 3);
    zone.Run(shifted, c, 10);
    EXPECT_TRUE(zone.h[4].reported);
}

// The window count matches a plain count of what was fed, across ring wraps
// and window changes.
TEST(SlowDiskOutlierTest, WindowCountSurvivesWrapsAndWindowChanges)
{
    Zone zone(5);
    std::vector<uint32_t> prefix{0};  // outlier cycles fed before each cycle
    uint32_t seed = 1;
    for (uint8_t w : {240, 5, 60, 7, 240, 13, 100, 240}) {
        for (int i = 0; i < 1500; ++i) {
            seed = seed * 1103515245u + 12345u;
            bool slow = (seed >> 16) % 2 == 0;
            zone.Run({100, 100, 100, 100, slow ? 300u : 100u}, Cfg(150, 30, 100, w));
            prefix.push_back(prefix.back() + (slow ? 1 : 0));
            size_t span = std::min<size_t>(w * 20u, prefix.size() - 1);
            ASSERT_EQ(zone.h[4].outliers, prefix.back() - prefix[prefix.size() - 1 - span]) << +w;
            ASSERT_EQ(zone.h[4].countedWindow, w * 20u);  // the operator sees "of the last N"
        }
    }
}

TEST(SlowDiskOutlierTest, SampleAndConfigRanges)
{
    // Read/write IOPS and delays -> IOPS, latency: weighted, and clamped.
    for (const auto &c : {std::array<uint64_t, 6>{100, 300, 100, 200, 400, 175}, {1, 0, UINT64_MAX, 0, 1, UINT32_MAX}}) {
        SlowDiskOutlierSample s = SlowDiskOutlierSampleOf({c[0], c[1], 0, 0, c[2], c[3], 3, 9, 5});
        EXPECT_EQ(std::make_pair(s.iops, uint64_t{s.latencyUs}), std::make_pair(c[4], c[5])) << c[0];
    }
    const SlowDiskOutlierConfig def = SlowDiskOutlierDefaultConfig(2);
    EXPECT_EQ(SlowDiskOutlierNeededCycles(def), 600u);
    for (uint32_t f = 0; f < SLOW_DISK_OUTLIER_FIELD_NUM; ++f) {
        const SlowDiskOutlierFieldInfo &info = g_slowDiskOutlierFields[f];
        for (uint32_t v : {info.min - 1, info.min, info.max, info.max + 1}) {
            SlowDiskOutlierConfig c = def;
            SlowDiskOutlierFieldSet(&c, f, v);
            EXPECT_EQ(SlowDiskOutlierConfigValid(c), v >= info.min && v <= info.max) << v;
        }
    }
    EXPECT_FALSE(SlowDiskOutlierConfigValid(SlowDiskOutlierDefaultConfig(4)));
}

}  // namespace
