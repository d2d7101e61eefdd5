// The agent against its real socket: answers pass the daemon's member checks,
// fit the 8191-byte receive for the daemon's batch sizes, bad requests get a
// JSON-RPC error and never stop the agent, and many connections are served at
// once.
// test-labels: concurrent
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "agent_test_util.h"

namespace {

using namespace agent_test;

std::vector<std::string> DeviceNames(const std::string &socket)
{
    std::vector<std::string> names;
    JsonPtr brief = Call(socket, "dca_get_disks_brief_info");
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, Member(Member(brief.get(), "result"), "disks"))
    {
        names.push_back(Member(disk, "device_name")->valuestring);
    }
    return names;
}

struct BatchStats {
    size_t answers = 0;
    size_t disks = 0;
    size_t largest = 0;
};

// Asks about names in batches of batchSize, as the daemon's batch workers do,
// checking every answer and every disk with the daemon's lists.
BatchStats CheckBatches(const std::string &socket, const std::string &method,
                        const std::vector<std::string> &names, size_t batchSize,
                        std::string (*checkDisk)(const cJSON *))
{
    BatchStats stats;
    bool iostat = method == "dca_get_disks_iostat";
    for (size_t at = 0; at < names.size(); at += batchSize) {
        std::vector<std::string> batch(names.begin() + static_cast<long>(at),
                                       names.begin() + static_cast<long>(std::min(names.size(), at + batchSize)));
        size_t bytes = 0;
        JsonPtr answer = Call(socket, method, DevicesParams(batch, iostat), &bytes);
        EXPECT_NE(answer, nullptr) << method;
        if (answer == nullptr) {
            continue;
        }
        EXPECT_LE(bytes, 8191u) << method;
        EXPECT_EQ(CheckEnvelope(answer.get()), "") << method;
        const cJSON *result = Member(answer.get(), "result");
        EXPECT_EQ(CheckBatchResult(result, batch.size(), iostat), "") << method;
        const cJSON *disk = nullptr;
        cJSON_ArrayForEach(disk, Member(result, "disks"))
        {
            EXPECT_EQ(checkDisk(disk), "") << method << " " << cJSON_PrintUnformatted(disk);
            ++stats.disks;
        }
        ++stats.answers;
        stats.largest = std::max(stats.largest, bytes);
    }
    return stats;
}

class AgentProtocol : public ::testing::Test {
  protected:
    void SetUp() override
    {
        kernel_ = std::make_unique<AgentProcess>(
            std::vector<std::string>{"--role", "kernel", "--control", "--time-scale", "0"},
            dir_.File("k.sock"));
        ASSERT_TRUE(kernel_->WaitReady());
    }

    TempDir dir_;
    std::unique_ptr<AgentProcess> kernel_;
};

TEST_F(AgentProtocol, DefaultFleetAnswersPassTheDaemonsChecks)
{
    const std::string &sock = kernel_->socket();
    JsonPtr brief = Call(sock, "dca_get_disks_brief_info");
    ASSERT_NE(brief, nullptr);
    EXPECT_EQ(CheckEnvelope(brief.get()), "");
    EXPECT_EQ(CheckBriefResult(Member(brief.get(), "result")), "");
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, Member(Member(brief.get(), "result"), "disks"))
    {
        EXPECT_EQ(CheckBriefDisk(disk), "");
    }
    ASSERT_NO_FATAL_FAILURE(Call(sock, "agent_advance_time", R"({"seconds":600})"));
    std::vector<std::string> names = DeviceNames(sock);
    ASSERT_EQ(names.size(), 15u);
    EXPECT_EQ(CheckBatches(sock, "dca_get_disks_base_info", names, 13, CheckBaseDisk).disks, 15u);
    EXPECT_EQ(CheckBatches(sock, "dca_get_disks_iostat", names, 20, CheckIoDisk).disks, 15u);
    // The daemon never registers SATA HDDs, so it never asks their health
    // (its check list has no row for them).
    std::vector<std::string> checkable;
    for (const std::string &name : names) {
        if (name != "sdk") {
            checkable.push_back(name);
        }
    }
    EXPECT_EQ(CheckBatches(sock, "dca_get_disks_health_info", checkable, 4, CheckHealthDisk).disks, 14u);
}

