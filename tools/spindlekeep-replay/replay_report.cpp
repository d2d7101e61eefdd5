#include "replay_report.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>

namespace {

constexpr const char *kModeNames[REPLAY_MODE_NUM] = {"written", "outlier"};
static_assert(sizeof(kModeNames) / sizeof(kModeNames[0]) == REPLAY_MODE_NUM, "one name per mode");

void Appendf(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string *out, const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n > 0) {
        out->append(buf, std::min(static_cast<size_t>(n), sizeof(buf) - 1));
    }
}

std::vector<std::string> SplitCsv(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t comma = line.find(',', pos);
        std::string f = line.substr(pos, comma - pos);
        if (f.size() >= 2 && f.front() == '"' && f.back() == '"') {
            f = f.substr(1, f.size() - 2);
        }
        out.push_back(f);
        if (comma == std::string::npos) {
            return out;
        }
        pos = comma + 1;
    }
}

// Percent of `part` in `whole`, 0 for an empty whole.
double Percent(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

std::string DecisionText(const ReplayHost &h, const ReplayDecision &d) {
    std::string s;
    if (!d.declared) {
        return "no";
    }
    Appendf(&s, "yes %.2f h (%s)", d.traceHours, h.days[d.window].c_str());
    return s;
}

std::string GatesText(const ReplayGates &g) {
    std::string s;
    Appendf(&s, "svctm %5.1f%% busy %5.1f%% util %5.1f%% bw %5.1f%% peers %llu",
            Percent(g.svctm, g.cycles), Percent(g.busy, g.cycles), Percent(g.util, g.cycles),
            Percent(g.bandwidth, g.cycles), static_cast<unsigned long long>(g.peers));
    return s;
}

// "-" when the quotient has no divisor.
std::string Ratio(uint32_t num, uint32_t den) {
    std::string s = "-";
    if (den != 0) {
        s.clear();
        Appendf(&s, "%.2f", static_cast<double>(num) / den);
    }
    return s;
}

void ScoreRow(std::string *out, const std::string &host, const std::string &day, uint32_t mode,
              const ReplayScore &s) {
    Appendf(out, "%-10s %-12s %-8s %8u %3u %3u %3u %9s %6s\n", host.c_str(), day.c_str(),
            kModeNames[mode], s.declared, s.truePositives, s.falsePositives, s.falseNegatives,
            Ratio(s.truePositives, s.truePositives + s.falsePositives).c_str(),
            Ratio(s.truePositives, s.truePositives + s.falseNegatives).c_str());
}

cJSON *ScoreJson(const ReplayScore &s) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "declared", s.declared);
    cJSON_AddNumberToObject(o, "tp", s.truePositives);
    cJSON_AddNumberToObject(o, "fp", s.falsePositives);
    cJSON_AddNumberToObject(o, "fn", s.falseNegatives);
    uint32_t p = s.truePositives + s.falsePositives;
    uint32_t r = s.truePositives + s.falseNegatives;
    p == 0 ? cJSON_AddNullToObject(o, "precision")
           : cJSON_AddNumberToObject(o, "precision", static_cast<double>(s.truePositives) / p);
    r == 0 ? cJSON_AddNullToObject(o, "recall")
           : cJSON_AddNumberToObject(o, "recall", static_cast<double>(s.truePositives) / r);
    return o;
}

