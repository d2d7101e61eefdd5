// The evaluator on a committed slice of real traces: one hour of a host with
// a labelled fail-slow drive and of a host without one.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "replay_engine.h"
#include "replay_report.h"
#include "support/persist_files.h"

namespace {

struct SliceRun {
    std::vector<ReplayHost> hosts;
};

SliceRun RunSlice(const ReplayOptions &o) {
    SliceRun r;
    for (const char *name : {"host_22", "host_1"}) {
        TraceHost trace;
        std::string err;
        EXPECT_EQ(TraceReadHost(std::string(SPK_REPLAY_DATA) + "/" + name, &trace, &err), 0) << err;
        EXPECT_TRUE(trace.problems.empty());
        r.hosts.emplace_back();
        EXPECT_EQ(ReplayRunHost(trace, o, &r.hosts.back(), &err), 0) << err;
    }
    return r;
}

TEST(ReplaySlice, OutlierModeDeclaresOnlyTheLabelledDriveWithinTheHour) {
    ReplayLabels labels;
    std::string err;
    ASSERT_EQ(ReplayReadLabels(std::string(SPK_REPLAY_DATA) + "/labels.csv", &labels, &err), 0);
    SliceRun r = RunSlice(ReplayOptions{});
    ASSERT_EQ(r.hosts.size(), 2u);
    for (const ReplayHost &h : r.hosts) {
        EXPECT_EQ(h.traceCycles, 240u * kReplayCyclesPerSample);
        ASSERT_EQ(h.drives.size(), 6u);
        for (const ReplayDrive &d : h.drives) {
            bool labelled = ReplayIsLabelled(labels, h.name, d.name);
            SCOPED_TRACE(h.name + "/" + d.name);
            EXPECT_FALSE(d.mode[REPLAY_MODE_WRITTEN].declared);
            EXPECT_EQ(d.mode[REPLAY_MODE_OUTLIER].declared, labelled);
            // Sub-millisecond SSD latencies never reach the written rule's
            // service-time threshold.
            EXPECT_GT(d.gates.cycles, 0u);
            EXPECT_EQ(d.gates.svctm, d.gates.cycles);
            EXPECT_EQ(d.gates.candidate, 0u);
        }
    }
    const ReplayDecision &slow = r.hosts[0].drives[4].mode[REPLAY_MODE_OUTLIER];
    ASSERT_EQ(r.hosts[0].drives[4].name, "disk11");
    // At least P x W (30 minutes) of outlier cycles, and within the hour.
    EXPECT_GE(slow.traceHours, 0.5);
    EXPECT_LE(slow.traceHours, 1.0);
    EXPECT_EQ(slow.count, 1u);  // latched: one declaration per episode

    for (uint32_t m = 0; m < REPLAY_MODE_NUM; ++m) {
        ReplayScore s = ReplayScoreHost(r.hosts[0], labels, m, 0);
        EXPECT_EQ(s.falsePositives + ReplayScoreHost(r.hosts[1], labels, m, -1).declared, 0u);
        EXPECT_EQ(s.truePositives, m == REPLAY_MODE_OUTLIER ? 1u : 0u);
        EXPECT_EQ(s.falseNegatives, m == REPLAY_MODE_OUTLIER ? 0u : 1u);
    }

    cJSON *doc =
        cJSON_Parse(ReplayJson(r.hosts, &labels, ReplayOptions{}, ReplayRunFigures{}).c_str());
    ASSERT_NE(doc, nullptr);
    cJSON *drive = cJSON_GetArrayItem(
        cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(doc, "hosts"), 0), "drives"), 4);
    cJSON *outlier = cJSON_GetObjectItem(drive, "outlier");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(drive, "labelled")));
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(outlier, "declared")));
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(outlier, "first_day")), "2022-07-18");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(drive, "drive")), "disk11");
    cJSON *hosts = cJSON_GetObjectItem(doc, "hosts");
    cJSON *slowAll =
        cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetArrayItem(hosts, 0), "all"), "outlier");
    cJSON *cleanAll =
        cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetArrayItem(hosts, 1), "all"), "outlier");
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(slowAll, "tp")), 1.0);
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(slowAll, "precision")), 1.0);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(cleanAll, "precision")));  // nothing declared
    cJSON_Delete(doc);
}

TEST(ReplaySlice, OptionsReachTheModesAndOutOfRangeOnesAreRefused) {
    ReplayOptions strict;
    strict.ratio = 3.0;  // disk11 runs well under 3x its peers
    strict.outlierSet[0] = true;
    SliceRun r = RunSlice(strict);
    EXPECT_FALSE(r.hosts[0].drives[4].mode[REPLAY_MODE_OUTLIER].declared);

    ReplayOptions bad[4];
    bad[0].drmType = 4;
    bad[1].ioSize = 0;
    bad[2].fraction = 1.5;
    bad[2].outlierSet[2] = true;
    bad[3].windowMin = 2;
    bad[3].outlierSet[3] = true;
    TraceHost empty;
    for (const ReplayOptions &o : bad) {
        ReplayHost out;
        std::string err;
        EXPECT_EQ(ReplayRunHost(empty, o, &out, &err), -1);
        EXPECT_FALSE(err.empty());
    }
    TraceHost crowded;
    crowded.drives.assign(129, "disk");  // one more than a zone holds
    ReplayHost out;
    std::string err;
    EXPECT_EQ(ReplayRunHost(crowded, ReplayOptions{}, &out, &err), -1);
    EXPECT_NE(err.find("at most 128"), std::string::npos);
}

TEST(ReplaySlice, LabelsFileErrorsNameTheLine) {
    TempDir dir;
    const std::pair<const char *, const char *> cases[] = {
        {"host,disk\nh,d\n", ":1: header"},
        {"cluster,host_name,disk_id\nc,host_1,disk1\nc,host_2\n", ":3: no host_name"},
        {"host_name,disk_id\nhost_1,\n", ":2: no host_name"},
    };
    for (const auto &[text, where] : cases) {
        WriteFileText(dir.Join("labels.csv"), text);
        ReplayLabels labels;
        std::string err;
        EXPECT_EQ(ReplayReadLabels(dir.Join("labels.csv"), &labels, &err), -1) << text;
        EXPECT_NE(err.find(where), std::string::npos) << err;
    }
}

}  // namespace
