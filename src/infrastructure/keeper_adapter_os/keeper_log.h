// The daemon's logging convention: level, module tag, file, line, function,
// printf format.
//
// Once the OS adapter is installed every record goes to the host log through
// the adapter's log slot, which drops levels above the host level before any
// formatting. Before that, records of level INFO and below are printed to
// standard output as "[TAG] LEVEL : message".
#pragma once

#include <cstdint>

#include "infrastructure/keeper_adapter_os/keeper_os.h"

enum KeeperLogLevel : uint32_t {
    KEEPER_LOG_CRITICAL = 2,
    KEEPER_LOG_ERROR = 3,
    KEEPER_LOG_WARN = 4,
    KEEPER_LOG_EVENT = 5,
    KEEPER_LOG_INFO = 6,
    KEEPER_LOG_DEBUG = 7,
};

// Fallback before installation: prints to standard output.
void KeeperLogStdout(uint32_t level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Name of a level ("ERROR", ...), "UNKNOWN" for values outside 2..7.
const char *KeeperLogLevelName(uint32_t level);

// Test hook: when set, every record that passes the level check is also handed
// over fully formatted (both before and after installation). Set it before
// threads start; the hook must be thread safe.
using KeeperLogHook = void (*)(uint32_t level, const char *tag, const char *message);
void KeeperLogSetHook(KeeperLogHook hook);
KeeperLogHook KeeperLogGetHook();

#define KEEPER_LOG(level, tag, fmt, ...)                                                     \
    do {                                                                                   \
        if (g_keeperOsOps.log != nullptr) {                                                \
            g_keeperOsOps.log((level), (tag), __FILE_NAME__, __LINE__, __func__, fmt,      \
                              ##__VA_ARGS__);                                              \
        } else {                                                                           \
            KeeperLogStdout((level), (tag), fmt, ##__VA_ARGS__);                           \
        }                                                                                  \
    } while (0)
#define KLOG_CRIT(tag, fmt, ...) KEEPER_LOG(KEEPER_LOG_CRITICAL, tag, fmt, ##__VA_ARGS__)
#define KLOG_ERR(tag, fmt, ...) KEEPER_LOG(KEEPER_LOG_ERROR, tag, fmt, ##__VA_ARGS__)
#define KLOG_WARN(tag, fmt, ...) KEEPER_LOG(KEEPER_LOG_WARN, tag, fmt, ##__VA_ARGS__)
#define KLOG_EVENT(tag, fmt, ...) KEEPER_LOG(KEEPER_LOG_EVENT, tag, fmt, ##__VA_ARGS__)
#define KLOG_INFO(tag, fmt, ...) KEEPER_LOG(KEEPER_LOG_INFO, tag, fmt, ##__VA_ARGS__)
#define KLOG_DEBUG(tag, fmt, ...) KEEPER_LOG(KEEPER_LOG_DEBUG, tag, fmt, ##__VA_ARGS__)
