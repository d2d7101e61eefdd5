#include "ma/drm/framework/debug/diag_group.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_platform.h"

namespace {

constexpr uint32_t kTestMemSlots = 1024;
constexpr uint32_t kTestMemDefaultMiB = 6;
constexpr uint64_t kMiB = 1024 * 1024;

struct DiagGroupState {
    std::atomic<DiagLifeMonitorSetter> lifeMonitorSetter;
    std::atomic<uint32_t> blockMiB;
    qxax_spinlock_t memLock;  // guards blocks
    void *blocks[kTestMemSlots];
};

DiagGroupState g_diag = {{nullptr}, {kTestMemDefaultMiB}, {}, {}};

struct DiagGroupCmd {
    const char *name;
    const char *usage;
    const char *description;
    int (*handler)(int argc, char **argv);
};

// Parses a whole unsigned decimal that fits u32; false for anything else.
bool ParseU32(const char *text, uint32_t *value)
{
    uint64_t v = qxax_str_tou64(text, 0);
    if (errno != 0 || v > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

int ListData(int, char **) { return 0; }

int DiagSetLifeMonitorTime(int argc, char **argv)
{
    if (argc <= 1) {
        DBG_ShowUsageAndErrMsg("Please input valid command, need param[cycle_time]", 0);
        return 1;
    }
    uint32_t seconds = 0;
    if (!ParseU32(argv[1], &seconds)) {
        DBG_ShowUsageAndErrMsg("Invalid param[cycle_time], need an unsigned number of seconds", 0);
        return 1;
    }
    DiagLifeMonitorSetter setter = g_diag.lifeMonitorSetter.load();
    if (setter == nullptr) {
        DBG_Print("disk life monitor is not running\n");
        return 1;
    }
    setter(seconds);
    DBG_Print("Set disk life monitor schedule time %us\n", seconds);
    return 0;
}

// Takes blocks of the set size until the host refuses one or the table is
// full; runs on a detached thread of its own.
void TestMemAlloc(const void *, uint32_t)
{
    uint64_t size = static_cast<uint64_t>(g_diag.blockMiB.load()) * kMiB;
    for (;;) {
        void *block = qxmm_malloc(size, DRM_MODULE_ID, "DiagTestMem");
        if (block == nullptr) {
            DBG_Print("malloc mem failed\n");
            return;
        }
        memset(block, 0x01, size);
        bool stored = false;
        qxax_spin_lock(&g_diag.memLock);
        for (auto &slot : g_diag.blocks) {
            if (slot == nullptr) {
                slot = block;
                stored = true;
                break;
            }
        }
        qxax_spin_unlock(&g_diag.memLock);
        if (!stored) {
            (void)qxmm_free(block, DRM_MODULE_ID, "DiagTestMem");
            DRM_LOG(6, "test_mem: %u blocks held, table full.", kTestMemSlots);
            return;
        }
    }
}

void TestMemFree()
{
    void *taken[kTestMemSlots];
    qxax_spin_lock(&g_diag.memLock);
    memcpy(taken, g_diag.blocks, sizeof(taken));
    memset(g_diag.blocks, 0, sizeof(g_diag.blocks));
    qxax_spin_unlock(&g_diag.memLock);
    for (void *block : taken) {
        if (block != nullptr) {
            (void)qxmm_free(block, DRM_MODULE_ID, "DiagTestMem");
        }
    }
    // The blocks came from a worker thread's arena, which keeps freed memory;
    // the test is only meaningful if the process shrinks back afterwards.
    (void)malloc_trim(0);
    DBG_Print("free mem ok\n");
}

int DiagTestMem(int argc, char **argv)
{
    if (argc <= 1) {
        DBG_ShowUsageAndErrMsg("Please input valid command, need [malloc, free]", 0);
        return 1;
    }
    if (strcmp(argv[1], "malloc") == 0) {
        if (DrmAsyncThreadCtxRun(0, TestMemAlloc, nullptr, 0) != 0) {
            DBG_Print("ERROR creating thread");
            return 1;
        }
    } else if (strcmp(argv[1], "free") == 0) {
        TestMemFree();
    } else if (strcmp(argv[1], "set_malloc_size") == 0 && argc == 3) {
        uint32_t mib = 0;
        if (!ParseU32(argv[2], &mib) || mib == 0) {
            DBG_ShowUsageAndErrMsg("Invalid malloc size, need a positive number of MiB", 0);
            return 1;
        }
        g_diag.blockMiB.store(mib);
    }
    return 0;
}

constexpr DiagGroupCmd kCmds[] = {
    {"list_data", "spindlekeep list_data", "list all disk data", ListData},
    {"set_disk_life_monitor_schedule_time",
     "spindlekeep set_disk_life_monitor_schedule_time [cycle_time]",
     "set disk life monitor schedule time", DiagSetLifeMonitorTime},
    {"test_mem", "spindlekeep test_mem [malloc, free]",
     "valid spindlekeep process if mem usage more than 4m", DiagTestMem},
};

}  // namespace

int DiagGroupInit()
{
    DBG_CmdGroup group = {"spindlekeep", "spindlekeep debug command", DiagGroupExec, DiagGroupHelp};
    return DBG_RegCmd(&group) != 0 ? 1 : 0;
}

int DiagGroupFin()
{
    (void)DBG_UnRegCmdToCLI("spindlekeep", 0);
    return 0;
}

int DiagGroupExec(int argc, char **argv)
{
    if (argc <= 1) {
        DBG_ShowUsageAndErrMsg("Please input valid command.", 0);
        return 1;
    }
    for (const auto &cmd : kCmds) {
        if (strcmp(cmd.name, argv[1]) == 0) {
            return cmd.handler(argc - 1, argv + 1);
        }
    }
    DBG_ShowUsageAndErrMsg("Input invalid command!", 0);
    return 1;
}

void DiagGroupHelp(const char *, int verbose)
{
    for (const auto &cmd : kCmds) {
        DBG_Print("\t%s", cmd.usage);
        if (verbose != 0) {
            DBG_Print("\t:%s", cmd.description);
        }
        DBG_Print("\n");
    }
}

void DiagRegisterLifeMonitorSetter(DiagLifeMonitorSetter setter)
{
    g_diag.lifeMonitorSetter.store(setter);
}

uint32_t DiagTestMemBlockMiB() { return g_diag.blockMiB.load(); }

uint32_t DiagTestMemBlocksHeld()
{
    uint32_t n = 0;
    qxax_spin_lock(&g_diag.memLock);
    for (void *block : g_diag.blocks) {
        n += block != nullptr ? 1 : 0;
    }
    qxax_spin_unlock(&g_diag.memLock);
    return n;
}
