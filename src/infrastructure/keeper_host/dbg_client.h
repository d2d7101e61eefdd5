// Client side of the diagnose agent protocol (used by spindlekeep-diag).
#pragma once

#include <cstdint>

struct DbgClientResult {
    int32_t status;  // DbgStatus of the reply
    char *output;    // NUL-terminated text, owned by the caller (free()); never null on success
    uint32_t outputLen;
};

// Sends one request (argc 0: list the groups) to the agent at `socketPath`
// and waits at most `timeoutMs` for each of the send and the reply.
// 0 with *result filled; otherwise a negative errno and *result zeroed:
//   -E2BIG       too many or too long arguments (nothing was sent),
//   -ENOENT / -ECONNREFUSED  no agent listening there (daemon not running),
//   -EACCES      not allowed to connect,
//   -ETIMEDOUT   the agent did not answer in time,
//   -EPROTO      the answer broke the protocol,
//   -ENAMETOOLONG  the path does not fit a socket address,
//   -ENOMEM, or another errno of the socket calls.
[[nodiscard]] int DbgClientCall(const char *socketPath, int argc, const char *const *argv,
                                uint32_t timeoutMs, DbgClientResult *result);
