// Feature start of the analyses: hands the configured switch, slow-disk
// thresholds, prefail cycles and life-monitor schedule to the DRM features.
// Runs once on the main thread after every start-up step succeeded; failures
// are logged and leave the features on their defaults.
#pragma once

#include <cstdint>

void StartFeature();

// Its parts, exposed for tests. SetDprSmartSwitch returns 0 or -1.
void SetSlowDiskDetectConfig();
[[nodiscard]] int SetDprSmartSwitch(uint32_t featureSwitch);
void SetDprSmartConfig();
