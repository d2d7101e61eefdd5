// Logging of the agent: one line per record on standard error, prefixed with
// the level, so that a service manager's journal keeps it. The agent is a
// program of its own and does not use the daemon's host log.
//
// Thread safety: every call writes its line with a single write(2), so lines of
// concurrent connections never interleave.
#pragma once

#include <cstdint>

enum AgentLogLevel : uint32_t {
    AGENT_LOG_ERROR = 3,
    AGENT_LOG_WARN = 4,
    AGENT_LOG_INFO = 6,
    AGENT_LOG_DEBUG = 7,
};

// Records above this level are dropped before formatting. Default: INFO.
void AgentLogSetLevel(uint32_t level);
uint32_t AgentLogGetLevel();

void AgentLogWrite(uint32_t level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#define AGENT_LOG(level, ...)                      \
    do {                                           \
        if ((level) <= AgentLogGetLevel()) {       \
            AgentLogWrite((level), __VA_ARGS__);   \
        }                                          \
    } while (0)
#define ALOG_ERR(...) AGENT_LOG(AGENT_LOG_ERROR, __VA_ARGS__)
#define ALOG_WARN(...) AGENT_LOG(AGENT_LOG_WARN, __VA_ARGS__)
#define ALOG_INFO(...) AGENT_LOG(AGENT_LOG_INFO, __VA_ARGS__)
#define ALOG_DEBUG(...) AGENT_LOG(AGENT_LOG_DEBUG, __VA_ARGS__)
