// The "u_drm_slow_disk" diagnose group: "showdiskinzone <drm type>" lists a
// zone's disk ids, "showdiskiostat <disk id>" prints a disk's 100-cycle
// history, "showdiskoutlier <disk id>" the peer-outlier mode's window count
// and the disk's last 20 scores (latency, zone median, ratio in percent, robust
// deviations x10, flags 1 outlier / 2 above its own baseline / 4 zone-wide).
// Handlers run on the diagnose agent's thread and read shared state
// under the zone spinlock or the feature-3 data lock, printing from copies.
#pragma once

// Registers the group with the agent and its commands with the DRM cluster.
// 0 / -1 (the detector's init goes on either way).
[[nodiscard]] int DrmSlowDiskDetectDebugInitDiag();
void DrmSlowDiskDetectDebugFinDiag();

int DebugShowDiskInZone(int argc, char **argv);
int DebugShowDiskIoStat(int argc, char **argv);
int DebugShowDiskOutlier(int argc, char **argv);
