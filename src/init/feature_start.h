// Feature start of the analyses: hands the configured switch, slow-disk
// thresholds, prefail cycles and life-monitor schedule to the DRM features.
// Runs once on the main thread after every start-up step succeeded; failures
// are logged and leave the features on their defaults.
#pragma once

#include <cstdint>

#include "ma/drm/feature/slow_disk_detecter/slow_disk_outlier.h"

void StartFeature();

// The peer-outlier row of a DRM type (< 4) as the configuration holds it: each
// "outlier_*" key of the type's section that is present and in its range,
// the default for a missing key, and for a bad value the default with an
// error naming the key. Also the CLI's view of the rows.
SlowDiskOutlierConfig LoadSlowDiskOutlierConfig(uint32_t drmType);
// Hands the four rows to the detector.
void SetSlowDiskOutlierConfig();

// Its parts, exposed for tests. SetDprSmartSwitch returns 0 or -1.
void SetSlowDiskDetectConfig();
[[nodiscard]] int SetDprSmartSwitch(uint32_t featureSwitch);
void SetDprSmartConfig();