TEST_F(AgentProtocol, SlotQueryAnswersKnownDevicesOnly)
{
    JsonPtr answer = Call(kernel_->socket(), "dca_get_disks_slotid",
                          R"({"devices":[{"device_name":"nvme1n1","pci_address":"0000:3c:00.0"},)"
                          R"({"device_name":"nvme3n1","pci_address":"0000:5e:00.0"},)"
                          R"({"device_name":"nvme9n1","pci_address":"0000:99:00.0"}]})");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(CheckEnvelope(answer.get()), "");
    const cJSON *disks = Member(Member(answer.get(), "result"), "disks");
    ASSERT_EQ(cJSON_GetArraySize(disks), 2) << "nvme9n1 is unknown; nvme3n1 belongs to the user role";
    EXPECT_STREQ(Member(cJSON_GetArrayItem(disks, 0), "device_name")->valuestring, "nvme1n1");
    EXPECT_TRUE(cJSON_IsNumber(Member(cJSON_GetArrayItem(disks, 0), "slot_id")));
    EXPECT_EQ(Member(cJSON_GetArrayItem(disks, 1), "slot_id")->valuedouble, 15);
    JsonPtr empty = Call(kernel_->socket(), "dca_get_disks_slotid", R"({"devices":[]})");
    EXPECT_EQ(cJSON_GetArraySize(Member(Member(empty.get(), "result"), "disks")), 0);
}

// A fleet at the edge: 64 disks per role with every string one character
// short of the daemon's field and counters of 20 digits. Every batch size the
// daemon uses must come back whole within one 8191-byte receive.
TEST(AgentLimits, LargestAnswersOfTheDaemonsBatchSizesFitIn8191Bytes)
{
    TempDir dir;
    std::string disks;
    for (int i = 0; i < 64; ++i) {
        char serial[40];
        char device[20];
        snprintf(serial, sizeof(serial), "%039d", i);
        snprintf(device, sizeof(device), "nvme%014dn", i);
        bool nvme = i >= 48;  // SATA first: their health is the largest
        disks += std::string(i > 0 ? "," : "") + R"({"device_name":")" + device +
                 R"(","serial_number":")" + serial + R"(","type":")" + (nvme ? "SSD_NVMe" : "SSD_SATA") +
                 R"(","vendor":"VVVVVVVVV","model":")" + std::string(43, 'M') +
                 R"(","firmware":"FFFFFFFFF","capacity":"18446744073709551615","sector_size":1048576,)"
                 R"("pci_address":"0000:ff:1f.7","slot":4294967295,)"
                 R"("health":{"power_on_hours":4294967295,"wear":10000,"smart":[)" +
                 [] {
                     std::string s;
                     for (int a = 1; a <= 30; ++a) {
                         s += std::string(a > 1 ? "," : "") + R"({"id":)" + std::to_string(225 + a) +
                              R"(,"threshold":255,"current":255,"worst":255})";
                     }
                     return s;
                 }() +
                 R"(]},"load":{"read_iops":1e12,"write_iops":1e12,"read_kib_s":1e12,"write_kib_s":1e12,)"
                 R"("read_latency_us":1e12,"write_latency_us":1e12,"util":100,"busy":4294967295,"queue_depth":4294967295}})";
    }
    WriteFile(dir.File("edge.json"), "{\"tick_rate\":1000000000,\"disks\":[" + disks + "]}");
    AgentProcess agent({"--role", "kernel", "--fleet", dir.File("edge.json"), "--control",
                        "--time-scale", "0"},
                       dir.File("k.sock"));
    ASSERT_TRUE(agent.WaitReady());
    ASSERT_NE(Call(agent.socket(), "agent_advance_time", R"({"seconds":10000})"), nullptr);
    size_t bytes = 0;
    JsonPtr brief = Call(agent.socket(), "dca_get_disks_brief_info", "", &bytes);
    EXPECT_LE(bytes, 8191u);
    std::vector<std::string> names = DeviceNames(agent.socket());
    ASSERT_EQ(names.size(), 64u);
    struct Case {
        const char *method;
        size_t batch;
        std::string (*check)(const cJSON *);
    } cases[] = {{"dca_get_disks_base_info", 13, CheckBaseDisk},
                 {"dca_get_disks_health_info", 4, CheckHealthDisk},
                 {"dca_get_disks_iostat", 20, CheckIoDisk}};
    for (const Case &c : cases) {
        BatchStats stats = CheckBatches(agent.socket(), c.method, names, c.batch, c.check);
        EXPECT_EQ(stats.disks, 64u) << c.method << ": a disk was cut to fit";
        EXPECT_GT(stats.largest, 3000u) << c.method << ": the edge fleet is not at the edge";
        std::printf("%s: largest answer of %zu disks: %zu bytes\n", c.method, c.batch, stats.largest);
    }
    JsonPtr io = Call(agent.socket(), "dca_get_disks_iostat", DevicesParams({names[0]}, true));
    EXPECT_EQ(strlen(Member(cJSON_GetArrayItem(Member(Member(io.get(), "result"), "disks"), 0),
                            "bytes_read")->valuestring),
              20u);
}

