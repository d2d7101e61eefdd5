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
        std::string prefix = g_env->dir + "/prefix";
        ASSERT_EQ(mkdir(prefix.c_str(), 0750), 0);
        ASSERT_EQ(mkdir((prefix + "/config").c_str(), 0750), 0);
        ASSERT_EQ(mkdir((prefix + "/userconfig_bak").c_str(), 0750), 0);
        ASSERT_EQ(SetConfigPrefix(prefix.c_str()), 0);
        ASSERT_EQ(InitConfig(), 0);
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

TEST_F(DcmFeatureStartTest, SwitchOffSubmitsNothing)
{
    ASSERT_EQ(SetSwitchConfig("feature_switch", 0), 0);
    StartQueryAgentScheduleTask();
    EXPECT_EQ(Running(), "---");
}

TEST_F(DcmFeatureStartTest, SwitchOnStartsBothAgentsAndTheScan)
{
    ASSERT_EQ(SetSwitchConfig("feature_switch", 1), 0);
    StartQueryAgentScheduleTask();
    EXPECT_EQ(Running(), "uks");
}

TEST_F(DcmFeatureStartTest, LaterFailureUndoesEarlierSubmissions)
{
    ASSERT_EQ(SetSwitchConfig("feature_switch", 1), 0);
    const struct {
        const char *what;
        bool kernelBusy;
        bool scanBusy;
    } cases[] = {{"kernel task already listed", true, false}, {"scan already running", false, true}};
    for (const auto &c : cases) {
        AgentInfo kernel = Kernel();
        if (c.kernelBusy) {
            ASSERT_EQ(SubmitQueryAgentScheduleTask(&kernel), 0) << c.what;
        }
        if (c.scanBusy) {
            ASSERT_EQ(SubmitScanAllAgentDeviceListScheduleTask(), 0) << c.what;
        }
        StartQueryAgentScheduleTask();
        // What the feature start submitted was taken back; what ran before still runs.
        std::string want = std::string("-") + (c.kernelBusy ? "k" : "-") + (c.scanBusy ? "s" : "-");
        EXPECT_EQ(Running(), want) << c.what;
        CancelAllQueryAgentScheduleTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
}

}  // namespace
