// The product diagnose group "spindlekeep": "list_data", "test_mem" and
// "set_disk_life_monitor_schedule_time". Start-up step "diagnose".
//
// Threads: handlers run on the diagnose agent's thread; "test_mem malloc"
// allocates on a detached thread of its own.
#pragma once

#include <cstdint>

// Init / fini of the start-up step "diagnose". 0, or 1 when the agent refuses.
[[nodiscard]] int DiagGroupInit();
int DiagGroupFin();

int DiagGroupExec(int argc, char **argv);
void DiagGroupHelp(const char *name, int verbose);

// The life monitor's schedule-time setter (seconds), reached by
// "set_disk_life_monitor_schedule_time". The disk life monitor registers
// DrmDiskLifeMonitorSetScheduleTime here in its init and null in its fini;
// while none is registered the command says so and fails. Any thread;
// the pointer is stored atomically.
using DiagLifeMonitorSetter = void (*)(uint32_t seconds);
void DiagRegisterLifeMonitorSetter(DiagLifeMonitorSetter setter);

// "test_mem" state (tests): block size in MiB and blocks held.
uint32_t DiagTestMemBlockMiB();
uint32_t DiagTestMemBlocksHeld();
