// CPU cost of the peer-outlier rule alone: one cycle over one zone of 64
// disks (the registry's maximum), on plain records as the detector holds
// them. Latencies vary around 70 us with one disk at twice that, so the
// medians, the baselines and the window count all do their usual work.
#include <benchmark/benchmark.h>

#include <vector>

#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"

namespace {

void BM_OutlierCycle(benchmark::State &state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    std::vector<SlowDiskOutlierHistory> h(n);
    std::vector<SlowDiskOutlierMember> m(n);
    SlowDiskOutlierConfig cfg = SlowDiskOutlierDefaultConfig(0);
    cfg.on = 1;
    uint32_t seed = 7;
    uint64_t cycles = 0;
    for (auto _ : state) {
        for (uint32_t i = 0; i < n; ++i) {
            seed = seed * 1103515245u + 12345u;
            uint32_t lat = 60 + (seed >> 16) % 20 + (i == 5 ? 70 : 0);
            m[i] = SlowDiskOutlierMember{i, &h[i], {3000 + (seed >> 8) % 500, lat, 1}, false};
        }
        SlowDiskOutlierZoneResult r = SlowDiskOutlierCycle(m.data(), n, cfg);
        benchmark::DoNotOptimize(r);
        ++cycles;
    }
    state.counters["cycles/s"] = benchmark::Counter(static_cast<double>(cycles),
                                                    benchmark::Counter::kIsRate);
    state.counters["bytes/disk"] = sizeof(SlowDiskOutlierHistory);
}
BENCHMARK(BM_OutlierCycle)->Arg(12)->Arg(64);

}  // namespace
