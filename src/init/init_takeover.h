// The disk take-over switch: whether hot-plugged NVMe disks are handed to the
// user-space agent ("unique_SPDK_agent") by the hot-plug listener.
//
// Both functions need the "HOT_PLUG" start-up step to have run. They may be
// called from any thread (the feature start on the main thread, the CLI
// worker later); the listener's own lock serialises them.
#pragma once

// On: starts handling kernel device events for the user-space agent (the
// listener thread is created the first time). Off: events are still received
// but dropped. No result; failures are logged by the listener.
void ApplyTakeOverDiskSwitch(bool enable);

// Feature-start operation: reads "takeover_disk_switch" from the
// configuration and applies it. A read failure is logged and changes nothing.
void StartTakeOverDiskSwitch();
