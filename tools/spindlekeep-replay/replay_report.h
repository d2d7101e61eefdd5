// Labels, scores and the printed/JSON reports of spindlekeep-replay.
//
// A drive counts as positive for a period when a mode declared it in at least
// one cycle of that period: per host-day (one window) and per host over the
// whole trace. Pure functions over the engine's results; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "replay_engine.h"

// Labelled fail-slow drives as (host, drive) pairs.
struct ReplayLabels {
    std::vector<std::pair<std::string, std::string>> drives;
};

// Reads a labels file with a header naming host_name and disk_id columns
// (other columns ignored). Returns 0, or -1 with `error` ("file:line: why").
[[nodiscard]] int ReplayReadLabels(const std::string &path, ReplayLabels *labels,
                                   std::string *error);
bool ReplayIsLabelled(const ReplayLabels &labels, const std::string &host,
                      const std::string &drive);

struct ReplayScore {
    uint32_t declared;
    uint32_t truePositives;
    uint32_t falsePositives;
    uint32_t falseNegatives;
};
// Score of `mode` on one host: over window `window`, or the whole trace for -1.
ReplayScore ReplayScoreHost(const ReplayHost &host, const ReplayLabels &labels, uint32_t mode,
                            int window);

// What the run measured besides the decisions.
struct ReplayRunFigures {
    double seconds;     // wall time of the replay itself (not the reading)
    double cpuSeconds;  // CPU time of the same
    uint64_t cycles;    // over all hosts
    uint64_t problems;  // trace rows or files that were reported and skipped
};

// Per drive: the label (when labels are given), each mode's outcome with its
// first declaration, and for the written rule the gates that failed.
std::string ReplayDriveTable(const std::vector<ReplayHost> &hosts, const ReplayLabels *labels);
// Per host-day and per host: declared, TP, FP, FN, precision and recall of
// both modes.
std::string ReplayScoreTable(const std::vector<ReplayHost> &hosts, const ReplayLabels &labels);
// Everything above as one JSON document; `labels` may be null.
std::string ReplayJson(const std::vector<ReplayHost> &hosts, const ReplayLabels *labels,
                       const ReplayOptions &options, const ReplayRunFigures &figures);
