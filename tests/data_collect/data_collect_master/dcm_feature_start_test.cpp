// test-labels: concurrent
// The feature start of collection: what "feature_switch" decides, and the
// undo of the query tasks when a later submission fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "config/config.h"
#include "config/config_prefix.h"
#include "data_collect/data_collect_master/dcm_collect_fixture.h"
#include "data_collect/data_collect_master/dcm_schedule.h"

using namespace dcmtest;

namespace {

class DcmFeatureStartTest : public CollectTest {
protected:
    static void SetUpTestSuite()
    {
        CollectTest::SetUpTestSuite();
        if (!ready_) {
            return;
        }
        ready_ = false;
        std::string prefix = g_env->dir + "/prefix";
        ASSERT_EQ(mkdir(prefix.c_str(), 0750), 0);
        ASSERT_EQ(mkdir((prefix + "/config").c_str(), 0750), 0);
        ASSERT_EQ(mkdir((prefix + "/userconfig_bak").c_str(), 0750), 0);
        ASSERT_EQ(SetConfigPrefix(prefix.c_str()), 0);
        ASSERT_EQ(InitConfig(), 0);
        ready_ = true;
    }

    static AgentInfo User() { return DcmWellKnownAgentGet(DCM_AGENT_SPDK); }
    static AgentInfo Kernel() { return DcmWellKnownAgentGet(DCM_AGENT_DCAK); }

    // Which of (user task, kernel task, scan task) are running, as "uks" letters.
    static std::string Running()
    {
        AgentInfo user = User();
        AgentInfo kernel = Kernel();
        std::string out;
        out += SubmitQueryAgentScheduleTask(&user) == EALREADY ? "u" : "-";
        out += SubmitQueryAgentScheduleTask(&kernel) == EALREADY ? "k" : "-";
        out += SubmitScanAllAgentDeviceListScheduleTask() == EALREADY ? "s" : "-";
        return out;
    }
};

// Off submits nothing, on starts both agents and the scan; a later failed
// submission takes back what the start submitted and leaves what ran before.
TEST_F(DcmFeatureStartTest, SwitchAndUndoOfEarlierSubmissions)
{
    const struct {
        int on;
        bool kernelBusy, scanBusy;
        const char *running;
    } cases[] = {{0, false, false, "---"}, {1, false, false, "uks"}, {1, true, false, "-k-"},
                 {1, false, true, "--s"}};
    for (const auto &c : cases) {
        ASSERT_EQ(SetSwitchConfig("feature_switch", c.on), 0);
        AgentInfo kernel = Kernel();
        if (c.kernelBusy) {
            ASSERT_EQ(SubmitQueryAgentScheduleTask(&kernel), 0);
        }
        if (c.scanBusy) {
            ASSERT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0);
        }
        StartQueryAgentScheduleTask();
        EXPECT_EQ(Running(), c.running) << c.on << c.kernelBusy << c.scanBusy;
        CancelAllQueryAgentScheduleTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
}

}  // namespace
