// test-labels: concurrent
#include "infrastructure/keeper_host/dbg_agent.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

namespace {

std::atomic<int> g_inFlight{0};
std::atomic<bool> g_overlap{false};

int EchoExec(int argc, char **argv)
{
    DBG_Print("argc=%d", argc);
    for (int i = 0; i < argc; ++i) {
        DBG_PrintBuf(" [%s]", argv[i]);
    }
    DBG_Print("\n");
    return 0;
}

void EchoHelp(const char *name, int verbose)
{
    DBG_Print("\t%s ARGS...%s\n", name, verbose != 0 ? " : repeats its arguments" : "");
}

int FailExec(int argc, char **argv)
{
    if (argc <= 1) {
        DBG_ShowUsageAndErrMsg("Please input valid command.", 0);
        return 0;
    }
    if (strcmp(argv[1], "usage") == 0) {
        DBG_ShowUsageAndErrMsg(nullptr, 1);  // usage on request: not a failure
        return 0;
    }
    DBG_Print("failing on purpose\n");
    return -1;
}

void FailHelp(const char *name, int verbose)
{
    DBG_Print("\t%s [usage|other]%s\n", name, verbose != 0 ? " : verbose help" : "");
}

int BigExec(int, char **)
{
    std::string line(999, 'b');
    for (int i = 0; i < 2 * 1024; ++i) {  // about 2 MiB
        DBG_Print("%s\n", line.c_str());
    }
    return 0;
}

int LongLineExec(int, char **)
{
    std::string text(5000, 'L');
    DBG_PrintBuf("<%s>\n", text.c_str());
    return 0;
}

int SerialExec(int, char **argv)
{
    if (g_inFlight.fetch_add(1) != 0) {
        g_overlap = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    DBG_Print("served %s\n", argv[1] != nullptr ? argv[1] : "-");
    g_inFlight.fetch_sub(1);
    return 0;
}

const DBG_CmdGroup kGroups[] = {
    {"echo", "repeats its arguments", EchoExec, EchoHelp},
    {"fail", "fails in several ways", FailExec, FailHelp},
    {"big", "prints too much", BigExec, nullptr},
    {"longline", "one long print", LongLineExec, nullptr},
    {"serial", "checks that handlers never overlap", SerialExec, nullptr},
};

struct Reply {
    int32_t status = -1;
    std::string output;
};

// Sends raw bytes and reads whatever reply comes; status -1 when none.
Reply RawExchange(const std::string &path, const std::vector<uint8_t> &bytes)
{
    Reply r;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return r;
    }
    if (!bytes.empty()) {
        (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    uint8_t header[DBG_HEADER_SIZE];
    size_t got = 0;
    while (got < sizeof(header)) {
        ssize_t n = recv(fd, header + got, sizeof(header) - got, 0);
        if (n <= 0) {
            close(fd);
            return r;
        }
        got += static_cast<size_t>(n);
    }
    uint32_t len = 0;
    if (DbgReplyParseHeader(header, &r.status, &len)) {
        r.output.resize(len);
        size_t have = 0;
        while (have < len) {
            ssize_t n = recv(fd, &r.output[have], len - have, 0);
            if (n <= 0) {
                break;
            }
            have += static_cast<size_t>(n);
        }
    }
    close(fd);
    return r;
}

std::vector<uint8_t> Frame(const std::vector<std::string> &args)
{
    std::vector<const char *> argv;
    for (const auto &a : args) {
        argv.push_back(a.c_str());
    }
    std::vector<uint8_t> buf(DBG_HEADER_SIZE + DBG_MAX_PAYLOAD);
    buf.resize(DbgRequestEncode(static_cast<int>(argv.size()), argv.data(), buf.data(),
                                buf.size()));
    return buf;
}

class DbgAgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dbg_agent_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/diag.sock";
        ASSERT_EQ(HostDiagSetSocketPath(path_.c_str()), 0);
        HostDiagSetIoTimeoutMs(300);
        for (const DBG_CmdGroup &g : kGroups) {
            ASSERT_EQ(DBG_RegCmd(&g), 0);
        }
        ASSERT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), 0);
    }
    void TearDown() override
    {
        DBG_DiagnoseAgentDestroy(getpid());
        for (const DBG_CmdGroup &g : kGroups) {
            DBG_UnRegCmd(g.name);
        }
        ASSERT_EQ(HostDiagSetSocketPath(nullptr), 0);
        HostDiagSetIoTimeoutMs(2000);
        rmdir(dir_.c_str());
    }

    Reply Call(const std::vector<std::string> &args)
    {
        std::vector<const char *> argv;
        for (const auto &a : args) {
            argv.push_back(a.c_str());
        }
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

    std::string dir_;
    std::string path_;
};

