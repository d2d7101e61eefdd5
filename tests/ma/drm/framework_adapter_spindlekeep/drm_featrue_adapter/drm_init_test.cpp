#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_init.h"

#include <string>
#include <vector>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_host/dbg_agent.h"
#include "ma/drm/drm_test_env.h"

namespace {

std::vector<std::string> g_calls;
int g_failAt = -1;

template <int I>
int StageInit()
{
    g_calls.push_back("init" + std::to_string(I));
    return I == g_failAt ? 1 : 0;
}

template <int I>
int StageFini()
{
    g_calls.push_back("fini" + std::to_string(I));
    return 0;
}

// Stages 0..3 stand for the framework, 4..6 for the three features.
const DrmInitStage kFramework[] = {
    {"s0", StageInit<0>, StageFini<0>, "fail 0"},
    {"s1", StageInit<1>, StageFini<1>, "fail 1"},
    {"s2", StageInit<2>, nullptr, "fail 2"},
    {"s3", StageInit<3>, StageFini<3>, "fail 3"},
};
const DrmInitStage kFeatures[] = {
    {"f4", StageInit<4>, StageFini<4>, "fail 4"},
    {"f5", StageInit<5>, StageFini<5>, "fail 5"},
    {"f6", StageInit<6>, StageFini<6>, "fail 6"},
};

TEST(DrmInitTest, FailureAtAnyStageUndoesTheEarlierOnesInReverse)
{
    for (int fail = 0; fail < 7; ++fail) {
        g_calls.clear();
        g_failAt = fail;
        EXPECT_EQ(DrmBringUp(kFramework, 4, kFeatures, 3), -1) << fail;
        std::vector<std::string> want;
        for (int i = 0; i <= fail; ++i) want.push_back("init" + std::to_string(i));
        for (int i = fail - 1; i >= 0; --i) {
            if (i != 2) want.push_back("fini" + std::to_string(i));
        }
        EXPECT_EQ(g_calls, want) << "failing stage " << fail;
    }
    g_failAt = -1;
    g_calls.clear();
    ASSERT_EQ(DrmBringUp(kFramework, 4, kFeatures, 3), 0);
    g_calls.clear();
    DrmFiniStages(kFeatures, 3);
    DrmFiniStages(kFramework, 4);
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"fini6", "fini5", "fini4", "fini3", "fini1", "fini0"}));
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
        std::string out;
        if (DrmTimerCount() != 0) out += "timers ";
        if (DRM_MALLOC_LV(8) != nullptr) out += "pools ";
        void *p = nullptr;
        if (getFeatureLocPrivateData(0, 0, &p) == 0) out += "local-data ";
        if (DBG_UnRegCmd("drm") == 0) out += "drm-group ";
        return out;
    };
    uint32_t nth = 1;
    for (;; ++nth) {
        HostMmFailAlloc(nth, false);
        int ret = SpindleKeepInitDrm();
        HostMmFailAlloc(0, false);
        if (ret == 0) break;
        EXPECT_EQ(leftovers(), "") << "allocation " << nth;
        ASSERT_LT(nth, 50u);
    }
    EXPECT_GE(nth, 11u) << "eight pools, the timer and the partition come first";
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
