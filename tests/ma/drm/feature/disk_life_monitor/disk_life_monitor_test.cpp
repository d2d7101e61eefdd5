#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"

#include <tuple>

#include "ma/drm/feature/drm_feature_fixture.h"

namespace {

class LifeMonitorTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override
    {
        SetUpFeature(DrmDiskLifeMonitorInit, DrmDiskLifeMonitorFin);
        DrmDiskLifeMonitorSetScheduleTime(DRM_LIFE_DEFAULT_SCHEDULE_S);
    }

    // Sets the disk's health (wear in hundredths of a percent) unless poh is
    // 0, runs the analyser `runs` times and returns the remaining life.
    uint32_t Run(const char *sn, uint32_t id, uint64_t poh, uint32_t wear, int runs = 1)
    {
        if (poh != 0) SetHealth(sn, DiskHealthInfo{poh, wear / 100, wear % 100, {}});
        for (int i = 0; i < runs; ++i) DrmDiskLifeMonitorAnalyse(0, 0);
        DiskDrmInfo d{};
        EXPECT_EQ(DiskDrmInfoGet(id, &d), 0);
        return d.remainingLife;
    }
};

TEST_F(LifeMonitorTest, PredictionScoreAndStateAtTheirBoundaries)
{
    // At 50.00 % wear the remaining life is powerOnHours + 10. The state and
    // score boundaries themselves belong to the adapter and are pinned there.
    // Power-on hours, wear in hundredths of a percent, remaining life, state.
    const std::tuple<uint64_t, uint32_t, uint32_t, uint32_t> cases[] = {
        {5000, 0, 43800, DISK_STATE_NORMAL},       {1000, 5000, 1010, DISK_STATE_NORMAL},
        {2000, 9900, 20, DISK_STATE_FAULT},        {25 - 10, 5000, 25, DISK_STATE_PREFAIL},
        {43801 - 10, 5000, 43800, DISK_STATE_NORMAL},  // capped
        {100, 1, 43800, DISK_STATE_NORMAL},             // 0.01 %: capped
        {100, 10001, 0, DISK_STATE_FAULT},              // past 100 %: still 0
    };
    int n = 0;
    for (auto [poh, wear, remaining, state] : cases) {
        std::string sn = "SN-L" + std::to_string(n++);
        uint32_t id = AddDisk(sn, n % 2 == 0 ? DISK_TYPE_SSD_NVME : DISK_TYPE_SSD_SAS);
        agent_->ClearRequests();
        EXPECT_EQ(Run(sn.c_str(), id, poh, wear), remaining) << poh << "h " << wear;
        EXPECT_EQ(State(id), state) << poh << "h " << wear;
    }
    EXPECT_EQ(Sent(), "set_disk_state SN-L6 1\nset_disk_handle_strategy SN-L6 Replace the hard disk\n");
}

// A new disk without health is tried at every run until its health arrives;
// afterwards it is evaluated only on due runs.
TEST_F(LifeMonitorTest, NewDiskIsRetriedThenFollowsTheSchedule)
{
    DrmDiskLifeMonitorSetScheduleTime(20);  // due every 4th run
    uint32_t id = AddDisk("SN-N", DISK_TYPE_SSD_NVME);
    EXPECT_EQ(Run("SN-N", id, 0, 0, 2), DISK_REMAINING_LIFE_UNKNOWN) << "no health: nothing predicted";
    EXPECT_EQ(Run("SN-N", id, 1000, 5000), 1010u) << "run 3: not due, but never evaluated";
    EXPECT_EQ(Run("SN-N", id, 2000, 9900), 20u) << "run 4: due";
    EXPECT_EQ(Run("SN-N", id, 1000, 5000, 3), 20u) << "runs 5-7 are not due";
    DrmDiskLifeMonitorSetScheduleTime(4);  // below one run: every run is due
    EXPECT_EQ(Run("SN-N", id, 1000, 5000), 1010u);
    DropDisk(id, "SN-N");
    DrmDiskLifeMonitorAnalyse(0, 0);  // the member is gone with the disk
}

}  // namespace
