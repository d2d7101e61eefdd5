// spindlekeep-agent: the disk agent stand-in (kernel or user-space agent, plus
// the data agent in the user role) in front of a simulated fleet, the host's
// own disks or a replayed fail-slow trace.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "agent_log.h"
#include "agent_methods.h"
#include "agent_options.h"
#include "data_agent.h"
#include "fleet_file.h"
#include "fleet_source.h"
#include "host_source.h"
#include "replay_source.h"
#include "rpc_server.h"

namespace {

std::unique_ptr<DiskSource> MakeFleetSource(const AgentOptions &options, FaultTable *faults)
{
    Fleet fleet;
    std::vector<FaultRule> fleetFaults;
    std::string error;
    int ret = options.fleetPath.empty()
                  ? FleetParse(FleetDefaultText(), &fleet, &fleetFaults, &error)
                  : FleetLoadFile(options.fleetPath, &fleet, &fleetFaults, &error);
    if (ret != 0) {
        fprintf(stderr, "spindlekeep-agent: %s\n", error.c_str());
        return nullptr;
    }
    for (const FaultRule &rule : fleetFaults) {
        faults->Add(rule);
    }
    return std::make_unique<FleetSource>(std::move(fleet), options.timeScale);
}

// Loads the whole trace before serving, so a bad directory or row stops the
// agent with its reason instead of leaving the daemon a host with gaps.
std::unique_ptr<DiskSource> MakeReplaySource(const AgentOptions &options)
{
    TraceHost host;
    std::string error;
    if (ReplayLoadHost(options.replay, &host, &error) != 0) {
        fprintf(stderr, "spindlekeep-agent: cannot replay: %s\n", error.c_str());
        return nullptr;
    }
    ALOG_INFO("replaying %s: %zu drives, %zu windows, %llu rows (%llu with NA) as %s", host.name.c_str(),
              host.drives.size(), host.windows.size(), static_cast<unsigned long long>(host.rows),
              static_cast<unsigned long long>(host.naRows), DiskTypeName(options.replay.type));
    return std::make_unique<ReplaySource>(std::move(host), options.replay, options.timeScale);
}

void PrintDisks(DiskSource *source, uint8_t role)
{
    SourceSnapshot snap = source->Snapshot(role);
    for (const DiskView &disk : snap.disks) {
        printf("%-10s %-40s %-10s %-9s %-20s%s\n", disk.id.device.c_str(), disk.id.serial.c_str(),
               DiskTypeName(disk.id.type), disk.id.vendor.c_str(), disk.id.model.c_str(),
               disk.id.classified ? "" : " (unclassified)");
    }
    printf("%zu disks\n", snap.disks.size());
}

// The directory a data-agent output goes into ("" for none).
std::string DirOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (path.empty() || slash == std::string::npos) {
        return path.empty() ? std::string() : ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int Serve(const AgentOptions &options, DiskSource *source, FaultTable *faults)
{
    std::unique_ptr<DataAgent> dataAgent;
    if (options.role == AGENT_ROLE_USER) {
        for (const std::string &dir : {DirOf(options.recordPath), options.promDir}) {
            std::string error;
            if (!dir.empty() && !DataAgentPrepareDir(dir, &error)) {
                fprintf(stderr, "spindlekeep-agent: refusing the output directory: %s\n",
                        error.c_str());
                return 1;
            }
        }
        dataAgent = std::make_unique<DataAgent>(DataAgentOptions{options.recordPath, options.promDir});
    }
    AgentContext ctx{source, faults, dataAgent.get(), options.role, options.control};
    RpcServerOptions serverOptions;
    serverOptions.socketPath = options.socketPath;
    serverOptions.mode = static_cast<mode_t>(options.socketMode);
    serverOptions.group = options.socketGroup;
    RpcServer server;
    int err = server.Start(serverOptions, [ctx](const char *text, size_t len) {
        return AgentDispatch(ctx, text, len);
    });
    if (err != 0) {
        fprintf(stderr, "spindlekeep-agent: cannot serve %s: %s\n", options.socketPath.c_str(),
                strerror(err));
        return 1;
    }
    ALOG_INFO("%s agent serving %s (%zu disks)", options.role == AGENT_ROLE_USER ? "user" : "kernel",
              options.socketPath.c_str(), source->Snapshot(options.role).disks.size());
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    server.Stop();
    if (dataAgent != nullptr) {
        dataAgent->Freeze();
    }
    ALOG_INFO("stopped by signal %d", sig);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    AgentOptions options;
    std::string error;
    if (AgentParseArgs(argc, argv, &options, &error) != 0) {
        fprintf(stderr, "spindlekeep-agent: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(AgentHelpText(), stdout);
        return 0;
    }
    AgentLogSetLevel(options.logLevel);
    // Signals are taken by sigwait in the main thread only; every thread
    // started from here inherits the mask.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    // Rules are tried in order: fleet file, command line, control method.
    FaultTable faults;
    std::unique_ptr<DiskSource> source;
    if (options.host) {
        auto host = std::make_unique<HostSource>(options.hostOptions);
        if (!options.check) {
            host->Start();
        } else {
            host->RefreshHealthNow();
        }
        source = std::move(host);
    } else if (!options.replay.dir.empty()) {
        source = MakeReplaySource(options);
    } else {
        source = MakeFleetSource(options, &faults);
    }
    if (source == nullptr) {
        return 1;
    }
    for (const FaultRule &rule : options.faults) {
        faults.Add(rule);
    }
    if (options.check) {
        PrintDisks(source.get(), options.role);
        return 0;
    }
    int ret = Serve(options, source.get(), &faults);
    fflush(stderr);
    // Connection threads are detached and the health refresher may sit in a
    // smartctl run; leave without unwinding them.
    _exit(ret);
}
