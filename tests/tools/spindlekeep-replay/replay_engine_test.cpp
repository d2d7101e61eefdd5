// The evaluator's engine and scores on synthetic hosts: a saturated disk the
// written rule must declare, the peer gate that holds it back, hours counted
// from a drive's first window, and the per-window scores.
#include "replay_engine.h"

#include <gtest/gtest.h>

#include <tuple>

#include "replay_report.h"

namespace {

constexpr uint32_t kIoSize = kTraceDefaultIoSize;

TraceSample At(double iops, double latencyUs) { return TraceSample{iops * kIoSize, latencyUs, true}; }

// Six drives, `windows` windows of 20 samples; drive 0 runs at `slow` in the
// windows from `slowFrom` on (at `normal` before), the others at `peer`
// (disk2 from the second window on, if there is one). Returns the run of h.
ReplayHost RunHost(uint32_t windows, TraceSample normal, TraceSample slow, uint32_t slowFrom, TraceSample peer,
               TraceHost *h)
{
    h->name = "host_x";
    h->drives = {"disk1", "disk2", "disk3", "disk4", "disk5", "disk6"};
    for (uint32_t w = 0; w < windows; ++w) {
        TraceWindow win{"day" + std::to_string(w) + ".csv", 1000 + 100000 * static_cast<int64_t>(w), 20, {}};
        for (uint32_t d = 0; d < 6; ++d) {
            win.slots.emplace_back(20, d != 0 ? peer : w >= slowFrom ? slow : normal);
        }
        h->windows.push_back(std::move(win));
    }
    if (windows > 1) {  // disk2 starts in the second window
        h->windows[0].slots[1].assign(20, TraceSample{0, 0, false});
    }
    ReplayHost out;
    std::string err;
    EXPECT_EQ(ReplayRunHost(*h, ReplayOptions{}, &out, &err), 0) << err;
    return out;
}

TEST(ReplayEngine, WrittenRuleDeclaresASaturatedDiskUnlessThePeerGateHoldsIt)
{
    // 100 IOPS at 400 ms: 40 in flight, fully busy, 10 ms of service time;
    // peers at 70 us are far below a fifth of that, at 2.5 ms they are not.
    for (const auto &[peer, declared] : {std::pair{At(1000, 70), true}, std::pair{At(400, 2500), false}}) {
        TraceHost h{};
        ReplayHost out = RunHost(1, At(100, 400000), At(100, 400000), 0, peer, &h);
        const ReplayGates &g = out.drives[0].gates;
        const ReplayDecision &d0 = out.drives[0].mode[REPLAY_MODE_WRITTEN];
        EXPECT_EQ(std::make_tuple(g.cycles, g.candidate, g.svctm + g.busy + g.util + g.bandwidth, g.marked, g.peers,
                                  d0.declared),
                  std::make_tuple(100u, 100u, 0u, declared ? 100u : 0u, declared ? 0u : 100u, declared))
            << declared;
        EXPECT_EQ(out.drives[1].gates.busy, 100u);  // the peers never have 30 in flight
        for (size_t i = 1; i < out.drives.size(); ++i) {
            EXPECT_FALSE(out.drives[i].mode[REPLAY_MODE_WRITTEN].declared);
            EXPECT_EQ(out.drives[i].gates.peers, 0u);
        }
        // The default needs 50 marked cycles of the last 100; it then
        // declares on every cycle from the 50th.
        EXPECT_EQ(std::make_tuple(d0.traceHours, d0.count),
                  declared ? std::make_tuple(50 * 3 / 3600.0, uint64_t{51}) : std::make_tuple(0.0, uint64_t{0}));
    }
}

TEST(ReplayEngine, HoursCountFromTheDrivesFirstWindowAndWindowsAreScoredApart)
{
    // Drive 0 is normal in the first window and saturated in the second.
    TraceHost h{};
    ReplayHost out = RunHost(2, At(1000, 70), At(100, 400000), 1, At(1000, 70), &h);
    EXPECT_EQ(out.traceCycles, 200u);
    EXPECT_GT(out.cycles, out.traceCycles);  // the empty cycles after each window
    const ReplayDecision &dec = out.drives[0].mode[REPLAY_MODE_WRITTEN];
    EXPECT_EQ(std::make_tuple(dec.declared, dec.window, dec.ts),
              std::make_tuple(true, 1u, h.windows[1].start + 49 * 3));
    EXPECT_DOUBLE_EQ(dec.traceHours, (100 + 50) * 3 / 3600.0);  // the first window counts
    EXPECT_EQ(out.drives[0].windowDeclared[REPLAY_MODE_WRITTEN], (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(out.drives[1].gates.cycles, 100u);  // only window 1 had data for disk2

    ReplayLabels labels{{{"host_x", "disk1"}, {"host_x", "disk3"}, {"host_y", "disk2"}}};
    out.drives[1].windowDeclared[REPLAY_MODE_WRITTEN][0] = 1;  // a false positive in window 0
    out.drives[1].mode[REPLAY_MODE_WRITTEN].declared = true;
    const std::pair<int, std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> rows[] = {
        {0, {1, 0, 1, 2}}, {1, {1, 1, 0, 1}}, {-1, {2, 1, 1, 1}}};  // declared, TP, FP, FN
    for (const auto &[window, expect] : rows) {
        ReplayScore s = ReplayScoreHost(out, labels, REPLAY_MODE_WRITTEN, window);
        EXPECT_EQ(std::make_tuple(+s.declared, +s.truePositives, +s.falsePositives, +s.falseNegatives), expect)
            << window;
    }
    EXPECT_NE(ReplayScoreTable({out}, labels).find("host_x     all          written         2   1   1   1      0.50   0.50"),
              std::string::npos)
        << ReplayScoreTable({out}, labels);
}

}  // namespace
