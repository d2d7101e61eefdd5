#include "agent_options.h"

#include <cstdlib>
#include <cstring>

#include "agent_log.h"
#include "disk_model.h"

namespace {

const char kHelp[] =
    "Usage: spindlekeep-agent --role kernel|user [--fleet FILE | --host | --replay DIR]\n"
    "                         [options]\n"
    "\n"
    "Disk agent stand-in for spindlekeepd: serves JSON-RPC 2.0 over a UNIX socket,\n"
    "one request per connection, answers of at most 8191 bytes.\n"
    "\n"
    "Roles:\n"
    "  --role kernel          kernel agent: device list, base, health, IO, slot ids\n"
    "                         (default socket /tmp/dcak.sock)\n"
    "  --role user            user-space agent and data agent: the four queries,\n"
    "                         dca_rebind_nvme2uio and the dma_* messages\n"
    "                         (default socket /var/tmp/spdk.sock)\n"
    "Disks:\n"
    "  (neither)              the built-in default fleet (17 simulated disks)\n"
    "  --fleet FILE           a fleet file (format: README.md)\n"
    "  --host                 this machine's block devices (sysfs, /proc/diskstats,\n"
    "                         smartctl -j -a)\n"
    "  --replay DIR           replay one host directory of fail-slow traces (day CSVs\n"
    "                         ts,disk_id,throughput,latency) as healthy disks\n"
    "  --replay-io-size BYTES IO size of the replay's counter model (default 4096)\n"
    "  --replay-type TYPE     SSD_NVMe (default), SSD_SATA, SSD_SAS or HDD_SAS\n"
    "  --time-scale X         simulated (or replayed) seconds per real second\n"
    "                         (default 1; 0 stops the clock, see --control)\n"
    "Transport:\n"
    "  --socket PATH          socket path instead of the role's default\n"
    "  --socket-mode OCTAL    socket file mode (default 0660)\n"
    "  --socket-group NAME    socket group when it exists (default spindlekeep_group)\n"
    "Data agent (user role):\n"
    "  --record FILE          JSON-lines log of every dma_* and rebind message\n"
    "                         (default /run/spindlekeep-agent/dma.jsonl; none: off)\n"
    "  --prom-dir DIR         directory of the Prometheus textfile spindlekeep.prom\n"
    "                         (default /run/spindlekeep-agent; none: off)\n"
    "                         Output directories must belong to this user (or\n"
    "                         root) and be writable by no one else.\n"
    "Tests and fault injection:\n"
    "  --control              serve agent_advance_time, agent_set_fault,\n"
    "                         agent_clear_faults and agent_status\n"
    "  --fault METHOD=MODE[:COUNT]\n"
    "                         misbehave on METHOD (or * for all) COUNT times (default\n"
    "                         always); MODE: delay, close, garbage, oversize,\n"
    "                         bad_envelope, extra_disks, partial (repeatable)\n"
    "  --check                load the disks, print them, exit\n"
    "Host mode:\n"
    "  --sysfs DIR            sysfs root (default /sys)\n"
    "  --diskstats FILE       (default /proc/diskstats)\n"
    "  --dev DIR              device directory passed to smartctl (default /dev)\n"
    "  --smartctl PATH|none   smartctl program (default smartctl from PATH)\n"
    "  --smartctl-interval S  seconds between health refreshes (default 60)\n"
    "Other:\n"
    "  --log-level LEVEL      error, warn, info (default) or debug\n"
    "  --help                 this text\n"
    "\n"
    "SIGTERM or SIGINT stops the agent and removes its socket.\n";

struct Cursor {
    int argc;
    char **argv;
    int index;
};

bool Value(Cursor *cur, const char *flag, std::string *out, std::string *error)
{
    if (cur->index + 1 >= cur->argc) {
        *error = std::string(flag) + " needs a value";
        return false;
    }
    *out = cur->argv[++cur->index];
    return true;
}

bool ParseDouble(const std::string &text, double min, double max, double *out)
{
    char *end = nullptr;
    double value = strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(value >= min && value <= max)) {
        return false;
    }
    *out = value;
    return true;
}

bool ParseOctal(const std::string &text, unsigned *out)
{
    char *end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 8);
    if (text.empty() || end == nullptr || *end != '\0' || value > 0777) {
        return false;
    }
    *out = static_cast<unsigned>(value);
    return true;
}

bool ParseLevel(const std::string &text, uint32_t *level)
{
    static constexpr struct {
        const char *name;
        uint32_t level;
    } kLevels[] = {{"error", AGENT_LOG_ERROR},
                   {"warn", AGENT_LOG_WARN},
                   {"info", AGENT_LOG_INFO},
                   {"debug", AGENT_LOG_DEBUG}};
    for (const auto &row : kLevels) {
        if (text == row.name) {
            *level = row.level;
            return true;
        }
    }
    return false;
}

std::string NoneToEmpty(const std::string &value) { return value == "none" ? std::string() : value; }

