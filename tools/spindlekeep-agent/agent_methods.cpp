#include "agent_methods.h"

#include <cjson/cJSON.h>

#include <cstring>
#include <memory>

#include "agent_log.h"
#include "answer_build.h"

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// What a handler produces: a result object (owned by the caller) or an error.
struct HandlerOut {
    cJSON *result = nullptr;
    size_t asked = 0;  // devices named by the request
    int error = 0;
    std::string message;
};

using Handler = void (*)(const AgentContext &ctx, const std::string &method, const cJSON *params,
                         HandlerOut *out);
using DiskBuilder = cJSON *(*)(const DiskView &disk);

struct MethodRow {
    const char *name;
    uint8_t roles;
    bool control;  // served only with --control, never faulted
    Handler handler;
};

void Fail(HandlerOut *out, int code, const char *message)
{
    cJSON_Delete(out->result);
    out->result = nullptr;
    out->error = code;
    out->message = message;
}

// Starts a {"disks": []} result; false when memory runs out.
cJSON *NewDiskResult(HandlerOut *out)
{
    out->result = cJSON_CreateObject();
    cJSON *disks = out->result != nullptr ? cJSON_AddArrayToObject(out->result, "disks") : nullptr;
    if (disks == nullptr) {
        Fail(out, AGENT_RPC_INTERNAL_ERROR, "out of memory");
    }
    return disks;
}

bool AddDisk(cJSON *disks, DiskBuilder build, const DiskView &disk, HandlerOut *out)
{
    cJSON *item = build(disk);
    if (item == nullptr) {
        Fail(out, AGENT_RPC_INTERNAL_ERROR, "out of memory");
        return false;
    }
    cJSON_AddItemToArray(disks, item);
    return true;
}

void HandleBrief(const AgentContext &ctx, const std::string &, const cJSON *, HandlerOut *out)
{
    SourceSnapshot snap = ctx.source->Snapshot(ctx.role);
    cJSON *disks = NewDiskResult(out);
    size_t listed = 0;
    for (const DiskView &disk : snap.disks) {
        if (disks == nullptr || listed == 64) {
            break;
        }
        if (!AddDisk(disks, AnswerBriefDisk, disk, out)) {
            return;
        }
        ++listed;
    }
    if (snap.disks.size() > listed && disks != nullptr) {
        ALOG_WARN("device list cut from %zu to %zu disks", snap.disks.size(), listed);
    }
}

// The asked device names, or nullptr (with the error set) when params are bad.
const cJSON *AskedDevices(const cJSON *params, bool objects, HandlerOut *out)
{
    const cJSON *devices = cJSON_GetObjectItem(params, "devices");
    if (!cJSON_IsObject(params) || !cJSON_IsArray(devices)) {
        Fail(out, AGENT_RPC_INVALID_PARAMS, "params.devices must be an array");
        return nullptr;
    }
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, devices)
    {
        const cJSON *name = objects ? cJSON_GetObjectItem(item, "device_name") : item;
        if (!cJSON_IsString(name)) {
            Fail(out, AGENT_RPC_INVALID_PARAMS,
                 objects ? "params.devices must hold objects with a string device_name"
                         : "params.devices must hold device-name strings");
            return nullptr;
        }
    }
    out->asked = static_cast<size_t>(cJSON_GetArraySize(devices));
    return devices;
}

const DiskView *FindDevice(const SourceSnapshot &snap, const char *name)
{
    for (const DiskView &disk : snap.disks) {
        if (disk.id.device == name) {
            return &disk;
        }
    }
    return nullptr;
}

void AnswerAsked(const AgentContext &ctx, const cJSON *params, DiskBuilder build, HandlerOut *out,
                 SourceSnapshot *snap)
{
    const cJSON *devices = AskedDevices(params, false, out);
    if (devices == nullptr) {
        return;
    }
    *snap = ctx.source->Snapshot(ctx.role);
    cJSON *disks = NewDiskResult(out);
    const cJSON *name = nullptr;
    cJSON_ArrayForEach(name, devices)
    {
        const DiskView *disk = FindDevice(*snap, name->valuestring);
        if (disks == nullptr || (disk != nullptr && !AddDisk(disks, build, *disk, out))) {
            return;
        }
    }
}

