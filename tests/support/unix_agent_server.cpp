#include "support/unix_agent_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kPollMs = 20;

// Waits until fd is readable or the server stops; false on stop.
bool WaitReadable(int fd, const std::atomic<bool> &stop)
{
    pollfd p{fd, POLLIN, 0};
    while (!stop.load()) {
        if (poll(&p, 1, kPollMs) > 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

UnixAgentServer::UnixAgentServer()
{
    SetReply(R"({"jsonrpc":"2.0","id":1,"result":{}})");
    char tmpl[] = "/tmp/spkXXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = tmpl;
    path_ = dir_ + "/agent.sock";
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(listenFd_, 128) != 0) {
        throw std::runtime_error("cannot listen on " + path_);
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

UnixAgentServer::~UnixAgentServer()
{
    stop_.store(true);
    acceptor_.join();  // no worker is added after this
    for (auto &t : workers_) {
        t.join();
    }
    close(listenFd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
}

void UnixAgentServer::AcceptLoop()
{
    while (WaitReadable(listenFd_, stop_)) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        connections_.fetch_add(1);
        std::lock_guard<std::mutex> lock(mu_);
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

// A replying connection reads one request; a silent one reads until the
// client closes.
void UnixAgentServer::Serve(int fd)
{
    std::unique_lock<std::mutex> lock(mu_);
    const Mode mode = mode_;
    lock.unlock();
    std::vector<char> buf(1 << 16);
    ssize_t n = 0;
    while (mode != Mode::kCloseAtOnce && WaitReadable(fd, stop_) &&
           (n = recv(fd, buf.data(), buf.size(), 0)) > 0) {
        lock.lock();
        requests_.emplace_back(buf.data(), static_cast<size_t>(n));
        cv_.notify_all();
        std::string answer = mode == Mode::kReply ? responder_(requests_.back()) : "";
        lock.unlock();
        if (mode == Mode::kReply) {
            (void)!send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            break;
        }
    }
    close(fd);
}
