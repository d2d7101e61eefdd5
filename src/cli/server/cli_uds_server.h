// The CLI socket server: "<prefix>/config/CLI_UDS.unix", mode 0660, group
// "spindlekeep_group", so that the group's members can connect whatever user
// the daemon runs as.
//
// One connection carries one request and one reply. The accept thread
// appends accepted clients to the client list; the receive thread takes them
// in turn, receives one request each (user check on the packets, see
// cli_permission.h), turns it into a CmdTask and hands it to the command
// handler; the worker replies and closes the client.
//
// Threads and locks: the client list is guarded by the server mutex; a
// descriptor taken from the list belongs to the receive thread until it is
// queued, then to the worker. InitCliServer runs on the start-up thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "cli/cmd/cli_base_cmd.h"
#include "cli/common/cli_packet.h"

namespace SPINDLEKEEP_CLI {

inline constexpr uint32_t CLI_RECV_TIMEOUT_S = 60;

class CliUdsServer {
public:
    // Logs, socket, threads, command handler. 0 or -1 (the listen socket is
    // then closed and no thread runs).
    int InitCliServer();
    // Stops the threads, closes every socket and removes the socket file.
    void UnInitCliServer();
    // Accepts one client. 0, -1, or CLI_RECV_TRANSMISSION_ERROR.
    int32_t AcceptCliServer();
    // Sends a reply document to a client (nothing for fd -1).
    void SendMsg(const std::string &text, int fd, const std::string &action);
    // Receives one request from `fd` and dispatches it; closes the client
    // on every failure (after answering it when it still listens).
    void InnerRecvTask(int fd);

private:
    void Run();
    void InnerRecvThreadRun();
    void CloseClient(int fd);

    std::atomic<int> listenFd_{-1};
    std::atomic<uint32_t> stop_{0};
    std::mutex mu_;
    std::condition_variable cv_;  // signalled when a client is appended or stop_ is set (under mu_)
    std::list<int> clients_;
    std::thread acceptThread_;
    std::thread recvThread_;
    char user_[CLI_USER_NAME_LEN] = {};  // the daemon's own user, sent in replies
};

CliUdsServer &GetCliServer();

// Turns a request document into a task: "agrs" is "A COMMAND key=value ...";
// the task's argument string becomes "action=A key=value ... userName=USER".
// *actionWord receives A. CLI_USER_PERMISSION_ERROR when A is not the action
// word of the packet headers (the user check judged that one); else 0.
[[nodiscard]] int32_t CliBuildCmdTask(const std::string &request, const char *user,
                                      const char *headerAction, CmdTask *task,
                                      std::string *actionWord);

}  // namespace SPINDLEKEEP_CLI

// The "Cli-Server" start-up step: InitCliServer of the global server.
[[nodiscard]] int InitCliServer();