void HandleBase(const AgentContext &ctx, const std::string &, const cJSON *params, HandlerOut *out)
{
    SourceSnapshot snap;
    AnswerAsked(ctx, params, AnswerBaseDisk, out, &snap);
}

void HandleHealth(const AgentContext &ctx, const std::string &, const cJSON *params,
                  HandlerOut *out)
{
    SourceSnapshot snap;
    AnswerAsked(ctx, params, AnswerHealthDisk, out, &snap);
}

void HandleIostat(const AgentContext &ctx, const std::string &, const cJSON *params,
                  HandlerOut *out)
{
    SourceSnapshot snap;
    AnswerAsked(ctx, params, AnswerIoDisk, out, &snap);
    if (out->result != nullptr &&
        (cJSON_AddStringToObject(out->result, "tick_rate", std::to_string(snap.tickRate).c_str()) ==
             nullptr ||
         cJSON_AddStringToObject(out->result, "ticks", std::to_string(snap.ticks).c_str()) ==
             nullptr)) {
        Fail(out, AGENT_RPC_INTERNAL_ERROR, "out of memory");
    }
}

// Slots are answered for any disk of the fleet, whichever agent lists it, as
// the daemon asks the kernel agent about NVMe disks of both agents.
void HandleSlot(const AgentContext &ctx, const std::string &, const cJSON *params, HandlerOut *out)
{
    const cJSON *devices = AskedDevices(params, true, out);
    if (devices == nullptr) {
        return;
    }
    SourceSnapshot snap = ctx.source->Snapshot(AGENT_ROLE_BOTH);
    cJSON *disks = NewDiskResult(out);
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, devices)
    {
        const char *name = cJSON_GetObjectItem(item, "device_name")->valuestring;
        const DiskView *disk = FindDevice(snap, name);
        if (disks == nullptr || disk == nullptr || disk->id.slot < 0) {
            continue;
        }
        cJSON *slot = cJSON_CreateObject();
        if (slot == nullptr || cJSON_AddStringToObject(slot, "device_name", name) == nullptr ||
            cJSON_AddNumberToObject(slot, "slot_id", static_cast<double>(disk->id.slot)) == nullptr) {
            cJSON_Delete(slot);
            Fail(out, AGENT_RPC_INTERNAL_ERROR, "out of memory");
            return;
        }
        cJSON_AddItemToArray(disks, slot);
    }
}

void HandleData(const AgentContext &ctx, const std::string &method, const cJSON *params,
                HandlerOut *out)
{
    std::string error;
    if (ctx.dataAgent == nullptr || !ctx.dataAgent->Handle(method, params, &out->result, &error)) {
        Fail(out, AGENT_RPC_INVALID_PARAMS, error.empty() ? "no data agent" : error.c_str());
    }
}

void HandleAdvance(const AgentContext &ctx, const std::string &, const cJSON *params,
                   HandlerOut *out)
{
    const cJSON *seconds = cJSON_GetObjectItem(params, "seconds");
    if (!cJSON_IsNumber(seconds) || !(seconds->valuedouble >= 0) || seconds->valuedouble > 1e9) {
        Fail(out, AGENT_RPC_INVALID_PARAMS, "params.seconds must be a number from 0");
        return;
    }
    if (!ctx.source->AdvanceTime(seconds->valuedouble)) {
        Fail(out, AGENT_RPC_INVALID_PARAMS, "host mode follows real time");
        return;
    }
    out->result = cJSON_CreateObject();
    cJSON_AddNumberToObject(out->result, "now", ctx.source->Now());
}