cJSON *DriveJson(const ReplayHost &h, const ReplayDrive &d, const ReplayLabels *labels) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "drive", d.name.c_str());
    if (labels != nullptr) {
        cJSON_AddBoolToObject(o, "labelled", ReplayIsLabelled(*labels, h.name, d.name));
    }
    for (uint32_t m = 0; m < REPLAY_MODE_NUM; ++m) {
        const ReplayDecision &dec = d.mode[m];
        cJSON *j = cJSON_AddObjectToObject(o, kModeNames[m]);
        cJSON_AddBoolToObject(j, "declared", dec.declared);
        cJSON_AddNumberToObject(j, "declarations", static_cast<double>(dec.count));
        if (dec.declared) {
            cJSON_AddNumberToObject(j, "first_trace_hours", dec.traceHours);
            cJSON_AddNumberToObject(j, "first_ts", static_cast<double>(dec.ts));
            cJSON_AddStringToObject(j, "first_day", h.days[dec.window].c_str());
        }
    }
    const ReplayGates &g = d.gates;
    cJSON *j = cJSON_AddObjectToObject(o, "written_gates");
    const std::pair<const char *, uint64_t> fields[] = {{"cycles", g.cycles},
                                                        {"svctm_below", g.svctm},
                                                        {"busy_below", g.busy},
                                                        {"util_below", g.util},
                                                        {"bandwidth_above", g.bandwidth},
                                                        {"candidate", g.candidate},
                                                        {"peers_below", g.peers},
                                                        {"marked", g.marked}};
    for (const auto &[key, value] : fields) {
        cJSON_AddNumberToObject(j, key, static_cast<double>(value));
    }
    return o;
}

}  // namespace

int ReplayReadLabels(const std::string &path, ReplayLabels *labels, std::string *error) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        *error = path + ": cannot read";
        return -1;
    }
    std::vector<std::string> head = SplitCsv(line);
    auto hostCol = std::find(head.begin(), head.end(), "host_name") - head.begin();
    auto diskCol = std::find(head.begin(), head.end(), "disk_id") - head.begin();
    if (hostCol == static_cast<long>(head.size()) || diskCol == static_cast<long>(head.size())) {
        *error = path + ":1: header has no host_name and disk_id columns";
        return -1;
    }
    labels->drives.clear();
    for (uint32_t lineNo = 2; std::getline(in, line); ++lineNo) {
        std::vector<std::string> f = SplitCsv(line);
        if (f.size() == 1 && f[0].empty()) {
            continue;
        }
        if (static_cast<long>(f.size()) <= std::max(hostCol, diskCol) || f[hostCol].empty() ||
            f[diskCol].empty()) {
            *error = path + ":" + std::to_string(lineNo) + ": no host_name or disk_id";
            return -1;
        }
        labels->drives.emplace_back(f[hostCol], f[diskCol]);
    }
    return 0;
}

bool ReplayIsLabelled(const ReplayLabels &labels, const std::string &host,
                      const std::string &drive) {
    return std::find(labels.drives.begin(), labels.drives.end(), std::make_pair(host, drive)) !=
           labels.drives.end();
}

ReplayScore ReplayScoreHost(const ReplayHost &host, const ReplayLabels &labels, uint32_t mode,
                            int window) {
    ReplayScore s{};
    for (const ReplayDrive &d : host.drives) {
        bool declared = window < 0 ? d.mode[mode].declared : d.windowDeclared[mode][window] != 0;
        bool labelled = ReplayIsLabelled(labels, host.name, d.name);
        s.declared += declared ? 1 : 0;
        s.truePositives += declared && labelled ? 1 : 0;
        s.falsePositives += declared && !labelled ? 1 : 0;
        s.falseNegatives += !declared && labelled ? 1 : 0;
    }
    return s;
}

std::string ReplayDriveTable(const std::vector<ReplayHost> &hosts, const ReplayLabels *labels) {
    std::string out;
    Appendf(&out, "%-10s %-8s %-5s %-26s %-26s %s\n", "host", "drive", "label", "written rule",
            "outlier mode", "written rule gates failed (% of cycles with IO)");
    for (const ReplayHost &h : hosts) {
        for (const ReplayDrive &d : h.drives) {
            const char *label = labels == nullptr                           ? "-"
                                : ReplayIsLabelled(*labels, h.name, d.name) ? "slow"
                                                                            : "";
            Appendf(&out, "%-10s %-8s %-5s %-26s %-26s %s\n", h.name.c_str(), d.name.c_str(), label,
                    DecisionText(h, d.mode[REPLAY_MODE_WRITTEN]).c_str(),
                    DecisionText(h, d.mode[REPLAY_MODE_OUTLIER]).c_str(),
                    GatesText(d.gates).c_str());
        }
    }
    return out;
}

