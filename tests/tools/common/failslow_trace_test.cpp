#include "failslow_trace.h"

#include <gtest/gtest.h>

#include "support/persist_files.h"

namespace {

constexpr const char *kHeader = "\"ts\",\"disk_id\",\"throughput\",\"latency\"\n";

bool HasProblem(const TraceHost &h, const std::string &prefix) {
    for (const std::string &p : h.problems) {
        if (p.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(FailslowTraceReader, BadRowsAreReportedByFileAndLineAndTheRestIsKept) {
    TempDir dir;
    WriteFileText(dir.Join("2022-07-18.csv"),
                  std::string(kHeader) +
                      "1000,\"disk1\",4096000,50\n"   // 2: good
                      "1000,\"disk2\",NA,70\n"        // 3: NA
                      "1015,\"disk1\",4096000\n"      // 4: three fields
                      "1015,\"disk2\",abc,70\n"       // 5: not a number
                      "1030,\"disk1\",100,-3\n"       // 6: negative
                      "1030,\"disk2\",2048,80.5\r\n"  // 7: good, CRLF
                      "1000,\"disk1\",1,1\n");        // 8: second sample of a slot
    TraceHost h;
    std::string err;
    ASSERT_EQ(TraceReadHost(dir.Path() + "/", &h, &err), 0) << err;
    EXPECT_EQ(h.rows, 7u);
    EXPECT_EQ(h.naRows, 1u);
    EXPECT_EQ(h.badRows, 4u);
    ASSERT_EQ(h.problems.size(), 4u);
    for (const char *where :
         {"2022-07-18.csv:4: expected 4 fields", "2022-07-18.csv:5: bad throughput",
          "2022-07-18.csv:6: bad latency", "2022-07-18.csv:8: second sample"}) {
        EXPECT_TRUE(HasProblem(h, where)) << where;
    }
    ASSERT_EQ(h.windows.size(), 1u);
    const TraceWindow &w = h.windows[0];
    ASSERT_EQ(w.slotCount, 3u);
    EXPECT_TRUE(w.slots[0][0].valid);
    EXPECT_DOUBLE_EQ(w.slots[0][0].throughput, 4096000.0);  // the first of the duplicates wins
    EXPECT_FALSE(w.slots[1][0].valid);                      // NA
    EXPECT_FALSE(w.slots[0][1].valid);                      // bad rows leave the slot empty
    EXPECT_FALSE(w.slots[0][2].valid);
    EXPECT_TRUE(w.slots[1][2].valid);
    EXPECT_DOUBLE_EQ(w.slots[1][2].latencyUs, 80.5);
}

TEST(FailslowTraceReader, WindowsSplitAtGapsInTimeOrderWithDrivesInNumericOrder) {
    TempDir dir;
    // The later day is written first; a gap above the limit splits a file.
    WriteFileText(dir.Join("2022-07-20.csv"), std::string(kHeader) + "90000,disk10,1,1\n");
    WriteFileText(dir.Join("2022-07-19.csv"),
                  std::string(kHeader) + "1000,disk2,1,1\n1015,disk10,1,1\n" +
                      std::to_string(1015 + kTraceWindowGapSeconds) + ",disk2,1,1\n" +
                      std::to_string(1316 + kTraceWindowGapSeconds) + ",disk2,1,1\n");
    WriteFileText(dir.Join("notes.txt"), "not a trace\n");
    WriteFileText(dir.Join("2022-07-21.csv"), "time,drive,tp,lat\n1,disk1,1,1\n");
    TraceHost h;
    std::string err;
    ASSERT_EQ(TraceReadHost(dir.Path(), &h, &err), 0) << err;
    EXPECT_EQ(h.drives, (std::vector<std::string>{"disk2", "disk10"}));
    EXPECT_EQ(TraceDriveIndex(h, "disk10"), 1);
    EXPECT_EQ(TraceDriveIndex(h, "disk1"), -1);  // only in the skipped file
    EXPECT_TRUE(HasProblem(h, "2022-07-21.csv:1: header"));
    ASSERT_EQ(h.windows.size(), 3u);
    // 300 s apart stays one window (slots 0..21), 301 s starts a new one.
    EXPECT_EQ(h.windows[0].start, 1000);
    EXPECT_EQ(h.windows[0].slotCount, 22u);
    EXPECT_TRUE(h.windows[0].slots[0][21].valid);
    EXPECT_EQ(h.windows[1].start, 1316 + kTraceWindowGapSeconds);
    EXPECT_EQ(h.windows[2].file, "2022-07-20.csv");
    EXPECT_FALSE(h.windows[2].slots[0][0].valid);  // disk2 has no row on that day
    EXPECT_TRUE(h.windows[2].slots[1][0].valid);

    TempDir empty;
    EXPECT_EQ(TraceReadHost(empty.Path(), &h, &err), -1);
    EXPECT_NE(err.find("no .csv"), std::string::npos);
    EXPECT_EQ(TraceReadHost(empty.Join("absent"), &h, &err), -1);
    WriteFileText(empty.Join("2022-07-18.csv"), std::string(kHeader) + "1000,disk1,x,1\n");
    EXPECT_EQ(TraceReadHost(empty.Path(), &h, &err), -1);  // nothing usable is an error too
    EXPECT_EQ(h.problems.size(), 1u);
}

TEST(FailslowTraceModel, StepFollowsTheStatedModel) {
    struct Row {
        double throughput, latencyUs, interval;
        uint32_t ioSize;
        double ops, busyUs, inFlight;
    };
    const Row rows[] = {
        {4096000, 50, 3, 4096, 3000, 150000, 0.05},  // 1000 IOPS x 50 us
        {8192000, 100, 3, 8192, 3000, 300000, 0.1},  // a larger IO halves the ops
        {4096000, 5000, 3, 4096, 3000, 3000000, 5},  // busy time capped at the interval
        {0, 70, 3, 4096, 0, 0, 0},                   // idle drive
    };
    for (const Row &r : rows) {
        TraceCounterStep s =
            TraceModelStep(TraceSample{r.throughput, r.latencyUs, true}, r.interval, r.ioSize);
        EXPECT_DOUBLE_EQ(s.readOps, r.ops) << r.throughput << "/" << r.latencyUs;
        EXPECT_DOUBLE_EQ(s.bytesRead, r.throughput * r.interval);
        EXPECT_DOUBLE_EQ(s.readLatencyUs, r.ops * r.latencyUs);
        EXPECT_DOUBLE_EQ(s.busyUs, r.busyUs);
        EXPECT_DOUBLE_EQ(s.inFlight, r.inFlight);
        EXPECT_EQ(s.writeOps + s.bytesWritten + s.writeLatencyUs,
                  0.0);  // all IO is booked as reads
    }
    TraceCounterStep none = TraceModelStep(TraceSample{4096000, 50, false}, 3, 4096);
    EXPECT_EQ(none.readOps + none.busyUs + none.inFlight, 0.0);
}

TEST(FailslowTraceModel, CountersKeepFractionsAcrossSteps) {
    // 409.6 B/s at 4 KiB is 0.1 IOPS: 0.3 ops per 3-second step.
    TraceCounterStep step = TraceModelStep(TraceSample{409.6, 200, true}, 3, 4096);
    TraceCounters c{};
    uint64_t lastOps = 0;
    for (int i = 1; i <= 1000; ++i) {
        TraceCountersAdd(&c, step);
        ASSERT_GE(c.readOps, lastOps);
        lastOps = c.readOps;
        if (i == 3) {
            EXPECT_EQ(c.readOps, 0u);  // 0.9 ops so far
        }
    }
    EXPECT_EQ(c.readOps, 300u);
    EXPECT_EQ(c.bytesRead, 1228800u);
    EXPECT_EQ(c.readLatencyUs, 60000u);
    EXPECT_EQ(c.ioTimeUs, 60000u);
    EXPECT_EQ(c.inFlight, 0u);
}

}  // namespace
