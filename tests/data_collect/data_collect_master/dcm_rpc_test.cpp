// test-labels: concurrent
#include "data_collect/data_collect_master/dcm_rpc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"
#include "support/unix_agent_server.h"

namespace {

// Long enough for a slow (sanitized) agent thread to answer; the tests of
// agents that never answer shorten it to keep the suite fast.
constexpr uint32_t kTimeoutMs = 2000;
constexpr uint32_t kFastTimeoutMs = 40;

class DcmRpcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!KeeperOsInstalled()) {
            ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        }
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
        DcmRpcSetSocketTimeoutMs(kTimeoutMs);
    }
    void TearDown() override { DcmRpcSetSocketTimeoutMs(0); }

    static AgentInfo SockAgent(const std::string &path)
    {
        AgentInfo a{};
        strcpy(a.agentName, "test_agent");
        a.agentType = AGENT_TYPE_SOCK_FILE;
        strcpy(a.addr.sockFile, path.c_str());
        return a;
    }

    // Posts `req` as the daemon's callers do (length includes the NUL).
    static int Post(const AgentInfo &agent, const std::string &req, std::vector<char> *rsp)
    {
        return PostRequest(&agent, static_cast<uint32_t>(req.size() + 1), req.c_str(),
                           KeeperStr{static_cast<uint32_t>(rsp->size()), rsp->data()});
    }
};

std::string Print(const cJSON *json)
{
    char *text = cJSON_PrintUnformatted(json);
    std::string s = text;
    cJSON_free(text);
    return s;
}

TEST(DcmRpcIdTest, FirstIdIsTwoThenTheyWrapAfter65535)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-executes: a fresh counter
    EXPECT_EXIT(exit(DcmRpcNextId() == 2 && DcmRpcNextId() == 3 ? 0 : 1),
                ::testing::ExitedWithCode(0), "");

    uint32_t prev = DcmRpcNextId();
    bool sawWrap = false;
    for (int i = 0; i < 65536; ++i) {
        uint32_t id = DcmRpcNextId();
        ASSERT_EQ(id, prev % 65535 + 1) << "after " << prev;
        sawWrap = sawWrap || (prev == 65535 && id == 1);
        prev = id;
    }
    EXPECT_TRUE(sawWrap);
}

TEST(DcmRpcEnvelopeTest, BaseRequestHasMembersInOrderAndConsecutiveIds)
{
    cJSON *a = CreateBaseRequest("dca_get_disks_brief_info");
    cJSON *b = CreateBaseRequest("dca_get_disks_brief_info");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    int idA = cJSON_GetObjectItem(a, "id")->valueint;
    EXPECT_EQ(cJSON_GetObjectItem(b, "id")->valueint, idA % 65535 + 1);
    EXPECT_EQ(Print(a), R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info","id":)" +
                            std::to_string(idA) + "}");
    cJSON_Delete(a);
    cJSON_Delete(b);
}

TEST(DcmRpcEnvelopeTest, ResponseEnvelopeCheck)
{
    struct Case {
        const char *text;
        bool valid;
    } cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"result":{}})", true},
        {R"({"JSONRPC":"2.0","Id":7,"RESULT":null})", true},  // names ignore case
        {R"({"jsonrpc":"2.0","id":1,"result":[1,2]})", true},
        {R"({"jsonrpc":"2.0","id":"1","result":{}})", false},  // id in quotes
        {R"({"jsonrpc":"2.00","id":1,"result":{}})", false},
        {R"({"jsonrpc":"2.0 ","id":1,"result":{}})", false},
        {R"({"jsonrpc":2.0,"id":1,"result":{}})", false},
        {R"({"jsonrpc":"2.0","id":1})", false},
        {R"({"jsonrpc":"2.0","result":{}})", false},
        {R"({"id":1,"result":{}})", false},
        {R"([{"jsonrpc":"2.0","id":1,"result":{}}])", false},
        {R"("2.0")", false},
    };
    for (const auto &c : cases) {
        cJSON *json = cJSON_Parse(c.text);
        ASSERT_NE(json, nullptr) << c.text;
        EXPECT_EQ(IsValidJsonResponse(json), c.valid) << c.text;
        cJSON_Delete(json);
    }
    EXPECT_FALSE(IsValidJsonResponse(nullptr));
}

