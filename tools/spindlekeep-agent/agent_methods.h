// The JSON-RPC 2.0 side of the agent: turns one request text into the bytes to
// answer (or the decision not to answer), through a constant table of methods.
//
// Query methods (both roles): "dca_get_disks_brief_info",
// "dca_get_disks_base_info", "dca_get_disks_health_info",
// "dca_get_disks_iostat"; kernel role only: "dca_get_disks_slotid"; user role
// only: "dca_rebind_nvme2uio" and the data agent's "dma_*" methods. With
// control enabled, "agent_advance_time", "agent_set_fault",
// "agent_clear_faults" and "agent_status" drive the agent from tests.
//
// Every answer is at most 8191 bytes unless a fault asks for more: an answer
// that would be longer loses disks from its end (logged), since a shorter
// batch is still usable and a longer one is not.
//
// Thread safety: AgentDispatch may run on many threads at once; the context's
// members are thread safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "data_agent.h"
#include "disk_source.h"
#include "fault_inject.h"

struct AgentContext {
    DiskSource *source = nullptr;
    FaultTable *faults = nullptr;
    DataAgent *dataAgent = nullptr;  // user role only
    uint8_t role = AGENT_ROLE_KERNEL;
    bool control = false;
};

struct AgentReply {
    std::string bytes;     // the answer text
    bool close = false;    // close the connection without answering
    uint32_t delayMs = 0;  // wait this long before answering
};

// JSON-RPC error codes used in answers.
enum AgentRpcError : int {
    AGENT_RPC_PARSE_ERROR = -32700,
    AGENT_RPC_INVALID_REQUEST = -32600,
    AGENT_RPC_METHOD_NOT_FOUND = -32601,
    AGENT_RPC_INVALID_PARAMS = -32602,
    AGENT_RPC_INTERNAL_ERROR = -32603,
};

AgentReply AgentDispatch(const AgentContext &ctx, const char *text, size_t len);
// An error answer with a null id (for requests that could not be read).
std::string AgentErrorText(int code, const char *message);
