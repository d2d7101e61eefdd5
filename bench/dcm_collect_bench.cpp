// Data collection costs.
//
// BM_AnswerCheckAndCopy: one agent answer, from text to records: parse, the
// envelope and "result" checks, and the batch copy with every per-disk check.
// Argument: message type (1 base, 13 disks; 2 health, 4 disks; 3 IO, 20 disks).
//
// BM_CollectionPass: one full query pass over 64 registered disks on two
// agents (32 each): device list, base, health and IO of both agents, every
// batch on its own connection, records saved into the real data store.
// The agents are UNIX-socket stand-ins inside this process, so the CPU time
// (whole process) includes building their answers; wall time is what a pass
// takes.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "data_collect/data_collect_master/dcm_schedule.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

struct BenchDisk {
    std::string sn;
    std::string dev;
};

cJSON *DiskMembers(const BenchDisk &d, const std::string &method, uint64_t tick)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "serial_number", d.sn.c_str());
    cJSON_AddStringToObject(o, "device_name", d.dev.c_str());
    if (method == "dca_get_disks_base_info") {
        cJSON_AddStringToObject(o, "vendor_id", "SEAGATE");
        cJSON_AddStringToObject(o, "disk_type", "HDD_SAS");
        cJSON_AddStringToObject(o, "disk_media_type", "MAGNET");
        cJSON_AddStringToObject(o, "model_number", "ST4000NM0025");
        cJSON_AddStringToObject(o, "firmware_revision", "E003");
        cJSON_AddStringToObject(o, "disk_capacity", "4000787030016");
        cJSON_AddNumberToObject(o, "sector_size", 512);
    } else if (method == "dca_get_disks_health_info") {
        cJSON_AddNumberToObject(o, "power_on_hours", 20000);
        cJSON_AddNumberToObject(o, "wear", 0);
        cJSON_AddStringToObject(o, "disk_type", "HDD_SAS");
        cJSON_AddStringToObject(o, "vendor_id", "SEAGATE");
        cJSON_AddBoolToObject(o, "is_support_ie_log", 1);
        cJSON_AddNumberToObject(o, "ASC", 0);
        cJSON_AddNumberToObject(o, "ASCQ", 0);
    } else if (method == "dca_get_disks_iostat") {
        cJSON_AddNumberToObject(o, "queue_depth", 32);
        cJSON_AddNumberToObject(o, "io_busy_num", 2);
        const char *keys[] = {"io_time",       "bytes_read",         "bytes_written", "num_read_ops",
                              "num_write_ops", "read_latency_ticks", "write_latency_ticks"};
        for (const char *k : keys) {
            cJSON_AddStringToObject(o, k, std::to_string(tick * 7).c_str());
        }
    }
    return o;
}

// The answer of an agent holding `disks` to the request text `req`.
std::string AnswerFor(const std::vector<BenchDisk> &disks, const std::string &req, uint64_t tick)
{
    cJSON *request = cJSON_Parse(req.c_str());
    const cJSON *m = cJSON_GetObjectItem(request, "method");
    std::string method = cJSON_IsString(m) ? m->valuestring : "";
    const cJSON *devices = cJSON_GetObjectItem(cJSON_GetObjectItem(request, "params"), "devices");
    cJSON *answer = cJSON_CreateObject();
    cJSON_AddStringToObject(answer, "jsonrpc", "2.0");
    cJSON_AddNumberToObject(answer, "id", 1);
    cJSON *result = cJSON_AddObjectToObject(answer, "result");
    cJSON *out = cJSON_AddArrayToObject(result, "disks");
    for (const BenchDisk &d : disks) {
        bool asked = method == "dca_get_disks_brief_info";
        const cJSON *dev = nullptr;
        cJSON_ArrayForEach(dev, devices)
        {
            asked = asked || (cJSON_IsString(dev) && d.dev == dev->valuestring);
        }
        if (asked) {
            cJSON_AddItemToArray(out, method == "dca_get_disks_brief_info"
                                          ? DiskMembers(d, "", tick)
                                          : DiskMembers(d, method, tick));
        }
    }
    if (method == "dca_get_disks_iostat") {
        cJSON_AddStringToObject(result, "tick_rate", "1000");
        cJSON_AddStringToObject(result, "ticks", std::to_string(tick).c_str());
    }
    char *text = cJSON_PrintUnformatted(answer);
    std::string s = text;
    cJSON_free(text);
    cJSON_Delete(answer);
    cJSON_Delete(request);
    return s;
}

// A UNIX-socket agent: one thread per connection, one answer each.
class BenchAgent {
public:
    BenchAgent(const std::string &path, std::vector<BenchDisk> disks)
        : path_(path), disks_(std::move(disks))
    {
        unlink(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd_, 128) != 0) {
            abort();
        }
        std::thread([this] { Accept(); }).detach();
    }
    AgentInfo Info(const char *name) const
    {
        AgentInfo a;
        memset(&a, 0, sizeof(a));
        strncpy(a.agentName, name, sizeof(a.agentName) - 1);
        a.agentType = AGENT_TYPE_SOCK_FILE;
        strncpy(a.addr.sockFile, path_.c_str(), sizeof(a.addr.sockFile) - 1);
        return a;
    }

