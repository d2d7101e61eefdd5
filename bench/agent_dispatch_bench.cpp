// spindlekeep-agent: cost of answering one request of each of the daemon's
// batch sizes (parse, fleet snapshot, answer build and print), without the
// socket, and of running a 64-disk fleet forward.
#include <benchmark/benchmark.h>

#include "agent_methods.h"
#include "fleet_file.h"
#include "fleet_source.h"

namespace {

Fleet DefaultFleet()
{
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    if (FleetParse(FleetDefaultText(), &fleet, &faults, &error) != 0) {
        abort();
    }
    return fleet;
}

std::string Request(const char *method, int disks)
{
    static const char *kNames[] = {"sda", "sdb", "sdc", "sdd", "sde", "sdf", "sdg", "sdh",
                                   "sdi", "sdj", "sdl", "nvme0n1", "nvme1n1", "nvme2n1", "sda"};
    std::string text = std::string(R"({"jsonrpc":"2.0","method":")") + method + R"(","id":2)";
    if (disks > 0) {
        text += R"(,"params":{"devices":[)";
        for (int i = 0; i < disks; ++i) {
            text += std::string(i > 0 ? "," : "") + "\"" + kNames[i % 15] + "\"";
        }
        text += R"(],"period":"20"})";
    }
    return text + "}";
}

void BM_AgentAnswer(benchmark::State &state, const char *method, int disks)
{
    FleetSource source(DefaultFleet(), 1.0);
    FaultTable faults;
    AgentContext ctx{&source, &faults, nullptr, AGENT_ROLE_KERNEL, false};
    std::string request = Request(method, disks);
    size_t bytes = 0;
    for (auto _ : state) {
        AgentReply reply = AgentDispatch(ctx, request.data(), request.size());
        bytes = reply.bytes.size();
        benchmark::DoNotOptimize(reply);
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes);
}
BENCHMARK_CAPTURE(BM_AgentAnswer, brief, "dca_get_disks_brief_info", 0);
BENCHMARK_CAPTURE(BM_AgentAnswer, base13, "dca_get_disks_base_info", 13);
BENCHMARK_CAPTURE(BM_AgentAnswer, health4, "dca_get_disks_health_info", 4);
BENCHMARK_CAPTURE(BM_AgentAnswer, iostat20, "dca_get_disks_iostat", 20);

void BM_FleetAdvance64(benchmark::State &state)
{
    Fleet fleet = DefaultFleet();
    while (fleet.disks.size() < 64) {
        FleetDisk copy = fleet.disks[fleet.disks.size() % 15];
        copy.id.serial += std::to_string(fleet.disks.size());
        fleet.disks.push_back(copy);
    }
    FleetReset(&fleet);
    double t = 0;
    for (auto _ : state) {
        t += 3.0;
        FleetAdvanceTo(&fleet, t);
    }
}
BENCHMARK(BM_FleetAdvance64);

}  // namespace
