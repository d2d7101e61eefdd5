// The analyses and the NVMe take-over as the CLI commands change them. One
// place so that the commands do not depend on how each feature names its
// setters. 0 on success, non-zero when the feature refuses.
#pragma once

#include <cstdint>

namespace SPINDLEKEEP_CLI {

[[nodiscard]] int32_t CliDprSetSwitch(bool on);
[[nodiscard]] int32_t CliSlowDiskSetSwitch(bool on);
[[nodiscard]] int32_t CliSlowDiskSetConfig(uint32_t diskType, uint32_t minThreshold,
                                           uint32_t minSlowCycle);
// The peer-outlier row of a disk type as the configuration holds it, with
// one field (an index of the outlier field table) set to `value`, handed to
// the detector. The command has checked the field's range.
[[nodiscard]] int32_t CliSlowDiskOutlierSet(uint32_t diskType, uint32_t field, uint32_t value);
[[nodiscard]] int32_t CliDprSetCycle(uint32_t diskType, uint32_t cycle);
void CliDiskLifeSetScheduleTime(uint32_t seconds);
void CliApplyTakeOverSwitch(bool on);

}  // namespace SPINDLEKEEP_CLI
