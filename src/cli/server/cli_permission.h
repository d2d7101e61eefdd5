// Who may talk to the CLI: the user check of every received request.
//
// The peer is identified by the socket's credentials (SO_PEERCRED), never by
// the name inside the packet. "root" and "spindlekeep_user" have full access;
// members of "spindlekeep_group" (primary or supplementary) may run the
// actions "help" and "show"; everyone else is refused.
//
// Threads: any thread; the user and group databases are read per call.
#pragma once

#include <cstdint>

namespace SPINDLEKEEP_CLI {

enum CliPermission : uint32_t {
    CLI_PERMISSION_NONE = 0,
    CLI_PERMISSION_FULL = 1,
    CLI_PERMISSION_READ_ONLY = 2,
};

inline constexpr const char *CLI_SERVICE_GROUP = "spindlekeep_group";
inline constexpr int CLI_FD_BY_NAME = -2;  // look `user` up by name instead of by peer

// Decides the permission of the peer of `fd` (or of `user` when fd is
// CLI_FD_BY_NAME) for `action`. 0 with *perm set, or
// CLI_USER_PERMISSION_ERROR when the user or action is empty or the peer
// cannot be identified.
[[nodiscard]] int32_t GetUserinWhiteList(const char *user, CliPermission *perm,
                                         const char *action, int fd);

// The packet check of the receive path (a CliPacketCheck): 0 when the peer
// may run `action`, else CLI_USER_PERMISSION_ERROR.
[[nodiscard]] int32_t CheckUserPermission(void *ctx, int fd, const char *user,
                                          const char *action);

}  // namespace SPINDLEKEEP_CLI