// An answer that would pass 8191 bytes loses disks from its end rather than
// being cut mid-text by the daemon's single receive.
TEST(AgentLimits, OverlongBatchIsShortenedNotBroken)
{
    TempDir dir;
    AgentProcess agent({"--role", "kernel", "--time-scale", "0"}, dir.File("k.sock"));
    ASSERT_TRUE(agent.WaitReady());
    std::vector<std::string> many(40, "sda");  // 40 SATA SSD health objects > 8191 bytes
    size_t bytes = 0;
    JsonPtr answer = Call(agent.socket(), "dca_get_disks_health_info", DevicesParams(many), &bytes);
    ASSERT_NE(answer, nullptr);
    EXPECT_LE(bytes, 8191u);
    int answered = cJSON_GetArraySize(Member(Member(answer.get(), "result"), "disks"));
    EXPECT_GT(answered, 0);
    EXPECT_LT(answered, 40);
}

TEST_F(AgentProtocol, BadRequestsGetAnErrorAndTheAgentKeepsServing)
{
    const std::string &sock = kernel_->socket();
    struct Case {
        const char *name;
        std::string request;
        int code;
    } cases[] = {
        {"not JSON", "hello agent", -32700},
        {"truncated JSON", R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info")", -32700},
        {"JSON array", "[1,2,3]", -32600},
        {"empty object", "{}", -32600},
        {"wrong version", R"({"jsonrpc":"1.0","method":"dca_get_disks_brief_info","id":1})", -32600},
        {"method not a string", R"({"jsonrpc":"2.0","method":5,"id":1})", -32600},
        {"unknown method", R"({"jsonrpc":"2.0","method":"dca_format_disks","id":1})", -32601},
        {"data method on kernel", R"({"jsonrpc":"2.0","method":"dma_poweroff_disk","id":1,"params":{"sn":"x"}})", -32601},
        {"missing params", R"({"jsonrpc":"2.0","method":"dca_get_disks_base_info","id":1})", -32602},
        {"devices not array", R"({"jsonrpc":"2.0","method":"dca_get_disks_iostat","id":1,"params":{"devices":"sda"}})", -32602},
        {"device not string", R"({"jsonrpc":"2.0","method":"dca_get_disks_health_info","id":1,"params":{"devices":["sda",7]}})", -32602},
        {"slot devices not objects", R"({"jsonrpc":"2.0","method":"dca_get_disks_slotid","id":1,"params":{"devices":["nvme0n1"]}})", -32602},
        {"advance backwards", R"({"jsonrpc":"2.0","method":"agent_advance_time","id":1,"params":{"seconds":-5}})", -32602},
        {"huge input", "{\"jsonrpc\":\"2.0\",\"method\":\"" + std::string(1 << 20, 'a') + "\"}", -32600},
    };
    for (const Case &c : cases) {
        RawAnswer raw = RawCall(sock, c.request);
        ASSERT_TRUE(raw.connected) << c.name;
        JsonPtr answer = ParseJson(raw.bytes);
        ASSERT_NE(answer, nullptr) << c.name << ": " << raw.bytes.substr(0, 200);
        EXPECT_EQ(Member(answer.get(), "result"), nullptr) << c.name;
        const cJSON *code = Member(Member(answer.get(), "error"), "code");
        ASSERT_TRUE(cJSON_IsNumber(code)) << c.name;
        EXPECT_EQ(code->valueint, c.code) << c.name;
        EXPECT_LT(raw.seconds, 3.0) << c.name << ": answered within the daemon's timeout";
        JsonPtr after = Call(sock, "dca_get_disks_brief_info");
        ASSERT_NE(after, nullptr) << "agent stopped after " << c.name;
    }
    // A client that connects and leaves without a word costs nothing.
    EXPECT_TRUE(RawCall(sock, "", 0.3).connected);
    EXPECT_TRUE(kernel_->Running());
    EXPECT_NE(Call(sock, "dca_get_disks_brief_info"), nullptr);
}

