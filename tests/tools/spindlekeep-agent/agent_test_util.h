// Helpers for the agent's tests (temporary directories and whole files come
// from support/persist_files.h): the agent binary as a child process, raw and
// JSON-RPC calls over its socket, its command line, and the daemon's own
// answer checks and copiers (not the agent's code).
#pragma once

#include <cjson/cJSON.h>
#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/persist_files.h"

namespace agent_test {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
inline JsonPtr ParseJson(const std::string &text)
{
    return JsonPtr(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

// The real agent binary, started with the given arguments plus --socket;
// SIGKILLed when destroyed still running.
class AgentProcess {
  public:
    AgentProcess(std::vector<std::string> args, std::string socketPath);
    ~AgentProcess() { Stop(SIGKILL); }
    bool WaitReady();                // the socket accepts within 5 s
    int WaitExit(double seconds);    // its exit status, or -1
    int Stop(int sig = SIGTERM);     // the signal, then WaitExit(5)
    const std::string &socket() const { return socket_; }

  private:
    pid_t pid_ = -1;
    int status_ = -1;  // -1 while running
    std::string socket_;
};

struct RawAnswer {
    bool connected = false;
    std::string bytes;   // everything received until the agent closed
    double seconds = 0;  // time from connect to close
};
RawAnswer RawCall(const std::string &socketPath, const std::string &request, double timeoutSec = 8);
// One JSON-RPC call; nullptr when the answer is not JSON.
JsonPtr Call(const std::string &socketPath, const std::string &method, const std::string &paramsJson = "",
             size_t *answerBytes = nullptr);
std::string DevicesParams(const std::vector<std::string> &devices, bool withPeriod = false);
// The daemon's acceptance of an answer (its code, kept out of this header
// because its names clash with the agent's): the envelope check; the envelope
// and "result" checks of a message type for `asked` devices; its copy of one
// element of "disks" into its record, 0 when it takes the disk.
enum DaemonMessage : uint32_t { kBrief = 0, kBase = 1, kHealth = 2, kIostat = 3, kMessageCount = 4 };
bool DaemonTakesEnvelope(const cJSON *answer);
bool DaemonTakesResult(DaemonMessage type, const cJSON *answer, size_t asked);
int DaemonCopy(DaemonMessage type, const cJSON *disk);
inline const cJSON *Member(const cJSON *obj, const char *key) { return cJSON_GetObjectItem(obj, key); }
// answer.result.disks
inline const cJSON *Disks(const JsonPtr &answer) { return Member(Member(answer.get(), "result"), "disks"); }

}  // namespace agent_test
