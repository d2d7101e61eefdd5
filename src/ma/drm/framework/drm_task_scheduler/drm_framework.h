// The framework's module table (memory, scheduler, diagnose, trace point),
// loaded in order and unloaded in reverse.
#pragma once

#include <cstdint>

struct DrmSubModule {
    char name[128];
    int (*init)();  // nonzero = failure
    int (*fini)();  // may be null; nonzero is logged
};

// Runs init of rows 0..count-1; at the first failure unloads the rows before
// it in reverse order and returns -1. 0 on success.
[[nodiscard]] int DrmloadSubModule(const DrmSubModule *table, uint32_t count);
// Runs fini of rows lastIndex down to 0 (failures are logged, the loop goes on).
void DrmUnloadSubModule(const DrmSubModule *table, int lastIndex);

// Loads / unloads the framework module table. Fin always returns 0.
[[nodiscard]] int DrmFrameworkInit();
int DrmFrameworkFin();
