// Bring-up of the DRM framework and its features: the start-up step "DRM".
#pragma once

#include <cstddef>

// One stage of the bring-up: init (0 = success), fini (may be null) and the
// ERROR text logged when init fails.
struct DrmInitStage {
    const char *name;
    int (*init)();
    int (*fini)();
    const char *failMsg;
};

// Runs stages in order; at a failure logs its failMsg, finalises the stages
// before it in reverse order and returns -1. 0 on success.
[[nodiscard]] int DrmRunStages(const DrmInitStage *stages, size_t count);
// Finalises every stage, last to first.
void DrmFiniStages(const DrmInitStage *stages, size_t count);

// The framework stages (adapter phase 1, framework modules, local data,
// adapter phase 2) and the feature initialisers, in bring-up order.
const DrmInitStage *DrmFrameworkStages(size_t *count);
const DrmInitStage *DrmFeatureStages(size_t *count);

// Brings up `framework` then `features`; a failure anywhere undoes every
// stage before it, last to first ("init drm features failed." when a feature
// failed). 0 / -1. SpindleKeepInitDrm runs it over the two tables above.
[[nodiscard]] int DrmBringUp(const DrmInitStage *framework, size_t frameworkCount,
                             const DrmInitStage *features, size_t featureCount);

// The "DRM" step: framework stages, then the features; a failure undoes
// everything before it. 0 / -1.
[[nodiscard]] int SpindleKeepInitDrm();
[[nodiscard]] int SpindleKeepInitDrmFeatures();
// Its fini: features (reverse order), then the framework stages in reverse. 0.
int SpindleKeepFiniDrm();
