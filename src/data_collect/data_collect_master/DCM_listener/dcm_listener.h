// The hot-plug listener: hands hot-plugged NVMe controllers to the
// user-space agent.
//
// One listener thread per process receives the kernel's device events on a
// NETLINK_KOBJECT_UEVENT socket. For an "add" of an NVMe controller it submits
// a one-shot schedule task named by the controller's PCI address; the task
// waits until the kernel NVMe driver has bound the device (its entry under
// "/sys/bus/pci/drivers/nvme/") and then posts "dca_rebind_nvme2uio" to the
// agent. A second arrival of the same address while its task still waits is
// refused by the schedule-task utility and only logged.
//
// State: one hot-plug lock (created by the "HOT_PLUG" start-up step, never
// destroyed) guarding a stop flag and a started flag. The listener thread
// reads the stop flag without the lock, once per received event.
// Messages carry the module tag "DCM".
#pragma once

#include <cstddef>
#include <cstdint>

#include "data_collect/data_collect_master/dcm_rpc.h"  // AgentInfo

struct sockaddr_nl;

inline constexpr uint32_t HOT_PLUG_MSG_BUF_LEN = 8192;  // one received event
inline constexpr uint32_t HOT_PLUG_FIELD_LEN = 80;      // at most 79 characters and the NUL
inline constexpr uint32_t HOT_PLUG_PCI_LEN = 256;
inline constexpr uint32_t HOT_PLUG_NOTIFY_CHECKS = 600;   // driver checks before giving up
inline constexpr uint32_t HOT_PLUG_NOTIFY_PAUSE_S = 100;  // pause between two checks

// The three fields of a kernel device event the listener looks at.
struct HotPlugEvent {
    char action[HOT_PLUG_FIELD_LEN];     // after "ACTION="
    char devPath[HOT_PLUG_FIELD_LEN];    // after "DEVPATH="
    char subsystem[HOT_PLUG_FIELD_LEN];  // after "SUBSYSTEM="
};

// Init of the "HOT_PLUG" start-up step: creates the hot-plug lock. 0, 114
// when it already exists, 12 when it cannot be created.
[[nodiscard]] int InitHotPlugListener();

// Switches event handling on for `agent`, creating the listener thread if
// none exists (the thread keeps its own copy of the agent; a later start with
// another agent does not change it). Any thread. No result.
void StartHotPlugListener(const AgentInfo *agent);

// Switches event handling off. The listener thread keeps receiving and drops
// every event. Any thread. No result.
void StopHotPlugListener();

// A netlink uevent socket bound to `addr`, or -1 (logged).
[[nodiscard]] int GetSysHotPlugEventSocketFd(const struct sockaddr_nl *addr);

// Parses one event (`len` bytes of NUL-separated key=value entries, any
// content) and submits the notification task for an NVMe arrival.
void HandleSysHotPlugEventMsg(const AgentInfo *agent, const char *msg, size_t len);

// Extracts the three fields; each value is cut at 79 characters and never
// read past `len`. 0, or -1 when the message is absent, 9 bytes or shorter, or
// lacks one of the keys.
[[nodiscard]] int HotPlugEventParse(const char *msg, size_t len, HotPlugEvent *ev);

// True when `ev` is the "add" of an NVMe controller (subsystem "nvme", device
// path containing "/nvme"); `pci` then holds the path component in front of
// the first "/nvme", e.g. "0000:3b:00.0" for ".../0000:3b:00.0/nvme/nvme2".
[[nodiscard]] bool HotPlugEventNvmePci(const HotPlugEvent *ev, char *pci, size_t pciLen);

// Submits the one-shot task (named `pci`, first run after 100 ms) that waits
// for the NVMe driver and notifies `agent`. Failures are logged.
void CreateTaskForNotifyAgentNvmeDiskOn(const AgentInfo *agent, const char *pci);

// The task's work: up to 600 checks of the driver entry, 100 s apart, then
// one "dca_rebind_nvme2uio" (answer not read), or the error line.
void NotifyAgentNvmeDiskOnTaskFunc(void *ctx);

// True when "/sys/bus/pci/drivers/nvme/<pci>" exists.
[[nodiscard]] bool IsDiskOnNvmeDriver(const char *pci);