TEST_F(AgentProtocol, ServesManyConnectionsAtOnceWhileOneIsDelayed)
{
    const std::string &sock = kernel_->socket();
    ASSERT_NE(Call(sock, "agent_set_fault",
                   R"({"method":"dca_get_disks_health_info","mode":"delay","delay_ms":2500,"count":1})"),
              nullptr);
    std::thread slow([&] { RawCall(sock, R"({"jsonrpc":"2.0","method":"dca_get_disks_health_info","id":1,"params":{"devices":["sda"]}})"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&] {
            JsonPtr answer = Call(sock, "dca_get_disks_iostat",
                                  DevicesParams({"sda", "sdb", "nvme0n1"}, true));
            if (answer != nullptr && CheckEnvelope(answer.get()).empty() &&
                cJSON_GetArraySize(Member(Member(answer.get(), "result"), "disks")) == 3) {
                ++good;
            }
        });
    }
    for (std::thread &t : clients) {
        t.join();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    slow.join();
    EXPECT_EQ(good.load(), 32);
    EXPECT_LT(seconds, 2.0) << "the delayed connection held up the others";
}

TEST(AgentLifecycle, SigtermRemovesTheSocketAndStaleSocketsAreReplaced)
{
    TempDir dir;
    std::string sock = dir.File("k.sock");
    {
        AgentProcess first({"--role", "kernel"}, sock);
        ASSERT_TRUE(first.WaitReady());
        // A second agent on a live socket refuses to start and leaves it alone.
        AgentProcess second({"--role", "kernel"}, sock);
        EXPECT_EQ(second.WaitExit(5.0), 1);
        EXPECT_NE(Call(sock, "dca_get_disks_brief_info"), nullptr);
        EXPECT_EQ(first.Stop(), 0);
        struct stat st{};
        EXPECT_NE(stat(sock.c_str(), &st), 0) << "socket left behind";
    }
    {
        // A socket file whose agent died (SIGKILL) is replaced.
        AgentProcess crashed({"--role", "kernel"}, sock);
        ASSERT_TRUE(crashed.WaitReady());
    }
    struct stat st{};
    ASSERT_EQ(stat(sock.c_str(), &st), 0);
    AgentProcess next({"--role", "kernel"}, sock);
    ASSERT_TRUE(next.WaitReady());
    EXPECT_NE(Call(sock, "dca_get_disks_brief_info"), nullptr);
    EXPECT_EQ(next.Stop(), 0);
    // A regular file at the socket path is never deleted.
    WriteFile(sock, "precious");
    AgentProcess refused({"--role", "kernel"}, sock);
    EXPECT_EQ(refused.WaitExit(5.0), 1);
    EXPECT_EQ(ReadFile(sock), "precious");
}

}  // namespace
