#include "cli/server/cli_uds_server.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "cli/common/cli_client.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "cli/common/cli_xml.h"
#include "cli/server/cli_cmd_handler.h"
#include "cli/server/cli_permission.h"
#include "config/config_prefix.h"
#include "infrastructure/keeper_securec/securec.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr int kBacklog = 1024;
constexpr size_t kPathLen = 4096;

bool BuildSocketPath(char *path, size_t len)
{
    return sprintf_s(path, len, "%s/%s", GetConfigPrefix(), CLI_SOCKET_REL_PATH) >= 0;
}

// Members of the service group must reach the socket whichever user the
// daemon runs as; without the group they could not even connect.
void GiveSocketToGroup(const char *path)
{
    std::vector<char> buf(16384);
    struct group gr = {};
    struct group *res = nullptr;
    if (getgrnam_r(CLI_SERVICE_GROUP, &gr, buf.data(), buf.size(), &res) != 0 || res == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "group:%s not exist, socket %s stays with the daemon's group.",
                CLI_SERVICE_GROUP, path);
        return;
    }
    if (chown(path, static_cast<uid_t>(-1), gr.gr_gid) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "Chown %s to group %s failed, errno(%d).", path, CLI_SERVICE_GROUP,
                errno);
    }
}

void CloseFd(int fd)
{
    (void)shutdown(fd, SHUT_RDWR);
    (void)close(fd);
}

// Binds, listens and opens the socket file to the group. 0 or -1.
int ListenOn(int fd, const char *path)
{
    (void)unlink(path);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strncpy_s(addr.sun_path, sizeof(addr.sun_path), path, sizeof(addr.sun_path) - 1) != EOK ||
        strlen(path) >= sizeof(addr.sun_path)) {
        CLI_LOG(CLI_LOG_ERROR, "strcpy failed.");
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "Bind socket failed.");
        return -1;
    }
    if (listen(fd, kBacklog) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "Listen socket failed.");
        return -1;
    }
    if (chmod(path, 0660) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "Chmod %s failed.", path);
        return -1;
    }
    GiveSocketToGroup(path);
    return 0;
}

// "a b c" -> "a", "b c"; no blank -> the whole text and "".
void SplitFirst(const std::string &text, std::string *word, std::string *rest)
{
    size_t blank = text.find(' ');
    *word = text.substr(0, blank);
    *rest = blank == std::string::npos ? "" : text.substr(blank + 1);
}

}  // namespace

int32_t CliBuildCmdTask(const std::string &request, const char *user, const char *headerAction,
                        CmdTask *task, std::string *actionWord)
{
    std::string agrs = AnalysisXml(request, "agrs");
    std::string remainder;
    std::string rest;
    SplitFirst(agrs, actionWord, &remainder);
    SplitFirst(remainder, &task->cmdName, &rest);
    // The user check judged the header's action word; the command runs the
    // one inside "agrs". A request whose two words differ would let a
    // read-only user run "change", so it is refused before anything runs.
    if (!actionWord->empty() && *actionWord != headerAction) {
        CLI_LOG(CLI_LOG_ERROR, "action %s differs from header action %s; 0x%x.",
                actionWord->c_str(), headerAction, CLI_USER_PERMISSION_ERROR);
        return CLI_USER_PERMISSION_ERROR;
    }
    task->args = "action=" + *actionWord + " " + rest + " userName=" + user;
    return CLI_OK;
}

int CliUdsServer::InitCliServer()
{
    (void)CliLogInit();
    CLI_LOG(CLI_LOG_INFO, "Init server log success.");
    OPER_LOG(CLI_LOG_INFO, "Init server log success.");
    (void)GetUsersName(user_, sizeof(user_));
    stop_.store(0);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        CLI_LOG(CLI_LOG_ERROR, "Init accept socket failed.");
        return -1;
    }
    char path[kPathLen];
    if (!BuildSocketPath(path, sizeof(path))) {
        CLI_LOG(CLI_LOG_ERROR, "Connect server fail due to concatenate config prefix error.");
        CloseFd(fd);
        return -1;
    }
    if (ListenOn(fd, path) != 0 || CliCmdHandler::GetInstance().Initialize() != 0) {
        CLI_LOG(CLI_LOG_ERROR, "Init server failed.");
        CloseFd(fd);
        return -1;
    }
    listenFd_.store(fd);
    acceptThread_ = std::thread(&CliUdsServer::Run, this);
    recvThread_ = std::thread(&CliUdsServer::InnerRecvThreadRun, this);
    return 0;
}