void HandleSetFault(const AgentContext &ctx, const std::string &, const cJSON *params,
                    HandlerOut *out)
{
    FaultRule rule;
    std::string error;
    if (!FaultRuleFromJson(params, &rule, &error)) {
        Fail(out, AGENT_RPC_INVALID_PARAMS, error.c_str());
        return;
    }
    ctx.faults->Add(rule);
    out->result = cJSON_CreateObject();
    cJSON_AddNumberToObject(out->result, "faults", static_cast<double>(ctx.faults->Size()));
}

void HandleClearFaults(const AgentContext &ctx, const std::string &, const cJSON *, HandlerOut *out)
{
    ctx.faults->Clear();
    out->result = cJSON_CreateObject();
    cJSON_AddNumberToObject(out->result, "faults", 0);
}

void HandleStatus(const AgentContext &ctx, const std::string &, const cJSON *, HandlerOut *out)
{
    out->result = cJSON_CreateObject();
    cJSON_AddStringToObject(out->result, "role", ctx.role == AGENT_ROLE_USER ? "user" : "kernel");
    cJSON_AddNumberToObject(out->result, "now", ctx.source->Now());
    cJSON_AddNumberToObject(out->result, "faults", static_cast<double>(ctx.faults->Size()));
}

constexpr MethodRow kMethods[] = {
    {"dca_get_disks_brief_info", AGENT_ROLE_BOTH, false, HandleBrief},
    {"dca_get_disks_base_info", AGENT_ROLE_BOTH, false, HandleBase},
    {"dca_get_disks_health_info", AGENT_ROLE_BOTH, false, HandleHealth},
    {"dca_get_disks_iostat", AGENT_ROLE_BOTH, false, HandleIostat},
    {"dca_get_disks_slotid", AGENT_ROLE_KERNEL, false, HandleSlot},
    {"dca_rebind_nvme2uio", AGENT_ROLE_USER, false, HandleData},
    {"dma_set_disk_info_inner", AGENT_ROLE_USER, false, HandleData},
    {"dma_set_disk_state", AGENT_ROLE_USER, false, HandleData},
    {"dma_set_disk_handle_strategy", AGENT_ROLE_USER, false, HandleData},
    {"dma_poweroff_disk", AGENT_ROLE_USER, false, HandleData},
    {"agent_advance_time", AGENT_ROLE_BOTH, true, HandleAdvance},
    {"agent_set_fault", AGENT_ROLE_BOTH, true, HandleSetFault},
    {"agent_clear_faults", AGENT_ROLE_BOTH, true, HandleClearFaults},
    {"agent_status", AGENT_ROLE_BOTH, true, HandleStatus},
};
static_assert(sizeof(kMethods) / sizeof(kMethods[0]) == 14);

const MethodRow *FindMethod(const AgentContext &ctx, const char *name)
{
    for (const MethodRow &row : kMethods) {
        if (strcmp(row.name, name) == 0 && (row.roles & ctx.role) != 0 &&
            (!row.control || ctx.control)) {
            return &row;
        }
    }
    return nullptr;
}

JsonPtr Envelope(const cJSON *id)
{
    JsonPtr answer(cJSON_CreateObject(), cJSON_Delete);
    if (answer != nullptr) {
        cJSON_AddStringToObject(answer.get(), "jsonrpc", "2.0");
        cJSON_AddItemToObject(answer.get(), "id",
                              cJSON_IsNumber(id) ? cJSON_CreateNumber(id->valuedouble)
                                                 : cJSON_CreateNull());
    }
    return answer;
}

