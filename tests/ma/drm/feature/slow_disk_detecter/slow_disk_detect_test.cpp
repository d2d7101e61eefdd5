#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"

#include <map>
#include <tuple>

#include "ma/drm/feature/drm_feature_fixture.h"

namespace {

// One sample as the rule sees it.
struct S {
    uint32_t svctm;
    uint16_t util = 95;
    uint16_t busy = 40;
    uint64_t bw = 1000;  // KiB/s
    uint64_t iops = 100;
};

TEST(SlowDiskRuleTest, SuspectRuleAtItsBoundaries)
{
    const SlowDiskConfig cfg{1, 1, 10};  // SAS SSD: 1 ms, 10 cycles; limit 300 MiB/s
    const uint32_t peer = 400, five = 5 * peer, ms = 1000;  // the slowest must reach 5x the others
    // Name, samples, index of the suspect or -1, candidates.
    const std::tuple<const char *, std::vector<S>, int, uint32_t> cases[] = {
        {"exactly 5x", {{peer, 10, 1}, {five}, {peer, 10, 1}}, 1, 1},
        {"one under 5x", {{peer, 10, 1}, {five - 1}, {peer, 10, 1}}, -1, 1},
        {"single disk zone", {{ms}}, 0, 1},
        {"busy 30", {{five, 95, 30}}, 0, 1},
        {"busy 29", {{five, 95, 29}}, -1, 0},
        {"util 90", {{five, 90}}, 0, 1},
        {"util 89", {{five, 89}}, -1, 0},
        {"bandwidth over limit", {{five, 95, 40, 300ull * 1024 + 1}}, -1, 0},
        {"idle disk is no peer", {{five}, {9999, 10, 1, 0, 0}}, 0, 1},
        // The candidate is slow, but a busier-looking peer has the highest svctm: the mark
        // goes to the peer, as long as it also passes the 5x test.
        {"max disk is not the candidate", {{ms}, {20 * ms, 50, 1}, {100, 10, 1}}, 1, 1},
    };
    constexpr uint32_t kCycle = 7;
    for (const auto &[name, samples, suspect, candidates] : cases) {
        SlowDiskIoHistory h[3] = {};
        SlowDiskMemberView v[3];
        for (size_t i = 0; i < samples.size(); ++i) {
            const S &s = samples[i];
            SlowDiskIoFigures io{s.iops, 0, s.bw, 0, s.busy, s.svctm, s.util};
            SlowDiskRecordSample(&h[i], kCycle, &io);
            v[i] = {static_cast<uint32_t>(10 + i), &h[i]};
        }
        SlowDiskSuspectResult r = SlowDiskFindSuspect(v, static_cast<uint32_t>(samples.size()), kCycle,
                                                      cfg, SlowDiskBandwidthLimit(1));
        EXPECT_EQ(r.candidateCount, candidates) << name;
        EXPECT_EQ(r.found ? static_cast<int>(r.index) : -1, suspect) << name;
        EXPECT_EQ(r.found ? r.diskId : 10u + suspect, 10u + suspect) << name;
        for (size_t i = 0; i < samples.size(); ++i) {  // the bit lands on the suspect only
            EXPECT_EQ(SlowDiskBitGet(h[i].slowBits, kCycle), suspect == static_cast<int>(i)) << name;
        }
    }
}

TEST(SlowDiskRuleTest, ConfigOutsideItsRangesIsRefusedAndChangesNothing)
{
    SlowDiskConfig good{3, 1, 10}, bad{3, 1, 9};
    ASSERT_EQ(DrmSlowDiskDetectSetConfig(&good), 0);
    EXPECT_EQ(DrmSlowDiskDetectSetConfig(&bad), -1);
    EXPECT_EQ(memcmp(DrmSlowDiskDetectGetConfig(3), &good, sizeof(good)), 0);
    EXPECT_EQ(DrmSlowDiskDetectGetConfig(4), nullptr);
}

// ---- through the adapter and the data store --------------------------------

struct Load {
    uint32_t iops, svctm, busy;
};
constexpr Load kNormal{1000, 100, 2};  // util 10 %
constexpr Load kSlow{200, 4750, 40};   // util 95 %, 1 ms threshold passed

class SlowDiskTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override
    {
        SetUpFeature(DrmClassicalSlowDiskDetectV2Init, DrmClassicalSlowDiskDetectV2Fin);
        ASSERT_EQ(DrmSlowDiskDetectSetSwitch(1), 0);
        SlowDiskConfig cfg{DRM_DISK_TYPE_SAS_SSD, 1, 10};
        ASSERT_EQ(DrmSlowDiskDetectSetConfig(&cfg), 0);
    }

