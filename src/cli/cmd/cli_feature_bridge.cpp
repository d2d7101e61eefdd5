#include "cli/cmd/cli_feature_bridge.h"

#include <algorithm>

#include "cli/common/cli_log.h"
#include "init/init_takeover.h"
#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"
#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_rules.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr uint32_t kStartTypeSmart = 0;
constexpr uint32_t kU8Max = 255;

}  // namespace

int32_t CliDprSetSwitch(bool on)
{
    DprSwitch sw = {kStartTypeSmart, static_cast<uint8_t>(on ? 1 : 0)};
    return DrmDprSetSwitch(&sw);
}

int32_t CliSlowDiskSetSwitch(bool on) { return DrmSlowDiskDetectSetSwitch(on ? 1 : 0); }

// The detector keeps its threshold in one byte while the command accepts up
// to 500 for SAS HDDs: a larger value is handed over as 255, the closest the
// detector can hold, instead of wrapping round to a small threshold.
int32_t CliSlowDiskSetConfig(uint32_t diskType, uint32_t minThreshold, uint32_t minSlowCycle)
{
    if (minThreshold > kU8Max) {
        CLI_LOG(CLI_LOG_WARN, "min_threshold_value %u handed to the detector as %u.", minThreshold,
                kU8Max);
    }
    SlowDiskConfig cfg = {};
    cfg.diskType = diskType;
    cfg.minThreshold = static_cast<uint8_t>(std::min(minThreshold, kU8Max));
    cfg.minSlowCycle = static_cast<uint8_t>(std::min(minSlowCycle, kU8Max));
    return DrmSlowDiskDetectSetConfig(&cfg);
}

int32_t CliDprSetCycle(uint32_t diskType, uint32_t cycle)
{
    DprCycleConfig cfg = {kStartTypeSmart, diskType, cycle};
    return DrmDprSetCycleConfig(&cfg);
}

void CliDiskLifeSetScheduleTime(uint32_t seconds) { DrmDiskLifeMonitorSetScheduleTime(seconds); }

void CliApplyTakeOverSwitch(bool on) { ApplyTakeOverDiskSwitch(on); }

}  // namespace SPINDLEKEEP_CLI
