// test-labels: concurrent
// The CLI server in this process on a private prefix: dispatch and its
// refusals, a broken header, the header action that must match the one
// inside the request, a busy worker, and who may talk to it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

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
#include "support/wait_until.h"

using namespace SPINDLEKEEP_CLI;

namespace {

constexpr uint32_t kTimeoutMs = 5000;

// A command that runs until the test lets it finish.
std::atomic<int> g_block{0};  // 1 running, 2 released
struct BlockCmd : BaseCommand {
    int32_t Exec(const std::string &, std::string &out) override
    {
        for (g_block = 1; g_block != 2;) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        out = "released";
        return 0;
    }
};

// A request for `cmd` with the text `agrs` under the header action `action`.
CliReply Call(const std::string &sock, const char *cmd, const std::string &agrs, const char *action = "show")
{
    CliReply r;
    EXPECT_EQ(CliClientCall(sock, action, cmd, agrs, kTimeoutMs, &r), 0) << agrs;
    return r;
}

}  // namespace

TEST(CliServerTest, AnswersAndRefusalsOnASocketOpenToTheServiceGroup)
{
    (void)KeeperInfraLiteInstall();
    std::string prefix = ResetTestPrefix(), sock;
    ConfigUnload();
    ASSERT_EQ(InitConfig(), 0);
    TempDir logs;
    CliLogSetDirForTest(logs.Path().c_str());
    // Registered before the server threads exist, which read the registry.
    CliCmdHandler::GetInstance().RegisterCmd("test_block", [] { return std::shared_ptr<BaseCommand>(new BlockCmd); });
    ASSERT_EQ(GetCliServer().InitCliServer() | CliSocketPathFor(prefix.c_str(), &sock), 0);
    EXPECT_EQ(StatFile(sock).st_mode & 0777, 0660u);
    CliReply r = Call(sock, "config", "show config");
    EXPECT_EQ(std::to_string(r.code) + r.text, "0feature_switch        : on\ntakeover_disk_switch  : off\n");
    const std::tuple<const char *, const char *, std::string, int32_t> cases[] = {
        {"no such command", "no_such_cmd", "show no_such_cmd", CLI_COMMAND_PARAM_INVALID},
        {"change inside a show header", "config", "change config takeover_disk_switch=on", CLI_USER_PERMISSION_ERROR},
        {"leading blank hides the action", "config", " change config takeover_disk_switch=on", CLI_COMMAND_PARAM_INVALID},
    };
    for (const auto &[what, cmd, agrs, code] : cases) EXPECT_EQ(Call(sock, cmd, agrs).code, code) << what;
    // A bare header announcing over 32 MiB is answered.
    CliPacketHead over = {33, 0, {}, CLI_MSG_MAX + 1, "root", "change"};
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = {AF_UNIX, {}};
    strcpy(a.sun_path, sock.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    (void)!send(fd, &over, sizeof(over), MSG_NOSIGNAL);
    std::string text;
    char user[CLI_USER_NAME_LEN] = {}, action[CLI_ACTION_NAME_LEN] = {};
    EXPECT_EQ(CliRecvMessage(fd, &text, user, action, nullptr, nullptr, kTimeoutMs), CLI_OK);
    close(fd);
    EXPECT_EQ(AnalysisXml(text, "error_code"), std::to_string(CLI_RECV_TRANSMISSION_ERROR));
    uint32_t v = 9;
    EXPECT_TRUE(GetSwitchConfig("takeover_disk_switch", &v) == 0 && v == 0) << "no refused request changed it";
    EXPECT_EQ(Call(sock, "config", "change config takeover_disk_switch=on", "change").code, 0) << "the server still serves";
    EXPECT_TRUE(GetSwitchConfig("takeover_disk_switch", &v) == 0 && v == 1);
    // A second request while one runs is refused at once.
    std::thread first([&] { r = Call(sock, "test_block", "show test_block"); });
    EXPECT_TRUE(WaitUntil([] { return g_block == 1; }));
    EXPECT_EQ(Call(sock, "config", "show config").code, CLI_TASK_MAX_ERROR);
    g_block = 2;
    first.join();
    EXPECT_EQ(std::to_string(r.code) + r.text, "0released");
    GetCliServer().UnInitCliServer();
    ConfigUnload();
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
    close(sv[0]), close(sv[1]);
}
