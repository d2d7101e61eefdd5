// The command base of the CLI: a command object serves one request. It is
// created by the registry's factory on the receive thread, queued, executed
// on the worker thread and dropped after the reply.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace SPINDLEKEEP_CLI {

// One received request: command name, argument string
// ("action=A key=value ... userName=U") and the client it came from.
struct CmdTask {
    std::string cmdName;
    std::string args;
    int clientFd = -1;
};

class BaseCommand {
public:
    virtual ~BaseCommand() = default;
    // Runs the command on `args`; writes the text for the client to `out`
    // and returns a CLI result code. Never throws.
    virtual int32_t Exec(const std::string &args, std::string &out) = 0;
    // Splits blank-separated key=value tokens into the parameter map; a key
    // already present keeps its first value. Always 0.
    virtual int32_t ParseParam(const std::string &args);

    // The value of `key`, or "" when it is absent.
    std::string Param(const std::string &key) const;
    bool HasParam(const std::string &key) const { return params_.count(key) != 0; }

    std::map<std::string, std::string> params_;
    CmdTask task_;
};

// The worker's halt task: never registered, its Exec does nothing.
class ExitCommand : public BaseCommand {
public:
    int32_t Exec(const std::string &, std::string &) override { return 0; }
};

using CmdFactory = std::shared_ptr<BaseCommand> (*)();

// A number parameter as the commands accept it: 1 to 7 digits, no leading
// zero unless the text is "0". False (and *value untouched) otherwise.
bool CliParseNumber(const std::string &text, uint32_t *value);

}  // namespace SPINDLEKEEP_CLI
