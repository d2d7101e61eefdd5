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
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, kPollMs);
        if (n > 0) {
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

void UnixAgentServer::Serve(int fd)
{
    Mode mode;
    {
        std::lock_guard<std::mutex> lock(mu_);
        mode = mode_;
    }
    std::vector<char> buf(1 << 16);
    if (mode != Mode::kCloseAtOnce) {
        do {
            if (!WaitReadable(fd, stop_)) {
                break;
            }
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) {
                break;
            }
            std::string request(buf.data(), static_cast<size_t>(n));
            std::string answer;
            {
                std::lock_guard<std::mutex> lock(mu_);
                requests_.push_back(request);
                cv_.notify_all();
                if (mode == Mode::kReply) {
                    answer = responder_(request);
                }
            }
            if (mode == Mode::kReply) {
                (void)!send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        } while (mode == Mode::kSilent);
    }
    close(fd);
}
