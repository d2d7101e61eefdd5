// Host diagnose agent: command groups reached by operators through
// spindlekeep-diag over a UNIX socket of the daemon's own,
// "<prefix>/config/spindlekeep_diag.sock" (mode 0600: only the daemon's
// user and root may connect; other peers are refused by their credentials).
//
// A request names a group and passes the whole command line to the group's
// execute function: argv[0] is the group name, argv[1] the command, then the
// arguments. Whatever the function (or its help) prints with DBG_Print,
// DBG_PrintBuf or DBG_ShowUsageAndErrMsg goes back to the client. A request
// without arguments lists every group with its description and help.
//
// Threads: the agent has one listener thread that serves one connection at
// a time, so handlers never run concurrently with each other; each read and
// write on a client is bounded by a timeout, and a client that vanishes or
// stalls only costs that connection. Registration may happen from any thread
// at any time, whether or not the agent runs.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "infrastructure/keeper_host/dbg_protocol.h"

// Runs a command line. Returns 0 on success; nonzero marks the request as
// failed (the client exits with an error) but its output is still shown.
using DBG_ExecFunc = int (*)(int argc, char **argv);
// Prints the group's usage; `verbose` nonzero adds descriptions.
using DBG_HelpFunc = void (*)(const char *name, int verbose);

// Group descriptor. The agent copies name and description (up to
// DBG_GROUP_NAME_MAX and 127 characters); the functions must stay valid
// until the group is unregistered.
struct DBG_CmdGroup {
    const char *name;
    const char *description;
    DBG_ExecFunc exec;
    DBG_HelpFunc help;  // may be null: a generic usage line is shown instead
};

inline constexpr uint32_t DBG_MAX_GROUPS = 64;

// Starts the listener. 0; -EALREADY when running; -ENAMETOOLONG for a path
// that does not fit a socket address; another negative errno when the socket
// or the thread cannot be created. `name` is the process name shown in
// the group listing.
[[nodiscard]] int DBG_DiagnoseAgentInit(pid_t pid, const char *name);
// Stops the listener (an in-flight request is abandoned) and removes the
// socket. Harmless when not running. Not from inside a handler.
int DBG_DiagnoseAgentDestroy(pid_t pid);
// Path of the socket while running, "" otherwise.
const char *DBG_DiagnoseAgentSocketPath();

// Registers a group. 0; -EINVAL for a null descriptor or exec, an empty name
// or one longer than DBG_GROUP_NAME_MAX; -EEXIST when the name is taken;
// -ENOSPC when DBG_MAX_GROUPS groups exist.
[[nodiscard]] int DBG_RegCmd(const DBG_CmdGroup *group);
// Removes a group. 0, or -ENOENT.
int DBG_UnRegCmd(const char *name);
// Removes a group from the command line the operator sees; this host has no
// other view, so it is DBG_UnRegCmd. `flags` is reserved (0).
int DBG_UnRegCmdToCLI(const char *name, uint32_t flags);

// Output of a handler. Inside a request the text is collected for the client
// (beyond DBG_MAX_OUTPUT it is cut and a note added); outside one it goes to
// standard output. Return the number of characters taken, or -1 when the
// format fails.
int DBG_Print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int DBG_PrintBuf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints `msg` (when not null or empty) on a line of its own, then the usage
// of the group being run (its help function with `verbose`). A message marks
// the request as failed.
void DBG_ShowUsageAndErrMsg(const char *msg, int verbose);

// Runs one request as the listener does, writing the output into `out`
// (up to outSize - 1 characters, NUL-terminated) and its length into
// *outLen. Returns the DbgStatus. Serialised with the listener. This is the
// agent's core, exposed for the listener's tests and for benchmarks.
int32_t DbgAgentRun(int argc, char **argv, char *out, uint32_t outSize, uint32_t *outLen);
