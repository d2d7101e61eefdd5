#include "ma/drm/framework/debug/drm_debug.h"

#include <cstring>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "ma/drm/framework/drm_mem_mgr/drm_mem_mgr.h"
#include "ma/drm/framework/utils/drm_log.h"

namespace {

struct DrmDiagSlot {
    DrmDiagCmd *cmdArray;
    uint32_t count;
};

struct DrmDiagCluster {
    DrmDiagSlot slot[DRM_DIAG_CLUSTER_SLOTS];
    char name[DRM_DIAG_NAME_LEN];
};

struct DrmDebugState {
    DrmDiagCluster clusters[DRM_DIAG_CLUSTER_NUM];
};

DrmDebugState g_debug;

constexpr size_t kCmdNameMax = 128;

int ShowMemAlloc(int, char **)
{
    DrmMemShowStat();
    return 0;
}

DrmDiagCmd g_drmCmds[] = {
    {"showmemalloc", ShowMemAlloc, "drm showmemalloc: show allocated mem size\n"},
};

DrmDiagCluster *FindCluster(const char *name)
{
    for (auto &c : g_debug.clusters) {
        if (c.name[0] != '\0' && strncmp(c.name, name, DRM_DIAG_NAME_LEN) == 0) {
            return &c;
        }
    }
    return nullptr;
}

DrmDiagCluster *ClaimCluster(const char *name)
{
    for (auto &c : g_debug.clusters) {
        if (c.name[0] == '\0') {
            strncpy(c.name, name, DRM_DIAG_NAME_LEN - 1);
            c.name[DRM_DIAG_NAME_LEN - 1] = '\0';
            return &c;
        }
    }
    return nullptr;
}

// Runs every row named `cmd` in every slot of the cluster. True when one ran.
bool RunMatches(const DrmDiagCluster &c, int argc, char **argv)
{
    bool found = false;
    for (const auto &slot : c.slot) {
        if (slot.cmdArray == nullptr) {
            continue;
        }
        for (uint32_t i = 0; i < slot.count; ++i) {
            const DrmDiagCmd &row = slot.cmdArray[i];
            if (row.name == nullptr || row.handler == nullptr ||
                strncmp(row.name, argv[1], kCmdNameMax) != 0) {
                continue;
            }
            found = true;
            if (row.handler(argc, argv) != 0 && row.help != nullptr) {
                DBG_Print("%s", row.help);
            }
            break;
        }
    }
    return found;
}

}  // namespace

int DrmDebugRegDiagCmdGroup(const char *name, DrmDiagCmd *array, uint32_t count)
{
    if (array == nullptr || name == nullptr || name[0] == '\0') {
        DRM_LOG(3, "DRM_DEBUG: Input is invalid, cmdOps is null.\n");
        return DRM_ERR;
    }
    DrmDiagCluster *c = FindCluster(name);
    if (c == nullptr) {
        c = ClaimCluster(name);
    }
    if (c == nullptr) {
        DRM_LOG(3, "DRM_DEBUG: Cluster is full.\n");
        return DRM_ERR;
    }
    for (auto &slot : c->slot) {
        if (slot.cmdArray == nullptr) {
            slot = {array, count};
            return DRM_OK;
        }
    }
    DRM_LOG(3, "DRM_DEBUG: register diagnose cmd array failed.\n");
    return DRM_ERR;
}

void DrmDebugUnRegDiagCmdGroup(const char *name, DrmDiagCmd *array)
{
    if (array == nullptr || name == nullptr || name[0] == '\0') {
        return;
    }
    DrmDiagCluster *c = FindCluster(name);
    if (c == nullptr) {
        DRM_LOG(4, "DRM_DEBUG: Not find cmd cluster, name(%s).\n", name);
        return;
    }
    bool removed = false;
    bool inUse = false;
    for (auto &slot : c->slot) {
        if (slot.cmdArray == array) {
            slot = {nullptr, 0};
            removed = true;
        }
        inUse = inUse || slot.cmdArray != nullptr;
    }
    if (!inUse) {
        memset(c->name, 0, sizeof(c->name));
    }
    if (!removed) {
        DRM_LOG(4, "DRM_DEBUG: unregister diagnose cmd array failed.\n");
    }
}

int DrmDebugExecDiagCmd(int argc, char **argv)
{
    if (argc <= 1) {
        DBG_ShowUsageAndErrMsg(nullptr, 0);
        return 0;
    }
    const DrmDiagCluster *c = FindCluster(argv[0]);
    if (c == nullptr) {
        DRM_LOG(4, "DRM_DEBUG: Not find cmd cluster, name(%s).\n", argv[0]);
        return 1;
    }
    if (!RunMatches(*c, argc, argv)) {
        DBG_Print("Can't Find The Diagnose Cmd\n");
        return 1;
    }
    return 0;
}

void DrmDebugCmdHelp(const char *name, int)
{
    DBG_Print("SYNOPSIS\n");
    const DrmDiagCluster *c = name != nullptr ? FindCluster(name) : nullptr;
    if (c == nullptr) {
        DRM_LOG(4, "DRM_DEBUG: Not find cmd cluster, name(%s).\n", name != nullptr ? name : "");
        return;
    }
    for (const auto &slot : c->slot) {
        for (uint32_t i = 0; slot.cmdArray != nullptr && i < slot.count; ++i) {
            if (slot.cmdArray[i].help != nullptr) {
                DBG_Print("%s", slot.cmdArray[i].help);
            }
        }
    }
}

int DrmDebugRegAgentGroup(const char *name, const char *description)
{
    DBG_CmdGroup group = {name, description, DrmDebugExecDiagCmd, DrmDebugCmdHelp};
    return DBG_RegCmd(&group);
}

void DrmDebugUnRegAgentGroup(const char *name) { (void)DBG_UnRegCmd(name); }

int DrmFrameworkDebugInit()
{
    if (DrmDebugRegAgentGroup("drm", "diagnose function of DRM") != 0) {
        DRM_LOG(3, "Drm debug registe failed.");
        return DRM_ERR;
    }
    if (DrmDebugRegDiagCmdGroup("drm", g_drmCmds, sizeof(g_drmCmds) / sizeof(g_drmCmds[0])) != 0) {
        DrmDebugUnRegAgentGroup("drm");
        DRM_LOG(3, "Drm debug registe common cmd failed.");
        return DRM_ERR;
    }
    return DRM_OK;
}

int DrmFrameworkDebugFin()
{
    DrmDebugUnRegAgentGroup("drm");
    DrmDebugUnRegDiagCmdGroup("drm", g_drmCmds);
    return DRM_OK;
}

int DrmFrameworkTracePointInit()
{
    DRM_LOG(5, "Drm trace point init succeed.");
    return DRM_OK;
}

int DrmFrameworkTracePointFin() { return DRM_OK; }
