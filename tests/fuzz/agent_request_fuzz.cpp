// The agent's request path: any bytes a client sends, through the method
// table and answer builders of both roles, must give one answer and no crash.
#include <cstddef>
#include <cstdint>

#include "agent_methods.h"
#include "fleet_file.h"
#include "fleet_source.h"

namespace {

struct Agents {
    FleetSource *source;
    FaultTable faults;
    DataAgent data{DataAgentOptions{}};
};

Agents &Shared()
{
    static Agents *agents = [] {
        Fleet fleet;
        std::vector<FaultRule> faults;
        std::string error;
        if (FleetParse(FleetDefaultText(), &fleet, &faults, &error) != 0) {
            __builtin_trap();
        }
        auto *made = new Agents;
        made->source = new FleetSource(std::move(fleet), 0.0);
        return made;
    }();
    return *agents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Agents &agents = Shared();
    const char *text = reinterpret_cast<const char *>(data);
    for (uint8_t role : {AGENT_ROLE_KERNEL, AGENT_ROLE_USER}) {
        AgentContext ctx{agents.source, &agents.faults, &agents.data, role, true};
        AgentReply reply = AgentDispatch(ctx, text, size);
        // Faults set by an input must not leak into the next one.
        agents.faults.Clear();
        if (reply.bytes.empty() && !reply.close) {
            __builtin_trap();
        }
    }
    return 0;
}
