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
    if (g_inFlight.fetch_add(1) != 0) {
        g_overlap = true;
    }
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
    int32_t status = -1;  // -1: no reply
    std::string output;
};

std::vector<uint8_t> Frame(const std::vector<const char *> &argv)
{
    std::vector<uint8_t> buf(DBG_HEADER_SIZE + DBG_MAX_PAYLOAD);
    buf.resize(DbgRequestEncode(static_cast<int>(argv.size()), argv.data(), buf.data(),
                                buf.size()));
    return buf;
}

// A connected client socket, or -1.
int Connect(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class DbgAgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const DBG_CmdGroup &g : kGroups) {
            ASSERT_EQ(DBG_RegCmd(&g), 0);
        }
        ASSERT_EQ(HostDiagSetSocketPath(path_.c_str()), 0);
        HostDiagSetIoTimeoutMs(300);
        ASSERT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), 0);
    }
    void TearDown() override
    {
        DBG_DiagnoseAgentDestroy(getpid());
        ASSERT_EQ(HostDiagSetSocketPath(nullptr), 0);
        HostDiagSetIoTimeoutMs(2000);
        for (const DBG_CmdGroup &g : kGroups) {
            DBG_UnRegCmd(g.name);
        }
    }

    Reply Call(std::vector<const char *> argv)
    {
        DbgClientResult res{};
        Reply r;
        int ret = DbgClientCall(path_.c_str(), static_cast<int>(argv.size()), argv.data(), 5000,
                                &res);
        EXPECT_EQ(ret, 0) << strerror(-ret);
        if (ret == 0) {
            r.status = res.status;
            r.output.assign(res.output, res.outputLen);
            free(res.output);
        }
        return r;
    }

    // Sends raw bytes and returns the reply's status (-1: none) once the agent closes.
    int32_t RawStatus(const std::vector<uint8_t> &bytes)
    {
        int fd = Connect(path_);
        EXPECT_GE(fd, 0);
        (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;) {
            got.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        int32_t status = -1;
        uint32_t len = 0;
        return got.size() >= DBG_HEADER_SIZE &&
                       DbgReplyParseHeader(reinterpret_cast<const uint8_t *>(got.data()), &status,
                                           &len)
                   ? status
                   : -1;
    }

    TempDir dir_;
    std::string path_ = dir_.Join("diag.sock");
};

TEST(DbgRegistry, RegistrationRules)
{
    const struct {
        DBG_CmdGroup group;
        int want;
    } cases[] = {
        {{"reg_noexec", "d", nullptr, nullptr}, -EINVAL}, {{"", "d", TestExec, nullptr}, -EINVAL},
        {{nullptr, "d", TestExec, nullptr}, -EINVAL},
        {{"sixteen_chars_xx", "d", TestExec, nullptr}, -EINVAL},
        {{"fifteen_chars_x", nullptr, TestExec, nullptr}, 0},
        {{"fifteen_chars_x", "d", TestExec, nullptr}, -EEXIST},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DBG_RegCmd(&c.group), c.want) << (c.group.name ? c.group.name : "(null)");
    }
    EXPECT_EQ(DBG_RegCmd(nullptr), -EINVAL);
    EXPECT_EQ(DBG_UnRegCmdToCLI("fifteen_chars_x", 0), 0);
    EXPECT_EQ(DBG_UnRegCmd("fifteen_chars_x"), -ENOENT);
    EXPECT_EQ(DBG_UnRegCmd(nullptr), -ENOENT);
    std::vector<std::string> names;
    int ret = 0;
    while (ret == 0 && names.size() <= DBG_MAX_GROUPS) {
        names.push_back("many" + std::to_string(names.size()));
        DBG_CmdGroup g{names.back().c_str(), "d", TestExec, nullptr};
        ret = DBG_RegCmd(&g);
    }
    EXPECT_EQ(ret, -ENOSPC);
    EXPECT_EQ(names.size(), DBG_MAX_GROUPS + 1);
    for (const auto &n : names) {
        DBG_UnRegCmd(n.c_str());
    }
}

