#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"

#include "ma/drm/feature/drm_feature_fixture.h"

namespace {

class LifeMonitorTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override
    {
        SetUpFeature(DrmDiskLifeMonitorInit, DrmDiskLifeMonitorFin);
        DrmDiskLifeMonitorSetScheduleTime(DRM_LIFE_DEFAULT_SCHEDULE_S);
    }

    static void Run(int n = 1)
    {
        for (int i = 0; i < n; ++i) DrmDiskLifeMonitorAnalyse(0, 0);
    }

    static DiskHealthInfo Health(uint64_t poh, uint32_t wear)  // wear in hundredths of a percent
    {
        DiskHealthInfo h{};
        h.powerOnHours = poh;
        h.wearInt = wear / 100;
        h.wearDec = wear % 100;
        return h;
    }

    static DiskDrmInfo Drm(uint32_t id)
    {
        DiskDrmInfo d{};
        EXPECT_EQ(DiskDrmInfoGet(id, &d), 0);
        return d;
    }
};

TEST_F(LifeMonitorTest, PredictionScoreAndStateAtTheirBoundaries)
{
    // At 50.00 % wear the remaining life is powerOnHours + 10. The state and
    // score boundaries themselves belong to the adapter and are pinned there.
    struct Case {
        uint64_t poh;
        uint32_t wear;
        uint32_t remaining, score, state;
    } cases[] = {
        {5000, 0, 43800, 100, DISK_STATE_NORMAL},
        {1000, 5000, 1010, 100, DISK_STATE_NORMAL},
        {2000, 9900, 20, 37, DISK_STATE_FAULT},
        {25 - 10, 5000, 25, 37, DISK_STATE_PREFAIL},
        {43801 - 10, 5000, 43800, 100, DISK_STATE_NORMAL},  // capped
        {100, 1, 43800, 100, DISK_STATE_NORMAL},             // 0.01 %: capped
        {100, 10001, 0, 37, DISK_STATE_FAULT},                // past 100 %: still 0
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string sn = "SN-L" + std::to_string(n++);
        uint32_t id = AddDisk(sn, n % 2 == 0 ? DISK_TYPE_SSD_NVME : DISK_TYPE_SSD_SAS);
        SetHealth(sn, Health(c.poh, c.wear));
        Run();
        EXPECT_EQ(Drm(id).remainingLife, c.remaining) << c.poh << "h " << c.wear;
        EXPECT_EQ(Drm(id).healthScore, c.score) << c.poh << "h " << c.wear;
        EXPECT_EQ(State(id), c.state) << c.poh << "h " << c.wear;
    }
    std::vector<std::string> fault{"Replace the hard disk"};
    EXPECT_EQ(Sent("dma_set_disk_handle_strategy", "SN-L2", "disk_handle_strategy"), fault);
}

// A new disk without health is tried at every run until its health arrives;
// afterwards it is evaluated only on due runs.
TEST_F(LifeMonitorTest, NewDiskIsRetriedThenFollowsTheSchedule)
{
    DrmDiskLifeMonitorSetScheduleTime(20);  // due every 4th run
    uint32_t id = AddDisk("SN-N", DISK_TYPE_SSD_NVME);
    DiskDrmInfo unknown = Drm(id);
    Run(2);
    EXPECT_EQ(Drm(id).remainingLife, unknown.remainingLife) << "no health: nothing predicted";
    SetHealth("SN-N", Health(1000, 5000));
    Run();  // run 3: not due, but never evaluated
    EXPECT_EQ(Drm(id).remainingLife, 1010u);
    SetHealth("SN-N", Health(2000, 9900));
    Run();  // run 4: due
    EXPECT_EQ(Drm(id).remainingLife, 20u);
    SetHealth("SN-N", Health(1000, 5000));
    Run(3);
    EXPECT_EQ(Drm(id).remainingLife, 20u) << "runs 5-7 are not due";
    DrmDiskLifeMonitorSetScheduleTime(4);  // below one run: every run is due
    Run();
    EXPECT_EQ(Drm(id).remainingLife, 1010u);
    DropDisk(id, "SN-N");
    Run();  // the member is gone with the disk
}

}  // namespace
