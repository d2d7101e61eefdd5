#include "support/log_capture.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

struct Record {
    uint32_t level;
    std::string tag;
    std::string message;
};

// Never destroyed: detached daemon threads may still log while the test
// process runs its exit handlers.
std::mutex &g_mu = *new std::mutex;
std::vector<Record> &g_records = *new std::vector<Record>;

void Hook(uint32_t level, const char *tag, const char *message)
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_records.push_back(Record{level, tag, message});
}

}  // namespace

LogCapture::LogCapture()
{
    Clear();
    KeeperLogSetHook(Hook);
}

LogCapture::~LogCapture() { KeeperLogSetHook(nullptr); }

int LogCapture::Count(const std::string &text, int level) const
{
    std::lock_guard<std::mutex> lock(g_mu);
    return static_cast<int>(std::count_if(g_records.begin(), g_records.end(), [&](const Record &r) {
        return r.message.find(text) != std::string::npos && (level < 0 || r.level == uint32_t(level));
    }));
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
