#include "agent_test_util.h"

#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"
#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "data_collect/data_collect_master/dcm_rpc.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

namespace agent_test {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

int Connect(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

AgentProcess::AgentProcess(std::vector<std::string> args, std::string socketPath) : socket_(std::move(socketPath))
{
    args.insert(args.begin(), SPK_AGENT_BIN);
    args.insert(args.end(), {"--socket", socket_});
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
}

int AgentProcess::WaitExit(double seconds)
{
    int status = 0;
    for (auto start = Clock::now(); status_ == -1 && pid_ > 0; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        } else if (Since(start) >= seconds) {
            break;
        }
    }
    return status_ == 128 ? -1 : status_;
}

bool AgentProcess::WaitReady()
{
    for (auto start = Clock::now(); WaitExit(0) == -1 && Since(start) < 5.0;) {
        int fd = Connect(socket_);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int AgentProcess::Stop(int sig)
{
    if (WaitExit(0) == -1 && pid_ > 0) {
        kill(pid_, sig);
    }
    return WaitExit(5.0);
}

RawAnswer RawCall(const std::string &socketPath, const std::string &request, double timeoutSec)
{
    RawAnswer answer;
    auto start = Clock::now();
    int fd = Connect(socketPath);
    if (fd < 0) {
        return answer;
    }
    answer.connected = true;
    // Blocking with timeouts: a refused send (the agent stopped reading and
    // closed) still leaves its answer to read.
    timeval tv{static_cast<time_t>(timeoutSec), static_cast<suseconds_t>((timeoutSec - static_cast<int>(timeoutSec)) * 1e6)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    ssize_t n = 0;
    for (size_t sent = 0; sent < request.size() && n >= 0; sent += static_cast<size_t>(n)) {
        n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    }
    char buf[65536];
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) {
        answer.bytes.append(buf, static_cast<size_t>(n));
    }
    answer.seconds = Since(start);
    close(fd);
    return answer;
}

std::string DevicesParams(const std::vector<std::string> &devices, bool withPeriod)
{
    std::string text;
    for (const std::string &device : devices) {
        text += (text.empty() ? "\"" : ",\"") + device + "\"";
    }
    return "{\"devices\":[" + text + (withPeriod ? "],\"period\":\"20\"}" : "]}");
}

JsonPtr Call(const std::string &socketPath, const std::string &method, const std::string &paramsJson,
             size_t *answerBytes)
{
    RawAnswer raw = RawCall(socketPath, "{\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\",\"id\":7" +
                                            (paramsJson.empty() ? "" : ",\"params\":" + paramsJson) + "}");
    if (answerBytes != nullptr) {
        *answerBytes = raw.bytes.size();
    }
    return ParseJson(raw.bytes);
}

static_assert(+kBrief == +MESSAGE_DISK_BRIEF_INFO && +kBase == +MESSAGE_DISK_BASE_INFO &&
              +kHealth == +MESSAGE_DISK_HEALTH_INFO && +kIostat == +MESSAGE_DISK_IOSTAT &&
              +kMessageCount == +MESSAGE_TYPE_BUTT);

bool DaemonTakesEnvelope(const cJSON *answer) { return IsValidJsonResponse(answer); }

bool DaemonTakesResult(DaemonMessage type, const cJSON *answer, size_t asked)
{
    return IsValidJsonResponse(answer) &&
           g_validateResultStrategyMap[type](cJSON_GetObjectItem(answer, "result"), static_cast<uint32_t>(asked));
}

int DaemonCopy(DaemonMessage type, const cJSON *disk)
{
    // Room for the record of any message type.
    constexpr size_t kSize = std::max({sizeof(DiskBriefInfo), sizeof(DiskBaseInfo),
                                       sizeof(DiskHealthInfoSnWrap), sizeof(DiskIoInfoFrameSnWrap)});
    alignas(std::max_align_t) unsigned char record[kSize]{};
    return g_copyStructFromJsonStrategyMap[type](disk, record);
}

}  // namespace agent_test
