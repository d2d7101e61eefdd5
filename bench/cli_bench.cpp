// Round trip of "show disk_info disk_id=0" through the daemon's CLI server
// (framing, user check, XML, dispatch, worker, data store, CLI logs), timed
// per request from the client's connect to the reply's last byte, beside the
// lower bound of the same run: a bare UNIX-socket server that accepts, reads
// the same number of request bytes and writes the same number of reply bytes.
// Counters: median and p99 of each in microseconds and the ratio of medians.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/common/cli_client.h"
#include "cli/common/cli_log.h"
#include "cli/common/cli_xml.h"
#include "cli/server/cli_uds_server.h"
#include "config/config.h"
#include "config/config_prefix.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

using Clock = std::chrono::steady_clock;

bool AllowAll(uint32_t, const char *, const void *, uint32_t) { return true; }

// A daemon-like process state with one disk: prefix, configuration, store.
std::string StartServer()
{
    static std::string sock;
    if (!sock.empty()) {
        return sock;
    }
    (void)KeeperInfraLiteInstall();
    KeeperOsSetLogLevel(KEEPER_LOG_ERROR);
    char dir[] = "/tmp/spk_cli_bench_XXXXXX";
    std::string prefix = mkdtemp(dir);
    (void)!system(("mkdir -p " + prefix + "/config " + prefix + "/userconfig_bak " + prefix + "/log").c_str());
    (void)SetConfigPrefix(prefix.c_str());
    (void)InitConfig();
    (void)DiskMgrInit((prefix + "/config/disk_mgr.config").c_str());
    DataMgrSetWhiteListFunc(AllowAll);
    (void)DataMgrInit();
    DiskBaseInfo d{};
    d.diskId = DISK_ID_INVALID;
    d.slotId = 2;
    d.diskCapacity = 960197124096ULL;
    d.sectorSize = 512;
    strcpy(d.vendor, "ATA");
    strcpy(d.model, "KSSD-SA960");
    strcpy(d.sn, "BENCH0001");
    strcpy(d.deviceName, "sda");
    d.diskType = DISK_TYPE_SSD_SATA;
    (void)DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, KeeperStr{DISK_SN_LEN, d.sn}, &d, DATA_INFO_BASE);
    static std::string logDir = prefix + "/log";
    SPINDLEKEEP_CLI::CliLogSetDirForTest(logDir.c_str());
    (void)SPINDLEKEEP_CLI::GetCliServer().InitCliServer();
    // The server's threads are joined before static destruction.
    (void)std::atexit([] { SPINDLEKEEP_CLI::GetCliServer().UnInitCliServer(); });
    (void)SPINDLEKEEP_CLI::CliSocketPathFor(prefix.c_str(), &sock);
    return sock;
}

int ConnectTo(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, path.c_str());
    return connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 ? fd : (close(fd), -1);
}

// Sends `out` bytes, reads until the peer closes; the bytes read.
size_t Exchange(int fd, size_t out)
{
    static std::vector<char> buf(1 << 16, 'x');
    (void)!send(fd, buf.data(), out, MSG_NOSIGNAL);
    size_t got = 0;
    for (ssize_t n; (n = recv(fd, buf.data(), buf.size(), 0)) > 0;) {
        got += static_cast<size_t>(n);
    }
    return got;
}

// The lower bound's server: accept, read `in` bytes, write `out` bytes, close.
struct BareServer {
    BareServer(size_t in, size_t out) : in_(in), out_(out)
    {
        path = "/tmp/spk_cli_bench_bare_" + std::to_string(getpid());
        unlink(path.c_str());
        lfd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        (void)bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        (void)listen(lfd_, 128);
        thread_ = std::thread([this] { Serve(); });
    }
    ~BareServer()
    {
        stop_ = true;
        shutdown(lfd_, SHUT_RDWR);
        thread_.join();
        close(lfd_);
        unlink(path.c_str());
    }
    void Serve()
    {
        std::vector<char> buf(1 << 16, 'r');
        while (!stop_) {
            int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            for (size_t got = 0; got < in_;) {
                ssize_t n = recv(fd, buf.data(), in_ - got, 0);
                if (n <= 0) {
                    break;
                }
                got += static_cast<size_t>(n);
            }
            (void)!send(fd, buf.data(), out_, MSG_NOSIGNAL);
            close(fd);
        }
    }
    std::string path;
    size_t in_, out_;
    int lfd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_CliShowDiskInfoRoundTrip(benchmark::State &state)
{
    std::string sock = StartServer();
    SPINDLEKEEP_CLI::CliReply reply;
    const std::string agrs = "show disk_info disk_id=0";
    if (SPINDLEKEEP_CLI::CliClientCall(sock, "show", "disk_info", agrs, 5000, &reply) != 0 ||
        reply.code != 0) {
        state.SkipWithError("the CLI server does not answer");
        return;
    }
    // Wire sizes of the real exchange, for the lower bound.
    constexpr size_t kFrame = 50 + 2 + 40 + 1;  // header, trailer, message head, NUL
    size_t reqBytes = kFrame + SPINDLEKEEP_CLI::CliCMDtoXml("disk_info", agrs).size();
    size_t replyBytes = kFrame + SPINDLEKEEP_CLI::SvCMDtoXml(reply.text + " errorCode=0").size();
    BareServer bare(reqBytes, replyBytes);
    std::vector<double> cli;
    std::vector<double> raw;
    for (auto _ : state) {
        auto t0 = Clock::now();
        int ret = SPINDLEKEEP_CLI::CliClientCall(sock, "show", "disk_info", agrs, 5000, &reply);
        auto t1 = Clock::now();
        int fd = ConnectTo(bare.path);
        benchmark::DoNotOptimize(Exchange(fd, reqBytes));
        close(fd);
        auto t2 = Clock::now();
        if (ret != 0 || reply.code != 0) {
            state.SkipWithError("a request failed");
            return;
        }
        cli.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        raw.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    state.counters["median_us"] = Percentile(cli, 0.5);
    state.counters["p99_us"] = Percentile(cli, 0.99);
    state.counters["bare_median_us"] = Percentile(raw, 0.5);
    state.counters["bare_p99_us"] = Percentile(raw, 0.99);
    state.counters["ratio_median"] = Percentile(cli, 0.5) / Percentile(raw, 0.5);
}
BENCHMARK(BM_CliShowDiskInfoRoundTrip)->Iterations(3000)->Unit(benchmark::kMicrosecond);

}  // namespace
