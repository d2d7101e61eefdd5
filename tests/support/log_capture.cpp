#include "support/log_capture.h"

#include <mutex>

#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

// Never destroyed: detached daemon threads may still log while the test
// process runs its exit handlers.
std::mutex &g_mu = *new std::mutex;
std::vector<LogRecord> &g_records = *new std::vector<LogRecord>;

void Hook(uint32_t level, const char *tag, const char *message)
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_records.push_back(LogRecord{level, tag, message});
}

}  // namespace

LogCapture::LogCapture()
{
    Clear();
    KeeperLogSetHook(Hook);
}

LogCapture::~LogCapture() { KeeperLogSetHook(nullptr); }

std::vector<LogRecord> LogCapture::Records() const
{
    std::lock_guard<std::mutex> lock(g_mu);
    return g_records;
}

int LogCapture::Count(const std::string &text, int level) const
{
    std::lock_guard<std::mutex> lock(g_mu);
    int n = 0;
    for (const auto &r : g_records) {
        if (r.message.find(text) != std::string::npos &&
            (level < 0 || r.level == static_cast<uint32_t>(level))) {
            ++n;
        }
    }
    return n;
}

std::string LogCapture::Dump() const
{
    std::lock_guard<std::mutex> lock(g_mu);
    std::string out;
    for (const auto &r : g_records) {
        out += "[" + r.tag + "] " + std::to_string(r.level) + " " + r.message + "\n";
    }
    return out;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_records.clear();
}
