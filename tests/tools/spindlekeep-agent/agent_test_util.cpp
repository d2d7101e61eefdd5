#include "agent_test_util.h"

#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"
#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "data_collect/data_collect_master/dcm_rpc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace agent_test {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

JsonPtr ParseJson(const std::string &text)
{
    return JsonPtr(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

AgentProcess::AgentProcess(std::vector<std::string> args, std::string socketPath)
    : socket_(std::move(socketPath))
{
    args.insert(args.begin(), SPK_AGENT_BIN);
    args.push_back("--socket");
    args.push_back(socket_);
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
}

AgentProcess::~AgentProcess()
{
    if (Running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool AgentProcess::Running()
{
    if (pid_ <= 0 || exited_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return true;
    }
    exited_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
}

bool AgentProcess::WaitReady()
{
    for (auto start = Clock::now(); Running() && Since(start) < 5.0;) {
        int fd = Connect(socket_);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int AgentProcess::Stop()
{
    if (Running()) {
        kill(pid_, SIGTERM);
    }
    return WaitExit(5.0);
}

int AgentProcess::WaitExit(double seconds)
{
    auto start = Clock::now();
    while (Running() && Since(start) < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exited_ ? exitCode_ : -1;
}

RawAnswer RawCall(const std::string &socketPath, const std::string &request, double timeoutSec)
{
    RawAnswer answer;
    int fd = Connect(socketPath);
    if (fd < 0) {
        return answer;
    }
    answer.connected = true;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto start = Clock::now();
    size_t sent = 0;
    bool sending = !request.empty();
    char buf[65536];
    while (Since(start) < timeoutSec) {
        pollfd pfd{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        if (sending && (pfd.revents & POLLOUT) != 0) {
            ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            sending = n >= 0 && sent < request.size();
        }
        if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n > 0) {
                answer.bytes.append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
        }
    }
    answer.seconds = Since(start);
    close(fd);
    return answer;
}

std::string DevicesParams(const std::vector<std::string> &devices, bool withPeriod)
{
    std::string text = "{\"devices\":[";
    for (size_t i = 0; i < devices.size(); ++i) {
        text += (i == 0 ? "\"" : ",\"") + devices[i] + "\"";
    }
    return text + (withPeriod ? "],\"period\":\"20\"}" : "]}");
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

const cJSON *Member(const cJSON *obj, const char *key) { return cJSON_GetObjectItem(obj, key); }
const cJSON *Disks(const JsonPtr &answer) { return Member(Member(answer.get(), "result"), "disks"); }
const cJSON *Disk(const JsonPtr &answer, int i) { return cJSON_GetArrayItem(Disks(answer), i); }

std::vector<std::string> DeviceNames(const std::string &socketPath)
{
    std::vector<std::string> names;
    JsonPtr brief = Call(socketPath, "dca_get_disks_brief_info");
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, Disks(brief))
    {
        names.push_back(Member(disk, "device_name")->valuestring);
    }
    return names;
}

uint64_t Digits(const cJSON *value) { return ConvertDecimalStringToUint64(value); }

static_assert(+kBrief == +MESSAGE_DISK_BRIEF_INFO && +kBase == +MESSAGE_DISK_BASE_INFO &&
              +kHealth == +MESSAGE_DISK_HEALTH_INFO && +kIostat == +MESSAGE_DISK_IOSTAT &&
              +kMessageCount == +MESSAGE_TYPE_BUTT);

bool DaemonTakesEnvelope(const cJSON *answer) { return IsValidJsonResponse(answer); }

int DaemonCopy(DaemonMessage type, const cJSON *disk)
{
    DiskBriefInfo brief{};
    DiskBaseInfo base{};
    DiskHealthInfoSnWrap health{};
    DiskIoInfoFrameSnWrap io{};
    void *records[kMessageCount] = {&brief, &base, &health, &io};
    return g_copyStructFromJsonStrategyMap[type](disk, records[type]);
}

bool DaemonTakesResult(DaemonMessage type, const cJSON *answer, size_t asked)
{
    return IsValidJsonResponse(answer) &&
           g_validateResultStrategyMap[type](cJSON_GetObjectItem(answer, "result"), static_cast<uint32_t>(asked));
}

}  // namespace agent_test
