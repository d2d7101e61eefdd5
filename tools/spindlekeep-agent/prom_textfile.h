// The data agent's Prometheus output: what the daemon last told it about each
// disk, as a node_exporter textfile-collector file ("spindlekeep.prom"), every
// metric prefixed "spindlekeep_". The file is replaced atomically (write a
// hidden temporary beside it, fsync, rename) so a scrape never sees half.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Latest knowledge about one disk, keyed by serial number.
struct DmaDiskRecord {
    bool hasInfo = false;
    std::string device;
    std::string vendor;
    std::string model;
    double capacity = 0;
    int64_t diskType = -1;
    int64_t state = -1;  // -1: never sent
    bool hasStrategy = false;
    std::string strategy;
    bool poweredOff = false;
    double updated = 0;  // Unix seconds of the last message
};

struct DmaState {
    std::map<std::string, DmaDiskRecord> disks;
    std::map<std::string, uint64_t> accepted;  // messages by method
    std::map<std::string, uint64_t> rejected;
};

// The textfile content.
std::string PromRender(const DmaState &state);
// Writes text to dir/spindlekeep.prom atomically. 0 or an errno value.
[[nodiscard]] int PromWriteAtomic(const std::string &dir, const std::string &text);
// Escapes a label value (backslash, double quote, newline).
std::string PromEscape(const std::string &value);
