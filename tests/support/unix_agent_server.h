// A disk agent stand-in for tests: a real UNIX-domain stream socket server on
// a short temporary path, answering each connection as its mode says and
// recording every request it reads.
//
// Each connection is served on its own thread; the destructor stops them all
// and removes the socket and its directory. Thread safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class UnixAgentServer {
public:
    enum class Mode {
        kReply,        // read one request, send the responder's answer, close
        kSilent,       // read whatever comes, never answer, hold until the client closes
        kCloseAtOnce,  // accept and close without reading
    };
    using Responder = std::function<std::string(const std::string &request)>;

    // Binds "/tmp/spkXXXXXX/agent.sock" (short enough for an agent record).
    // Answers {"jsonrpc":"2.0","id":1,"result":{}} until told otherwise.
    UnixAgentServer();
    ~UnixAgentServer();
    UnixAgentServer(const UnixAgentServer &) = delete;
    UnixAgentServer &operator=(const UnixAgentServer &) = delete;

    const std::string &Path() const { return path_; }
    void SetMode(Mode mode)
    {
        std::lock_guard<std::mutex> lock(mu_);
        mode_ = mode;
    }
    void SetResponder(Responder responder)
    {
        std::lock_guard<std::mutex> lock(mu_);
        responder_ = std::move(responder);
    }
    void SetReply(const std::string &reply)
    {
        SetResponder([reply](const std::string &) { return reply; });
    }

    std::vector<std::string> Requests() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }
    size_t RequestCount() const { return Requests().size(); }
    void ClearRequests()
    {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.clear();
    }
    // True once at least `n` requests were recorded within `timeout`.
    bool WaitForRequests(size_t n, std::chrono::milliseconds timeout) const
    {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
    }
    size_t ConnectionCount() const { return connections_.load(); }

private:
    void AcceptLoop();
    void Serve(int fd);

    std::string dir_;
    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connections_{0};
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    Mode mode_ = Mode::kReply;
    Responder responder_;
    std::vector<std::string> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};