private:
    void Accept()
    {
        for (;;) {
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::thread([this, c] { Serve(c); }).detach();
            }
        }
    }
    void Serve(int c)
    {
        std::vector<char> buf(65536);
        ssize_t n = recv(c, buf.data(), buf.size() - 1, 0);
        if (n > 0) {
            std::string answer =
                AnswerFor(disks_, std::string(buf.data(), static_cast<size_t>(n)), tick_.fetch_add(3000));
            (void)send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        close(c);
    }
    std::string path_;
    std::vector<BenchDisk> disks_;
    std::atomic<uint64_t> tick_{1000000};
    int fd_ = -1;
};

struct CollectWorld {
    BenchAgent *user;
    BenchAgent *kernel;
    BenchAgent *data;
};

std::vector<BenchDisk> Disks(const std::string &prefix, int n)
{
    std::vector<BenchDisk> v;
    for (int i = 0; i < n; ++i) {
        v.push_back({prefix + "SN" + std::to_string(i), prefix + "d" + std::to_string(i)});
    }
    return v;
}

CollectWorld &World()
{
    static CollectWorld world = [] {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_ERROR);
        char tmpl[] = "/tmp/spkbenchXXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            abort();
        }
        std::string dir = tmpl;
        CollectWorld w{new BenchAgent(dir + "/u.sock", Disks("U", 32)),
                       new BenchAgent(dir + "/k.sock", Disks("K", 32)),
                       new BenchAgent(dir + "/d.sock", {})};
        if (DiskMgrInit((dir + "/disk_mgr.config").c_str()) != 0 || DataMgrInit() != 0 ||
            InitDataCollectMaster() != 0 ||
            DcmWellKnownAgentSetSockFile(DCM_AGENT_DCAK, (dir + "/k.sock").c_str()) != 0 ||
            DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA, (dir + "/d.sock").c_str()) != 0) {
            abort();
        }
        return w;
    }();
    return world;
}

// One pass over one agent: the device list, then every message for all of
// its disks, as a query thread's first pass does.
int PassOverAgent(const AgentInfo &agent)
{
    uint16_t count = 0;
    DiskBriefInfo **records = QueryDeviceList(&agent, &count);
    if (records == nullptr) {
        return -1;
    }
    int ret = 0;
    for (uint32_t type = MESSAGE_DISK_BASE_INFO; type < MESSAGE_TYPE_BUTT; ++type) {
        ret |= StepQueryMessageAndSave(type, &agent, records, count);
    }
    for (uint16_t i = 0; i < count; ++i) {
        KeeperFree(records[i]);
    }
    KeeperFree(records);
    return ret;
}

void BM_CollectionPass(benchmark::State &state)
{
    CollectWorld &w = World();
    AgentInfo user = w.user->Info("unique_SPDK_agent");
    AgentInfo kernel = w.kernel->Info("unique_DCAK_agent");
    // Registers the 64 disks once; measured passes find them registered.
    if (PassOverAgent(user) != 0 || PassOverAgent(kernel) != 0) {
        state.SkipWithError("warm-up pass failed");
        return;
    }
    for (auto _ : state) {
        // Both agents' query threads run side by side in the daemon.
        int r1 = 0;
        std::thread t([&] { r1 = PassOverAgent(user); });
        int r2 = PassOverAgent(kernel);
        t.join();
        if (r1 != 0 || r2 != 0) {
            state.SkipWithError("a pass failed");
            break;
        }
    }
    state.counters["disks"] = 64;
}
BENCHMARK(BM_CollectionPass)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

void BM_AnswerCheckAndCopy(benchmark::State &state)
{
    (void)World();
    uint32_t type = static_cast<uint32_t>(state.range(0));
    const DcmMessageInfo *info = DcmMessageInfoGet(type);
    std::vector<BenchDisk> disks = Disks("A", static_cast<int>(info->disksPerRequest));
    cJSON *req = CreateBaseRequest(info->method);
    cJSON *devs = cJSON_AddArrayToObject(cJSON_AddObjectToObject(req, "params"), "devices");
    for (const BenchDisk &d : disks) {
        cJSON_AddItemToArray(devs, cJSON_CreateString(d.dev.c_str()));
    }
    char *reqText = cJSON_PrintUnformatted(req);
    std::string answer = AnswerFor(disks, reqText, 5000);
    cJSON_free(reqText);
    cJSON_Delete(req);
    ArrayList list{nullptr, info->disksPerRequest, info->recordSize};
    if (ArrayListCreate(&list) != 0) {
        state.SkipWithError("no list");
        return;
    }
    for (auto _ : state) {
        cJSON *rsp = cJSON_Parse(answer.c_str());
        cJSON *result = cJSON_GetObjectItem(rsp, "result");
        bool ok = IsValidJsonResponse(rsp) && g_validateResultStrategyMap[type](result, list.count) &&
                  CopyBatchFromJSON(type, cJSON_GetObjectItem(result, "disks"), &list) == 0;
        cJSON_Delete(rsp);
        if (!ok) {
            state.SkipWithError("answer refused");
            break;
        }
    }
    ArrayListRelease(&list);
    state.counters["answer_bytes"] = static_cast<double>(answer.size());
    state.counters["disks"] = info->disksPerRequest;
}
BENCHMARK(BM_AnswerCheckAndCopy)->Arg(MESSAGE_DISK_BASE_INFO)->Arg(MESSAGE_DISK_HEALTH_INFO)->Arg(MESSAGE_DISK_IOSTAT)->Unit(benchmark::kMicrosecond);

}  // namespace
