// Costs on the data path of every IO query cycle: one IO statistics
// calculation, one IO frame stored through the data store (lookup by serial
// number, lock, calculation, ring), one read of the newest statistics, and
// one agent request round trip over a UNIX socket.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_master_inner.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

void Install()
{
    if (!KeeperOsInstalled()) {
        (void)KeeperInfraLiteInstall();
    }
    KeeperOsSetLogLevel(KEEPER_LOG_WARN);
}

DiskIoInfoFrame FrameAt(uint64_t k)
{
    DiskIoInfoFrame f{};
    f.ticks = 1000 * (k + 1);
    f.tick_rate = 1000;
    f.num_read_ops = 200 * k;
    f.num_write_ops = 100 * k;
    f.bytes_read = 2048000 * k;
    f.bytes_written = 1024000 * k;
    f.read_latency_ticks = 400 * k;
    f.write_latency_ticks = 100 * k;
    f.io_time = 1500000 * k;
    return f;
}

void BM_IoStatCalculate(benchmark::State &state)
{
    Install();
    DiskIoInfoFrame l = FrameAt(1);
    DiskIoInfoFrame n = FrameAt(2);
    DiskIoStatInfo s{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(IoStatCheck(&l, &n));
        benchmark::DoNotOptimize(IoStatCalculate(&l, &n, &s));
    }
}
BENCHMARK(BM_IoStatCalculate);

bool AcceptAll(uint32_t, const char *, const void *, uint32_t) { return true; }

// A store with `disks` registered disks on a throw-away registry file; the
// data agent is absent, so registration sends fail fast.
struct Store {
    explicit Store(int disks)
    {
        Install();
        char tmpl[] = "/tmp/spkbenchXXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/disk_mgr.config";
        (void)DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, "/tmp/spk-bench-no-agent.sock");
        (void)DiskMgrInit(path.c_str());
        DataMgrSetWhiteListFunc(AcceptAll);
        (void)DataMgrInit();
        KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
        for (int i = 0; i < disks; ++i) {
            DiskBaseInfo d{};
            d.diskState = DISK_STATE_UNSET;
            snprintf(d.sn, sizeof(d.sn), "BENCH-SN-%02d", i);
            strcpy(d.vendor, "ATA");
            d.diskType = DISK_TYPE_SSD_SATA;
            (void)DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, KeeperStr{40, d.sn}, &d, DATA_INFO_BASE);
        }
    }
    ~Store()
    {
        (void)DataMgrDestroy();
        DiskMgrDestroy();
        DataMgrSetWhiteListFunc(nullptr);
        std::string cmd = "rm -rf " + dir;
        (void)system(cmd.c_str());
    }
    std::string dir;
    std::string path;
};

void BM_StoreIoFrameBySn(benchmark::State &state)
{
    Store store(static_cast<int>(state.range(0)));
    char sn[40] = {};
    snprintf(sn, sizeof(sn), "BENCH-SN-%02d", static_cast<int>(state.range(0)) - 1);
    uint64_t k = 1;
    for (auto _ : state) {
        DiskIoInfoFrame f = FrameAt(k++);
        benchmark::DoNotOptimize(
            DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, KeeperStr{40, sn}, &f, DATA_INFO_IOSTAT));
    }
}
// The lookup scans the registry slots, so the last of 64 disks is the worst case.
BENCHMARK(BM_StoreIoFrameBySn)->Arg(1)->Arg(64);

void BM_StoreIoStatGet(benchmark::State &state)
{
    Store store(1);
    char sn[40] = "BENCH-SN-00";
    for (uint64_t k = 1; k <= 3; ++k) {
        DiskIoInfoFrame f = FrameAt(k);
        (void)DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, KeeperStr{40, sn}, &f, DATA_INFO_IOSTAT);
    }
    DiskIoStatInfo s{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(DiskIoStatInfoGet(0, &s));
    }
}
BENCHMARK(BM_StoreIoStatGet);

// A minimal agent: one read, one fixed answer, close.
struct EchoAgent {
    EchoAgent()
    {
        char tmpl[] = "/tmp/spkbaXXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/a.sock";
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        (void)bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
        (void)listen(fd, 64);
        worker = std::thread([this] {
            static const char kAnswer[] = R"({"jsonrpc":"2.0","id":1,"result":{}})";
            char buf[8192];
            while (!stop.load()) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) {
                    continue;
                }
                if (recv(c, buf, sizeof(buf), 0) > 0) {
                    (void)send(c, kAnswer, sizeof(kAnswer) - 1, MSG_NOSIGNAL);
                }
                close(c);
            }
        });
    }
    ~EchoAgent()
    {
        stop.store(true);
        shutdown(fd, SHUT_RDWR);
        close(fd);
        worker.join();
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
    std::string path;
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
};

void BM_PostRequestWithJson(benchmark::State &state)
{
    Install();
    KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
    EchoAgent agent;
    AgentInfo info{};
    strcpy(info.agentName, "bench_agent");
    strcpy(info.addr.sockFile, agent.path.c_str());
    for (auto _ : state) {
        cJSON *req = CreateBaseRequest("dca_get_disks_brief_info");
        cJSON *rsp = PostRequestWithJSON(&info, req);
        if (!IsValidJsonResponse(rsp)) {
            state.SkipWithError("agent answer missing");
        }
        cJSON_Delete(rsp);
        cJSON_Delete(req);
    }
}
BENCHMARK(BM_PostRequestWithJson)->UseRealTime();

}  // namespace
