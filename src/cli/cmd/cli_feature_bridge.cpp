// Until the analyses exist in this tree, a change reaches the configuration
// file only; the features read it when they start.
#include "cli/cmd/cli_feature_bridge.h"

#include "cli/common/cli_log.h"

namespace SPINDLEKEEP_CLI {

int32_t CliDprSetSwitch(bool on)
{
    CLI_LOG(CLI_LOG_DEBUG, "prefail routine switch %d: feature not present.", on);
    return 0;
}

int32_t CliSlowDiskSetSwitch(bool on)
{
    CLI_LOG(CLI_LOG_DEBUG, "slow disk detector switch %d: feature not present.", on);
    return 0;
}

int32_t CliSlowDiskSetConfig(uint32_t diskType, uint32_t minThreshold, uint32_t minSlowCycle)
{
    CLI_LOG(CLI_LOG_DEBUG, "slow disk detector config %u %u %u: feature not present.", diskType,
            minThreshold, minSlowCycle);
    return 0;
}

int32_t CliDprSetCycle(uint32_t diskType, uint32_t cycle)
{
    CLI_LOG(CLI_LOG_DEBUG, "prefail routine cycle %u %u: feature not present.", diskType, cycle);
    return 0;
}

void CliDiskLifeSetScheduleTime(uint32_t seconds)
{
    CLI_LOG(CLI_LOG_DEBUG, "disk life monitor schedule %u: feature not present.", seconds);
}

void CliApplyTakeOverSwitch(bool on)
{
    CLI_LOG(CLI_LOG_DEBUG, "take-over switch %d: hot-plug listener not present.", on);
}

}  // namespace SPINDLEKEEP_CLI
