#include "failslow_trace.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

namespace {

constexpr double kUsPerSecond = 1000000.0;
constexpr double kFloorSlack = 1e-6;

// One data row as read, before the drives are numbered.
struct RawRow {
    int64_t ts;
    std::string drive;
    TraceSample sample;
    uint32_t line;
};

std::string Unquote(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) {
        s.pop_back();
    }
    size_t b = s.find_first_not_of(' ');
    s = b == std::string::npos ? std::string() : s.substr(b);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
        s = s.substr(1, s.size() - 2);
    }
    return s;
}

std::vector<std::string> SplitFields(const std::string &line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t comma = line.find(',', pos);
        out.push_back(Unquote(line.substr(pos, comma - pos)));
        if (comma == std::string::npos) {
            return out;
        }
        pos = comma + 1;
    }
}

bool ParseTs(const std::string &s, int64_t *out) {
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < 0) {
        return false;
    }
    *out = v;
    return true;
}

// A value is NA (sets *na) or a finite number >= 0.
bool ParseValue(const std::string &s, double *out, bool *na) {
    if (s == "NA") {
        *na = true;
        return true;
    }
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0.0) {
        return false;
    }
    *out = v;
    return true;
}

// Parses one data row; on failure `why` says what is wrong with it.
bool ParseRow(const std::string &text, RawRow *row, bool *na, std::string *why) {
    std::vector<std::string> f = SplitFields(text);
    if (f.size() != 4) {
        *why = "expected 4 fields, found " + std::to_string(f.size());
        return false;
    }
    if (!ParseTs(f[0], &row->ts)) {
        *why = "bad ts '" + f[0] + "'";
        return false;
    }
    if (f[1].empty()) {
        *why = "empty disk_id";
        return false;
    }
    row->drive = f[1];
    bool naTp = false;
    bool naLat = false;
    row->sample = TraceSample{0.0, 0.0, false};
    if (!ParseValue(f[2], &row->sample.throughput, &naTp)) {
        *why = "bad throughput '" + f[2] + "'";
        return false;
    }
    if (!ParseValue(f[3], &row->sample.latencyUs, &naLat)) {
        *why = "bad latency '" + f[3] + "'";
        return false;
    }
    *na = naTp || naLat;
    row->sample.valid = !*na;
    return true;
}

bool HeaderOk(const std::string &line) {
    std::vector<std::string> f = SplitFields(line);
    return f.size() == 4 && f[0] == "ts" && f[1] == "disk_id" && f[2] == "throughput" &&
           f[3] == "latency";
}

void ReadFile(const std::string &dir, const std::string &name, TraceHost *host,
              std::vector<RawRow> *rows) {
    std::ifstream in(dir + "/" + name);
    std::string line;
    if (!in || !std::getline(in, line)) {
        host->problems.push_back(name + ":1: cannot read the file");
        return;
    }
    if (!HeaderOk(line)) {
        host->problems.push_back(name +
                                 ":1: header is not ts,disk_id,throughput,latency; file skipped");
        return;
    }
    uint32_t lineNo = 1;
    while (std::getline(in, line)) {
        ++lineNo;
        if (Unquote(line).empty()) {
            continue;
        }
        ++host->rows;
        RawRow row;
        bool na = false;
        std::string why;
        if (!ParseRow(line, &row, &na, &why)) {
            ++host->badRows;
            host->problems.push_back(name + ":" + std::to_string(lineNo) + ": " + why);
            continue;
        }
        host->naRows += na ? 1 : 0;
        row.line = lineNo;
        rows->push_back(std::move(row));
    }
}

// "disk2" before "disk10": by the trailing number, then by name.
bool DriveLess(const std::string &a, const std::string &b) {
    auto num = [](const std::string &s) {
        size_t i = s.find_last_not_of("0123456789");
        std::string digits = i == std::string::npos ? s : s.substr(i + 1);
        return digits.empty() || digits.size() > 9 ? -1L : std::atol(digits.c_str());
    };
    long na = num(a);
    long nb = num(b);
    return na != nb ? na < nb : a < b;
}

