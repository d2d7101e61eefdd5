// DRM diagnose commands: several DRM components share one diagnose group name
// by registering command arrays into a named cluster (up to three arrays per
// cluster, 32 clusters). The host diagnose agent (dbg_agent.h) forwards a
// command line of a group registered with DrmDebugRegAgentGroup to
// DrmDebugExecDiagCmd, which runs every matching row of the cluster.
//
// Threads: commands run on the diagnose agent's thread; the cluster registry
// is written during start-up and shutdown only (not locked).
#pragma once

#include <cstdint>

// A command handler: argv[0] is the group, argv[1] the command. Nonzero =
// failed (the row's help text is printed).
using DrmDiagHandler = int (*)(int argc, char **argv);

struct DrmDiagCmd {
    const char *name;
    DrmDiagHandler handler;
    const char *help;
};

inline constexpr uint32_t DRM_DIAG_CLUSTER_NUM = 32;
inline constexpr uint32_t DRM_DIAG_CLUSTER_SLOTS = 3;
inline constexpr uint32_t DRM_DIAG_NAME_LEN = 20;

// Adds `array` (count rows; the array must outlive its registration) to the
// cluster `name`, creating the cluster. 0 / -1 (null array or empty name,
// no free cluster, no free slot).
[[nodiscard]] int DrmDebugRegDiagCmdGroup(const char *name, DrmDiagCmd *array, uint32_t count);
// Removes every slot of the cluster holding `array`; a cluster left without
// arrays is freed.
void DrmDebugUnRegDiagCmdGroup(const char *name, DrmDiagCmd *array);

// Execute and help functions of every DRM group registered with the agent.
// Exec returns 0, or 1 when no command matched or the group has no cluster.
int DrmDebugExecDiagCmd(int argc, char **argv);
void DrmDebugCmdHelp(const char *name, int verbose);

// Registers / removes a DRM group with the host diagnose agent, served by the
// two functions above. 0, or the agent's negative result.
[[nodiscard]] int DrmDebugRegAgentGroup(const char *name, const char *description);
void DrmDebugUnRegAgentGroup(const char *name);

// Framework modules "DrmDebug" (the "drm" group with "showmemalloc") and
// "DrmTracepoint". 0 / -1; fini 0.
[[nodiscard]] int DrmFrameworkDebugInit();
int DrmFrameworkDebugFin();
[[nodiscard]] int DrmFrameworkTracePointInit();
int DrmFrameworkTracePointFin();
