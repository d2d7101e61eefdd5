// spindlekeep-replay: replays fail-slow trace directories through the
// daemon's IO statistics and slow-disk detectors on a virtual clock and
// prints which drives each mode declares (see --help).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "failslow_trace.h"
#include "replay_engine.h"
#include "replay_report.h"

namespace {

const char kHelp[] =
    "Usage: spindlekeep-replay [options] HOST_DIR...\n"
    "\n"
    "Replays each host directory of fail-slow traces (one CSV per day: ts,disk_id,\n"
    "throughput,latency) through spindlekeepd's IO statistics and slow-disk\n"
    "detectors, one 3-second cycle per step, and prints per drive whether the\n"
    "written rule and the outlier mode declared it and when (trace hours since the\n"
    "drive's first window, replayed time only).\n"
    "\n"
    "  --labels FILE          labelled slow drives (columns host_name, disk_id):\n"
    "                         adds precision, recall and false positives per\n"
    "                         host-day and per host\n"
    "  --json FILE            also write the results as JSON\n"
    "  --io-size BYTES        IO size of the counter model (default 4096)\n"
    "  --drm-type N           DRM disk type of the drives: 0 SATA SSD (default),\n"
    "                         1 SAS SSD, 2 NVMe SSD, 3 SAS HDD\n"
    "  --outlier-ratio R      outlier mode: latency at least R x the median\n"
    "  --outlier-z Z          outlier mode: at least Z robust deviations above it\n"
    "  --outlier-fraction P   outlier mode: share of a window's cycles as outlier\n"
    "  --outlier-window MIN   outlier mode: window length in minutes\n"
    "                         (the outlier options default to the mode's own)\n"
    "  --help                 this text\n"
    "\n"
    "Exit status: 0 done, 1 a trace or labels file could not be used, 2 bad usage.\n";

bool ParseNumber(const char *text, double *out) {
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) {
        return false;
    }
    *out = v;
    return true;
}

struct Args {
    ReplayOptions options;
    std::string labels;
    std::string json;
    std::vector<std::string> hosts;
    bool help = false;
};

// Stores the value of one option. False: the value is not acceptable.
bool SetOption(Args *a, const std::string &name, const char *value) {
    double v = 0;
    if (name == "--labels" || name == "--json") {
        (name == "--labels" ? a->labels : a->json) = value;
        return *value != '\0';
    }
    if (!ParseNumber(value, &v)) {
        return false;
    }
    ReplayOptions &o = a->options;
    if (name == "--io-size" || name == "--drm-type" || name == "--outlier-window") {
        if (v < 0 || v != std::floor(v) || v > 1e6) {
            return false;
        }
        auto u = static_cast<uint32_t>(v);
        if (name == "--io-size") {
            o.ioSize = u;
        } else if (name == "--drm-type") {
            o.drmType = u;
        } else {
            o.windowMin = u;
            o.outlierSet[3] = true;
        }
        return true;
    }
    const char *names[] = {"--outlier-ratio", "--outlier-z", "--outlier-fraction"};
    double *fields[] = {&o.ratio, &o.zScore, &o.fraction};
    for (int i = 0; i < 3; ++i) {
        if (name == names[i]) {
            *fields[i] = v;
            o.outlierSet[i] = true;
            return true;
        }
    }
    return false;
}

int ParseArgs(int argc, char **argv, Args *a) {
    static const char *const kValued[] = {"--labels",           "--json",          "--io-size",
                                          "--drm-type",         "--outlier-ratio", "--outlier-z",
                                          "--outlier-fraction", "--outlier-window"};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            a->help = true;
            return 0;
        }
        if (arg.rfind("--", 0) != 0) {
            a->hosts.push_back(arg);
            continue;
        }
        bool known = false;
        for (const char *k : kValued) {
            known = known || arg == k;
        }
        if (!known) {
            fprintf(stderr, "spindlekeep-replay: unknown option %s (see --help)\n", arg.c_str());
            return -1;
        }
        if (i + 1 >= argc || !SetOption(a, arg, argv[i + 1])) {
            fprintf(stderr, "spindlekeep-replay: %s needs a valid value\n", arg.c_str());
            return -1;
        }
        ++i;
    }
    if (a->hosts.empty()) {
        fprintf(stderr, "spindlekeep-replay: no host directory given (see --help)\n");
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Args a;
    if (ParseArgs(argc, argv, &a) != 0) {
        return 2;
    }
    if (a.help) {
        fputs(kHelp, stdout);
        return 0;
    }
    ReplayLabels labels;
    std::string err;
    ReplayOutlierParams params{};
    if (ReplayOutlierParamsOf(a.options, &params, &err) != 0) {
        fprintf(stderr, "spindlekeep-replay: %s\n", err.c_str());
        return 2;
    }
    if (!a.labels.empty() && ReplayReadLabels(a.labels, &labels, &err) != 0) {
        fprintf(stderr, "spindlekeep-replay: %s\n", err.c_str());
        return 1;
    }
    std::vector<ReplayHost> results;
    ReplayRunFigures fig{};
    for (const std::string &dir : a.hosts) {
        TraceHost trace;
        int read = TraceReadHost(dir, &trace, &err);
        for (const std::string &p : trace.problems) {
            fprintf(stderr, "spindlekeep-replay: %s/%s\n", trace.name.c_str(), p.c_str());
        }
        if (read != 0) {
            fprintf(stderr, "spindlekeep-replay: %s\n", err.c_str());
            return 1;
        }
        fig.problems += trace.problems.size();
        results.emplace_back();
        auto start = std::chrono::steady_clock::now();
        std::clock_t cpuStart = std::clock();
        if (ReplayRunHost(trace, a.options, &results.back(), &err) != 0) {
            fprintf(stderr, "spindlekeep-replay: %s\n", err.c_str());
            return 2;
        }
        fig.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        fig.cpuSeconds += static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        fig.cycles += results.back().cycles;
    }
    const ReplayLabels *lp = a.labels.empty() ? nullptr : &labels;
    printf("DRM type %u, IO size %u B; outlier mode R %.2f Z %.1f P %.2f W %u min\n\n",
           a.options.drmType, a.options.ioSize, params.ratio, params.zScore, params.fraction,
           params.windowMin);
    fputs(ReplayDriveTable(results, lp).c_str(), stdout);
    if (lp != nullptr) {
        fputs("\n", stdout);
        fputs(ReplayScoreTable(results, labels).c_str(), stdout);
    }
    printf(
        "\nreplayed %llu cycles of %zu host(s) in %.2f s (%.2f s CPU): %.0f cycles/s, %.0f per CPU "
        "second; %llu trace problem(s)\n",
        static_cast<unsigned long long>(fig.cycles), results.size(), fig.seconds, fig.cpuSeconds,
        fig.seconds > 0 ? static_cast<double>(fig.cycles) / fig.seconds : 0.0,
        fig.cpuSeconds > 0 ? static_cast<double>(fig.cycles) / fig.cpuSeconds : 0.0,
        static_cast<unsigned long long>(fig.problems));
    if (!a.json.empty()) {
        std::ofstream out(a.json);
        out << ReplayJson(results, lp, a.options, fig);
        if (!out) {
            fprintf(stderr, "spindlekeep-replay: cannot write %s\n", a.json.c_str());
            return 1;
        }
    }
    return 0;
}
