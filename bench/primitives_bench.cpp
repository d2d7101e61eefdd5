// Lower bounds: what the daemon's work is made of, measured bare on this
// machine, so that bench/run.sh can put a ratio beside each figure. Nothing
// here is the daemon's code; each benchmark is the cheapest way to do one
// primitive the daemon cannot avoid.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

// One thread start and its end: the floor of one analysis worker. The CPU is
// the whole process's: the new thread's own start and exit (stack, TLS, the
// kernel's side of clone and exit) are part of what a start costs.
void BM_ThreadStart(benchmark::State &state)
{
    for (auto _ : state) {
        pthread_t t;
        pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
        pthread_join(t, nullptr);
    }
}
BENCHMARK(BM_ThreadStart)->UseRealTime()->MeasureProcessCPUTime();

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

namespace {

// The footprint's fleet (bench/footprint.sh): 64 disks of four kinds, the
// SATA SSDs and SAS HDDs on the kernel agent, the SAS SSDs and NVMe SSDs on
// the user-space agent.
std::string Fleet64Text()
{
    struct Kind {
        const char *type, *vendor, *model, *role;
    };
    const Kind kinds[] = {{"SSD_SATA", "ATA", "KSSD-SA960", "kernel"},
                          {"HDD_SAS", "SEAGATE", "ST4000NM0043", "kernel"},
                          {"SSD_SAS", "KORVAN", "KV-SAS1600", "user"},
                          {"SSD_NVMe", "KORVAN", "KV-NVMe3840", "user"}};
    std::string text = R"({"tick_rate":1000,"events":[],"disks":[)";
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 16; ++i) {
            int n = k * 16 + i;
            bool nvme = strcmp(kinds[k].type, "SSD_NVMe") == 0;
            char dev[32];
            char sn[32];
            char pci[32];
            snprintf(dev, sizeof(dev), nvme ? "nvme%dn1" : "sd%c%c", nvme ? n : 'a' + k, 'a' + i);
            snprintf(sn, sizeof(sn), "SPKCPU%04d", n);
            snprintf(pci, sizeof(pci), "0000:%02x:00.0", n);
            text += std::string(n == 0 ? "" : ",") + R"({"device_name":")" + dev +
                    R"(","serial_number":")" + sn + R"(","type":")" + kinds[k].type +
                    R"(","vendor":")" + kinds[k].vendor + R"(","model":")" + kinds[k].model +
                    R"(","firmware":"F1","capacity":"1600321314816","slot":)" + std::to_string(n) +
                    R"(,"role":")" + kinds[k].role +
                    R"(","health":{"power_on_hours":5000,"wear":300})" +
                    (nvme ? std::string(R"(,"pci_address":")") + pci + "\"" : std::string()) + "}";
        }
    }
    return text + "]}";
}

// An agent of one role in a child process, so that its CPU is not the
// caller's: answers every connection's one request through the agent's own
// dispatch. Ends with the object.
class ForkedAgent {
public:
    ForkedAgent(uint8_t role, const std::string &fleetText)
    {
        path_ = "/tmp/spk-prim-agent-" + std::to_string(getpid()) + "-" + std::to_string(role) + ".sock";
        unlink(path_.c_str());
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0) {
            abort();
        }
        child_ = fork();
        if (child_ == 0) {
            Serve(fd, role, fleetText);
            _exit(0);
        }
        close(fd);
    }
    ~ForkedAgent()
    {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
        unlink(path_.c_str());
    }
    const std::string &Path() const { return path_; }

private:
    static void Serve(int fd, uint8_t role, const std::string &fleetText)
    {
        Fleet fleet;
        std::vector<FaultRule> faults;
        std::string error;
        if (FleetParse(fleetText, &fleet, &faults, &error) != 0) {
            _exit(1);
        }
        FleetSource source(std::move(fleet), 1.0);
        FaultTable table;
        AgentContext ctx{&source, &table, nullptr, role, false};
        std::vector<char> request(65536);
        for (;;) {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) {
                continue;
            }
            ssize_t n = read(c, request.data(), request.size());
            if (n > 0) {
                AgentReply reply = AgentDispatch(ctx, request.data(), static_cast<size_t>(n));
                (void)!write(c, reply.bytes.data(), reply.bytes.size());
            }
            close(c);
        }
    }
    std::string path_;
    pid_t child_ = -1;
};

// One agent request as the daemon must make it: a new socket with both
// timeouts, connect, one send, one receive into the 8 KiB answer buffer,
// shutdown and close, then the cJSON parse of the answer and its release.
void RequestAndParse(const std::string &path, const std::string &request)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        abort();
    }
    char answer[8192];
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ssize_t got = recv(fd, answer, sizeof(answer) - 1, 0);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    answer[got > 0 ? got : 0] = '\0';
    cJSON *doc = cJSON_Parse(answer);
    if (doc == nullptr) {
        abort();
    }
    cJSON_Delete(doc);
}

struct Request {
    const std::string *path;
    std::string text;
};