TEST_F(DbgAgentTest, OwnerOnlySocketCarriesOutputStatusAndTruncation)
{
    EXPECT_EQ(StatFile(path_).st_mode & 0777, 0600u);
    EXPECT_STREQ(DBG_DiagnoseAgentSocketPath(), path_.c_str());
    const struct {
        std::vector<const char *> args;
        int32_t status;
        std::string contains;
    } cases[] = {
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
    for (const auto &c : cases) {
        Reply r = Call(c.args);
        EXPECT_EQ(r.status, c.status) << c.contains;
        EXPECT_NE(r.output.find(c.contains), std::string::npos) << r.output.substr(0, 200);
        EXPECT_LE(r.output.size(), DBG_MAX_OUTPUT);
    }
    EXPECT_EQ(Call({"bare", "big"}).output.size(), DBG_MAX_OUTPUT);
}

// Malformed, oversized, unfinished and abandoned requests, and a client that
// never reads its reply: each costs only its own connection.
TEST_F(DbgAgentTest, BadRequestsAndVanishedClientsDoNotStopTheAgent)
{
    std::vector<uint8_t> good = Frame({"echo", "ok"});
    std::vector<uint8_t> badMagic = good;
    badMagic[0] ^= 0xff;
    std::vector<uint8_t> manyArgs = good;
    manyArgs[6] = 40;
    std::vector<uint8_t> longArg = {0x53, 0x4b, 0x44, 0x51, 1, 0, 1, 0, 0x2e, 1, 0, 0, 0x2c, 0x01};
    longArg.insert(longArg.end(), 300, 'a');  // an argument of 300 bytes
    std::vector<uint8_t> shortBody = good;
    shortBody[8] += 5;  // promises more than it sends, then goes quiet
    const std::pair<std::vector<uint8_t>, int32_t> cases[] = {
        {badMagic, DBG_STATUS_MALFORMED}, {manyArgs, DBG_STATUS_TOO_LONG},
        {longArg, DBG_STATUS_TOO_LONG},   {shortBody, -1},  // timed out: no reply
    };
    for (const auto &[bytes, want] : cases) {
        EXPECT_EQ(RawStatus(bytes), want) << bytes.size();
        EXPECT_EQ(Call({"echo", "after"}).status, DBG_STATUS_OK);
    }
    for (size_t cut : {size_t{0}, size_t{5}, DBG_HEADER_SIZE + 3}) {
        int fd = Connect(path_);
        ASSERT_EQ(send(fd, good.data(), cut, MSG_NOSIGNAL), static_cast<ssize_t>(cut));
        close(fd);  // gone mid-request
    }
    std::vector<uint8_t> big = Frame({"echo", "big"});
    int deaf = Connect(path_);
    ASSERT_EQ(send(deaf, big.data(), big.size(), MSG_NOSIGNAL), static_cast<ssize_t>(big.size()));
    Reply r = Call({"echo", "still", "here"});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    EXPECT_EQ(r.output, "argc=3 [echo] [still] [here]\n");
    close(deaf);
    // The client refuses an over-long argument before sending anything.
    std::string huge(DBG_MAX_ARG_LEN + 1, 'h');
    const char *argv[] = {"echo", huge.c_str()};
    DbgClientResult res{};
    EXPECT_EQ(DbgClientCall(path_.c_str(), 2, argv, 1000, &res), -E2BIG);
}

TEST_F(DbgAgentTest, ConcurrentClientsAreServedOneHandlerAtATime)
{
    g_overlap = false;
    constexpr int kClients = 4;
    constexpr int kCalls = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                std::string tag = std::to_string(t) + "-" + std::to_string(i);
                Reply r = Call({"echo", tag.c_str()});
                good += r.status == DBG_STATUS_OK && r.output == "argc=2 [echo] [" + tag + "]\n";
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(good.load(), kClients * kCalls);
    EXPECT_FALSE(g_overlap.load());
}

TEST_F(DbgAgentTest, DestroyRemovesTheSocketEvenWithASilentClient)
{
    EXPECT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), -EALREADY);
    HostDiagSetIoTimeoutMs(60 * 1000);  // only the stop event can end the wait
    int silent = Connect(path_);
    ASSERT_GE(silent, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(DBG_DiagnoseAgentDestroy(getpid()), 0);
    close(silent);
    EXPECT_FALSE(FileExists(path_));
    EXPECT_STREQ(DBG_DiagnoseAgentSocketPath(), "");
    const char *argv[] = {"echo"};
    DbgClientResult res{};
    EXPECT_EQ(DbgClientCall(path_.c_str(), 1, argv, 1000, &res), -ENOENT);
    ASSERT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), 0);  // restartable
    EXPECT_EQ(Call({"echo", "x"}).status, DBG_STATUS_OK);
    EXPECT_EQ(HostDiagSetSocketPath(std::string(120, 's').c_str()), -ENAMETOOLONG);
}

}  // namespace
