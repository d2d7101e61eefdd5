// The evaluator's engine and scores on synthetic hosts: a saturated disk the
// written rule must declare, the peer gate that holds it back, hours counted
// from a drive's first window, and the per-window scores.
#include "replay_engine.h"

#include <gtest/gtest.h>

#include "replay_report.h"

namespace {

constexpr uint32_t kIoSize = kTraceDefaultIoSize;

// `drives` drives, `windows` windows of `slots` samples; drive 0 runs at
// `slow` in the windows from `slowFrom` on (and at `normal` before), the others
// always at `peer`.
TraceHost MakeHost(uint32_t drives, uint32_t windows, uint32_t slots, TraceSample normal,
                   TraceSample slow, uint32_t slowFrom, TraceSample peer) {
    TraceHost h{};
    h.name = "host_x";
    for (uint32_t d = 0; d < drives; ++d) {
        h.drives.push_back("disk" + std::to_string(d + 1));
    }
    for (uint32_t w = 0; w < windows; ++w) {
        TraceWindow win{};
        win.file = "day" + std::to_string(w) + ".csv";
        win.start = 1000 + 100000 * static_cast<int64_t>(w);
        win.slotCount = slots;
        for (uint32_t d = 0; d < drives; ++d) {
            win.slots.emplace_back(slots, d != 0 ? peer : w >= slowFrom ? slow : normal);
        }
        h.windows.push_back(std::move(win));
    }
    return h;
}

TraceSample At(double iops, double latencyUs) {
    return TraceSample{iops * kIoSize, latencyUs, true};
}

TEST(ReplayEngine, WrittenRuleDeclaresASaturatedDiskUnlessThePeerGateHoldsIt) {
    // 100 IOPS at 400 ms: 40 in flight, fully busy, 10 ms of service time.
    const TraceSample saturated = At(100, 400000);
    struct Case {
        TraceSample peer;
        bool declared;
    } cases[] = {
        {At(1000, 70), true},    // peers at 70 us: far below a fifth of 10 ms
        {At(400, 2500), false},  // peers at 2.5 ms: 10 ms is under 5x
    };
    for (const Case &c : cases) {
        TraceHost h = MakeHost(6, 1, 20, saturated, saturated, 0, c.peer);
        ReplayHost out;
        std::string err;
        ASSERT_EQ(ReplayRunHost(h, ReplayOptions{}, &out, &err), 0) << err;
        const ReplayDrive &d0 = out.drives[0];
        EXPECT_EQ(d0.gates.cycles, 100u);
        EXPECT_EQ(d0.gates.candidate, 100u);
        EXPECT_EQ(d0.gates.svctm + d0.gates.busy + d0.gates.util + d0.gates.bandwidth, 0u);
        EXPECT_EQ(d0.mode[REPLAY_MODE_WRITTEN].declared, c.declared);
        EXPECT_EQ(d0.gates.marked, c.declared ? 100u : 0u);
        EXPECT_EQ(d0.gates.peers, c.declared ? 0u : 100u);
        EXPECT_EQ(out.drives[1].gates.busy, 100u);  // the peers never have 30 in flight
        for (size_t i = 1; i < out.drives.size(); ++i) {
            EXPECT_FALSE(out.drives[i].mode[REPLAY_MODE_WRITTEN].declared);
            EXPECT_EQ(out.drives[i].gates.peers, 0u);
        }
        if (c.declared) {
            // The default needs 50 marked cycles of the last 100.
            EXPECT_DOUBLE_EQ(d0.mode[REPLAY_MODE_WRITTEN].traceHours, 50 * 3 / 3600.0);
            EXPECT_EQ(d0.mode[REPLAY_MODE_WRITTEN].count, 51u);  // cycles 50..100 of the window
        }
    }
}

TEST(ReplayEngine, HoursCountFromTheDrivesFirstWindowAndWindowsAreScoredApart) {
    // Drive 0 is normal in the first window and saturated in the second.
    TraceHost h = MakeHost(6, 2, 20, At(1000, 70), At(100, 400000), 1, At(1000, 70));
    h.windows[0].slots[1].assign(20, TraceSample{0, 0, false});  // disk2 starts in window 1
    ReplayHost out;
    std::string err;
    ASSERT_EQ(ReplayRunHost(h, ReplayOptions{}, &out, &err), 0) << err;
    EXPECT_EQ(out.traceCycles, 200u);
    EXPECT_GT(out.cycles, out.traceCycles);  // the empty cycles after each window
    const ReplayDecision &dec = out.drives[0].mode[REPLAY_MODE_WRITTEN];
    ASSERT_TRUE(dec.declared);
    EXPECT_EQ(dec.window, 1u);
    EXPECT_DOUBLE_EQ(dec.traceHours, (100 + 50) * 3 / 3600.0);  // the first window counts
    EXPECT_EQ(dec.ts, h.windows[1].start + 49 * 3);
    EXPECT_EQ(out.drives[0].windowDeclared[REPLAY_MODE_WRITTEN], (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(out.drives[1].gates.cycles, 100u);  // only window 1 had data for disk2

    ReplayLabels labels;
    labels.drives = {{"host_x", "disk1"}, {"host_x", "disk3"}, {"host_y", "disk2"}};
    out.drives[1].windowDeclared[REPLAY_MODE_WRITTEN][0] = 1;  // a false positive in window 0
    out.drives[1].mode[REPLAY_MODE_WRITTEN].declared = true;
    struct Row {
        int window;
        ReplayScore expect;
    } rows[] = {{0, {1, 0, 1, 2}}, {1, {1, 1, 0, 1}}, {-1, {2, 1, 1, 1}}};
    for (const Row &r : rows) {
        ReplayScore s = ReplayScoreHost(out, labels, REPLAY_MODE_WRITTEN, r.window);
        EXPECT_EQ(s.declared, r.expect.declared) << r.window;
        EXPECT_EQ(s.truePositives, r.expect.truePositives) << r.window;
        EXPECT_EQ(s.falsePositives, r.expect.falsePositives) << r.window;
        EXPECT_EQ(s.falseNegatives, r.expect.falseNegatives) << r.window;
    }
    std::string table = ReplayScoreTable({out}, labels);
    EXPECT_NE(table.find("host_x     all          written         2   1   1   1      0.50   0.50"),
              std::string::npos)
        << table;
}

}  // namespace