TEST(DbgRegistry, RegistrationRules)
{
    DBG_CmdGroup ok{"reg_ok", "d", EchoExec, nullptr};
    DBG_CmdGroup noExec{"reg_noexec", "d", nullptr, nullptr};
    DBG_CmdGroup empty{"", "d", EchoExec, nullptr};
    DBG_CmdGroup noName{nullptr, "d", EchoExec, nullptr};
    DBG_CmdGroup longName{"sixteen_chars_xx", "d", EchoExec, nullptr};
    DBG_CmdGroup maxName{"fifteen_chars_x", nullptr, EchoExec, nullptr};
    EXPECT_EQ(DBG_RegCmd(nullptr), -EINVAL);
    EXPECT_EQ(DBG_RegCmd(&noExec), -EINVAL);
    EXPECT_EQ(DBG_RegCmd(&empty), -EINVAL);
    EXPECT_EQ(DBG_RegCmd(&noName), -EINVAL);
    EXPECT_EQ(DBG_RegCmd(&longName), -EINVAL);
    EXPECT_EQ(DBG_RegCmd(&maxName), 0);
    EXPECT_EQ(DBG_RegCmd(&ok), 0);
    EXPECT_EQ(DBG_RegCmd(&ok), -EEXIST);
    EXPECT_EQ(DBG_UnRegCmd("reg_ok"), 0);
    EXPECT_EQ(DBG_UnRegCmd("reg_ok"), -ENOENT);
    EXPECT_EQ(DBG_UnRegCmdToCLI("fifteen_chars_x", 0), 0);
    EXPECT_EQ(DBG_UnRegCmd(nullptr), -ENOENT);

    std::vector<std::string> names;
    int ret = 0;
    while (ret == 0 && names.size() <= DBG_MAX_GROUPS) {
        names.push_back("many" + std::to_string(names.size()));
        DBG_CmdGroup g{names.back().c_str(), "d", EchoExec, nullptr};
        ret = DBG_RegCmd(&g);
    }
    EXPECT_EQ(ret, -ENOSPC);
    EXPECT_EQ(names.size(), DBG_MAX_GROUPS + 1);
    for (const auto &n : names) {
        DBG_UnRegCmd(n.c_str());
    }
}

TEST(DbgRun, OutputStatusAndTruncation)
{
    for (const DBG_CmdGroup &g : kGroups) {
        ASSERT_EQ(DBG_RegCmd(&g), 0);
    }
    std::vector<char> out(DBG_MAX_OUTPUT + 1);
    uint32_t len = 0;
    struct Case {
        std::vector<std::string> args;
        int32_t status;
        std::string contains;
    } cases[] = {
        {{"echo", "a", "b c"}, DBG_STATUS_OK, "argc=3 [echo] [a] [b c]\n"},
        {{"fail"}, DBG_STATUS_FAILED, "Please input valid command.\nUsage:\n\tfail [usage|other]\n"},
        {{"fail", "usage"}, DBG_STATUS_OK, "Usage:\n\tfail [usage|other] : verbose help\n"},
        {{"fail", "other"}, DBG_STATUS_FAILED, "failing on purpose\n"},
        {{"nosuch", "x"}, DBG_STATUS_UNKNOWN_GROUP, ""},
        {{"longline"}, DBG_STATUS_OK, "<" + std::string(5000, 'L') + ">\n"},
        {{}, DBG_STATUS_OK, "echo: repeats its arguments\n\techo ARGS...\n"},
        {{"big"}, DBG_STATUS_OK, "\n[output truncated]\n"},
    };
    for (const Case &c : cases) {
        std::vector<char *> argv;
        std::vector<std::string> copy = c.args;
        for (auto &a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int32_t st = DbgAgentRun(static_cast<int>(copy.size()), argv.data(), out.data(),
                                 static_cast<uint32_t>(out.size()), &len);
        EXPECT_EQ(st, c.status) << c.contains;
        std::string text(out.data(), len);
        EXPECT_NE(text.find(c.contains), std::string::npos) << text.substr(0, 200);
        EXPECT_LE(len, DBG_MAX_OUTPUT);
    }
    for (const DBG_CmdGroup &g : kGroups) {
        DBG_UnRegCmd(g.name);
    }
}

TEST_F(DbgAgentTest, SocketIsOwnerOnlyAndAnswersRegisteredGroups)
{
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_STREQ(DBG_DiagnoseAgentSocketPath(), path_.c_str());

    Reply r = Call({"echo", "x", "y"});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    EXPECT_EQ(r.output, "argc=3 [echo] [x] [y]\n");
    r = Call({"nosuch", "cmd"});
    EXPECT_EQ(r.status, DBG_STATUS_UNKNOWN_GROUP);
    r = Call({"fail", "other"});
    EXPECT_EQ(r.status, DBG_STATUS_FAILED);
    EXPECT_EQ(r.output, "failing on purpose\n");
    r = Call({});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    for (const DBG_CmdGroup &g : kGroups) {
        EXPECT_NE(r.output.find(std::string(g.name) + ": " + g.description), std::string::npos);
    }
    r = Call({"big"});
    EXPECT_EQ(r.output.size(), DBG_MAX_OUTPUT);
}

TEST_F(DbgAgentTest, BadRequestsGetAClearStatusAndTheAgentCarriesOn)
{
    std::vector<uint8_t> good = Frame({"echo", "ok"});
    std::vector<uint8_t> badMagic = good;
    badMagic[0] ^= 0xff;
    std::vector<uint8_t> manyArgs = good;
    manyArgs[6] = 40;
    std::vector<uint8_t> longArg = {0x53, 0x4b, 0x44, 0x51, 1, 0, 1, 0, 0x2e, 1, 0, 0};
    longArg.push_back(0x2c);  // an argument of 300 bytes
    longArg.push_back(0x01);
    longArg.insert(longArg.end(), 300, 'a');
    std::vector<uint8_t> shortBody = good;
    shortBody[8] += 5;  // promises more than it sends, then goes quiet
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        int32_t want;
    } cases[] = {
        {"bad magic", badMagic, DBG_STATUS_MALFORMED},
        {"too many arguments", manyArgs, DBG_STATUS_TOO_LONG},
        {"over-long argument", longArg, DBG_STATUS_TOO_LONG},
        {"body never completed", shortBody, -1},  // timed out: no reply
    };
    for (const Case &c : cases) {
        EXPECT_EQ(RawExchange(path_, c.bytes).status, c.want) << c.what;
        EXPECT_EQ(Call({"echo", "after"}).status, DBG_STATUS_OK) << c.what;
    }
    // The client refuses an over-long argument before sending anything.
    std::string huge(DBG_MAX_ARG_LEN + 1, 'h');
    const char *argv[] = {"echo", huge.c_str()};
    DbgClientResult res{};
    EXPECT_EQ(DbgClientCall(path_.c_str(), 2, argv, 1000, &res), -E2BIG);
}

