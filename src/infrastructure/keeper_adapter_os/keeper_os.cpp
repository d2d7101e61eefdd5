#include "infrastructure/keeper_adapter_os/keeper_os.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

KeeperOsOps g_keeperOsOps = {};

static_assert(sizeof(KeeperOsOps) == KEEPER_OS_SLOT_COUNT * sizeof(void *),
              "the OS adapter table has exactly 36 operation slots");

namespace {

struct KeeperOsState {
    uint32_t logLevel;
    std::atomic<KeeperLogHook> hook;
};

KeeperOsState g_osState = {KEEPER_LOG_INFO, {nullptr}};

constexpr const char *kLevelNames[] = {"UNKNOWN", "UNKNOWN", "CRITICAL", "ERROR",
                                       "WARN",    "EVENT",   "INFO",     "DEBUG"};

}  // namespace

void KeeperOsInstall(const KeeperOsOps &ops) { g_keeperOsOps = ops; }

void KeeperOsUninstall() { g_keeperOsOps = KeeperOsOps{}; }

bool KeeperOsInstalled() { return g_keeperOsOps.log != nullptr; }

uint32_t KeeperOsLogLevel() { return g_osState.logLevel; }

void KeeperOsSetLogLevel(uint32_t level) { g_osState.logLevel = level; }

const char *KeeperLogLevelName(uint32_t level)
{
    return level < sizeof(kLevelNames) / sizeof(kLevelNames[0]) ? kLevelNames[level] : "UNKNOWN";
}

void KeeperLogSetHook(KeeperLogHook hook) { g_osState.hook.store(hook); }

KeeperLogHook KeeperLogGetHook() { return g_osState.hook.load(); }

void KeeperLogStdout(uint32_t level, const char *tag, const char *fmt, ...)
{
    if (level > KEEPER_LOG_INFO && KeeperLogGetHook() == nullptr) {
        return;
    }
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf_s(msg, sizeof(msg), sizeof(msg) - 1, fmt, ap);
    va_end(ap);
    if (n < 0 && msg[0] == '\0') {
        return;
    }
    KeeperLogHook hook = KeeperLogGetHook();
    if (hook != nullptr) {
        hook(level, tag, msg);
    }
    if (level <= KEEPER_LOG_INFO) {
        printf("[%s] %s : %s\n", tag, KeeperLogLevelName(level), msg);
        fflush(stdout);
    }
}
