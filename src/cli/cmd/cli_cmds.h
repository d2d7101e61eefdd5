// The CLI commands behind the registered names:
//   "slowdisk", "summary"                          SlowDiskCmd
//   "config"                                       ConfigCmd
//   "slowdisk_detect_config"                       SlowDiskDetectCmd
//   "slowdisk_outlier_config"                      SlowDiskOutlierCmd
//   "disk_info", "iostat_info", "smart_info", "drm_info"  QueryInfoCmd
//   "dpr_smart"                                    DprSmartCmd
//   "disklife_prediction"                          DiskLifePredictionCmd
// Each Exec parses its arguments, reads "action" and runs a show or change
// against the configuration, the data store or the analyses. Commands run on
// the CLI worker thread; the stores they call carry their own locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "cli/cmd/cli_base_cmd.h"

namespace SPINDLEKEEP_CLI {

struct CliCmdEntry {
    const char *name;
    CmdFactory factory;
};

// The registered commands, in registration order.
const CliCmdEntry *CliCommandTable(size_t *count);

// Disk-type index of the per-type commands (= DRM disk type) and its node.
inline constexpr uint32_t CLI_DISK_TYPE_NUM = 4;
inline constexpr uint32_t CLI_DISK_TYPE_SAS_HDD = 3;

// "Label     : value\n" with the label padded to `width`.
std::string CliLine(const char *label, int width, const std::string &value);
// Capacity as "1023.0B", "1.0TB": divided by 1024 up to four times, one decimal.
std::string CliHumanSize(uint64_t bytes);

class ConfigCmd : public BaseCommand {
public:
    using Setter = int32_t (*)(const char *name, uint32_t value);
    ConfigCmd();
    int32_t Exec(const std::string &args, std::string &out) override;

private:
    int32_t ShowConfig(std::string &out);
    std::map<std::string, Setter> setters_;
};

class SlowDiskCmd : public BaseCommand {
public:
    int32_t Exec(const std::string &args, std::string &out) override;
};

class QueryInfoCmd : public BaseCommand {
public:
    int32_t Exec(const std::string &args, std::string &out) override;
};

class SlowDiskDetectCmd : public BaseCommand {
public:
    SlowDiskDetectCmd();
    int32_t Exec(const std::string &args, std::string &out) override;

    // The detector's per-type record: a setter checks the new value, applies
    // it to the record and hands the record to the detector.
    struct Config {
        uint32_t diskType;
        uint32_t minThreshold;
        uint32_t minSlowCycle;
    };
    using Setter = int32_t (*)(Config *cfg, uint32_t value);

private:
    int32_t ChangeParam(const std::string &name, Setter setter);
    std::map<std::string, Setter> setters_;
};

// The peer-outlier mode's row per disk type: "show", or "change" with
// "disk_type" and one "outlier_*" key; ranges and codes as SlowDiskDetectCmd.
class SlowDiskOutlierCmd : public BaseCommand {
public:
    int32_t Exec(const std::string &args, std::string &out) override;
};

class DprSmartCmd : public BaseCommand {
public:
    int32_t Exec(const std::string &args, std::string &out) override;
};

class DiskLifePredictionCmd : public BaseCommand {
public:
    int32_t Exec(const std::string &args, std::string &out) override;
};

// Setters of ConfigCmd, also for tests: switch the collection and analyses,
// and the NVMe take-over. 0 or -1.
int32_t CliSetFeatureSwitchConfig(const char *name, uint32_t value);
int32_t CliSetTakeOverSwitchConfig(const char *name, uint32_t value);

}  // namespace SPINDLEKEEP_CLI
