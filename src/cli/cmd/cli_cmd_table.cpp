#include <memory>

#include "cli/cmd/cli_cmds.h"

namespace SPINDLEKEEP_CLI {

namespace {

template <typename T>
std::shared_ptr<BaseCommand> Make()
{
    return std::make_shared<T>();
}

constexpr CliCmdEntry kCmds[] = {
    {"slowdisk", Make<SlowDiskCmd>},
    {"summary", Make<SlowDiskCmd>},
    {"config", Make<ConfigCmd>},
    {"slowdisk_detect_config", Make<SlowDiskDetectCmd>},
    {"slowdisk_outlier_config", Make<SlowDiskOutlierCmd>},
    {"disk_info", Make<QueryInfoCmd>},
    {"iostat_info", Make<QueryInfoCmd>},
    {"smart_info", Make<QueryInfoCmd>},
    {"drm_info", Make<QueryInfoCmd>},
    {"dpr_smart", Make<DprSmartCmd>},
    {"disklife_prediction", Make<DiskLifePredictionCmd>},
};
static_assert(sizeof(kCmds) / sizeof(kCmds[0]) == 11, "eleven command names");

}  // namespace

const CliCmdEntry *CliCommandTable(size_t *count)
{
    *count = sizeof(kCmds) / sizeof(kCmds[0]);
    return kCmds;
}

}  // namespace SPINDLEKEEP_CLI
