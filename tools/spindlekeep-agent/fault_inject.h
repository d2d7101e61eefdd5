// Fault injection: per method, make the agent misbehave in one of the ways the
// daemon must survive. Rules come from the fleet file, the --fault option or
// the control method "agent_set_fault"; each rule fires a number of times or
// for ever.
//
// Thread safety: FaultTable is safe to use from every connection thread.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

enum class FaultMode : uint8_t {
    kDelay = 0,    // answer after delayMs (default 3500 ms, past the daemon's timeout)
    kClose,        // close the connection without answering
    kGarbage,      // answer bytes that are not JSON
    kOversize,     // answer valid JSON longer than 8191 bytes
    kBadEnvelope,  // wrong "jsonrpc", string "id", no "result"
    kExtraDisks,   // list one disk more than asked (65 for the device list)
    kPartial,      // answer only the first half of the asked disks
    kCount,
};

const char *FaultModeName(FaultMode mode);
[[nodiscard]] bool FaultModeFromName(std::string_view name, FaultMode *mode);

struct FaultRule {
    std::string method;  // a method name, or "*" for every method
    FaultMode mode = FaultMode::kDelay;
    uint32_t delayMs = 3500;
    int64_t remaining = -1;  // times left; -1: for ever
};

// Reads {"method", "mode", "count", "delay_ms"}; on failure returns false and
// sets error.
[[nodiscard]] bool FaultRuleFromJson(const cJSON *item, FaultRule *rule, std::string *error);
// Reads "METHOD=MODE[:COUNT]" as given to --fault.
[[nodiscard]] bool FaultRuleFromSpec(std::string_view spec, FaultRule *rule, std::string *error);

class FaultTable {
  public:
    void Add(const FaultRule &rule);
    void Clear();
    // The first live rule for method, with its count consumed; false if none.
    [[nodiscard]] bool Take(std::string_view method, FaultRule *rule);
    size_t Size();

  private:
    std::mutex mutex_;
    std::vector<FaultRule> rules_;
};

// Rewrites a finished answer (a JSON-RPC object owned by the caller) for the
// modes that alter content. asked: number of devices the request named (0 for
// methods without devices). Returns the bytes to send for kGarbage, otherwise
// an empty string meaning "print the (modified) answer".
std::string FaultApplyToAnswer(const FaultRule &rule, cJSON *answer, size_t asked);

// Answer size limit of the daemon: one receive of 8191 bytes.
inline constexpr size_t kAnswerLimit = 8191;
