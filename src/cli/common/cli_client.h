// Client side of the CLI protocol: one request, one reply, one connection.
// Used by spindlekeep-cli, the tests and the benchmark.
#pragma once

#include <cstdint>
#include <string>

namespace SPINDLEKEEP_CLI {

inline constexpr const char *CLI_SOCKET_REL_PATH = "config/CLI_UDS.unix";

struct CliReply {
    int32_t code = 0;   // the command's result code
    std::string text;   // the text to print ("" when the daemon sent "null")
};

// "<prefix>/config/CLI_UDS.unix". 0, or -1 when it does not fit.
int CliSocketPathFor(const char *prefix, std::string *path);

// Sends `agrs` ("ACTION COMMAND key=value ...") as a request for `command`
// under the action word `action` and reads the reply, waiting at most
// `timeoutMs` for each send and receive. 0 with *reply filled; otherwise a
// negative errno: -ENOENT / -ECONNREFUSED (no daemon listening), -EACCES (not
// allowed to connect), -ENAMETOOLONG, -EINVAL (request cannot be built),
// -EPROTO (a reply that breaks the protocol), -ETIMEDOUT, or another errno
// of the socket calls.
[[nodiscard]] int CliClientCall(const std::string &socketPath, const std::string &action,
                                const std::string &command, const std::string &agrs,
                                uint32_t timeoutMs, CliReply *reply);

}  // namespace SPINDLEKEEP_CLI
