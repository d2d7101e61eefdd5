// Command dispatch: the registry of command names, the worker pool and the
// reply path.
//
// The receive thread hands each request to PushCmdTask, which creates the
// command object and queues it when nothing is queued or running; otherwise
// the client is answered with CLI_TASK_MAX_ERROR at once. The single worker
// runs the command, answers the client (DBPrint) and closes its socket, so at
// most one command runs at any time.
//
// Threads: PushCmdTask runs on the receive thread, WorkerLoop on the worker;
// the queue has its own mutex, the pending counter is atomic. The handler is
// a process-wide singleton that lives until the process ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cmd/cli_base_cmd.h"

namespace SPINDLEKEEP_CLI {

class CliCmdPool {
public:
    CliCmdPool();
    // Queues the halt task and joins the workers.
    ~CliCmdPool();
    CliCmdPool(const CliCmdPool &) = delete;
    CliCmdPool &operator=(const CliCmdPool &) = delete;

    void CreatePool(int threadNum);
    // Appends a command and wakes a worker.
    void Push(std::shared_ptr<BaseCommand> cmd);

    // Replies `text` (or "null") with `code` to the worker's current client.
    static void DBPrint(const std::string &text, int32_t code, const std::string &action);
    // The same to the client `fd`.
    static void DBPrint(int fd, const std::string &text, int32_t code, const std::string &action);

    std::atomic<int32_t> pending_{0};  // tasks queued or running

private:
    void WorkerLoop();
    std::shared_ptr<BaseCommand> Take();

    std::vector<std::thread> workers_;
    std::shared_ptr<BaseCommand> halt_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<BaseCommand>> queue_;
};

class CliCmdHandler {
public:
    static CliCmdHandler &GetInstance();

    // Creates the pool with one worker and registers the commands; a second
    // call keeps both. 0 or -1.
    int Initialize();
    // The first registration of a name stays.
    void RegisterCmd(const std::string &name, CmdFactory factory);
    // 0 when queued; otherwise the client has been answered with the code
    // returned (CLI_COMMAND_PARAM_INVALID, CLI_TASK_MAX_ERROR) and the caller
    // closes it.
    [[nodiscard]] int32_t PushCmdTask(const CmdTask &task, const std::string &action);

private:
    CliCmdHandler() = default;
    std::shared_ptr<CliCmdPool> pool_;
    std::map<std::string, CmdFactory> cmds_;
};

}  // namespace SPINDLEKEEP_CLI