std::string ErrorAnswer(const cJSON *id, int code, const std::string &message)
{
    JsonPtr answer = Envelope(id);
    cJSON *error = answer != nullptr ? cJSON_AddObjectToObject(answer.get(), "error") : nullptr;
    if (error == nullptr) {
        return "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32603,\"message\":\"out of memory\"}}";
    }
    cJSON_AddNumberToObject(error, "code", code);
    cJSON_AddStringToObject(error, "message", message.c_str());
    char *text = cJSON_PrintUnformatted(answer.get());
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

std::string Print(const cJSON *answer)
{
    char *text = cJSON_PrintUnformatted(answer);
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

// Drops disks from the end until the answer fits the daemon's receive.
std::string PrintWithinLimit(cJSON *answer, const char *method)
{
    std::string text = Print(answer);
    cJSON *disks = cJSON_GetObjectItem(cJSON_GetObjectItem(answer, "result"), "disks");
    int before = cJSON_GetArraySize(disks);
    while (text.size() > kAnswerLimit && cJSON_GetArraySize(disks) > 0) {
        cJSON_DeleteItemFromArray(disks, cJSON_GetArraySize(disks) - 1);
        text = Print(answer);
    }
    if (cJSON_GetArraySize(disks) != before) {
        ALOG_WARN("%s answer cut from %d to %d disks to stay within %zu bytes", method, before,
                  cJSON_GetArraySize(disks), kAnswerLimit);
    }
    return text;
}

AgentReply Finish(const cJSON *id, const MethodRow &row, HandlerOut *out, const FaultRule *fault)
{
    AgentReply reply;
    if (out->error != 0) {
        reply.bytes = ErrorAnswer(id, out->error, out->message);
        return reply;
    }
    JsonPtr answer = Envelope(id);
    if (answer == nullptr || out->result == nullptr) {
        cJSON_Delete(out->result);
        reply.bytes = ErrorAnswer(id, AGENT_RPC_INTERNAL_ERROR, "out of memory");
        return reply;
    }
    cJSON_AddItemToObject(answer.get(), "result", out->result);
    if (fault == nullptr) {
        reply.bytes = PrintWithinLimit(answer.get(), row.name);
        return reply;
    }
    reply.close = fault->mode == FaultMode::kClose;
    reply.delayMs = fault->mode == FaultMode::kDelay ? fault->delayMs : 0;
    reply.bytes = FaultApplyToAnswer(*fault, answer.get(), out->asked);
    if (reply.bytes.empty()) {
        reply.bytes = Print(answer.get());
    }
    return reply;
}

}  // namespace

std::string AgentErrorText(int code, const char *message) { return ErrorAnswer(nullptr, code, message); }

AgentReply AgentDispatch(const AgentContext &ctx, const char *text, size_t len)
{
    AgentReply reply;
    JsonPtr request(cJSON_ParseWithLength(text, len), cJSON_Delete);
    if (request == nullptr) {
        reply.bytes = ErrorAnswer(nullptr, AGENT_RPC_PARSE_ERROR, "Parse error");
        return reply;
    }
    const cJSON *id = cJSON_GetObjectItem(request.get(), "id");
    const cJSON *version = cJSON_GetObjectItem(request.get(), "jsonrpc");
    const cJSON *method = cJSON_GetObjectItem(request.get(), "method");
    if (!cJSON_IsObject(request.get()) || !cJSON_IsString(version) ||
        strcmp(version->valuestring, "2.0") != 0 || !cJSON_IsString(method)) {
        reply.bytes = ErrorAnswer(id, AGENT_RPC_INVALID_REQUEST,
                                  "Invalid Request: need \"jsonrpc\": \"2.0\" and a \"method\"");
        return reply;
    }
    const MethodRow *row = FindMethod(ctx, method->valuestring);
    if (row == nullptr) {
        reply.bytes = ErrorAnswer(id, AGENT_RPC_METHOD_NOT_FOUND,
                                  std::string("Method not found: ") + method->valuestring);
        return reply;
    }
    HandlerOut out;
    row->handler(ctx, row->name, cJSON_GetObjectItem(request.get(), "params"), &out);
    // A request the agent refuses anyway does not use up a fault.
    FaultRule fault;
    bool faulted = out.error == 0 && !row->control && ctx.faults != nullptr &&
                   ctx.faults->Take(row->name, &fault);
    return Finish(id, *row, &out, faulted ? &fault : nullptr);
}
