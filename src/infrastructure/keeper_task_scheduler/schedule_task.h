// Named tasks run repeatedly, each on a detached thread of its own.
//
// A task runs entry(entryArg) after an optional first delay, then again after
// each period, until it is cancelled or has run runTimes times; then it calls
// endCallback(endArg) on the same thread and frees itself. Names are unique
// among running tasks, so a task is found and cancelled by name. Cancelling
// only marks the task: nothing waits for it to end.
//
// All functions are thread safe once InitScheduleTask succeeded. The list lock
// is never held while entry or endCallback runs.
#pragma once

#include <cstdint>

using ScheduleTaskFn = void (*)(void *arg);

struct ScheduleTaskInfo {
    const char *name;     // required, non-empty; copied by the utility
    uint8_t repeatForever;  // 1: until cancelled; else runTimes runs
    uint32_t runTimes;      // must be non-zero when repeatForever is not 1
    uint32_t firstDelayMs;  // 0: start at once
    uint32_t periodMs;      // pause after each run
    ScheduleTaskFn entry;   // required
    void *entryArg;
    ScheduleTaskFn endCallback;  // optional, called once when the task ends
    void *endArg;
};
static_assert(sizeof(ScheduleTaskInfo) == 56, "descriptor layout");

enum ScheduleTaskResult : int {
    SCHEDULE_TASK_OK = 0,
    SCHEDULE_TASK_NOT_FOUND = 2,         // no running task of that name
    SCHEDULE_TASK_NOT_INIT = 11,         // InitScheduleTask has not run
    SCHEDULE_TASK_NO_MEMORY = 12,        // allocation or thread creation failed
    SCHEDULE_TASK_INVALID = 22,          // invalid descriptor
    SCHEDULE_TASK_ALREADY_RUNNING = 114, // a task of that name is running
};

// Init of the "schedule_task_frame" step: 0, or 12 when the lock cannot be created.
[[nodiscard]] int InitScheduleTask();
// Copies the descriptor; the caller may free it and its name on return.
[[nodiscard]] int SubmitScheduleTask(const ScheduleTaskInfo *info);
// Marks the first running task of that name: 0, 2 or 11.
[[nodiscard]] int CancelScheduleTask(const char *name);
// Marks every running task; nothing when not initialised.
void CancelAllScheduleTask();
// Fini of the "schedule_task_frame" step: CancelAllScheduleTask, returns 0.
int FiniScheduleTask();
// True while a task of that name is in the list (submitted and not yet ended).
bool ScheduleTaskRunning(const char *name);
