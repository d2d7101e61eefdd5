// The agent's transport: a UNIX-domain stream socket, one JSON-RPC request per
// connection and one answer, as the daemon's transport expects. Each connection
// runs on its own detached thread, so a delayed answer never holds up the
// parallel batches the daemon sends.
//
// The daemon sends its request without framing and keeps the connection open
// while waiting, so a request ends when its text parses as JSON, when the peer
// shuts its side, or when no more bytes arrive shortly after a text that does
// not parse. Requests longer than the limit get an error answer.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "agent_methods.h"

struct RpcServerOptions {
    std::string socketPath;
    uint32_t readTimeoutMs = 2000;  // whole request must arrive within this
    size_t maxRequest = 64 * 1024;
    size_t maxConnections = 256;    // beyond this, connections get a busy error
    mode_t mode = 0660;
    std::string group = "spindlekeep_group";  // socket group when it exists
};

class RpcServer {
  public:
    using DispatchFn = std::function<AgentReply(const char *text, size_t len)>;

    RpcServer() = default;
    RpcServer(const RpcServer &) = delete;
    RpcServer &operator=(const RpcServer &) = delete;

    // Binds the socket (replacing a stale one, refusing a live one or a
    // non-socket file) and starts accepting. 0 or an errno value.
    [[nodiscard]] int Start(const RpcServerOptions &options, DispatchFn dispatch);
    // Stops accepting and removes the socket file. Connections in progress
    // finish on their own threads.
    void Stop();

  private:
    void AcceptLoop();

    RpcServerOptions options_;
    DispatchFn dispatch_;
    int listenFd_ = -1;
    ino_t inode_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptThread_;
};
