#include "agent_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// ---- the daemon's predicates ----
bool IsDigits(const cJSON *v)
{
    if (!cJSON_IsString(v) || v->valuestring[0] == '\0') {
        return false;
    }
    for (const char *p = v->valuestring; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

bool OneOfNoCase(const cJSON *v, std::initializer_list<const char *> names)
{
    if (!cJSON_IsString(v)) {
        return false;
    }
    for (const char *name : names) {
        if (strcasecmp(v->valuestring, name) == 0) {
            return true;
        }
    }
    return false;
}

bool IsDiskType(const cJSON *v)
{
    return OneOfNoCase(v, {"SSD_NVMe", "SSD_SAS", "SSD_SATA", "HDD_SAS", "HDD_SATA", "HDD_NL_SAS"});
}

bool IsMediaType(const cJSON *v) { return OneOfNoCase(v, {"SLC", "MLC", "TLC", "QLC", "PLC", "MAGNET"}); }
bool IsString(const cJSON *v) { return cJSON_IsString(v); }
bool IsNumber(const cJSON *v) { return cJSON_IsNumber(v); }
bool IsBool(const cJSON *v) { return cJSON_IsBool(v); }

struct Row {
    const char *key;
    bool (*check)(const cJSON *);
};

std::string RunRows(const cJSON *obj, std::initializer_list<Row> rows)
{
    if (!cJSON_IsObject(obj)) {
        return "(not an object)";
    }
    for (const Row &row : rows) {
        if (!row.check(cJSON_GetObjectItem(obj, row.key))) {
            return row.key;
        }
    }
    return "";
}

// The copier's bounded copies: a string of size or more characters fails.
std::string FitsField(const cJSON *obj, const char *key, size_t size)
{
    const cJSON *v = cJSON_GetObjectItem(obj, key);
    return (cJSON_IsString(v) && strlen(v->valuestring) >= size) ? std::string(key) + " too long" : "";
}

std::string SmartList(const cJSON *disk)
{
    const cJSON *list = cJSON_GetObjectItem(disk, "SMART_list");
    if (!cJSON_IsArray(list) || cJSON_GetArraySize(list) != 30) {
        return "SMART_list";
    }
    const cJSON *attr = nullptr;
    cJSON_ArrayForEach(attr, list)
    {
        std::string failed = RunRows(attr, {{"id", IsNumber},
                                            {"threshold", IsNumber},
                                            {"current_value", IsNumber},
                                            {"worst", IsNumber}});
        if (!failed.empty()) {
            return "SMART_list." + failed;
        }
    }
    return "";
}

}  // namespace

JsonPtr ParseJson(const std::string &text)
{
    return JsonPtr(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/spkag.XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
    auto start = Clock::now();
    while (Since(start) < 5.0) {
        int fd = Connect(socket_);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (!Running()) {
            return false;
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
    text += "]";
    text += withPeriod ? ",\"period\":\"20\"}" : "}";
    return text;
}

JsonPtr Call(const std::string &socketPath, const std::string &method, const std::string &paramsJson,
             size_t *answerBytes)
{
    std::string request = "{\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\",\"id\":7";
    if (!paramsJson.empty()) {
        request += ",\"params\":" + paramsJson;
    }
    request += "}";
    RawAnswer raw = RawCall(socketPath, request);
    if (answerBytes != nullptr) {
        *answerBytes = raw.bytes.size();
    }
    return ParseJson(raw.bytes);
}

const cJSON *Member(const cJSON *obj, const char *key) { return cJSON_GetObjectItem(obj, key); }

uint64_t Digits(const cJSON *value)
{
    uint64_t out = 0;
    for (const char *p = cJSON_IsString(value) ? value->valuestring : ""; *p != '\0'; ++p) {
        out = out * 10 + static_cast<uint64_t>(*p - '0');
    }
    return out;
}

std::string CheckEnvelope(const cJSON *answer)
{
    const cJSON *version = cJSON_GetObjectItem(answer, "jsonrpc");
    if (!cJSON_IsString(version) || strcmp(version->valuestring, "2.0") != 0) {
        return "jsonrpc";
    }
    if (!cJSON_IsNumber(cJSON_GetObjectItem(answer, "id"))) {
        return "id";
    }
    return cJSON_GetObjectItem(answer, "result") != nullptr ? "" : "result";
}

std::string CheckBriefResult(const cJSON *result)
{
    const cJSON *disks = cJSON_GetObjectItem(result, "disks");
    return cJSON_IsArray(disks) && cJSON_GetArraySize(disks) <= 64 ? "" : "disks";
}

std::string CheckBatchResult(const cJSON *result, size_t asked, bool iostat)
{
    const cJSON *disks = cJSON_GetObjectItem(result, "disks");
    if (!cJSON_IsArray(disks) || static_cast<size_t>(cJSON_GetArraySize(disks)) > asked) {
        return "disks";
    }
    if (iostat) {
        return RunRows(result, {{"tick_rate", IsDigits}, {"ticks", IsDigits}});
    }
    return "";
}

std::string CheckBriefDisk(const cJSON *disk)
{
    std::string failed = RunRows(disk, {{"device_name", IsString}, {"serial_number", IsString}});
    if (failed.empty()) {
        failed = FitsField(disk, "serial_number", 40) + FitsField(disk, "device_name", 20);
    }
    return failed;
}

std::string CheckBaseDisk(const cJSON *disk)
{
    std::string failed = RunRows(disk, {{"device_name", IsString},
                                        {"serial_number", IsString},
                                        {"vendor_id", IsString},
                                        {"disk_type", IsDiskType},
                                        {"disk_media_type", IsMediaType},
                                        {"model_number", IsString},
                                        {"firmware_revision", IsString},
                                        {"disk_capacity", IsDigits},
                                        {"sector_size", IsNumber}});
    if (!failed.empty()) {
        return failed;
    }
    if (OneOfNoCase(cJSON_GetObjectItem(disk, "disk_type"), {"SSD_NVMe"}) &&
        !cJSON_IsString(cJSON_GetObjectItem(disk, "pci_address"))) {
        return "pci_address";
    }
    return FitsField(disk, "serial_number", 40) + FitsField(disk, "device_name", 20) +
           FitsField(disk, "vendor_id", 10) + FitsField(disk, "model_number", 44) +
           FitsField(disk, "firmware_revision", 10) + FitsField(disk, "pci_address", 256);
}

std::string CheckHealthDisk(const cJSON *disk)
{
    std::string failed = RunRows(disk, {{"serial_number", IsString},
                                        {"power_on_hours", IsNumber},
                                        {"wear", IsNumber},
                                        {"disk_type", IsDiskType},
                                        {"vendor_id", IsString}});
    if (!failed.empty()) {
        return failed;
    }
    const cJSON *type = cJSON_GetObjectItem(disk, "disk_type");
    const cJSON *vendor = cJSON_GetObjectItem(disk, "vendor_id");
    if (OneOfNoCase(type, {"SSD_NVMe"})) {
        return RunRows(disk, {{"critical_warning", IsNumber}});
    }
    if (OneOfNoCase(type, {"SSD_SATA"})) {
        return SmartList(disk);
    }
    if (OneOfNoCase(type, {"SSD_SAS"})) {
        if (OneOfNoCase(vendor, {"KORVAN", "TELMAR", "OSKEN", "0x1c7f"})) {
            return RunRows(disk, {{"capacitance_id", IsNumber}, {"capacitance_status", IsNumber}});
        }
        return RunRows(disk, {{"ASC", IsNumber}, {"ASCQ", IsNumber}});
    }
    if (OneOfNoCase(type, {"HDD_SAS", "HDD_NL_SAS"})) {
        return RunRows(disk, {{"is_support_ie_log", IsBool}, {"ASC", IsNumber}, {"ASCQ", IsNumber}});
    }
    return "disk_type HDD_SATA has no health check list";
}

std::string CheckIoDisk(const cJSON *disk)
{
    std::string failed = RunRows(disk, {{"serial_number", IsString},
                                        {"queue_depth", IsNumber},
                                        {"io_busy_num", IsNumber},
                                        {"io_time", IsDigits},
                                        {"bytes_read", IsDigits},
                                        {"bytes_written", IsDigits},
                                        {"num_read_ops", IsDigits},
                                        {"num_write_ops", IsDigits},
                                        {"read_latency_ticks", IsDigits},
                                        {"write_latency_ticks", IsDigits}});
    return failed.empty() ? FitsField(disk, "serial_number", 40) : failed;
}

}  // namespace agent_test
