// CLI requests come from any member of the service group; the receive path
// (packet framing, request document, task building, parameter parsing) must
// hold up against every byte string. The input is the stream a client
// writes; the same bytes are also read as a request document.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/cmd/cli_cmds.h"
#include "cli/common/cli_packet.h"
#include "cli/common/cli_xml.h"
#include "cli/server/cli_uds_server.h"

using namespace SPINDLEKEEP_CLI;

namespace {

constexpr size_t kMaxInput = 65536;  // fits a socket buffer: one write, no reader thread

void CheckTask(const std::string &request, const char *user, const char *action)
{
    CmdTask task;
    std::string word;
    bool built = CliBuildCmdTask(request, user, action, &task, &word) == 0;
    if (built != (word.empty() || word == action)) {
        __builtin_trap();  // refused only, and always, for a differing action word
    }
    if (!built) {
        return;
    }
    QueryInfoCmd cmd;
    (void)cmd.ParseParam(task.args);
    if (cmd.Param("action") != word) {
        __builtin_trap();  // the server's own action word always comes first
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kMaxInput) {
        return 0;
    }
    std::string bytes(reinterpret_cast<const char *>(data), size);
    CheckTask(bytes, "fuzz", "show");
    (void)SvCMDtoXml(bytes);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        return 0;
    }
    int buf = static_cast<int>(kMaxInput * 2);
    (void)setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
    (void)!write(sv[0], data, size);
    close(sv[0]);  // the end of the stream
    std::string text;
    char user[CLI_USER_NAME_LEN] = {};
    char action[CLI_ACTION_NAME_LEN] = {};
    if (CliRecvMessage(sv[1], &text, user, action, nullptr, nullptr) == 0) {
        CheckTask(text, user, action);
    }
    close(sv[1]);
    return 0;
}
