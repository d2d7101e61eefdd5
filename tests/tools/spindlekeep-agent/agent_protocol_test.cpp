// The agent against its real socket: answers pass the daemon's member checks,
// fit the 8191-byte receive for the daemon's batch sizes, bad requests get a
// JSON-RPC error and never stop the agent, and many connections are served at
// once.
// test-labels: concurrent
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "agent_test_util.h"

namespace {

using namespace agent_test;

const char *const kMethods[kMessageCount] = {"dca_get_disks_brief_info", "dca_get_disks_base_info",
                                             "dca_get_disks_health_info", "dca_get_disks_iostat"};

// The device names of the brief answer.
std::vector<std::string> DeviceNames(const std::string &socketPath)
{
    std::vector<std::string> names;
    JsonPtr brief = Call(socketPath, "dca_get_disks_brief_info");
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, Disks(brief))
    {
        names.push_back(Member(disk, "device_name")->valuestring);
    }
    return names;
}

// Asks about names in the daemon's batch sizes, as its batch workers do (the
// brief answer is asked once, for all); every answer and every disk must be
// taken by the daemon's own checks and copiers and fit its receive. Returns
// the number of disks answered.
size_t CheckBatches(const std::string &socket, DaemonMessage type, std::vector<std::string> names)
{
    const size_t batchSize[kMessageCount] = {1, 13, 4, 20};
    names = type == kBrief ? std::vector<std::string>{""} : names;
    size_t disks = 0;
    for (size_t at = 0; at < names.size(); at += batchSize[type]) {
        std::vector<std::string> batch(names.begin() + static_cast<long>(at),
                                       names.begin() + static_cast<long>(std::min(names.size(), at + batchSize[type])));
        size_t bytes = 0;
        JsonPtr answer = Call(socket, kMethods[type], type == kBrief ? "" : DevicesParams(batch, type == kIostat), &bytes);
        EXPECT_LE(bytes, 8191u) << kMethods[type];
        EXPECT_TRUE(DaemonTakesResult(type, answer.get(), batch.size())) << kMethods[type];
        const cJSON *disk = nullptr;
        cJSON_ArrayForEach(disk, Disks(answer))
        {
            EXPECT_EQ(DaemonCopy(type, disk), 0) << kMethods[type] << " " << cJSON_PrintUnformatted(disk);
            ++disks;
        }
    }
    return disks;
}

class AgentProtocol : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(kernel_.WaitReady()); }

    TempDir dir_;
    AgentProcess kernel_{{"--role", "kernel", "--control", "--time-scale", "0"}, dir_.Join("k.sock")};
    const std::string &sock_ = kernel_.socket();
};

TEST_F(AgentProtocol, DefaultFleetAnswersPassTheDaemonsChecks)
{
    ASSERT_NE(Call(sock_, "agent_advance_time", R"({"seconds":600})"), nullptr);
    std::vector<std::string> names = DeviceNames(sock_);
    ASSERT_EQ(names.size(), 15u);
    for (DaemonMessage type : {kBrief, kBase, kIostat}) {
        EXPECT_EQ(CheckBatches(sock_, type, names), 15u) << kMethods[type];
    }
    // The daemon never registers SATA HDDs, so it never asks their health
    // (its check list has no row for them).
    names.erase(std::find(names.begin(), names.end(), "sdk"));
    EXPECT_EQ(CheckBatches(sock_, kHealth, names), 14u);
    // Slots: unknown devices are left out; the user role's disks are answered.
    JsonPtr slots = Call(sock_, "dca_get_disks_slotid",
                         R"({"devices":[{"device_name":"nvme1n1","pci_address":"0000:3c:00.0"},)"
                         R"({"device_name":"nvme3n1","pci_address":"0000:5e:00.0"},)"
                         R"({"device_name":"nvme9n1","pci_address":"0000:99:00.0"}]})");
    EXPECT_TRUE(DaemonTakesEnvelope(slots.get()));
    char *text = cJSON_PrintUnformatted(Disks(slots));  // the fleet's slots
    EXPECT_STREQ(text, R"([{"device_name":"nvme1n1","slot_id":13},{"device_name":"nvme3n1","slot_id":15}])");
    cJSON_free(text);
}