// Splits one file's rows into windows at gaps and places them on the slots.
void BuildWindows(const std::string &name, std::vector<RawRow> &rows,
                  const std::map<std::string, size_t> &driveIdx, TraceHost *host) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const RawRow &a, const RawRow &b) { return a.ts < b.ts; });
    size_t begin = 0;
    while (begin < rows.size()) {
        size_t end = begin + 1;
        while (end < rows.size() && rows[end].ts - rows[end - 1].ts <= kTraceWindowGapSeconds) {
            ++end;
        }
        TraceWindow w;
        w.file = name;
        w.start = rows[begin].ts;
        w.slotCount = static_cast<uint32_t>((rows[end - 1].ts - w.start + kTraceStepSeconds / 2) /
                                            kTraceStepSeconds) +
                      1;
        w.slots.assign(host->drives.size(),
                       std::vector<TraceSample>(w.slotCount, TraceSample{0.0, 0.0, false}));
        std::vector<std::vector<bool>> seen(host->drives.size(),
                                            std::vector<bool>(w.slotCount, false));
        for (size_t i = begin; i < end; ++i) {
            const RawRow &r = rows[i];
            size_t d = driveIdx.at(r.drive);
            auto slot =
                static_cast<uint32_t>((r.ts - w.start + kTraceStepSeconds / 2) / kTraceStepSeconds);
            if (seen[d][slot]) {
                ++host->badRows;
                host->problems.push_back(name + ":" + std::to_string(r.line) +
                                         ": second sample of " + r.drive + " at ts " +
                                         std::to_string(r.ts) + "; skipped");
                continue;
            }
            seen[d][slot] = true;
            w.slots[d][slot] = r.sample;
        }
        host->windows.push_back(std::move(w));
        begin = end;
    }
}

int ListCsv(const std::string &dir, std::vector<std::string> *names, std::string *error) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        *error = dir + ": cannot list the directory: " + strerror(errno);
        return -1;
    }
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".csv") == 0) {
            names->push_back(n);
        }
    }
    closedir(d);
    std::sort(names->begin(), names->end());
    if (names->empty()) {
        *error = dir + ": no .csv files";
        return -1;
    }
    return 0;
}

}  // namespace

int TraceReadHost(const std::string &dir, TraceHost *host, std::string *error) {
    *host = TraceHost{};
    std::string trimmed = dir;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    size_t slash = trimmed.find_last_of('/');
    host->name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    std::vector<std::string> names;
    if (ListCsv(trimmed, &names, error) != 0) {
        return -1;
    }
    std::vector<std::vector<RawRow>> perFile(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ReadFile(trimmed, names[i], host, &perFile[i]);
        for (const RawRow &r : perFile[i]) {
            if (std::find(host->drives.begin(), host->drives.end(), r.drive) ==
                host->drives.end()) {
                host->drives.push_back(r.drive);
            }
        }
    }
    std::sort(host->drives.begin(), host->drives.end(), DriveLess);
    std::map<std::string, size_t> driveIdx;
    for (size_t i = 0; i < host->drives.size(); ++i) {
        driveIdx[host->drives[i]] = i;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        BuildWindows(names[i], perFile[i], driveIdx, host);
    }
    std::stable_sort(host->windows.begin(), host->windows.end(),
                     [](const TraceWindow &a, const TraceWindow &b) { return a.start < b.start; });
    if (host->windows.empty()) {
        *error = trimmed + ": no usable trace row (" + std::to_string(host->problems.size()) +
                 " problem(s) reported)";
        return -1;
    }
    return 0;
}

int TraceDriveIndex(const TraceHost &host, const std::string &drive) {
    auto it = std::find(host.drives.begin(), host.drives.end(), drive);
    return it == host.drives.end() ? -1 : static_cast<int>(it - host.drives.begin());
}

TraceCounterStep TraceModelStep(const TraceSample &sample, double intervalSeconds,
                                uint32_t ioSize) {
    TraceCounterStep s{};
    if (!sample.valid || ioSize == 0 || !(intervalSeconds > 0.0)) {
        return s;
    }
    double iops = sample.throughput / ioSize;
    s.readOps = iops * intervalSeconds;
    s.bytesRead = sample.throughput * intervalSeconds;
    s.readLatencyUs = s.readOps * sample.latencyUs;
    s.busyUs = std::min(intervalSeconds * kUsPerSecond, s.readLatencyUs);
    s.inFlight = iops * sample.latencyUs / kUsPerSecond;
    return s;
}

void TraceCountersAdd(TraceCounters *c, const TraceCounterStep &step) {
    const double add[7] = {step.readOps,      step.writeOps,      step.bytesRead,
                           step.bytesWritten, step.readLatencyUs, step.writeLatencyUs,
                           step.busyUs};
    uint64_t *counters[7] = {&c->readOps,       &c->writeOps,       &c->bytesRead, &c->bytesWritten,
                             &c->readLatencyUs, &c->writeLatencyUs, &c->ioTimeUs};
    for (int i = 0; i < 7; ++i) {
        c->exact[i] += add[i];
        // The slack keeps a sum like 1000 x 0.3 from flooring to 299.
        *counters[i] = static_cast<uint64_t>(std::floor(c->exact[i] + kFloorSlack));
    }
    double level = std::round(step.inFlight);
    c->inFlight = level >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(level);
}
