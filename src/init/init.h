// Start-up: the ordered step table, its rollback, the process lock and the
// feature start.
//
// InitSpindleKeep runs once on the main thread, before any of the daemon's
// own threads exist. Steps are finalised only as the rollback of a failed
// start-up, never on an orderly exit.
#pragma once

#include <cstddef>
#include <cstdint>

using StartupOp = int (*)();

struct StartupStep {
    char name[32];
    StartupOp init;  // 0 = success; absent rows are skipped
    StartupOp fini;  // result only logged; may be absent
};

// Start modes: 1 is the master process, 0 a shared-lock mode nothing starts in.
inline constexpr uint32_t START_MODE_SUPER = 0;
inline constexpr uint32_t START_MODE_MASTER = 1;

// Runs the step table and, when every step succeeded, the feature start.
// 0 on success; -1 for a start mode of 2 or more; else the failing step's result.
[[nodiscard]] int InitSpindleKeep(uint32_t startMode);

// Takes the POSIX record lock on the process lock file (descriptor kept open
// for the life of the process), after making the file 0600 and, when run as
// root, the service user's. 0, or the errno of the failing call (EPERM when
// the name is not one plain file).
[[nodiscard]] int KeeperTryLockFile(int16_t lockType);

// True when another process holds a lock on the process lock file, i.e. a
// master runs. Only asks (F_GETLK); false when the file cannot be opened.
[[nodiscard]] bool KeeperProcessLockHeld();

// Init of the "Process_Check" step.
[[nodiscard]] int ProcessCheckInit();

// The start mode stored by InitSpindleKeep.
uint32_t InitStartMode();

// The daemon's step table (the constant rows, in order).
const StartupStep *InitStepTable(size_t *count);

// Runs `count` steps with the rollback rules: on the first failing step the
// earlier steps with a fini are finalised in reverse order. Returns 0 or the
// failing result. Split out so that tests can run a table with injected
// failures.
[[nodiscard]] int InitRunSteps(const StartupStep *steps, size_t count);

// One operation of the feature start; failures are the operation's own business.
struct FeatureStartOp {
    const char *name;
    void (*run)();
};

// The feature-start operations, in order.
const FeatureStartOp *InitFeatureStartTable(size_t *count);

// Runs every operation in order, each regardless of the others.
void InitRunFeatureStart(const FeatureStartOp *ops, size_t count);
