// Helpers for the agent's tests: a temporary directory, the agent binary as a
// child process, raw and JSON-RPC calls over its socket, and the daemon's
// answer checks written out from its check lists (not from the agent's code).
#pragma once

#include <cjson/cJSON.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace agent_test {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
JsonPtr ParseJson(const std::string &text);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &text);
std::string ReadFile(const std::string &path);

// The real agent binary, started with the given arguments.
class AgentProcess {
  public:
    AgentProcess(std::vector<std::string> args, std::string socketPath);
    ~AgentProcess();
    // True once the socket accepts connections (waits up to 5 s).
    bool WaitReady();
    // SIGTERM and wait; returns the exit status (-1 if it did not exit).
    int Stop();
    bool Running();
    // Waits for the process to end on its own; its exit status, or -1.
    int WaitExit(double seconds);
    const std::string &socket() const { return socket_; }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
    std::string socket_;
};

struct RawAnswer {
    bool connected = false;
    std::string bytes;       // everything received until the agent closed
    double seconds = 0;      // time from send to close
};
RawAnswer RawCall(const std::string &socketPath, const std::string &request, double timeoutSec = 8);
// One JSON-RPC call; nullptr when the answer is not JSON.
JsonPtr Call(const std::string &socketPath, const std::string &method,
             const std::string &paramsJson = "", size_t *answerBytes = nullptr);
std::string DevicesParams(const std::vector<std::string> &devices, bool withPeriod = false);

// Daemon-side checks. Each returns "" on success or the first failing member.
std::string CheckEnvelope(const cJSON *answer);
std::string CheckBriefResult(const cJSON *result);
std::string CheckBatchResult(const cJSON *result, size_t asked, bool iostat);
std::string CheckBriefDisk(const cJSON *disk);
std::string CheckBaseDisk(const cJSON *disk);
std::string CheckHealthDisk(const cJSON *disk);
std::string CheckIoDisk(const cJSON *disk);
// Decimal-digit string to u64 (the daemon's conversion).
uint64_t Digits(const cJSON *value);
const cJSON *Member(const cJSON *obj, const char *key);  // case-insensitive

}  // namespace agent_test
