// The data agent (user role): takes the daemon's "dma_*" messages and the
// NVMe rebind request, appends every one of them to a JSON-lines record, and
// keeps the latest base information, state and strategy per disk in the
// Prometheus textfile.
//
// Record line: {"time": Unix seconds, "method": ..., "params": ... (as
// received, or null), "accepted": true|false, "error": reason when refused}.
//
// Thread safety: Handle() serialises itself; it may be called from every
// connection thread.
#pragma once

#include <cjson/cJSON.h>

#include <mutex>
#include <string>

#include "prom_textfile.h"

struct DataAgentOptions {
    std::string recordPath;  // empty: no record
    std::string promDir;     // empty: no textfile
};

// Makes `dir` (one level) if missing and checks that it is safe to write
// into as this user: a real directory (no link), owned by this user or root,
// writable by no one else. Otherwise false with a one-line reason: another
// user could plant links there that the agent, often root, would write
// through.
[[nodiscard]] bool DataAgentPrepareDir(const std::string &dir, std::string *error);

class DataAgent {
  public:
    explicit DataAgent(DataAgentOptions options);

    // True for the methods this class answers.
    static bool Handles(const std::string &method);
    // Handles one message. On success returns true and sets *result (owned by
    // the caller); on bad params returns false with a reason. Either way the
    // message is recorded.
    [[nodiscard]] bool Handle(const std::string &method, const cJSON *params, cJSON **result,
                              std::string *error);
    // Blocks new messages for good (used on shutdown so no write is cut).
    void Freeze();

  private:
    void Record(const std::string &method, const cJSON *params, const std::string &error);
    void Publish();

    DataAgentOptions options_;
    std::mutex mutex_;
    DmaState state_;
};