    // Feeds each disk one second of its load as its next IO frame, then runs
    // one detection run; `times` times.
    void Cycle(const std::map<std::string, Load> &loads, int times = 1)
    {
        for (; times > 0; --times) {
            for (const auto &[sn, l] : loads) {
                DiskIoInfoFrame &f = frames_[sn];
                f = {f.bytes_read + 4096ull * l.iops, 0, f.num_read_ops + l.iops, 0, 0, 0, 0, l.busy,
                     f.ticks + 1000, 1000, f.io_time + static_cast<uint64_t>(l.iops) * l.svctm};
                (void)DiskIoStatInfoSet(drmfeat::Sn(sn).Ref(), &f);
            }
            DrmSlowDiskDetectAnalyse(0);
        }
    }

    SlowDiskIoHistory *History(uint32_t id)
    {
        void *h = nullptr;
        EXPECT_EQ(getFeatureLocPrivateData(id, DRM_FEATURE_SLOW_DISK, &h), 0);
        return static_cast<SlowDiskIoHistory *>(h);
    }

    std::map<std::string, DiskIoInfoFrame> frames_;
};

// A peer's 5 old marks block the report until the ring overwrites the first of
// them; the slow disk is declared in exactly that run.
TEST_F(SlowDiskTest, PeerMarksBlockUntilTheRingWraps)
{
    uint32_t a = AddDisk("SN-A", DISK_TYPE_SSD_SAS);
    uint32_t b = AddDisk("SN-B", DISK_TYPE_SSD_SAS);
    uint32_t c = AddDisk("SN-C", DISK_TYPE_SSD_SAS);  // no IO statistics ever
    Cycle({{"SN-A", kNormal}, {"SN-B", kNormal}});       // first frames only seed
    Cycle({{"SN-A", kNormal}, {"SN-B", kSlow}}, 5);      // B: cycles 2..6
    Cycle({{"SN-A", kSlow}, {"SN-B", kNormal}}, 95);     // A: 7..99, 0, 1
    EXPECT_EQ(std::make_pair(SlowDiskSlowCount(History(a)), SlowDiskSlowCount(History(b))), std::make_pair(95u, 5u));
    EXPECT_EQ(State(a), DISK_STATE_NORMAL);
    agent_->ClearRequests();
    Cycle({{"SN-A", kSlow}, {"SN-B", kNormal}});  // index 2: B's first mark overwritten
    EXPECT_EQ(std::vector<uint32_t>({State(a), State(b), State(c)}),
              std::vector<uint32_t>({DISK_STATE_SLOW, DISK_STATE_NORMAL, DISK_STATE_NORMAL}));
    EXPECT_EQ(Sent(), "set_disk_state SN-A 4\nset_disk_handle_strategy SN-A Migrate data and replace the hard disk\n");
}

TEST_F(SlowDiskTest, DiskOutLeavesNoMemberOrHistoryAndReInKeepsHistory)
{
    uint32_t a = AddDisk("SN-A", DISK_TYPE_SSD_SAS);
    uint32_t ids[8];
    ASSERT_EQ(DrmSlowDiskDetectZoneMembers(DRM_DISK_TYPE_SAS_SSD, ids, 8), 1);
    SlowDiskIoHistory *h = History(a);
    DrmSlowDiskDetectorDiskEventHandle(a, DRM_DISK_EVENT_IN);  // repeated disk-in
    drmtest::RunWorkers();
    EXPECT_EQ(History(a), h);
    DropDisk(a, "SN-A");
    EXPECT_EQ(DrmSlowDiskDetectZoneMembers(DRM_DISK_TYPE_SAS_SSD, ids, 8), 0);
    EXPECT_EQ(History(a), nullptr);
}

TEST_F(SlowDiskTest, DiagnoseCommandsListZonesAndHistories)
{
    for (int i = 0; i < 20; ++i) AddDisk("SN-Z" + std::to_string(i), DISK_TYPE_SSD_SATA);
    Cycle({{"SN-Z3", kNormal}}, 2);
    drmtest::Reply zone = drmtest::Diag({"u_drm_slow_disk", "showdiskinzone", "0"});
    EXPECT_EQ(zone.text, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\n16,17,18,19\n");
    EXPECT_EQ(zone.status, DBG_STATUS_OK);
    auto firstLine = [](const std::vector<std::string> &args) {
        std::string text = drmtest::Diag(args).text;
        return text.substr(0, text.find('\n'));
    };
    EXPECT_EQ(firstLine({"u_drm_slow_disk", "showdiskinzone"}), "lack param.");
    EXPECT_EQ(firstLine({"u_drm_slow_disk", "showdiskiostat", "77"}), "disk(77) iostat not exist.");
    drmtest::Reply r = drmtest::Diag({"u_drm_slow_disk", "showdiskiostat", "3"});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    EXPECT_EQ(std::count(r.text.begin(), r.text.end(), '\n'), 32);
    // Cycle 2 holds the second frame's sample: 1000 IOPS at 100 us.
    EXPECT_NE(r.text.find("     iops:         0         0      1000"), std::string::npos) << r.text;
}

}  // namespace
