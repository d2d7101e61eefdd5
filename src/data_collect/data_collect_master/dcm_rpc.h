// The agent RPC transport: the daemon's only channel to the disk agents.
//
// One JSON-RPC 2.0 request and one response per fresh stream connection
// (UNIX-domain or IPv4), with send/receive timeouts and up to five exchanges
// on the connection. Requests are sent as unformatted JSON text without NUL
// or framing; at most 8191 bytes of response are read, in one receive.
//
// Threads: every function may be called from any thread at the same time.
// Nothing is shared between calls except the request-id counter, which is a
// constant-initialised atomic and therefore exists before any thread does.
//
// Results: errno values, 0 on success (22 EINVAL: no socket, no connection or
// an unknown agent type; 38 ENOSYS: a timeout option could not be set;
// 32 EPIPE: all exchanges failed). Messages carry the module tag "DCM".
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>

#include "disk_mgr/disk_mgr.h"  // KeeperStr

enum AgentType : uint32_t {
    AGENT_TYPE_SOCK_FILE = 0,
    AGENT_TYPE_IPV4 = 1,
};

inline constexpr uint32_t AGENT_NAME_LEN = 32;
inline constexpr uint32_t AGENT_SOCK_FILE_LEN = 32;  // path of at most 31 characters
inline constexpr uint32_t AGENT_IP_LEN = 16;
inline constexpr uint32_t AGENT_RSP_BUF_LEN = 8192;  // every caller's response buffer

struct AgentIpv4Addr {
    char ip[AGENT_IP_LEN];  // dotted quad
    uint16_t port;          // host byte order
};

union AgentAddr {
    char sockFile[AGENT_SOCK_FILE_LEN];
    AgentIpv4Addr ipv4;
};
static_assert(sizeof(AgentAddr) == 32, "the agent address union is 32 bytes");

// An agent, copied by value. Always built zero-filled: two records name the
// same agent only when every byte of name and address is equal (IsSameAgent).
struct AgentInfo {
    char agentName[AGENT_NAME_LEN];
    uint32_t agentType;  // AgentType
    AgentAddr addr;
};

// The three well-known agents.
enum DcmWellKnownAgent : uint32_t {
    DCM_AGENT_DCAK = 0,  // "unique_DCAK_agent", kernel agent, "/tmp/dcak.sock"
    DCM_AGENT_SPDK = 1,  // "unique_SPDK_agent", user-space agent, "/var/tmp/spdk.sock"
    DCM_AGENT_DMA = 2,   // "unique_DMA_agent", data agent, "/var/tmp/spdk.sock"
    DCM_AGENT_BUTT = 3,
};

// A copy of a well-known agent's record; a zero record for `which` >= BUTT.
[[nodiscard]] AgentInfo DcmWellKnownAgentGet(uint32_t which);

// Tests only, before any thread that posts exists: points a well-known agent
// at another socket path (at most 31 characters). 0, or 22 for a bad index or
// path. The daemon never calls it.
[[nodiscard]] int DcmWellKnownAgentSetSockFile(uint32_t which, const char *sockFile);

// Tests only: the send and receive timeout of every later connection, in
// milliseconds (0 restores the daemon's 3000). Safe to call from any thread.
void DcmRpcSetSocketTimeoutMs(uint32_t ms);

// True when name, type and the whole address union are equal byte for byte.
[[nodiscard]] bool IsSameAgent(const AgentInfo *a, const AgentInfo *b);

// Next request id of the transport: 2, 3, ... 65535, 1, 2, ... (always 1..65535).
[[nodiscard]] uint32_t DcmRpcNextId();

// A new {"jsonrpc":"2.0","method":method,"id":<next id>} object owned by the
// caller, or null (logged) when an allocation fails.
[[nodiscard]] cJSON *CreateBaseRequest(const char *method);

// The same envelope with a caller-chosen id (for modules with their own
// request counter).
[[nodiscard]] cJSON *CreateBaseRequestWithId(const char *method, uint32_t id);

// True when the response is an object whose "jsonrpc" is the string "2.0",
// whose "id" is a number and which has a "result" of any type. Member names
// are looked up without regard to case.
[[nodiscard]] bool IsValidJsonResponse(const cJSON *response);

// One request to `agent`. `reqLen` is the text length plus one as callers pass
// it; the text is sent without its NUL. `rsp.len` is the capacity of the
// caller-owned `rsp.buf`; on 0 it holds the NUL-terminated response (at most
// rsp.len - 1 bytes; a longer answer is cut). Blocks for at most five send and
// receive timeouts plus the connect.
[[nodiscard]] int PostRequest(const AgentInfo *agent, uint32_t reqLen, const char *req,
                              KeeperStr rsp);

// Prints `request`, posts it and parses the first JSON value of the answer.
// Returns a new object owned by the caller, or null on any failure. The
// envelope is not checked (see IsValidJsonResponse).
[[nodiscard]] cJSON *PostRequestWithJSON(const AgentInfo *agent, const cJSON *request);

// One connection to a UNIX-domain agent at `sockFile`.
[[nodiscard]] int PostRequestWithSockFile(uint32_t reqLen, const char *req, const char *sockFile,
                                          KeeperStr rsp);

// One connection to an IPv4 agent.
[[nodiscard]] int PostRequestWithIpv4(uint32_t reqLen, const char *req, const char *ip,
                                      uint16_t port, KeeperStr rsp);

// One send and one receive on a connected socket: 0, or 32 when either fails.
[[nodiscard]] int SendAndReceiveWithSocketSession(int fd, uint32_t reqLen, const char *req,
                                                  KeeperStr rsp);

// Up to five exchanges on the same socket, without pause: 0 or the last failure.
[[nodiscard]] int SendAndReceiveRetryWithSocketSession(int fd, uint32_t reqLen, const char *req,
                                                       KeeperStr rsp);