TEST_F(DbgAgentTest, VanishedAndSilentClientsDoNotStopTheAgent)
{
    std::vector<uint8_t> good = Frame({"echo", "v"});
    for (size_t cut : {size_t{0}, size_t{5}, DBG_HEADER_SIZE + 3}) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        if (cut > 0) {
            ASSERT_EQ(send(fd, good.data(), cut, MSG_NOSIGNAL), static_cast<ssize_t>(cut));
        }
        close(fd);  // gone mid-request
    }
    // A client that sends its request but never reads the reply.
    {
        std::vector<uint8_t> big = Frame({"big"});
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(send(fd, big.data(), big.size(), MSG_NOSIGNAL), static_cast<ssize_t>(big.size()));
        EXPECT_EQ(Call({"echo", "next"}).status, DBG_STATUS_OK);
        close(fd);
    }
    // A client that connects and stays silent while another one asks.
    int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    Reply r = Call({"echo", "still", "here"});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    EXPECT_EQ(r.output, "argc=3 [echo] [still] [here]\n");
    close(silent);
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
                Reply r = Call({"serial", tag});
                if (r.status == DBG_STATUS_OK && r.output == "served " + tag + "\n") {
                    ++good;
                }
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
    int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(DBG_DiagnoseAgentDestroy(getpid()), 0);
    close(silent);
    struct stat st;
    EXPECT_NE(stat(path_.c_str(), &st), 0);
    EXPECT_STREQ(DBG_DiagnoseAgentSocketPath(), "");
    const char *argv[] = {"echo"};
    DbgClientResult res{};
    EXPECT_EQ(DbgClientCall(path_.c_str(), 1, argv, 1000, &res), -ENOENT);
    // Restartable.
    ASSERT_EQ(DBG_DiagnoseAgentInit(getpid(), "spindleKeep"), 0);
    EXPECT_EQ(Call({"echo"}).status, DBG_STATUS_OK);
}

TEST_F(DbgAgentTest, OtherUsersCannotReachTheAgent)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to switch to another user";
    }
    passwd *pw = getpwnam("spindlekeep_user");
    if (pw == nullptr) {
        GTEST_SKIP() << "service user missing";
    }
    // Open the directory so that only the socket's own mode keeps them out.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(10);
        }
        const char *argv[] = {"echo"};
        DbgClientResult res{};
        int ret = DbgClientCall(path_.c_str(), 1, argv, 1000, &res);
        _exit(ret == -EACCES ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DbgAgentPath, OverlongSocketPathIsRefused)
{
    EXPECT_EQ(HostDiagSetSocketPath(std::string(120, 's').c_str()), -ENAMETOOLONG);
}

}  // namespace