// A fleet at the edge: 64 disks per role with every string one character
// short of the daemon's field and counters of 20 digits. Every batch size the
// daemon uses must come back whole within one 8191-byte receive; only a batch
// far beyond them loses disks from its end rather than being cut mid-text.
TEST(AgentLimits, LargestAnswersOfTheDaemonsBatchSizesFitIn8191Bytes)
{
    std::string smart;
    for (int a = 1; a <= 30; ++a) {
        smart += (a > 1 ? R"(,{"id":)" : R"({"id":)") + std::to_string(225 + a) + R"(,"threshold":255,"current":255,"worst":255})";
    }
    std::string disks;
    for (int i = 0; i < 64; ++i) {
        std::string n = std::to_string(i);
        disks += std::string(i > 0 ? "," : "") + R"({"device_name":"nvme)" + std::string(14 - n.size(), '0') + n +
                 R"(n","serial_number":")" + std::string(39 - n.size(), '0') + n + R"(","type":")" +
                 (i >= 48 ? "SSD_NVMe" : "SSD_SATA") +  // SATA health is the largest
                 R"(","vendor":"VVVVVVVVV","model":")" + std::string(43, 'M') +
                 R"(","firmware":"FFFFFFFFF","capacity":"18446744073709551615","sector_size":1048576,)"
                 R"("pci_address":"0000:ff:1f.7","slot":4294967295,)"
                 R"("health":{"power_on_hours":4294967295,"wear":10000,"smart":[)" + smart +
                 R"(]},"load":{"read_iops":1e12,"write_iops":1e12,"read_kib_s":1e12,"write_kib_s":1e12,)"
                 R"("read_latency_us":1e12,"write_latency_us":1e12,"util":100,"busy":4294967295,"queue_depth":4294967295}})";
    }
    TempDir dir;
    WriteFileText(dir.Join("edge.json"), "{\"tick_rate\":1000000000,\"disks\":[" + disks + "]}");
    AgentProcess agent({"--role", "kernel", "--fleet", dir.Join("edge.json"), "--control", "--time-scale", "0"},
                       dir.Join("k.sock"));
    ASSERT_TRUE(agent.WaitReady());
    ASSERT_NE(Call(agent.socket(), "agent_advance_time", R"({"seconds":10000})"), nullptr);
    std::vector<std::string> names = DeviceNames(agent.socket());
    ASSERT_EQ(names.size(), 64u);
    for (DaemonMessage type : {kBrief, kBase, kHealth, kIostat}) {
        EXPECT_EQ(CheckBatches(agent.socket(), type, names), 64u) << kMethods[type] << ": a disk was cut to fit";
    }
    JsonPtr io = Call(agent.socket(), "dca_get_disks_iostat", DevicesParams({names[0]}, true));
    EXPECT_EQ(strlen(Member(cJSON_GetArrayItem(Disks(io), 0), "bytes_read")->valuestring), 20u);
    size_t bytes = 0;
    JsonPtr many = Call(agent.socket(), "dca_get_disks_health_info", DevicesParams(names), &bytes);
    int kept = cJSON_GetArraySize(Disks(many));
    EXPECT_TRUE(bytes <= 8191 && kept > 0 && kept < 64) << bytes << " bytes, " << kept << " disks";
}

