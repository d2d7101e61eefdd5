// The evaluator on a committed slice of real traces (one hour of a host with
// a labelled fail-slow drive and of a host without one): its JSON report, and
// a labels file without a host column and options out of range refused. Its
// decisions and score table are checked through the command line
// (replay_cli_check.sh).
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>

#include "replay_engine.h"
#include "replay_report.h"

namespace {

const cJSON *At(const cJSON *o, const char *key, int i = -1)
{
    const cJSON *item = cJSON_GetObjectItem(o, key);
    return i < 0 ? item : cJSON_GetArrayItem(item, i);
}

TEST(ReplaySlice, JsonReportNamesAndScoresTheLabelledDrive)
{
    ReplayLabels labels;
    std::string err;
    // A trace day file has a disk_id column but no host_name one.
    EXPECT_EQ(ReplayReadLabels(SPK_REPLAY_DATA "/host_1/2022-07-18.csv", &labels, &err), -1);
    EXPECT_NE(err.find("2022-07-18.csv:1: header has no host_name"), std::string::npos) << err;
    ASSERT_EQ(ReplayReadLabels(std::string(SPK_REPLAY_DATA) + "/labels.csv", &labels, &err), 0) << err;
    std::vector<ReplayHost> hosts;
    for (const char *name : {"host_22", "host_1"}) {
        TraceHost trace;
        ASSERT_EQ(TraceReadHost(std::string(SPK_REPLAY_DATA) + "/" + name, &trace, &err), 0) << err;
        hosts.emplace_back();
        ASSERT_EQ(ReplayRunHost(trace, ReplayOptions{}, &hosts.back(), &err), 0) << err;
    }
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(
        cJSON_Parse(ReplayJson(hosts, &labels, ReplayOptions{}, ReplayRunFigures{}).c_str()), cJSON_Delete);
    const cJSON *drive = At(At(doc.get(), "hosts", 0), "drives", 4);
    EXPECT_STREQ(cJSON_GetStringValue(At(drive, "drive")), "disk11");
    EXPECT_TRUE(cJSON_IsTrue(At(drive, "labelled")));
    EXPECT_TRUE(cJSON_IsTrue(At(At(drive, "outlier"), "declared")));
    EXPECT_STREQ(cJSON_GetStringValue(At(At(drive, "outlier"), "first_day")), "2022-07-18");
    const cJSON *slowAll = At(At(At(doc.get(), "hosts", 0), "all"), "outlier");
    EXPECT_EQ(cJSON_GetNumberValue(At(slowAll, "tp")), 1.0);
    EXPECT_EQ(cJSON_GetNumberValue(At(slowAll, "precision")), 1.0);
    EXPECT_TRUE(cJSON_IsNull(At(At(At(At(doc.get(), "hosts", 1), "all"), "outlier"), "precision")))
        << "nothing declared on the clean host";
}

TEST(ReplaySlice, OutOfRangeOptionsAreRefused)
{
    // The last one is good: its host has too many drives.
    const ReplayOptions bad[] = {{.drmType = 4}, {.ioSize = 0},
                                 {.fraction = 1.5, .outlierSet = {false, false, true}},
                                 {.windowMin = 2, .outlierSet = {false, false, false, true}}, {}};
    TraceHost crowded;
    crowded.drives.assign(129, "disk");  // one more than a zone holds
    for (const ReplayOptions &o : bad) {
        ReplayHost out;
        std::string err;
        EXPECT_EQ(ReplayRunHost(&o == &bad[4] ? crowded : TraceHost{}, o, &out, &err), -1);
        EXPECT_NE(err.find(&o == &bad[4] ? "at most 128" : ""), std::string::npos) << err;
        EXPECT_FALSE(err.empty());
    }
}

}  // namespace
