#include "data_agent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "agent_log.h"
#include "json_number.h"

namespace {

using CheckFn = bool (*)(const cJSON *params, std::string *error);
using ApplyFn = void (*)(const cJSON *params, DmaDiskRecord *disk);

double UnixNow()
{
    auto ts = timespec{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool Need(const cJSON *params, const char *key, cJSON_bool (*is)(const cJSON *), const char *what,
          std::string *error)
{
    if (!is(cJSON_GetObjectItem(params, key))) {
        *error = std::string("params.") + key + " must be " + what;
        return false;
    }
    return true;
}

bool CheckSn(const cJSON *params, std::string *error)
{
    return Need(params, "sn", cJSON_IsString, "a string", error);
}

bool CheckInfo(const cJSON *params, std::string *error)
{
    return CheckSn(params, error) && Need(params, "disk_state", cJSON_IsNumber, "a number", error) &&
           Need(params, "disk_capacity", cJSON_IsNumber, "a number", error) &&
           Need(params, "vendor", cJSON_IsString, "a string", error) &&
           Need(params, "model", cJSON_IsString, "a string", error) &&
           Need(params, "device_name", cJSON_IsString, "a string", error) &&
           Need(params, "disk_type", cJSON_IsNumber, "a number", error);
}

bool CheckState(const cJSON *params, std::string *error)
{
    return CheckSn(params, error) && Need(params, "disk_state", cJSON_IsNumber, "a number", error);
}

bool CheckStrategy(const cJSON *params, std::string *error)
{
    return CheckSn(params, error) &&
           Need(params, "disk_handle_strategy", cJSON_IsString, "a string", error);
}

bool CheckRebind(const cJSON *params, std::string *error)
{
    return Need(params, "pci_address", cJSON_IsString, "a string", error);
}

const char *Str(const cJSON *params, const char *key)
{
    return cJSON_GetObjectItem(params, key)->valuestring;
}

double Num(const cJSON *params, const char *key)
{
    return cJSON_GetObjectItem(params, key)->valuedouble;
}

void ApplyInfo(const cJSON *params, DmaDiskRecord *disk)
{
    disk->hasInfo = true;
    disk->state = JsonNumberTo<int64_t>(Num(params, "disk_state"));
    disk->capacity = Num(params, "disk_capacity");
    disk->vendor = Str(params, "vendor");
    disk->model = Str(params, "model");
    disk->device = Str(params, "device_name");
    disk->diskType = JsonNumberTo<int64_t>(Num(params, "disk_type"));
    disk->poweredOff = false;
}

void ApplyState(const cJSON *params, DmaDiskRecord *disk)
{
    disk->state = JsonNumberTo<int64_t>(Num(params, "disk_state"));
}

void ApplyStrategy(const cJSON *params, DmaDiskRecord *disk)
{
    disk->hasStrategy = true;
    disk->strategy = Str(params, "disk_handle_strategy");
}

void ApplyPowerOff(const cJSON *, DmaDiskRecord *disk) { disk->poweredOff = true; }

struct MessageRow {
    const char *method;
    CheckFn check;
    ApplyFn apply;  // nullptr: recorded only, no per-disk state
};

constexpr MessageRow kMessageRows[] = {
    {"dma_set_disk_info_inner", CheckInfo, ApplyInfo},
    {"dma_set_disk_state", CheckState, ApplyState},
    {"dma_set_disk_handle_strategy", CheckStrategy, ApplyStrategy},
    {"dma_poweroff_disk", CheckSn, ApplyPowerOff},
    {"dca_rebind_nvme2uio", CheckRebind, nullptr},
};
static_assert(sizeof(kMessageRows) / sizeof(kMessageRows[0]) == 5);

const MessageRow *FindRow(const std::string &method)
{
    for (const MessageRow &row : kMessageRows) {
        if (method == row.method) {
            return &row;
        }
    }
    return nullptr;
}

bool AppendLine(const std::string &path, const std::string &line)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    ssize_t n = write(fd, line.data(), line.size());
    close(fd);
    return n == static_cast<ssize_t>(line.size());
}

}  // namespace

bool DataAgentPrepareDir(const std::string &dir, std::string *error)
{
    error->clear();
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = dir + " is not a directory: " + strerror(errno);
    } else if (st.st_uid != geteuid() && st.st_uid != 0) {
        *error = dir + " belongs to uid " + std::to_string(st.st_uid) + ", not to this user";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *error = dir + " is writable by other users";
    }
    if (fd >= 0) {
        close(fd);
    }
    return error->empty();
}

DataAgent::DataAgent(DataAgentOptions options) : options_(std::move(options)) {}

bool DataAgent::Handles(const std::string &method) { return FindRow(method) != nullptr; }

bool DataAgent::Handle(const std::string &method, const cJSON *params, cJSON **result,
                       std::string *error)
{
    const MessageRow *row = FindRow(method);
    std::lock_guard<std::mutex> lock(mutex_);
    error->clear();
    if (row == nullptr) {
        *error = "not a data-agent method";
    } else if (!cJSON_IsObject(params)) {
        *error = "params must be an object";
    } else {
        row->check(params, error);
    }
    Record(method, params, *error);
    if (!error->empty()) {
        ++state_.rejected[method];
        Publish();
        return false;
    }
    ++state_.accepted[method];
    if (row->apply != nullptr) {
        DmaDiskRecord &disk = state_.disks[Str(params, "sn")];
        row->apply(params, &disk);
        disk.updated = UnixNow();
    }
    Publish();
    *result = cJSON_CreateObject();
    if (*result != nullptr) {
        cJSON_AddStringToObject(*result, "status", "ok");
    }
    return true;
}

void DataAgent::Freeze() { mutex_.lock(); }

void DataAgent::Record(const std::string &method, const cJSON *params, const std::string &error)
{
    if (options_.recordPath.empty()) {
        return;
    }
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> line(cJSON_CreateObject(), cJSON_Delete);
    if (line == nullptr) {
        return;
    }
    cJSON_AddNumberToObject(line.get(), "time", UnixNow());
    cJSON_AddStringToObject(line.get(), "method", method.c_str());
    cJSON *copy = params != nullptr ? cJSON_Duplicate(params, true) : cJSON_CreateNull();
    cJSON_AddItemToObject(line.get(), "params", copy);
    cJSON_AddBoolToObject(line.get(), "accepted", error.empty());
    if (!error.empty()) {
        cJSON_AddStringToObject(line.get(), "error", error.c_str());
    }
    char *text = cJSON_PrintUnformatted(line.get());
    if (text == nullptr) {
        return;
    }
    if (!AppendLine(options_.recordPath, std::string(text) + "\n")) {
        ALOG_WARN("cannot append to %s: %s", options_.recordPath.c_str(), strerror(errno));
    }
    cJSON_free(text);
}

void DataAgent::Publish()
{
    if (options_.promDir.empty()) {
        return;
    }
    int err = PromWriteAtomic(options_.promDir, PromRender(state_));
    if (err != 0) {
        ALOG_WARN("cannot write %s/spindlekeep.prom: %s", options_.promDir.c_str(), strerror(err));
    }
}