void CliUdsServer::UnInitCliServer()
{
    {
        std::lock_guard<std::mutex> lock(mu_);  // the receive thread is not between check and wait
        stop_.store(1);
    }
    cv_.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int fd = listenFd_.exchange(-1);
    if (fd >= 0) {
        CloseFd(fd);  // shutdown wakes the accept thread
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int fd : clients_) {
            CloseFd(fd);
        }
        clients_.clear();
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    if (recvThread_.joinable()) {
        recvThread_.join();
    }
    char path[kPathLen];
    if (!BuildSocketPath(path, sizeof(path))) {
        CLI_LOG(CLI_LOG_ERROR, "Concatenate config prefix failed.");
        return;
    }
    (void)unlink(path);
}

void CliUdsServer::Run()
{
    CLI_LOG(CLI_LOG_INFO, "Start accept thread.");
    while (stop_.load() == 0) {
        if (AcceptCliServer() == -1 && stop_.load() == 0 && errno != EINTR) {
            // Out of descriptors or similar: do not spin on the failure.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    CLI_LOG(CLI_LOG_INFO, "End accept thread.");
}

int32_t CliUdsServer::AcceptCliServer()
{
    int fd = accept4(listenFd_.load(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    timeval tv = {CLI_RECV_TIMEOUT_S, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_RECV_TRANSMISSION_ERROR 0x%x.", CLI_RECV_TRANSMISSION_ERROR);
        CloseFd(fd);
        return CLI_RECV_TRANSMISSION_ERROR;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        clients_.push_back(fd);
    }
    cv_.notify_one();
    CLI_LOG(CLI_LOG_INFO, "Client connected.clientId(%d).", fd);
    return 0;
}

// Waiting on the condition variable instead of sleeping while the list is
// empty: a new client is served at once. The wait has no time-out: both of
// its reasons to end (a client appended, the stop flag set) are changed under
// the list mutex and signalled, so an idle daemon does not wake this thread
// ten times a second for nothing.
void CliUdsServer::InnerRecvThreadRun()
{
    CLI_LOG(CLI_LOG_INFO, "Start recv thread.");
    size_t cursor = 0;
    while (stop_.load() == 0) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_.load() != 0 || !clients_.empty(); });
        if (stop_.load() != 0) {
            break;
        }
        if (cursor >= clients_.size()) {
            cursor = 0;
        }
        auto it = std::next(clients_.begin(), static_cast<long>(cursor));
        int fd = *it;
        clients_.erase(it);
        lock.unlock();
        if (fd != -1) {
            InnerRecvTask(fd);
            ++cursor;
        }
    }
    CLI_LOG(CLI_LOG_INFO, "End recv thread.");
}

void CliUdsServer::InnerRecvTask(int fd)
{
    std::string request;
    char user[CLI_USER_NAME_LEN] = {};
    char action[CLI_ACTION_NAME_LEN] = {};
    // The socket's receive time-out bounds each read; the limit bounds the
    // whole request, so a client trickling bytes cannot hold the server.
    int32_t ret = CliRecvMessage(fd, &request, user, action, CheckUserPermission, nullptr,
                                 CLI_RECV_TIMEOUT_S * 1000);
    if (ret != CLI_OK) {
        CLI_LOG(CLI_LOG_INFO, "Recv failed err(%s), client(%d) disconnected.", strerror(errno), fd);
        // The client learns why, if it still listens.
        CliCmdPool::DBPrint(fd, "", ret, action);
        CloseClient(fd);
        return;
    }
    CmdTask task;
    std::string actionWord;
    ret = CliBuildCmdTask(request, user, action, &task, &actionWord);
    if (ret != CLI_OK) {
        CliCmdPool::DBPrint(fd, "", ret, action);
        CloseClient(fd);
        return;
    }
    task.clientFd = fd;
    ret = CliCmdHandler::GetInstance().PushCmdTask(task, actionWord);
    if (ret != 0) {
        CLI_LOG(CLI_LOG_ERROR, "push cmd task fail. clientFd:%d, ret:%d", fd, ret);
        CloseClient(fd);
    }
}

void CliUdsServer::CloseClient(int fd)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        clients_.remove(fd);
    }
    CloseFd(fd);
}

void CliUdsServer::SendMsg(const std::string &text, int fd, const std::string &action)
{
    if (fd == -1) {
        CLI_LOG(CLI_LOG_ERROR, "sockFd(%d) is invalid.", fd);
        return;
    }
    (void)CliSendString(text, fd, user_, action.c_str());
}

CliUdsServer &GetCliServer()
{
    static CliUdsServer server;
    return server;
}

}  // namespace SPINDLEKEEP_CLI

int InitCliServer() { return SPINDLEKEEP_CLI::GetCliServer().InitCliServer(); }
