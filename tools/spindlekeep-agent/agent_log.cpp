#include "agent_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<uint32_t> g_agentLogLevel{AGENT_LOG_INFO};

const char *LevelName(uint32_t level)
{
    switch (level) {
        case AGENT_LOG_ERROR:
            return "ERROR";
        case AGENT_LOG_WARN:
            return "WARN";
        case AGENT_LOG_INFO:
            return "INFO";
        default:
            return "DEBUG";
    }
}

}  // namespace

void AgentLogSetLevel(uint32_t level) { g_agentLogLevel.store(level, std::memory_order_relaxed); }

uint32_t AgentLogGetLevel() { return g_agentLogLevel.load(std::memory_order_relaxed); }

void AgentLogWrite(uint32_t level, const char *fmt, ...)
{
    char line[1024];
    int head = snprintf(line, sizeof(line), "spindlekeep-agent[%d] %s: ", static_cast<int>(getpid()),
                        LevelName(level));
    if (head < 0) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    int body = vsnprintf(line + head, sizeof(line) - static_cast<size_t>(head) - 1, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(head) + (body < 0 ? 0 : static_cast<size_t>(body));
    if (len > sizeof(line) - 2) {
        len = sizeof(line) - 2;
    }
    line[len++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}
