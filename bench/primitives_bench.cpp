// Lower bounds: what the daemon's work is made of, measured bare on this
// machine, so that bench/run.sh can put a ratio beside each figure. Nothing
// here is the daemon's code; each benchmark is the cheapest way to do one
// primitive the daemon cannot avoid.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent_methods.h"
#include "fleet_file.h"
#include "fleet_source.h"

namespace {

// A UNIX-socket server that reads one request of a known size and answers a
// reply of a known size on every connection, on one thread.
class EchoServer {
public:
    EchoServer(size_t requestBytes, size_t replyBytes)
        : request_(requestBytes), reply_(replyBytes, 'x')
    {
        path_ = "/tmp/spk-prim-" + std::to_string(getpid()) + ".sock";
        unlink(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd_, 64) != 0) {
            abort();
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~EchoServer()
    {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
        unlink(path_.c_str());
    }
    const std::string &Path() const { return path_; }
    size_t RequestBytes() const { return request_.size(); }
    size_t ReplyBytes() const { return reply_.size(); }

private:
    void Serve()
    {
        while (!stop_) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) {
                continue;
            }
            size_t got = 0;
            while (got < request_.size()) {
                ssize_t n = read(c, request_.data() + got, request_.size() - got);
                if (n <= 0) {
                    break;
                }
                got += static_cast<size_t>(n);
            }
            (void)!write(c, reply_.data(), reply_.size());
            close(c);
        }
    }
    std::string path_;
    std::vector<char> request_;
    std::string reply_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// connect + send + receive to end of stream, a new connection each time: the
// floor of one agent query and of one CLI request.
void BM_UnixConnectSendReceive(benchmark::State &state)
{
    EchoServer server(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    std::vector<char> out(server.RequestBytes(), 'r');
    std::vector<char> in(server.ReplyBytes() + 1);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, server.Path().c_str(), sizeof(addr.sun_path) - 1);
    for (auto _ : state) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            state.SkipWithError("connect");
            break;
        }
        (void)!write(fd, out.data(), out.size());
        while (read(fd, in.data(), in.size()) > 0) {
        }
        close(fd);
    }
}
// An agent query (request ~200 B, answer up to 8191 B) and a CLI request.
BENCHMARK(BM_UnixConnectSendReceive)->Args({200, 8191})->Args({400, 1200})->UseRealTime();

// cJSON parse of a real agent answer: the floor of one answer's check and copy.
void BM_CJsonParseAnswer(benchmark::State &state)
{
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    if (FleetParse(FleetDefaultText(), &fleet, &faults, &error) != 0) {
        abort();
    }
    FleetSource source(std::move(fleet), 1.0);
    FaultTable table;
    AgentContext ctx{&source, &table, nullptr, AGENT_ROLE_KERNEL, false};
    std::string request = R"({"jsonrpc":"2.0","method":"dca_get_disks_iostat","id":2,"params":{"devices":[)"
                          R"("sda","sdb","sdd","sde","sdf","sdh","sdi","nvme0n1","nvme1n1","sdc","sdg","sdj","sdl"],"period":"3"}})";
    AgentReply reply = AgentDispatch(ctx, request.data(), request.size());
    for (auto _ : state) {
        cJSON *doc = cJSON_ParseWithLength(reply.bytes.data(), reply.bytes.size());
        benchmark::DoNotOptimize(doc);
        cJSON_Delete(doc);
    }
    state.counters["answer_bytes"] = static_cast<double>(reply.bytes.size());
}
BENCHMARK(BM_CJsonParseAnswer);

// One detached-style thread start and its end: the floor of one batch worker.
void BM_ThreadStart(benchmark::State &state)
{
    for (auto _ : state) {
        pthread_t t;
        pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
        pthread_join(t, nullptr);
    }
}
BENCHMARK(BM_ThreadStart)->UseRealTime();

// The CLI's 1 MiB packet buffer, allocated and filled once.
void BM_PacketBuffer1MiB(benchmark::State &state)
{
    constexpr size_t kBytes = 1u << 20;
    for (auto _ : state) {
        char *buf = static_cast<char *>(malloc(kBytes));
        memset(buf, 0, kBytes);
        benchmark::DoNotOptimize(buf);
        free(buf);
    }
}
BENCHMARK(BM_PacketBuffer1MiB);

}  // namespace
