// Command line of spindlekeep-agent (see --help and README.md).
#pragma once

#include <string>
#include <vector>

#include "fault_inject.h"
#include "host_source.h"
#include "replay_source.h"

struct AgentOptions {
    uint8_t role = 0;  // AGENT_ROLE_KERNEL or AGENT_ROLE_USER; 0 until given
    std::string socketPath;  // default by role
    std::string fleetPath;   // empty: built-in fleet (unless host)
    bool host = false;
    double timeScale = 1.0;
    bool control = false;
    bool check = false;  // load the fleet, print a summary, exit
    bool help = false;
    std::vector<FaultRule> faults;
    // Below /run, which only root can write: a world-writable default would
    // let any user create the directory first and plant links in it.
    std::string recordPath = "/run/spindlekeep-agent/dma.jsonl";
    std::string promDir = "/run/spindlekeep-agent";
    HostOptions hostOptions;
    ReplayOptions replay;  // replay.dir empty: no replay
    bool replayTuned = false;  // --replay-io-size or --replay-type given
    unsigned socketMode = 0660;
    std::string socketGroup = "spindlekeep_group";
    uint32_t logLevel = 6;
};

inline constexpr const char *kKernelSocketPath = "/tmp/dcak.sock";
inline constexpr const char *kUserSocketPath = "/var/tmp/spdk.sock";

// Fills options from argv. Returns 0, or -1 with a one-line reason.
[[nodiscard]] int AgentParseArgs(int argc, char **argv, AgentOptions *options, std::string *error);
const char *AgentHelpText();