std::string RequestText(const char *method, const std::vector<std::string> &devices, bool period)
{
    std::string text = std::string(R"({"jsonrpc":"2.0","method":")") + method + R"(","id":7)";
    if (!devices.empty()) {
        text += R"(,"params":{"devices":[)";
        for (size_t i = 0; i < devices.size(); ++i) {
            text += (i == 0 ? "\"" : ",\"") + devices[i] + "\"";
        }
        text += std::string("]") + (period ? R"(,"period":"20")" : "") + "}";
    }
    return text + "}";
}

// The device names an agent lists, in its order.
std::vector<std::string> ListedDevices(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        abort();
    }
    std::string request = RequestText("dca_get_disks_brief_info", {}, false);
    (void)!write(fd, request.data(), request.size());
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    std::vector<std::string> names;
    cJSON *doc = cJSON_Parse(answer.c_str());
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, cJSON_GetObjectItem(cJSON_GetObjectItem(doc, "result"), "disks"))
    {
        names.emplace_back(cJSON_GetObjectItem(disk, "device_name")->valuestring);
    }
    cJSON_Delete(doc);
    return names;
}

// The batches of one message over an agent's devices, `step` disks each.
void AddBatches(std::vector<Request> *out, const std::string *path, const char *method,
                const std::vector<std::string> &devices, size_t step, bool period)
{
    for (size_t at = 0; at < devices.size(); at += step) {
        std::vector<std::string> batch(devices.begin() + static_cast<long>(at),
                                       devices.begin() + static_cast<long>(std::min(devices.size(), at + step)));
        out->push_back({path, RequestText(method, batch, period)});
    }
}

// The lower bound of one 3-second collection pass with 64 disks on two agents
// (first argument 0), and of one scan (1): the requests the design makes,
// each with its unavoidable primitives. Per agent and pass the query thread
// asks for the device list itself, then health in batches of 4 and IO in
// batches of 20, every batch on a thread of its own started for it; the batches
// of one message run at the same time. The scan asks both agents for their
// device lists on its own thread. CPU of the whole process (the agents are
// child processes): the batch threads' own CPU counts, as it does in the
// daemon. Nothing of the daemon's code runs here.
void BM_PassBound(benchmark::State &state)
{
    std::string fleet = Fleet64Text();
    ForkedAgent kernel(AGENT_ROLE_KERNEL, fleet);
    ForkedAgent user(AGENT_ROLE_USER, fleet);
    std::vector<std::vector<Request>> steps;  // each step: its batches in parallel
    for (const ForkedAgent *agent : {&user, &kernel}) {
        const std::string *path = &agent->Path();
        std::vector<std::string> devices = ListedDevices(*path);
        if (devices.size() != 32) {
            state.SkipWithError("agent does not list 32 disks");
            return;
        }
        steps.push_back({{path, RequestText("dca_get_disks_brief_info", {}, false)}});
        if (state.range(0) == 1) {
            continue;
        }
        steps.emplace_back();
        AddBatches(&steps.back(), path, "dca_get_disks_health_info", devices, 4, false);
        steps.emplace_back();
        AddBatches(&steps.back(), path, "dca_get_disks_iostat", devices, 20, true);
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) {
        if (state.range(1) != 0) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(state.range(1)));
            state.ResumeTiming();
        }
        for (const std::vector<Request> &step : steps) {
            if (step.size() == 1 && step[0].text.find("brief") != std::string::npos) {
                RequestAndParse(*step[0].path, step[0].text);
                continue;
            }
            std::vector<pthread_t> threads(step.size());
            for (size_t i = 0; i < step.size(); ++i) {
                pthread_create(
                    &threads[i], nullptr,
                    [](void *arg) -> void * {
                        auto *r = static_cast<const Request *>(arg);
                        RequestAndParse(*r->path, r->text);
                        return nullptr;
                    },
                    const_cast<Request *>(&step[i]));
            }
            for (pthread_t t : threads) {
                pthread_join(t, nullptr);
            }
        }
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) * 1e6 + static_cast<double>(tv.tv_usec); };
    double userUs = us(after.ru_utime) - us(before.ru_utime);
    double systemUs = us(after.ru_stime) - us(before.ru_stime);
    state.counters["user_pct"] = 100.0 * userUs / std::max(1.0, userUs + systemUs);
    state.counters["switches"] = benchmark::Counter(
        static_cast<double>(after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw - before.ru_nivcsw),
        benchmark::Counter::kAvgIterations);
    size_t requests = 0;
    for (const auto &step : steps) {
        requests += step.size();
    }
    state.counters["requests"] = static_cast<double>(requests);
}
// Second argument: a pause in milliseconds before each pass. Back to back
// (0) the pass finds its code and data in the caches; the daemon makes one
// pass every 3 seconds, so on a busy machine it starts cold, as the paced
// runs do.
BENCHMARK(BM_PassBound)
    ->Args({0, 0})
    ->Args({1, 0})
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PassBound)
    ->Args({0, 500})
    ->Args({1, 500})
    ->Iterations(30)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