TEST(DcmRpcAgentTest, WellKnownAgents)
{
    struct Case {
        uint32_t which;
        const char *name;
        const char *path;
    } cases[] = {
        {DCM_AGENT_DCAK, "unique_DCAK_agent", "/tmp/dcak.sock"},
        {DCM_AGENT_SPDK, "unique_SPDK_agent", "/var/tmp/spdk.sock"},
        {DCM_AGENT_DMA, "unique_DMA_agent", "/var/tmp/spdk.sock"},
    };
    for (const auto &c : cases) {
        AgentInfo a = DcmWellKnownAgentGet(c.which);
        EXPECT_STREQ(a.agentName, c.name);
        EXPECT_EQ(a.agentType, AGENT_TYPE_SOCK_FILE);
        EXPECT_STREQ(a.addr.sockFile, c.path);
    }
    // Same socket, different agents.
    AgentInfo spdk = DcmWellKnownAgentGet(DCM_AGENT_SPDK);
    AgentInfo dma = DcmWellKnownAgentGet(DCM_AGENT_DMA);
    EXPECT_FALSE(IsSameAgent(&spdk, &dma));
    AgentInfo other = spdk;
    other.addr.sockFile[31] = 'x';  // a byte behind the NUL still counts
    EXPECT_FALSE(IsSameAgent(&spdk, &other));
    EXPECT_EQ(DcmWellKnownAgentGet(DCM_AGENT_BUTT).agentName[0], '\0');
    EXPECT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_BUTT, "/tmp/x"), 22);
    EXPECT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_DMA,
                                           "/tmp/a/path/of/thirty/two/chars/"),
              22);
    EXPECT_STREQ(DcmWellKnownAgentGet(DCM_AGENT_DMA).addr.sockFile, "/var/tmp/spdk.sock");
}

TEST_F(DcmRpcTest, AnswerIsReturnedAndRequestGoesOutWithoutNul)
{
    UnixAgentServer server;
    server.SetReply(R"({"jsonrpc":"2.0","id":5,"result":{"disks":[]}})");
    std::vector<char> rsp(AGENT_RSP_BUF_LEN, 'x');
    const std::string req = R"({"jsonrpc":"2.0","method":"m","id":5})";
    ASSERT_EQ(Post(SockAgent(server.Path()), req, &rsp), 0);
    EXPECT_STREQ(rsp.data(), R"({"jsonrpc":"2.0","id":5,"result":{"disks":[]}})");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], req);  // exactly the text: no NUL, no framing
}

TEST_F(DcmRpcTest, AgentThatNeverAnswersFailsWith32AfterFiveAttempts)
{
    UnixAgentServer server;
    server.SetMode(UnixAgentServer::Mode::kSilent);
    DcmRpcSetSocketTimeoutMs(kFastTimeoutMs);
    LogCapture log;
    std::vector<char> rsp(AGENT_RSP_BUF_LEN);
    EXPECT_EQ(Post(SockAgent(server.Path()), "{}", &rsp), 32);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(log.Count("retry " + std::to_string(i) + " times.", KEEPER_LOG_DEBUG), 1)
            << log.Dump();
    }
    EXPECT_EQ(log.Count("retry 5 times, wait next timer period to retry.", KEEPER_LOG_ERROR), 1);
    EXPECT_EQ(server.ConnectionCount(), 1u);  // all attempts share one connection
    EXPECT_STREQ(rsp.data(), "");
    UnixAgentServer closing;
    closing.SetMode(UnixAgentServer::Mode::kCloseAtOnce);
    EXPECT_EQ(Post(SockAgent(closing.Path()), "{\"a\":1}", &rsp), 32) << "an agent that hangs up";
}

// Refused at once, without a single attempt: a missing socket, an unknown
// agent type, an IPv4 agent nobody listens for.
TEST_F(DcmRpcTest, UnreachableAgentsFailWith22WithoutRetry)
{
    AgentInfo missing = SockAgent("/tmp/spk-no-such-agent.sock");
    AgentInfo badType = SockAgent("/tmp/unused.sock");
    badType.agentType = 2;
    AgentInfo ipv4{};
    strcpy(ipv4.agentName, "ipv4_agent");
    ipv4.agentType = AGENT_TYPE_IPV4;
    strcpy(ipv4.addr.ipv4.ip, "127.0.0.1");
    ipv4.addr.ipv4.port = 1;  // nothing listens on tcpmux
    std::vector<char> rsp(AGENT_RSP_BUF_LEN);
    for (const AgentInfo &agent : {missing, badType, ipv4}) {
        LogCapture log;
        EXPECT_EQ(Post(agent, "{}", &rsp), 22) << agent.agentType;
        EXPECT_FALSE(log.Contains("retry")) << agent.agentType;
    }
    // A path too long for sun_path fails with the copy routine's own code.
    std::string path = "/tmp/" + std::string(110, 'p');
    int ret = PostRequestWithSockFile(3, "{}", path.c_str(),
                                      KeeperStr{static_cast<uint32_t>(rsp.size()), rsp.data()});
    EXPECT_NE(ret, 0);
    EXPECT_NE(ret, 22);
}

