// The agent's request path: any bytes a client sends, through the method
// table and answer builders of both roles, must give one answer and no crash.
#include <cstdint>

#include "agent_methods.h"
#include "fleet_file.h"
#include "fleet_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FaultTable &faults = *new FaultTable;
    static DataAgent &dataAgent = *new DataAgent(DataAgentOptions{});
    static FleetSource *source = [] {
        Fleet fleet;
        std::vector<FaultRule> rules;
        std::string error;
        if (FleetParse(FleetDefaultText(), &fleet, &rules, &error) != 0) {
            __builtin_trap();
        }
        return new FleetSource(std::move(fleet), 0.0);
    }();
    for (uint8_t role : {AGENT_ROLE_KERNEL, AGENT_ROLE_USER}) {
        AgentContext ctx{source, &faults, &dataAgent, role, true};
        AgentReply reply = AgentDispatch(ctx, reinterpret_cast<const char *>(data), size);
        faults.Clear();  // faults set by an input must not leak into the next one
        if (reply.bytes.empty() && !reply.close) {
            __builtin_trap();
        }
    }
    return 0;
}
