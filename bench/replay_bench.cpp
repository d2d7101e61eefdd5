// Throughput of spindlekeep-replay's engine in detection cycles per second:
// one 3-hour window (720 samples, 3600 cycles plus the empty cycles after
// it) of a synthetic host whose drives run at SSD rates with a few percent
// of jitter and one drive at twice its peers' latency. Both modes run on
// every cycle. items_per_second is the figure to compare over time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "replay_engine.h"

namespace {

TraceHost SyntheticHost(uint32_t drives) {
    TraceHost h{};
    h.name = "bench";
    TraceWindow w{};
    w.file = "2022-07-18.csv";
    w.start = 1658149215;
    w.slotCount = 720;
    uint32_t seed = 12345;
    for (uint32_t d = 0; d < drives; ++d) {
        h.drives.push_back("disk" + std::to_string(d + 1));
        std::vector<TraceSample> slots(w.slotCount);
        for (TraceSample &s : slots) {
            seed = seed * 1103515245u + 12345u;
            double jitter = 0.9 + 0.2 * static_cast<double>(seed >> 16 & 0xFFFF) / 65535.0;
            s = TraceSample{14e6 * jitter, (d == 0 ? 140.0 : 70.0) * jitter, true};
        }
        w.slots.push_back(std::move(slots));
    }
    h.windows.push_back(std::move(w));
    return h;
}

void BM_ReplayWindow(benchmark::State &state) {
    TraceHost trace = SyntheticHost(static_cast<uint32_t>(state.range(0)));
    ReplayOptions options;
    uint64_t cycles = 0;
    for (auto _ : state) {
        ReplayHost out;
        std::string err;
        if (ReplayRunHost(trace, options, &out, &err) != 0 ||
            !out.drives[0].mode[REPLAY_MODE_OUTLIER].declared) {
            state.SkipWithError("the slow drive was not declared");
            break;
        }
        cycles += out.cycles;
    }
    state.SetItemsProcessed(static_cast<int64_t>(cycles));
}
BENCHMARK(BM_ReplayWindow)->Arg(12)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
