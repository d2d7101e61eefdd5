// test-labels: concurrent
#include "infrastructure/keeper_host/dbg_agent.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "infrastructure/keeper_host/dbg_client.h"
#include "infrastructure/keeper_host/host_test.h"
#include "support/persist_files.h"

namespace {

std::atomic<int> g_inFlight{0};
std::atomic<bool> g_overlap{false};

// One group carries every kind of output: without a command a usage error,
// "usage" the verbose usage, "fail" a failure, "big" about 2 MiB, "line" one
// line of 5000 characters; anything else is echoed. Also notes whether two
// handlers ever run at once.
int TestExec(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd.empty() || cmd == "usage") {
        DBG_ShowUsageAndErrMsg(cmd.empty() ? "Please input valid command." : nullptr, !cmd.empty());
        return 0;
    }
    if (cmd == "fail") {
        DBG_Print("failing on purpose\n");
        return -1;
    }
    std::string line(cmd == "line" ? 5000 : 999, 'b');
    for (int i = 0; i < (cmd == "big" ? 2048 : cmd == "line" ? 1 : 0); ++i) {
        DBG_PrintBuf("<%s>\n", line.c_str());
    }
    g_overlap = g_inFlight.fetch_add(1) != 0 || g_overlap;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    DBG_Print("argc=%d", argc);
    for (int i = 0; i < argc; ++i) {
        DBG_PrintBuf(" [%s]", argv[i]);
    }
    DBG_Print("\n");
    g_inFlight.fetch_sub(1);
    return 0;
}

void TestHelp(const char *name, int verbose)
{
    DBG_Print("\t%s CMD...%s\n", name, verbose != 0 ? " : verbose help" : "");
}

const DBG_CmdGroup kGroups[] = {
    {"echo", "repeats its arguments", TestExec, TestHelp},
    {"bare", "has no help", TestExec, nullptr},
};

struct Reply {
    int32_t status;  // -1: no reply
    std::string output;
};

class DbgAgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(DBG_RegCmd(&kGroups[0]) | DBG_RegCmd(&kGroups[1]), 0);
        ASSERT_EQ(HostDiagSetSocketPath(path_.c_str()), 0);
        HostDiagSetIoTimeoutMs(300);
        ASSERT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), 0);
    }
    void TearDown() override
    {
        DBG_DiagnoseAgentDestroy(getpid());
        ASSERT_EQ(HostDiagSetSocketPath(nullptr), 0);
        HostDiagSetIoTimeoutMs(2000);
        for (const DBG_CmdGroup &g : kGroups) DBG_UnRegCmd(g.name);
    }

    Reply Call(std::vector<const char *> argv)
    {
        DbgClientResult res{};
        int ret = DbgClientCall(path_.c_str(), static_cast<int>(argv.size()), argv.data(), 5000,
                                &res);
        EXPECT_EQ(ret, 0) << strerror(-ret);
        Reply r{ret == 0 ? res.status : -1, ret == 0 ? std::string(res.output, res.outputLen) : ""};
        free(ret == 0 ? res.output : nullptr);
        return r;
    }

    // A client socket that has sent these bytes.
    int Send(const std::vector<uint8_t> &bytes)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{AF_UNIX, {}};
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        return fd;
    }

    // Sends raw bytes and returns the reply's status (-1: none) once the agent closes.
    int32_t RawStatus(const std::vector<uint8_t> &bytes)
    {
        int fd = Send(bytes);
        uint8_t head[DBG_HEADER_SIZE];
        ssize_t n = recv(fd, head, sizeof(head), MSG_WAITALL);
        close(fd);
        int32_t status = -1;
        uint32_t len = 0;
        return n == ssize_t(sizeof(head)) && DbgReplyParseHeader(head, &status, &len) ? status : -1;
    }

    TempDir dir_;
    std::string path_ = dir_.Join("diag.sock");
};

