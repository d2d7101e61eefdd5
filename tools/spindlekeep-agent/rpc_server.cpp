#include "rpc_server.h"

#include <cjson/cJSON.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>

#include "agent_log.h"

namespace {

constexpr int kGraceMs = 100;
constexpr int kDrainMs = 500;

std::atomic<size_t> g_activeConnections{0};

bool ParsesAsJson(const std::string &text)
{
    cJSON *json = cJSON_ParseWithLength(text.data(), text.size());
    cJSON_Delete(json);
    return json != nullptr;
}

int64_t MsLeft(std::chrono::steady_clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
        .count();
}

enum class ReadStatus { kComplete, kTooLarge, kNothing };

ReadStatus ReadRequest(int fd, const RpcServerOptions &options, std::string *text)
{
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(options.readTimeoutMs);
    char buf[16384];
    bool unparsed = false;
    for (;;) {
        int64_t left = MsLeft(deadline);
        int wait = static_cast<int>(unparsed ? std::min<int64_t>(left, kGraceMs) : left);
        pollfd pfd{fd, POLLIN, 0};
        if (wait <= 0 || poll(&pfd, 1, wait) <= 0) {
            break;
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text->append(buf, static_cast<size_t>(n));
        if (text->size() > options.maxRequest) {
            return ReadStatus::kTooLarge;
        }
        if (ParsesAsJson(*text)) {
            return ReadStatus::kComplete;
        }
        unparsed = true;
    }
    return text->empty() ? ReadStatus::kNothing : ReadStatus::kComplete;
}

void SendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ALOG_DEBUG("answer not delivered: %s", strerror(errno));
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// Reads and drops what a client still sends, so it can read our answer
// instead of failing on a reset connection.
void Drain(int fd)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
    char buf[65536];
    for (;;) {
        int64_t left = MsLeft(deadline);
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0 ||
            recv(fd, buf, sizeof(buf), 0) <= 0) {
            return;
        }
    }
}

void ServeConnection(int fd, RpcServerOptions options, RpcServer::DispatchFn dispatch)
{
    std::string request;
    ReadStatus status = ReadRequest(fd, options, &request);
    if (status == ReadStatus::kTooLarge) {
        ALOG_WARN("request over %zu bytes refused", options.maxRequest);
        SendAll(fd, AgentErrorText(AGENT_RPC_INVALID_REQUEST, "Request too large"));
        shutdown(fd, SHUT_WR);
        Drain(fd);
    } else if (status == ReadStatus::kComplete) {
        AgentReply reply = dispatch(request.data(), request.size());
        if (reply.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
        }
        if (!reply.close) {
            SendAll(fd, reply.bytes);
        }
    }
    close(fd);
    g_activeConnections.fetch_sub(1);
}

// Removes a socket file left by an agent that is gone; refuses a live one.
int ClearStaleSocket(const std::string &path, const sockaddr_un &addr)
{
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) {
        return 0;
    }
    if (!S_ISSOCK(st.st_mode)) {
        return EEXIST;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return errno;
    }
    bool live = connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    close(probe);
    if (live) {
        return EADDRINUSE;
    }
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

void ApplyOwnership(const RpcServerOptions &options)
{
    if (chmod(options.socketPath.c_str(), options.mode) != 0) {
        ALOG_WARN("chmod %s: %s", options.socketPath.c_str(), strerror(errno));
    }
    group *grp = options.group.empty() ? nullptr : getgrnam(options.group.c_str());
    if (grp != nullptr && chown(options.socketPath.c_str(), static_cast<uid_t>(-1), grp->gr_gid) != 0) {
        ALOG_WARN("chown %s: %s", options.socketPath.c_str(), strerror(errno));
    }
}

}  // namespace

int RpcServer::Start(const RpcServerOptions &options, DispatchFn dispatch)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (options.socketPath.empty() || options.socketPath.size() >= sizeof(addr.sun_path)) {
        return ENAMETOOLONG;
    }
    memcpy(addr.sun_path, options.socketPath.c_str(), options.socketPath.size() + 1);
    int err = ClearStaleSocket(options.socketPath, addr);
    if (err != 0) {
        return err;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 128) != 0) {
        err = errno;
        close(fd);
        return err;
    }
    struct stat st{};
    inode_ = stat(options.socketPath.c_str(), &st) == 0 ? st.st_ino : 0;
    options_ = options;
    dispatch_ = std::move(dispatch);
    ApplyOwnership(options_);
    listenFd_ = fd;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return 0;
}

void RpcServer::AcceptLoop()
{
    while (!stop_) {
        pollfd pfd{listenFd_, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0) {
            continue;
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (g_activeConnections.fetch_add(1) >= options_.maxConnections) {
            SendAll(fd, AgentErrorText(AGENT_RPC_INTERNAL_ERROR, "agent busy"));
            close(fd);
            g_activeConnections.fetch_sub(1);
            continue;
        }
        try {
            std::thread(ServeConnection, fd, options_, dispatch_).detach();
        } catch (const std::system_error &e) {
            ALOG_WARN("no thread for a connection: %s", e.what());
            close(fd);
            g_activeConnections.fetch_sub(1);
        }
    }
}

void RpcServer::Stop()
{
    if (listenFd_ < 0) {
        return;
    }
    stop_ = true;
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    close(listenFd_);
    listenFd_ = -1;
    struct stat st{};
    if (stat(options_.socketPath.c_str(), &st) == 0 && st.st_ino == inode_) {
        unlink(options_.socketPath.c_str());
    }
}