bool ParseIoSize(const std::string &text, uint32_t *out)
{
    char *end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || end == nullptr || *end != '\0' ||
        value == 0 || value > kReplayMaxIoSize) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

bool ParseReplayType(const std::string &value, DiskType *type, std::string *error)
{
    if (!DiskTypeFromName(value, type) || !ReplayTypeServed(*type)) {
        *error = "--replay-type must be SSD_NVMe, SSD_SATA, SSD_SAS or HDD_SAS (types the daemon takes)";
        return false;
    }
    return true;
}

bool ParseRole(const std::string &value, AgentOptions *options, std::string *error)
{
    if (value == "kernel") {
        options->role = AGENT_ROLE_KERNEL;
    } else if (value == "user") {
        options->role = AGENT_ROLE_USER;
    } else {
        *error = "--role must be kernel or user";
        return false;
    }
    return true;
}

bool ParseValueOption(const std::string &flag, const std::string &value, AgentOptions *options,
                      std::string *error)
{
    double number = 0;
    if (flag == "--role") {
        return ParseRole(value, options, error);
    } else if (flag == "--socket") {
        options->socketPath = value;
    } else if (flag == "--fleet") {
        options->fleetPath = value;
    } else if (flag == "--replay" && !value.empty()) {
        options->replay.dir = value;
    } else if (flag == "--replay-type") {
        options->replayTuned = true;
        return ParseReplayType(value, &options->replay.type, error);
    } else if (flag == "--replay-io-size" && ParseIoSize(value, &options->replay.ioSize)) {
        options->replayTuned = true;
    } else if (flag == "--record") {
        options->recordPath = NoneToEmpty(value);
    } else if (flag == "--prom-dir") {
        options->promDir = NoneToEmpty(value);
    } else if (flag == "--sysfs") {
        options->hostOptions.sysfsRoot = value;
    } else if (flag == "--diskstats") {
        options->hostOptions.diskstatsPath = value;
    } else if (flag == "--dev") {
        options->hostOptions.devRoot = value;
    } else if (flag == "--smartctl") {
        options->hostOptions.smartctl = NoneToEmpty(value);
    } else if (flag == "--socket-group") {
        options->socketGroup = value;
    } else if (flag == "--time-scale" && ParseDouble(value, 0, 1e6, &number)) {
        options->timeScale = number;
    } else if (flag == "--smartctl-interval" && ParseDouble(value, 0.1, 1e6, &number)) {
        options->hostOptions.smartctlInterval = number;
    } else if (flag == "--socket-mode" && ParseOctal(value, &options->socketMode)) {
    } else if (flag == "--log-level" && ParseLevel(value, &options->logLevel)) {
    } else if (flag == "--fault") {
        FaultRule rule;
        if (!FaultRuleFromSpec(value, &rule, error)) {
            return false;
        }
        options->faults.push_back(rule);
    } else {
        *error = "bad value \"" + value + "\" for " + flag;
        return false;
    }
    return true;
}

bool IsValueOption(const std::string &flag)
{
    static constexpr const char *kFlags[] = {
        "--role",       "--socket",         "--fleet",     "--record",      "--prom-dir",
        "--sysfs",      "--diskstats",      "--dev",       "--smartctl",    "--socket-group",
        "--time-scale", "--smartctl-interval", "--socket-mode", "--log-level", "--fault",
        "--replay",     "--replay-io-size", "--replay-type"};
    for (const char *known : kFlags) {
        if (flag == known) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char *AgentHelpText() { return kHelp; }

int AgentParseArgs(int argc, char **argv, AgentOptions *options, std::string *error)
{
    Cursor cur{argc, argv, 1};
    for (; cur.index < argc; ++cur.index) {
        std::string flag = argv[cur.index];
        std::string value;
        if (flag == "--help" || flag == "-h") {
            options->help = true;
            return 0;
        } else if (flag == "--host") {
            options->host = true;
        } else if (flag == "--control") {
            options->control = true;
        } else if (flag == "--check") {
            options->check = true;
        } else if (!IsValueOption(flag)) {
            *error = "unknown option " + flag;
            return -1;
        } else if (!Value(&cur, flag.c_str(), &value, error) ||
                   !ParseValueOption(flag, value, options, error)) {
            return -1;
        }
    }
    if (options->role == 0) {
        *error = "--role kernel|user is required";
        return -1;
    }
    if (options->host && !options->fleetPath.empty()) {
        *error = "--fleet and --host exclude each other";
        return -1;
    }
    if (!options->replay.dir.empty() && (options->host || !options->fleetPath.empty())) {
        *error = "--replay excludes --fleet and --host";
        return -1;
    }
    if (options->replayTuned && options->replay.dir.empty()) {
        *error = "--replay-io-size and --replay-type need --replay DIR";
        return -1;
    }
    if (options->socketPath.empty()) {
        options->socketPath = options->role == AGENT_ROLE_USER ? kUserSocketPath : kKernelSocketPath;
    }
    return 0;
}