TEST_F(DbgAgentTest, OwnerOnlySocketCarriesOutputStatusAndTruncation)
{
    EXPECT_EQ(StatFile(path_).st_mode & 0777, 0600u);
    EXPECT_STREQ(DBG_DiagnoseAgentSocketPath(), path_.c_str());
    // Arguments, status, a part of the output.
    const std::tuple<std::vector<const char *>, int32_t, std::string> cases[] = {
        {{"echo", "a", "b c"}, DBG_STATUS_OK, "argc=3 [echo] [a] [b c]\n"},
        {{"echo"}, DBG_STATUS_FAILED, "Please input valid command.\nUsage:\n\techo CMD...\n"},
        {{"echo", "usage"}, DBG_STATUS_OK, "Usage:\n\techo CMD... : verbose help\n"},
        {{"bare", "fail"}, DBG_STATUS_FAILED, "failing on purpose\n"},
        {{"nosuch", "x"}, DBG_STATUS_UNKNOWN_GROUP, ""},
        {{"echo", "line"}, DBG_STATUS_OK, "<" + std::string(5000, 'b') + ">\n"},
        {{}, DBG_STATUS_OK, "echo: repeats its arguments\n\techo CMD...\n"},
        {{}, DBG_STATUS_OK, "bare: has no help\n  bare COMMAND [ARGS...]\n"},  // every group
        {{"echo", "big"}, DBG_STATUS_OK, "\n[output truncated]\n"},
    };
    for (const auto &[args, status, contains] : cases) {
        Reply r = Call(args);
        EXPECT_EQ(std::make_tuple(r.status, r.output.find(contains) != std::string::npos,
                                  r.output.size() <= DBG_MAX_OUTPUT),
                  std::make_tuple(status, true, true)) << r.output.substr(0, 200);
    }
    EXPECT_EQ(Call({"bare", "big"}).output.size(), DBG_MAX_OUTPUT);
}

// A malformed request gets its status, an unfinished one times out, abandoned
// ones and a client that never reads its reply cost only their connection; a
// silent client does not hold up the stop, and the agent starts again.
TEST_F(DbgAgentTest, BadAndVanishedClientsDoNotStopTheAgent)
{
    EXPECT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), -EALREADY);
    std::vector<uint8_t> good(DBG_HEADER_SIZE + 64);
    const char *argv[] = {"echo", "big"};
    good.resize(DbgRequestEncode(2, argv, good.data(), good.size()));
    std::vector<uint8_t> badMagic = good;
    badMagic[0] ^= 0xff;
    std::vector<uint8_t> shortBody = good;
    shortBody[8] += 5;  // promises more than it sends, then goes quiet
    EXPECT_EQ(RawStatus(badMagic), DBG_STATUS_MALFORMED);
    EXPECT_EQ(RawStatus(shortBody), -1);
    for (size_t cut : {size_t{0}, size_t{5}, DBG_HEADER_SIZE + 3}) {
        close(Send(std::vector<uint8_t>(good.begin(), good.begin() + cut)));  // gone mid-request
    }
    int deaf = Send(good);
    EXPECT_EQ(Call({"echo", "still", "here"}).output, "argc=3 [echo] [still] [here]\n");
    close(deaf);
    HostDiagSetIoTimeoutMs(60 * 1000);  // only the stop event can end the wait
    int silent = Send({});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(DBG_DiagnoseAgentDestroy(getpid()), 0);
    close(silent);
    EXPECT_FALSE(FileExists(path_));
    EXPECT_STREQ(DBG_DiagnoseAgentSocketPath(), "");
    ASSERT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), 0);
    EXPECT_EQ(Call({"echo", "x"}).status, DBG_STATUS_OK);
}

TEST_F(DbgAgentTest, ConcurrentClientsAreServedOneHandlerAtATime)
{
    g_overlap = false;
    std::atomic<int> good{0};
    auto client = [&](int t) {
        for (int i = 0; i < 25; ++i) {
            std::string tag = std::to_string(t) + "-" + std::to_string(i);
            Reply r = Call({"echo", tag.c_str()});
            good += r.status == DBG_STATUS_OK && r.output == "argc=2 [echo] [" + tag + "]\n";
        }
    };
    std::thread t1(client, 1), t2(client, 2), t3(client, 3);
    client(4);
    t1.join(), t2.join(), t3.join();
    EXPECT_EQ(std::make_pair(good.load(), g_overlap.load()), std::make_pair(100, false));
}

}  // namespace
