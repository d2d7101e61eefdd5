#include "cli/server/cli_cmd_handler.h"

#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "cli/cmd/cli_cmds.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "cli/common/cli_xml.h"
#include "cli/server/cli_uds_server.h"

namespace SPINDLEKEEP_CLI {

namespace {

thread_local int t_clientFd = -1;  // the worker's current client

}  // namespace

CliCmdPool::CliCmdPool() : halt_(std::make_shared<ExitCommand>()) {}

CliCmdPool::~CliCmdPool()
{
    Push(halt_);
    for (std::thread &t : workers_) {
        if (t.joinable()) {
            t.join();
        }
    }
}

void CliCmdPool::CreatePool(int threadNum)
{
    CLI_LOG(CLI_LOG_INFO, "create worker thread %d.", threadNum);
    for (int i = 0; i < threadNum; ++i) {
        workers_.emplace_back(&CliCmdPool::WorkerLoop, this);
    }
}

void CliCmdPool::Push(std::shared_ptr<BaseCommand> cmd)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back(std::move(cmd));
    }
    cv_.notify_one();
}

std::shared_ptr<BaseCommand> CliCmdPool::Take()
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !queue_.empty(); });
    std::shared_ptr<BaseCommand> cmd = std::move(queue_.front());
    queue_.pop_front();
    return cmd;
}

void CliCmdPool::WorkerLoop()
{
    for (;;) {
        std::shared_ptr<BaseCommand> cmd = Take();
        if (cmd == nullptr) {
            CLI_LOG(CLI_LOG_WARN, "pBaseCmd is null.");
            pending_.fetch_sub(1);
            continue;
        }
        if (cmd == halt_) {
            CLI_LOG(CLI_LOG_WARN, "Received halt task, all worker threads will be stoped.");
            pending_.fetch_sub(1);
            return;
        }
        std::string out;
        int32_t ret = cmd->Exec(std::string(cmd->task_.args), out);
        t_clientFd = cmd->task_.clientFd;
        // The command's work ends with Exec. Counting it as done before the
        // reply goes out lets a client that sends its next request as soon
        // as it has read the answer be served, not refused as a second
        // request; commands still run one at a time on this thread.
        pending_.fetch_sub(1);
        DBPrint(out, ret, cmd->Param("action"));
        (void)shutdown(t_clientFd, SHUT_RDWR);
        (void)close(t_clientFd);
        t_clientFd = -1;
    }
}

void CliCmdPool::DBPrint(const std::string &text, int32_t code, const std::string &action)
{
    std::string msg = text.empty() ? "null" : text;
    CLI_LOG(CLI_LOG_DEBUG, "DBPrint, clientId:%d, msg:%s, errorCode:%d, actionName:%s.",
            t_clientFd, msg.c_str(), code, action.c_str());
    GetCliServer().SendMsg(SvCMDtoXml(msg + " errorCode=" + std::to_string(code)), t_clientFd,
                           action);
}

void CliCmdPool::DBPrint(int fd, const std::string &text, int32_t code, const std::string &action)
{
    std::string msg = text.empty() ? "null" : text;
    CLI_LOG(CLI_LOG_DEBUG, "DBPrint, clientFd:%d, msg:%s, errorCode:%d, actionName:%s.", fd,
            msg.c_str(), code, action.c_str());
    GetCliServer().SendMsg(SvCMDtoXml(msg + " errorCode=" + std::to_string(code)), fd, action);
}

CliCmdHandler &CliCmdHandler::GetInstance()
{
    static CliCmdHandler handler;
    return handler;
}

int CliCmdHandler::Initialize()
{
    if (pool_ != nullptr) {
        return 0;
    }
    pool_ = std::shared_ptr<CliCmdPool>(new (std::nothrow) CliCmdPool());
    if (pool_ == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "Init job pool failed.");
        return -1;
    }
    pool_->CreatePool(1);
    size_t count = 0;
    const CliCmdEntry *cmds = CliCommandTable(&count);
    for (size_t i = 0; i < count; ++i) {
        RegisterCmd(cmds[i].name, cmds[i].factory);
    }
    return 0;
}

void CliCmdHandler::RegisterCmd(const std::string &name, CmdFactory factory)
{
    if (cmds_.count(name) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "Command:%s already exist.", name.c_str());
        return;
    }
    cmds_.emplace(name, factory);
    CLI_LOG(CLI_LOG_INFO, "Command:%s add success.", name.c_str());
}

int32_t CliCmdHandler::PushCmdTask(const CmdTask &task, const std::string &action)
{
    auto it = cmds_.find(task.cmdName);
    std::shared_ptr<BaseCommand> cmd;
    if (it != cmds_.end() && pool_ != nullptr) {
        CLI_LOG(CLI_LOG_INFO, "Start exec cmd:%s.", task.cmdName.c_str());
        cmd = it->second();
    }
    if (cmd == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_PARAM_INVALID 0x%x.", CLI_COMMAND_PARAM_INVALID);
        CliCmdPool::DBPrint(task.clientFd, "", CLI_COMMAND_PARAM_INVALID, action);
        return CLI_COMMAND_PARAM_INVALID;
    }
    cmd->task_ = task;
    if (pool_->pending_.load() != 0) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_TASK_MAX_ERROR 0x%x.", CLI_TASK_MAX_ERROR);
        CliCmdPool::DBPrint(task.clientFd, "", CLI_TASK_MAX_ERROR, action);
        return CLI_TASK_MAX_ERROR;
    }
    pool_->pending_.fetch_add(1);
    pool_->Push(std::move(cmd));
    return 0;
}

}  // namespace SPINDLEKEEP_CLI