TEST_F(DcmRpcTest, AnswerLongerThanBufferIsCutAndDoesNotParse)
{
    UnixAgentServer server;
    const std::string huge =
        R"({"jsonrpc":"2.0","id":1,"result":")" + std::string(20000, 'a') + "\"}";
    server.SetReply(huge);
    std::vector<char> rsp(AGENT_RSP_BUF_LEN, 'x');
    ASSERT_EQ(Post(SockAgent(server.Path()), "{}", &rsp), 0);
    size_t got = strnlen(rsp.data(), rsp.size());
    EXPECT_LT(got, AGENT_RSP_BUF_LEN);  // NUL-terminated inside the buffer
    EXPECT_EQ(std::string(rsp.data(), got), huge.substr(0, got));

    AgentInfo agent = SockAgent(server.Path());
    cJSON *req = CreateBaseRequest("dca_get_disks_health_info");
    EXPECT_EQ(PostRequestWithJSON(&agent, req), nullptr);
    cJSON_Delete(req);

    // A small caller buffer keeps its last byte for the NUL.
    std::vector<char> small(16, 'x');
    ASSERT_EQ(Post(agent, "{}", &small), 0);
    EXPECT_EQ(std::string(small.data()), huge.substr(0, 15));
}

TEST_F(DcmRpcTest, PostWithJsonParsesFirstValueAndRejectsGarbage)
{
    UnixAgentServer server;
    AgentInfo agent = SockAgent(server.Path());
    cJSON *req = CreateBaseRequest("dca_get_disks_iostat");

    server.SetReply(R"({"jsonrpc":"2.0","id":3,"result":{"n":4}} trailing junk)");
    cJSON *rsp = PostRequestWithJSON(&agent, req);
    ASSERT_NE(rsp, nullptr);
    EXPECT_TRUE(IsValidJsonResponse(rsp));
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(rsp, "result"), "n")->valueint, 4);
    cJSON_Delete(rsp);

    // The empty answer is an agent that hangs up without answering.
    for (const char *g : {"\x01\x02\xff", "{\"jsonrpc\":", "not json at all", ""}) {
        server.SetReply(g);
        EXPECT_EQ(PostRequestWithJSON(&agent, req), nullptr) << g;
    }

    AgentInfo missing = SockAgent("/tmp/spk-missing.sock");
    EXPECT_EQ(PostRequestWithJSON(&missing, req), nullptr);
    cJSON_Delete(req);
}

// Every thread's answer must be the one to its own request, and no two
// requests may share an id.
TEST_F(DcmRpcTest, ConcurrentPostsFromManyThreads)
{
    KeeperOsSetLogLevel(KEEPER_LOG_INFO);
    UnixAgentServer server;
    server.SetResponder([](const std::string &request) {
        cJSON *req = cJSON_Parse(request.c_str());
        int id = req != nullptr ? cJSON_GetObjectItem(req, "id")->valueint : -1;
        cJSON_Delete(req);
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{}})";
    });
    AgentInfo agent = SockAgent(server.Path());
    constexpr size_t kThreads = 12;
    constexpr size_t kPosts = 25;
    std::mutex mu;
    std::set<int> ids;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (size_t i = 0; i < kPosts; ++i) {
                cJSON *req = CreateBaseRequest("dca_get_disks_brief_info");
                int id = cJSON_GetObjectItem(req, "id")->valueint;
                cJSON *rsp = PostRequestWithJSON(&agent, req);
                mismatches += rsp == nullptr || cJSON_GetObjectItem(rsp, "id")->valueint != id;
                std::lock_guard<std::mutex> lock(mu);
                ids.insert(id);
                cJSON_Delete(rsp);
                cJSON_Delete(req);
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(ids.size(), kThreads * kPosts);
    EXPECT_EQ(server.RequestCount(), kThreads * kPosts);
}

}  // namespace
