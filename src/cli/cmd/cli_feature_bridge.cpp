#include "cli/cmd/cli_feature_bridge.h"

#include <algorithm>

#include "cli/common/cli_log.h"
#include "init/feature_start.h"
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

// The command has checked the ranges (threshold at most 500, cycles at most
// 100), so both values fit the detector's fields.
int32_t CliSlowDiskSetConfig(uint32_t diskType, uint32_t minThreshold, uint32_t minSlowCycle)
{
    SlowDiskConfig cfg = {};
    cfg.diskType = diskType;
    cfg.minThreshold = static_cast<uint16_t>(std::min<uint32_t>(minThreshold, UINT16_MAX));
    cfg.minSlowCycle = static_cast<uint8_t>(std::min(minSlowCycle, kU8Max));
    return DrmSlowDiskDetectSetConfig(&cfg);
}

int32_t CliSlowDiskOutlierSet(uint32_t diskType, uint32_t field, uint32_t value)
{
    SlowDiskOutlierConfig cfg = LoadSlowDiskOutlierConfig(diskType);
    SlowDiskOutlierFieldSet(&cfg, field, value);
    return DrmSlowDiskOutlierSetConfig(&cfg);
}

int32_t CliDprSetCycle(uint32_t diskType, uint32_t cycle)
{
    DprCycleConfig cfg = {kStartTypeSmart, diskType, cycle};
    return DrmDprSetCycleConfig(&cfg);
}

void CliDiskLifeSetScheduleTime(uint32_t seconds) { DrmDiskLifeMonitorSetScheduleTime(seconds); }

void CliApplyTakeOverSwitch(bool on) { ApplyTakeOverDiskSwitch(on); }

}  // namespace SPINDLEKEEP_CLI
