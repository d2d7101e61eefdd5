// The trace reader on a day file written here: bad rows are reported by file
// and line and the rest is kept. (Windows, their gaps and the counter model
// are pinned through the agent's replay source, which reads traces with it.)
#include "failslow_trace.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/persist_files.h"

namespace {

constexpr const char *kHeader = "\"ts\",\"disk_id\",\"throughput\",\"latency\"\n";

TEST(FailslowTraceReader, BadRowsAreReportedByFileAndLineAndTheRestIsKept)
{
    TempDir dir;
    WriteFileText(dir.Join("2022-07-18.csv"), std::string(kHeader) +
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
    EXPECT_EQ(std::make_tuple(h.rows, h.naRows, h.badRows), std::make_tuple(7u, 1u, 4u));
    const char *where[] = {"2022-07-18.csv:4: expected 4 fields", "2022-07-18.csv:5: bad throughput",
                           "2022-07-18.csv:6: bad latency", "2022-07-18.csv:8: second sample"};
    ASSERT_EQ(h.problems.size(), std::size(where));
    for (size_t i = 0; i < h.problems.size(); ++i) {
        EXPECT_EQ(h.problems[i].rfind(where[i], 0), 0u) << h.problems[i];
    }
    ASSERT_EQ(h.windows.size(), 1u);
    std::string valid;  // which slots hold a sample, drive by drive
    for (const std::vector<TraceSample> &drive : h.windows[0].slots) {
        for (const TraceSample &s : drive) {
            valid += s.valid ? '1' : '0';
        }
        valid += ' ';
    }
    EXPECT_EQ(valid, "100 001 ");  // NA and bad rows leave their slot empty
    EXPECT_DOUBLE_EQ(h.windows[0].slots[0][0].throughput, 4096000.0);  // the first of the duplicates wins
    EXPECT_DOUBLE_EQ(h.windows[0].slots[1][2].latencyUs, 80.5);
}

}  // namespace