TEST_F(AgentProtocol, BadRequestsGetAnErrorAndTheAgentKeepsServing)
{
    auto req = [](const std::string &rest) { return R"({"jsonrpc":"2.0","id":1,)" + rest + "}"; };
    const std::pair<std::string, int> cases[] = {
        {R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info")", -32700},
        {"[1,2,3]", -32600},
        {R"({"jsonrpc":"1.0","method":"dca_get_disks_brief_info","id":1})", -32600},
        {req(R"("method":5)"), -32600},
        {req(R"("method":"dca_format_disks")"), -32601},
        {req(R"("method":"dma_poweroff_disk","params":{"sn":"x"})"), -32601},  // a data method on the kernel role
        {req(R"("method":"dca_get_disks_base_info")"), -32602},
        {req(R"("method":"dca_get_disks_iostat","params":{"devices":"sda"})"), -32602},
        {req(R"("method":"dca_get_disks_health_info","params":{"devices":["sda",7]})"), -32602},
        {req(R"("method":"dca_get_disks_slotid","params":{"devices":["nvme0n1"]})"), -32602},
        {req(R"("method":"agent_advance_time","params":{"seconds":-5})"), -32602},
        {"{\"jsonrpc\":\"2.0\",\"method\":\"" + std::string(1 << 20, 'a') + "\"}", -32600},
    };
    for (const auto &[request, code] : cases) {
        SCOPED_TRACE(request.substr(0, 80));
        RawAnswer raw = RawCall(sock_, request);
        JsonPtr answer = ParseJson(raw.bytes);
        EXPECT_EQ(Member(answer.get(), "result"), nullptr);
        EXPECT_EQ(cJSON_GetNumberValue(Member(Member(answer.get(), "error"), "code")), code) << raw.bytes;
        EXPECT_LT(raw.seconds, 3.0) << "answered within the daemon's timeout";
        ASSERT_NE(Call(sock_, "dca_get_disks_brief_info"), nullptr) << "the agent stopped";
    }
    // A client that connects and leaves without a word costs nothing.
    EXPECT_TRUE(RawCall(sock_, "", 0.3).connected);
    EXPECT_NE(Call(sock_, "dca_get_disks_brief_info"), nullptr);
}

TEST_F(AgentProtocol, ServesManyConnectionsAtOnceWhileOneIsDelayed)
{
    ASSERT_NE(Call(sock_, "agent_set_fault",
                   R"({"method":"dca_get_disks_health_info","mode":"delay","delay_ms":2500,"count":1})"),
              nullptr);
    std::thread slow([&] { Call(sock_, "dca_get_disks_health_info", DevicesParams({"sda"})); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::thread> clients;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&] {
            JsonPtr answer = Call(sock_, "dca_get_disks_iostat", DevicesParams({"sda", "sdb", "nvme0n1"}, true));
            EXPECT_EQ(DaemonTakesEnvelope(answer.get()) ? cJSON_GetArraySize(Disks(answer)) : 0, 3);
        });
    }
    for (std::thread &t : clients) {
        t.join();
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0)
        << "the delayed connection held up the others";
    slow.join();
}

TEST(AgentLifecycle, SigtermRemovesTheSocketAndStaleSocketsAreReplaced)
{
    TempDir dir;
    const std::string sock = dir.Join("k.sock");
    {
        AgentProcess first({"--role", "kernel"}, sock);
        ASSERT_TRUE(first.WaitReady());
        // A second agent on a live socket refuses to start and leaves it alone.
        EXPECT_EQ(AgentProcess({"--role", "kernel"}, sock).WaitExit(5.0), 1);
        EXPECT_NE(Call(sock, "dca_get_disks_brief_info"), nullptr);
        EXPECT_EQ(first.Stop(), 0);
        EXPECT_FALSE(FileExists(sock)) << "socket left behind";
        AgentProcess crashed({"--role", "kernel"}, sock);  // SIGKILLed at the end of this scope
        ASSERT_TRUE(crashed.WaitReady());
    }
    ASSERT_TRUE(FileExists(sock));
    AgentProcess next({"--role", "kernel"}, sock);
    ASSERT_TRUE(next.WaitReady()) << "a stale socket was not replaced";
    EXPECT_EQ(next.Stop(), 0);
    // A regular file at the socket path is never deleted.
    WriteFileText(sock, "precious");
    EXPECT_EQ(AgentProcess({"--role", "kernel"}, sock).WaitExit(5.0), 1);
    EXPECT_EQ(ReadFileText(sock), "precious");
}

}  // namespace
