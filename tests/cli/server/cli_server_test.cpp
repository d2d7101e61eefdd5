// test-labels: concurrent
// The CLI server in this process on a private prefix: dispatch and its
// refusals, a broken header, the header action that must match the one
// inside the request, and who may talk to it.
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
#include "cli/server/cli_permission.h"
#include "cli/server/cli_uds_server.h"
#include "config/config.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "support/persist_files.h"

using namespace SPINDLEKEEP_CLI;

namespace {

constexpr uint32_t kTimeoutMs = 5000;

// A request "AGRS" for its second word under the header action `action`.
CliReply Call(const std::string &sock, const std::string &agrs, const std::string &action = "show")
{
    CliReply r;
    size_t blank = agrs.find(' ', 1);
    std::string cmd = agrs.substr(blank + 1, agrs.find(' ', blank + 1) - blank - 1);
    EXPECT_EQ(CliClientCall(sock, action, cmd, agrs, kTimeoutMs, &r), 0) << agrs;
    return r;
}

// Sends a bare header and returns the code of the reply (or -999).
int32_t HeaderOnly(const std::string &sock, const CliPacketHead &head)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = {AF_UNIX, {}};
    strcpy(a.sun_path, sock.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    (void)!send(fd, &head, sizeof(head), MSG_NOSIGNAL);
    std::string text;
    char user[CLI_USER_NAME_LEN] = {}, action[CLI_ACTION_NAME_LEN] = {};
    int32_t ret = CliRecvMessage(fd, &text, user, action, nullptr, nullptr, kTimeoutMs);
    close(fd);
    return ret == CLI_OK ? std::stoi(AnalysisXml(text, "error_code")) : -999;
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
    ASSERT_EQ(GetCliServer().InitCliServer(), 0);
    ASSERT_EQ(CliSocketPathFor(prefix.c_str(), &sock), 0);
    EXPECT_EQ(StatFile(sock).st_mode & 0777, 0660u);
    CliReply r = Call(sock, "show config");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.text, "feature_switch        : on\ntakeover_disk_switch  : off\n");
    const std::tuple<const char *, std::string, int32_t> cases[] = {
        {"no such command", "show no_such_cmd", CLI_COMMAND_PARAM_INVALID},
        {"change inside a show header", "change config takeover_disk_switch=on", CLI_USER_PERMISSION_ERROR},
        {"leading blank hides the action", " change config takeover_disk_switch=on", CLI_COMMAND_PARAM_INVALID},
    };
    for (const auto &[what, agrs, code] : cases) EXPECT_EQ(Call(sock, agrs).code, code) << what;
    CliPacketHead over = {33, 0, {}, CLI_MSG_MAX + 1, "root", "change"};
    EXPECT_EQ(HeaderOnly(sock, over), CLI_RECV_TRANSMISSION_ERROR) << "a header over 32 MiB is answered";
    uint32_t v = 9;
    EXPECT_TRUE(GetSwitchConfig("takeover_disk_switch", &v) == 0 && v == 0) << "no refused request changed it";
    EXPECT_EQ(Call(sock, "change config takeover_disk_switch=on", "change").code, 0) << "the server still serves";
    EXPECT_TRUE(GetSwitchConfig("takeover_disk_switch", &v) == 0 && v == 1);
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