std::string ReplayScoreTable(const std::vector<ReplayHost> &hosts, const ReplayLabels &labels) {
    std::string out;
    Appendf(&out, "%-10s %-12s %-8s %8s %3s %3s %3s %9s %6s\n", "host", "day", "mode", "declared",
            "TP", "FP", "FN", "precision", "recall");
    for (const ReplayHost &h : hosts) {
        for (size_t w = 0; w < h.days.size(); ++w) {
            for (uint32_t m = 0; m < REPLAY_MODE_NUM; ++m) {
                ScoreRow(&out, h.name, h.days[w], m,
                         ReplayScoreHost(h, labels, m, static_cast<int>(w)));
            }
        }
        for (uint32_t m = 0; m < REPLAY_MODE_NUM; ++m) {
            ScoreRow(&out, h.name, "all", m, ReplayScoreHost(h, labels, m, -1));
        }
    }
    return out;
}

std::string ReplayJson(const std::vector<ReplayHost> &hosts, const ReplayLabels *labels,
                       const ReplayOptions &options, const ReplayRunFigures &figures) {
    cJSON *root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "io_size", options.ioSize);
    cJSON_AddNumberToObject(root, "drm_type", options.drmType);
    cJSON_AddNumberToObject(root, "cycles", static_cast<double>(figures.cycles));
    cJSON_AddNumberToObject(root, "seconds", figures.seconds);
    cJSON_AddNumberToObject(
        root, "cycles_per_second",
        figures.seconds > 0 ? static_cast<double>(figures.cycles) / figures.seconds : 0);
    cJSON_AddNumberToObject(root, "cpu_seconds", figures.cpuSeconds);
    cJSON_AddNumberToObject(root, "trace_problems", static_cast<double>(figures.problems));
    cJSON *arr = cJSON_AddArrayToObject(root, "hosts");
    for (const ReplayHost &h : hosts) {
        cJSON *jh = cJSON_CreateObject();
        cJSON_AddItemToArray(arr, jh);
        cJSON_AddStringToObject(jh, "host", h.name.c_str());
        cJSON_AddNumberToObject(jh, "windows", static_cast<double>(h.days.size()));
        cJSON_AddNumberToObject(jh, "trace_cycles", static_cast<double>(h.traceCycles));
        cJSON *drives = cJSON_AddArrayToObject(jh, "drives");
        for (const ReplayDrive &d : h.drives) {
            cJSON_AddItemToArray(drives, DriveJson(h, d, labels));
        }
        if (labels == nullptr) {
            continue;
        }
        cJSON *days = cJSON_AddArrayToObject(jh, "days");
        for (size_t w = 0; w < h.days.size(); ++w) {
            cJSON *jd = cJSON_CreateObject();
            cJSON_AddItemToArray(days, jd);
            cJSON_AddStringToObject(jd, "day", h.days[w].c_str());
            for (uint32_t m = 0; m < REPLAY_MODE_NUM; ++m) {
                cJSON_AddItemToObject(
                    jd, kModeNames[m],
                    ScoreJson(ReplayScoreHost(h, *labels, m, static_cast<int>(w))));
            }
        }
        cJSON *all = cJSON_AddObjectToObject(jh, "all");
        for (uint32_t m = 0; m < REPLAY_MODE_NUM; ++m) {
            cJSON_AddItemToObject(all, kModeNames[m],
                                  ScoreJson(ReplayScoreHost(h, *labels, m, -1)));
        }
    }
    char *text = cJSON_Print(root);
    std::string s = text != nullptr ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return s + "\n";
}
