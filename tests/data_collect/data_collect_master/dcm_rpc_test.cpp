// test-labels: concurrent
#include "data_collect/data_collect_master/dcm_rpc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/unix_agent_server.h"

using namespace dcmtest;

namespace {

class DcmRpcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        // Long enough for a slow (sanitized) agent thread to answer; the tests
        // of agents that never answer shorten it to keep the suite fast.
        DcmRpcSetSocketTimeoutMs(2000);
        agent_ = SockAgent("test_agent", server_.Path());
    }
    void TearDown() override { DcmRpcSetSocketTimeoutMs(0); }

    // Posts `req` as the daemon's callers do (length includes the NUL).
    static int Post(const AgentInfo &agent, const std::string &req, std::vector<char> *rsp)
    {
        return PostRequest(&agent, static_cast<uint32_t>(req.size() + 1), req.c_str(),
                           KeeperStr{static_cast<uint32_t>(rsp->size()), rsp->data()});
    }

    UnixAgentServer server_;
    AgentInfo agent_;
};

// Ids run 1..65535 and round again; a request carries the next one.
TEST(DcmRpcIdTest, IdsWrapAfter65535)
{
    uint32_t prev = DcmRpcNextId();
    for (int i = 0; i < 65536; ++i, prev = prev % 65535 + 1) {
        ASSERT_EQ(DcmRpcNextId(), prev % 65535 + 1) << "after " << prev;
    }
    Json a(CreateBaseRequest("dca_get_disks_brief_info"));
    EXPECT_EQ(Print(a.value), R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info","id":)" +
                                  std::to_string(prev % 65535 + 1) + "}");
}

TEST(DcmRpcAgentTest, WellKnownAgentsAndTheirIdentity)
{
    // Same socket, different agents; a byte behind the NUL still counts.
    AgentInfo spdk = DcmWellKnownAgentGet(DCM_AGENT_SPDK), other = spdk;
    AgentInfo dma = DcmWellKnownAgentGet(DCM_AGENT_DMA);
    other.addr.sockFile[31] = 'x';
    EXPECT_TRUE(IsSameAgent(&spdk, &spdk));
    EXPECT_FALSE(IsSameAgent(&spdk, &dma) || IsSameAgent(&spdk, &other));
}

// Five attempts on one connection, then 32; an agent that hangs up gives 32 too.
TEST_F(DcmRpcTest, AgentThatNeverAnswersFailsWith32AfterFiveAttempts)
{
    server_.SetMode(UnixAgentServer::Mode::kSilent);
    DcmRpcSetSocketTimeoutMs(40);
    std::vector<char> rsp(AGENT_RSP_BUF_LEN);
    EXPECT_EQ(Post(agent_, "{}", &rsp), 32);
    EXPECT_STREQ(rsp.data(), "");
    server_.WaitForRequests(6, std::chrono::milliseconds(200));
    EXPECT_EQ(std::pair(server_.RequestCount(), server_.ConnectionCount()), std::pair(size_t{5}, size_t{1}));
    UnixAgentServer closing;
    closing.SetMode(UnixAgentServer::Mode::kCloseAtOnce);
    EXPECT_EQ(Post(SockAgent("test_agent", closing.Path()), "{\"a\":1}", &rsp), 32);
}

// Refused at once, without a single attempt: a missing socket, an unknown
// agent type, an IPv4 agent nobody listens for.
TEST_F(DcmRpcTest, UnreachableAgentsFailWith22)
{
    AgentInfo badType = agent_;
    badType.agentType = 2;
    AgentInfo ipv4{};
    ipv4.agentType = AGENT_TYPE_IPV4;
    strcpy(ipv4.addr.ipv4.ip, "127.0.0.1");
    ipv4.addr.ipv4.port = 1;  // nothing listens on tcpmux
    std::vector<char> rsp(AGENT_RSP_BUF_LEN);
    for (const AgentInfo &agent : {SockAgent("a", "/tmp/spk-no-such-agent.sock"), badType, ipv4}) {
        EXPECT_EQ(Post(agent, "{}", &rsp), 22) << agent.agentType;
    }
    EXPECT_EQ(server_.ConnectionCount(), 0u);
}

// Every thread's answer must be the one to its own request, and no two
// requests may share an id.
TEST_F(DcmRpcTest, ConcurrentPostsFromManyThreads)
{
    KeeperOsSetLogLevel(KEEPER_LOG_INFO);
    server_.SetResponder([](const std::string &request) {
        Json req(request);
        return R"({"jsonrpc":"2.0","id":)" + Print(cJSON_GetObjectItem(req.value, "id")) + R"(,"result":{}})";
    });
    constexpr size_t kThreads = 12, kPosts = 25;
    std::atomic<int> mismatches{0};
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (size_t i = 0; i < kPosts; ++i) {
                Json req(CreateBaseRequest("dca_get_disks_brief_info"));
                Json rsp(PostRequestWithJSON(&agent_, req.value));
                mismatches += Print(cJSON_GetObjectItem(rsp.value, "id")) !=
                              Print(cJSON_GetObjectItem(req.value, "id"));
            }
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(mismatches.load(), 0);
    std::set<std::string> ids;
    for (const std::string &r : server_.Requests()) {
        ids.insert(Print(cJSON_GetObjectItem(Json(r).value, "id")));
    }
    EXPECT_EQ(ids.size(), kThreads * kPosts);
}

}  // namespace
