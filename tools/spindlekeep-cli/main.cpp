// spindlekeep-cli: the operator's client of the daemon's CLI socket.
//
//   spindlekeep-cli [--socket PATH] ACTION COMMAND [key=value ...]
//   spindlekeep-cli help | --help | --version
//
// Exit status: 0 success, 1 the daemon refused or failed the command,
// 2 bad usage, 3 the daemon cannot be reached.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/common/cli_client.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_packet.h"
#include "config/config_prefix.h"

namespace {

using namespace SPINDLEKEEP_CLI;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
// A silent client ahead of us may hold the daemon's receive thread for 60 s.
constexpr uint32_t kTimeoutMs = 70000;

void Help(FILE *to)
{
    fprintf(to,
        "usage: spindlekeep-cli [--socket PATH] ACTION COMMAND [key=value ...]\n"
        "       spindlekeep-cli help | --help | --version\n"
        "\n"
        "Commands (ACTION COMMAND parameters):\n"
        "  show disk_info disk_id=N            base information of disk N (0..63)\n"
        "  show iostat_info disk_id=N          newest IO statistics of disk N\n"
        "  show smart_info disk_id=N           power-on hours and wear of disk N\n"
        "  show drm_info disk_id=N             health score, remaining life, state, suggestion\n"
        "  show summary                        ids and serial numbers of the online disks\n"
        "  show slowdisk                       disks in the slow state\n"
        "  show config                         feature_switch and takeover_disk_switch\n"
        "  change config feature_switch=on|off         collection and analyses\n"
        "  change config takeover_disk_switch=on|off   NVMe take-over by the user-space agent\n"
        "  show slowdisk_detect_config         slow-disk detection settings per disk type\n"
        "  change slowdisk_detect_config disk_type=T min_threshold_value=V\n"
        "                                      V 1..500 for sas_hdd, 1..10 otherwise\n"
        "  change slowdisk_detect_config disk_type=T min_slow_cycle=V   V 10..100\n"
        "  show slowdisk_outlier_config        peer-outlier mode settings per disk type\n"
        "  change slowdisk_outlier_config disk_type=T KEY=V   one of\n"
        "                                      outlier_switch 0|1 (default 0)\n"
        "                                      outlier_ratio_percent 110..1000 (150)\n"
        "                                      outlier_z_tenths 10..100 (30)\n"
        "                                      outlier_fraction_percent 10..100 (50)\n"
        "                                      outlier_window_minutes 5..240 (60)\n"
        "  show dpr_smart                      prefail routine cycle per disk type\n"
        "  change dpr_smart disk_type=T task_cycle=S   S seconds, 1..2592000\n"
        "  show disklife_prediction            disk life monitor schedule time\n"
        "  change disklife_prediction task_cycle=S     S seconds, 60..7776000\n"
        "Disk types T: 0 sata_ssd_disk, 1 sas_ssd_disk, 2 nvme_disk, 3 sas_hdd.\n"
        "Numbers are plain decimal without leading zeros.\n"
        "\n"
        "Examples:\n"
        "  spindlekeep-cli show disk_info disk_id=3\n"
        "  spindlekeep-cli show drm_info disk_id=0\n"
        "  spindlekeep-cli change config feature_switch=off\n"
        "  spindlekeep-cli change slowdisk_detect_config disk_type=3 min_threshold_value=200\n"
        "  spindlekeep-cli change dpr_smart disk_type=0 task_cycle=600\n"
        "  spindlekeep-cli change slowdisk_outlier_config disk_type=2 outlier_switch=1\n"
        "\n"
        "Options:\n"
        "  --socket PATH  the daemon's socket instead of <prefix>/%s\n"
        "Members of spindlekeep_group may run show; change needs root or spindlekeep_user.\n"
        "Exit status: 0 success, 1 command refused or failed (its code on stderr),\n"
        "2 bad usage, 3 daemon not reachable.\n",
        CLI_SOCKET_REL_PATH);
}

int Usage(const char *why)
{
    fprintf(stderr, "spindlekeep-cli: %s\n\n", why);
    Help(stderr);
    return kExitUsage;
}

int TransportError(int err, const std::string &path)
{
    switch (-err) {
        case ENOENT:
        case ECONNREFUSED:
            fprintf(stderr, "spindlekeep-cli: cannot reach the daemon: nothing listens on %s\n",
                    path.c_str());
            break;
        case EACCES:
            fprintf(stderr, "spindlekeep-cli: not allowed to connect to %s (root, "
                            "spindlekeep_user or spindlekeep_group only)\n", path.c_str());
            break;
        case ETIMEDOUT:
            fprintf(stderr, "spindlekeep-cli: the daemon at %s did not answer in time\n",
                    path.c_str());
            break;
        default:
            fprintf(stderr, "spindlekeep-cli: cannot talk to the daemon at %s: %s\n", path.c_str(),
                    strerror(-err));
    }
    return kExitUnreachable;
}

}  // namespace

int main(int argc, char **argv)
{
    int first = 1;
    std::string socketPath;
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("spindlekeep-cli %s\n", SPK_VERSION);
        return kExitOk;
    }
    if (argc > 1 && (strcmp(argv[1], "help") == 0 || strcmp(argv[1], "--help") == 0)) {
        Help(stdout);
        return kExitOk;
    }
    if (argc > 1 && strcmp(argv[1], "--socket") == 0) {
        if (argc < 3) {
            return Usage("--socket needs a path");
        }
        socketPath = argv[2];
        first = 3;
    }
    if (argc - first < 2) {
        return Usage("ACTION and COMMAND are required");
    }
    std::string action = argv[first];
    std::string command = argv[first + 1];
    if (action.empty() || action.size() >= CLI_ACTION_NAME_LEN ||
        action.find(' ') != std::string::npos) {
        return Usage("ACTION must be one word of at most 9 characters");
    }
    if (command.empty() || command.find(' ') != std::string::npos) {
        return Usage("COMMAND must be one word");
    }
    std::string agrs = action + " " + command;
    for (int i = first + 2; i < argc; ++i) {
        const char *arg = argv[i];
        if (strchr(arg, '=') == nullptr || arg[0] == '=' || strchr(arg, ' ') != nullptr) {
            return Usage((std::string("parameter '") + arg + "' is not key=value").c_str());
        }
        agrs += std::string(" ") + arg;
    }
    if (socketPath.empty()) {
        if (InitConfigPrefix() != 0 || CliSocketPathFor(GetConfigPrefix(), &socketPath) != 0) {
            fprintf(stderr, "spindlekeep-cli: cannot find the install prefix; use --socket\n");
            return kExitUnreachable;
        }
    }
    CliReply reply;
    int ret = CliClientCall(socketPath, action, command, agrs, kTimeoutMs, &reply);
    if (ret == -EINVAL) {
        return Usage("the request cannot be built");
    }
    if (ret != 0) {
        return TransportError(ret, socketPath);
    }
    fputs(reply.text.c_str(), stdout);
    fflush(stdout);
    if (reply.code == CLI_OK) {
        return kExitOk;
    }
    const char *name = CliCodeName(reply.code);
    fprintf(stderr, "spindlekeep-cli: %s (0x%x)\n", name != nullptr ? name : "failed",
            static_cast<uint32_t>(reply.code));
    if (reply.code == CLI_COMMAND_PARAM_INVALID) {
        fprintf(stderr, "spindlekeep-cli: unknown command '%s'; run 'spindlekeep-cli help'\n",
                command.c_str());
    }
    return kExitRefused;
}
