// test-labels: concurrent
// The CLI server in this process on a private prefix: dispatch and its
// refusals, a busy worker, a silent client, broken packets and the header
// action that must match the one inside the request.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <tuple>

#include "cli/common/cli_client.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "cli/common/cli_packet.h"
#include "cli/common/cli_xml.h"
#include "cli/server/cli_cmd_handler.h"
#include "cli/server/cli_permission.h"
#include "cli/server/cli_uds_server.h"
#include "config/config.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "support/persist_files.h"

using namespace SPINDLEKEEP_CLI;

namespace {

constexpr uint32_t kTimeoutMs = 5000;

// A command that runs until the test lets it finish.
std::atomic<int> g_blockState{0};  // 1 running, 2 released
class BlockCmd : public BaseCommand {
public:
    int32_t Exec(const std::string &, std::string &out) override
    {
        g_blockState = 1;
        while (g_blockState.load() != 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        out = "released";
        return 0;
    }
};
std::shared_ptr<BaseCommand> MakeBlock() { return std::make_shared<BlockCmd>(); }

class CliServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        (void)KeeperInfraLiteInstall();
        prefix_ = new std::string(ResetTestPrefix());
        ConfigUnload();
        ASSERT_EQ(InitConfig(), 0);
        logs_ = new TempDir();
        CliLogSetDirForTest(logs_->Path().c_str());
        // Registered before the server threads exist, which read the registry.
        CliCmdHandler::GetInstance().RegisterCmd("test_block", MakeBlock);
        ASSERT_EQ(GetCliServer().InitCliServer(), 0);
        ASSERT_EQ(CliSocketPathFor(prefix_->c_str(), &sock_), 0);
        ready_ = true;
    }
    // A failed assertion in the suite's set-up only marks its tests skipped,
    // which ctest counts as passing: each test checks it instead.
    void SetUp() override { ASSERT_TRUE(ready_) << "the suite's set-up failed"; }
    static inline bool ready_ = false;
    static void TearDownTestSuite()
    {
        GetCliServer().UnInitCliServer();
        ConfigUnload();
    }

    static CliReply Call(const std::string &action, const std::string &cmd, const std::string &kv = "")
    {
        CliReply r;
        std::string agrs = action + " " + cmd + (kv.empty() ? "" : " " + kv);
        EXPECT_EQ(CliClientCall(sock_, action, cmd, agrs, kTimeoutMs, &r), 0) << agrs;
        return r;
    }

    static int Connect()
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, sock_.c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return fd;
    }

    // Sends `raw` bytes as they are and returns the reply's code (or -999).
    static int32_t RawCall(const std::string &raw)
    {
        int fd = Connect();
        (void)!send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        std::string text;
        char user[CLI_USER_NAME_LEN] = {};
        char action[CLI_ACTION_NAME_LEN] = {};
        int32_t ret = CliRecvMessage(fd, &text, user, action, nullptr, nullptr);
        close(fd);
        return ret == CLI_OK ? std::stoi(AnalysisXml(text, "error_code")) : -999;
    }

    static std::string Framed(const std::string &text, const char *action)
    {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        EXPECT_EQ(CliSendString(text, sv[0], "root", action), 0);
        close(sv[0]);
        std::string out(65536, '\0');
        out.resize(static_cast<size_t>(read(sv[1], out.data(), out.size())));
        close(sv[1]);
        return out;
    }

    static std::string *prefix_;
    static TempDir *logs_;
    static std::string sock_;
};

std::string *CliServerTest::prefix_;
TempDir *CliServerTest::logs_;
std::string CliServerTest::sock_;

}  // namespace

TEST_F(CliServerTest, AnswersAndRefusalsOnASocketOpenToTheServiceGroup)
{
    EXPECT_EQ(StatFile(sock_).st_mode & 0777, 0660u);
    CliReply r = Call("show", "config");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.text, "feature_switch        : on\ntakeover_disk_switch  : off\n");
    EXPECT_EQ(Call("show", "no_such_cmd").code, CLI_COMMAND_PARAM_INVALID);

    std::string change = CliCMDtoXml("config", "change config takeover_disk_switch=on");
    const std::tuple<const char *, std::string, int32_t> cases[] = {
        {"malformed XML", Framed("<req><agrs>show config</req", "show"), CLI_COMMAND_PARAM_INVALID},
        {"change inside a show header", Framed(change, "show"), CLI_USER_PERMISSION_ERROR},
        {"leading blank hides the action", Framed(CliCMDtoXml("config", " change config takeover_disk_switch=on"), "show"),
         CLI_COMMAND_PARAM_INVALID},
        {"header over 32 MiB", Framed(change, "change").replace(4, 4, "\x01\x00\x00\x02", 4),
         CLI_RECV_TRANSMISSION_ERROR},
    };
    for (const auto &[what, raw, code] : cases) {
        EXPECT_EQ(RawCall(raw), code) << what;
    }
    uint32_t v = 9;
    EXPECT_EQ(GetSwitchConfig("takeover_disk_switch", &v), 0);
    EXPECT_EQ(v, 0u) << "no refused request changed the switch";
    EXPECT_EQ(Call("show", "config").code, 0) << "the server still serves";
}

TEST_F(CliServerTest, SecondRequestWhileOneRunsIsRefused)
{
    g_blockState = 0;
    auto first = std::async(std::launch::async, [] { return Call("show", "test_block"); });
    while (g_blockState.load() != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CliReply second = Call("show", "config");
    EXPECT_EQ(second.code, CLI_TASK_MAX_ERROR);
    EXPECT_EQ(second.text, "");
    g_blockState = 2;
    CliReply r = first.get();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.text, "released");
}

TEST_F(CliServerTest, SilentClientHoldsTheNextUntilDropped)
{
    int silent = Connect();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto next = std::async(std::launch::async, [] { return Call("show", "config"); });
    EXPECT_EQ(next.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    close(silent);
    EXPECT_EQ(next.get().code, 0);
}

TEST(CliPermission, WhiteListAndRefusals)
{
    const std::tuple<const char *, const char *, int32_t, CliPermission> cases[] = {
        {"root", "change", 0, CLI_PERMISSION_FULL},
        {"nobody", "show", 0, CLI_PERMISSION_NONE},
        {"no_such_user_here", "show", CLI_USER_PERMISSION_ERROR, CLI_PERMISSION_NONE},
        {"root", "", CLI_USER_PERMISSION_ERROR, CLI_PERMISSION_NONE},
    };
    for (const auto &[user, action, ret, want] : cases) {
        CliPermission perm = CLI_PERMISSION_READ_ONLY;
        EXPECT_EQ(GetUserinWhiteList(user, &perm, action, CLI_FD_BY_NAME), ret) << user;
        EXPECT_EQ(perm, want) << user << " " << action;
    }
    // By peer: the name in the packet does not matter, the socket's owner does.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(CheckUserPermission(nullptr, sv[1], "nobody", "change"), getuid() == 0 ? 0 : CLI_USER_PERMISSION_ERROR);
    close(sv[0]);
    close(sv[1]);
}
