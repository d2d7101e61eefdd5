#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_init.h"

#include <string>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "ma/drm/drm_test_env.h"

namespace {

std::string g_calls;
int g_failAt = -1;

// Stage `i` records "i<i>" when it starts and "f<i>" when it is undone.
int Stage(const char *what, int i)
{
    g_calls += what + std::to_string(i);
    return *what == 'i' && i == g_failAt ? 1 : 0;
}

// Stages 0..3 stand for the framework, 4..6 for the three features.
const DrmInitStage kFramework[] = {{"s0", [] { return Stage("i", 0); }, [] { return Stage("f", 0); }, "fail 0"},
                                   {"s1", [] { return Stage("i", 1); }, [] { return Stage("f", 1); }, "fail 1"},
                                   {"s2", [] { return Stage("i", 2); }, nullptr, "fail 2"},
                                   {"s3", [] { return Stage("i", 3); }, [] { return Stage("f", 3); }, "fail 3"}};
const DrmInitStage kFeatures[] = {{"f4", [] { return Stage("i", 4); }, [] { return Stage("f", 4); }, "fail 4"},
                                  {"f5", [] { return Stage("i", 5); }, [] { return Stage("f", 5); }, "fail 5"},
                                  {"f6", [] { return Stage("i", 6); }, [] { return Stage("f", 6); }, "fail 6"}};

TEST(DrmInitTest, FailureAtAnyStageUndoesTheEarlierOnesInReverse)
{
    for (g_failAt = 0; g_failAt < 7; ++g_failAt) {
        g_calls.clear();
        EXPECT_EQ(DrmBringUp(kFramework, 4, kFeatures, 3), -1) << g_failAt;
        std::string want;
        for (int i = 0; i <= g_failAt; ++i) want += "i" + std::to_string(i);
        for (int i = g_failAt - 1; i >= 0; --i) want += i != 2 ? "f" + std::to_string(i) : "";
        EXPECT_EQ(g_calls, want);
    }
    ASSERT_EQ(DrmBringUp(kFramework, 4, kFeatures, 3), 0);
    g_calls.clear();
    DrmFiniStages(kFeatures, 3);
    DrmFiniStages(kFramework, 4);
    EXPECT_EQ(g_calls, "f6f5f4f3f1f0");
}

// The real bring-up: whichever host allocation fails (pools, the scheduler
// timer, the local data partition) or when the "drm" diagnose group is
// taken, nothing of the framework stays behind.
TEST(DrmInitTest, RealBringUpLeavesNothingWhenAStageFails)
{
    if (!KeeperOsInstalled()) {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);  // the data store's lock comes from it
    }
    HostTimersManual(true);
    auto leftovers = [] {
        void *p = nullptr;
        return std::string(DrmTimerCount() != 0 ? "timers " : "") +
               (DRM_MALLOC_LV(8) != nullptr ? "pools " : "") +
               (getFeatureLocPrivateData(0, 0, &p) == 0 ? "local-data " : "") +
               (DBG_UnRegCmd("drm") == 0 ? "drm-group" : "");
    };
    uint32_t nth = 1;
    for (int ret = -1; ret != 0 && nth < 50; ++nth) {
        HostMmFailAlloc(nth, false);
        ret = SpindleKeepInitDrm();
        HostMmFailAlloc(0, false);
        EXPECT_EQ(ret == 0 ? "" : leftovers(), "") << "allocation " << nth;
    }
    // Eight pools, the timer and the partition come first; some allocation fits.
    ASSERT_TRUE(nth >= 12 && nth < 50) << nth;
    EXPECT_EQ(DrmTimerCount(), 1u);
    EXPECT_EQ(SpindleKeepFiniDrm(), 0);
    EXPECT_EQ(leftovers(), "");
    DBG_CmdGroup taken = {"drm", "taken", [](int, char **) { return 0; }, nullptr};
    ASSERT_EQ(DBG_RegCmd(&taken), 0);
    EXPECT_EQ(SpindleKeepInitDrm(), -1);
    ASSERT_EQ(DBG_UnRegCmd("drm"), 0);
    EXPECT_EQ(leftovers(), "");
    HostTimersReset();
}

}  // namespace
