// spindlekeep-diag: runs a diagnose command in the running daemon.
//
//   spindlekeep-diag [--socket PATH] [GROUP COMMAND [ARGS...]]
//
// The socket is found below the install prefix the way the daemon finds it
// (two directories above this executable). Exit status: 0 success,
// 1 the command failed, 2 unknown group, 3 the daemon cannot be reached or
// answered wrongly, 4 bad usage.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_prefix.h"
#include "infrastructure/keeper_host/dbg_client.h"
#include "infrastructure/keeper_host/dbg_protocol.h"

namespace {

constexpr uint32_t kTimeoutMs = 10000;
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUnknownGroup = 2;
constexpr int kExitUnreachable = 3;
constexpr int kExitUsage = 4;

void Usage(FILE *to)
{
    fprintf(to,
            "usage: spindlekeep-diag [--socket PATH] [GROUP COMMAND [ARGS...]]\n"
            "Runs a diagnose command inside the running spindlekeep daemon and prints\n"
            "its output. Without GROUP it lists the registered groups with their help.\n"
            "  --socket PATH  talk to the agent at PATH instead of\n"
            "                 <prefix>/%s\n"
            "  --help         show this text\n"
            "Exit status: 0 success, 1 command failed, 2 unknown group, 3 daemon not\n"
            "reachable, 4 bad usage.\n",
            DBG_SOCKET_REL_PATH);
}

int TransportError(int err, const char *path)
{
    switch (-err) {
        case ENOENT:
        case ECONNREFUSED:
            fprintf(stderr, "spindlekeep-diag: the daemon is not running (no agent at %s)\n",
                    path);
            return kExitUnreachable;
        case E2BIG:
            fprintf(stderr, "spindlekeep-diag: too many or too long arguments (at most %u of %u "
                            "bytes)\n", DBG_MAX_ARGS, DBG_MAX_ARG_LEN);
            return kExitUsage;
        case EPROTO:
            fprintf(stderr, "spindlekeep-diag: the daemon answered with a broken reply\n");
            return kExitUnreachable;
        default:
            fprintf(stderr, "spindlekeep-diag: cannot talk to the daemon at %s: %s\n", path,
                    strerror(-err));
            return kExitUnreachable;
    }
}

int StatusExit(const DbgClientResult &res, const char *group)
{
    switch (res.status) {
        case DBG_STATUS_OK:
            return kExitOk;
        case DBG_STATUS_FAILED:
            return kExitFailed;
        case DBG_STATUS_UNKNOWN_GROUP:
            fprintf(stderr, "spindlekeep-diag: unknown group '%s' (run without arguments to "
                            "list the groups)\n", group);
            return kExitUnknownGroup;
        default:
            fprintf(stderr, "spindlekeep-diag: the daemon refused the request: %s\n",
                    DbgStatusText(res.status));
            return res.status == DBG_STATUS_TOO_LONG ? kExitUsage : kExitUnreachable;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int first = 1;
    const char *socketPath = nullptr;
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        Usage(stdout);
        return kExitOk;
    }
    if (argc > 1 && strcmp(argv[1], "--socket") == 0) {
        if (argc < 3) {
            Usage(stderr);
            return kExitUsage;
        }
        socketPath = argv[2];
        first = 3;
    }
    char path[4096];
    if (socketPath == nullptr) {
        if (InitConfigPrefix() != 0 ||
            DbgSocketPathFor(GetConfigPrefix(), path, sizeof(path)) != 0) {
            fprintf(stderr, "spindlekeep-diag: cannot find the install prefix; use --socket\n");
            return kExitUnreachable;
        }
        socketPath = path;
    }
    DbgClientResult res{};
    int ret = DbgClientCall(socketPath, argc - first, argv + first, kTimeoutMs, &res);
    if (ret != 0) {
        return TransportError(ret, socketPath);
    }
    fwrite(res.output, 1, res.outputLen, stdout);
    fflush(stdout);
    int code = StatusExit(res, first < argc ? argv[first] : "");
    free(res.output);
    return code;
}
