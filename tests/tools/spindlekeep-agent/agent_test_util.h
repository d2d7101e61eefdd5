// Helpers for the agent's tests (temporary directories and whole files come
// from support/persist_files.h): the agent binary as a child process, raw and
// JSON-RPC calls over its socket, and the daemon's own answer checks and
// copiers (not the agent's code).
#pragma once

#include <cjson/cJSON.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/persist_files.h"

namespace agent_test {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
JsonPtr ParseJson(const std::string &text);

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

// The daemon's own acceptance of an answer (its code, kept out of this header
// because its names clash with the agent's): the envelope check; the envelope
// and "result" checks of a message type for `asked` devices; and its copy of
// one element of "disks" into its record (check list first, then bounded
// copies), 0 when it takes the disk.
enum DaemonMessage : uint32_t { kBrief = 0, kBase = 1, kHealth = 2, kIostat = 3, kMessageCount = 4 };
bool DaemonTakesEnvelope(const cJSON *answer);
bool DaemonTakesResult(DaemonMessage type, const cJSON *answer, size_t asked);
int DaemonCopy(DaemonMessage type, const cJSON *disk);
// Decimal-digit string to u64 (the daemon's conversion).
uint64_t Digits(const cJSON *value);
const cJSON *Member(const cJSON *obj, const char *key);  // case-insensitive
// answer.result.disks, and its i-th disk.
const cJSON *Disks(const JsonPtr &answer);
const cJSON *Disk(const JsonPtr &answer, int i);
// The device names of the agent's brief answer.
std::vector<std::string> DeviceNames(const std::string &socketPath);

}  // namespace agent_test
