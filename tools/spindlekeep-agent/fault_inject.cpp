#include "fault_inject.h"

#include <strings.h>

#include <charconv>
#include <cmath>

#include "agent_log.h"
#include "json_number.h"

namespace {

constexpr const char *kFaultModeNames[] = {"delay",        "close",       "garbage", "oversize",
                                           "bad_envelope", "extra_disks", "partial"};
static_assert(sizeof(kFaultModeNames) / sizeof(kFaultModeNames[0]) ==
              static_cast<size_t>(FaultMode::kCount));

constexpr const char kGarbage[] = "\x01\x02 this is not JSON {{{ ]]] \xff";

cJSON *ResultDisks(cJSON *answer)
{
    cJSON *result = cJSON_GetObjectItem(answer, "result");
    cJSON *disks = cJSON_GetObjectItem(result, "disks");
    return cJSON_IsArray(disks) ? disks : nullptr;
}

void AddExtraDisks(cJSON *disks, size_t asked)
{
    // The device list has no asked count: go one past the daemon's 64.
    size_t target = asked == 0 ? 65 : asked + 1;
    int have = cJSON_GetArraySize(disks);
    for (size_t n = static_cast<size_t>(have); n < target; ++n) {
        cJSON *copy = nullptr;
        if (have > 0) {
            copy = cJSON_Duplicate(cJSON_GetArrayItem(disks, static_cast<int>(n % have)), true);
        } else {
            copy = cJSON_CreateObject();
        }
        if (copy == nullptr) {
            return;
        }
        std::string serial = "EXTRA" + std::to_string(n);
        cJSON_DeleteItemFromObject(copy, "serial_number");
        cJSON_AddStringToObject(copy, "serial_number", serial.c_str());
        if (!cJSON_HasObjectItem(copy, "device_name")) {
            cJSON_AddStringToObject(copy, "device_name", ("extra" + std::to_string(n)).c_str());
        }
        cJSON_AddItemToArray(disks, copy);
    }
}

void KeepFirstHalf(cJSON *disks)
{
    int size = cJSON_GetArraySize(disks);
    int keep = size / 2;
    for (int i = size - 1; i >= keep; --i) {
        cJSON_DeleteItemFromArray(disks, i);
    }
}

void BreakEnvelope(cJSON *answer)
{
    cJSON_ReplaceItemInObject(answer, "jsonrpc", cJSON_CreateString("1.0"));
    cJSON *id = cJSON_GetObjectItem(answer, "id");
    std::string idText = cJSON_IsNumber(id) ? std::to_string(JsonNumberTo<int64_t>(id->valuedouble))
                                            : std::string("1");
    cJSON_ReplaceItemInObject(answer, "id", cJSON_CreateString(idText.c_str()));
    cJSON *result = cJSON_DetachItemFromObject(answer, "result");
    if (result != nullptr) {
        cJSON_AddItemToObject(answer, "data", result);
    }
}

void Inflate(cJSON *answer)
{
    std::string padding(kAnswerLimit + 512, 'x');
    cJSON_AddStringToObject(answer, "padding", padding.c_str());
}

bool ParseCount(std::string_view text, int64_t *count)
{
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1) {
        return false;
    }
    *count = value;
    return true;
}

}  // namespace

const char *FaultModeName(FaultMode mode)
{
    size_t index = static_cast<size_t>(mode);
    return index < static_cast<size_t>(FaultMode::kCount) ? kFaultModeNames[index] : "?";
}

bool FaultModeFromName(std::string_view name, FaultMode *mode)
{
    for (size_t i = 0; i < static_cast<size_t>(FaultMode::kCount); ++i) {
        if (name == kFaultModeNames[i]) {
            *mode = static_cast<FaultMode>(i);
            return true;
        }
    }
    return false;
}

bool FaultRuleFromJson(const cJSON *item, FaultRule *rule, std::string *error)
{
    const cJSON *method = cJSON_GetObjectItem(item, "method");
    const cJSON *mode = cJSON_GetObjectItem(item, "mode");
    if (!cJSON_IsString(method) || !cJSON_IsString(mode)) {
        *error = "a fault needs the strings \"method\" and \"mode\"";
        return false;
    }
    FaultRule parsed;
    parsed.method = method->valuestring;
    if (!FaultModeFromName(mode->valuestring, &parsed.mode)) {
        *error = std::string("unknown fault mode \"") + mode->valuestring + "\"";
        return false;
    }
    const cJSON *count = cJSON_GetObjectItem(item, "count");
    if (count != nullptr) {
        if (!cJSON_IsNumber(count) || count->valuedouble < 1 || count->valuedouble > 1e9) {
            *error = "fault \"count\" must be a number from 1";
            return false;
        }
        parsed.remaining = static_cast<int64_t>(count->valuedouble);
    }
    const cJSON *delay = cJSON_GetObjectItem(item, "delay_ms");
    if (delay != nullptr) {
        if (!cJSON_IsNumber(delay) || delay->valuedouble < 0 || delay->valuedouble > 600000) {
            *error = "fault \"delay_ms\" must be a number from 0 to 600000";
            return false;
        }
        parsed.delayMs = static_cast<uint32_t>(delay->valuedouble);
    }
    *rule = parsed;
    return true;
}

bool FaultRuleFromSpec(std::string_view spec, FaultRule *rule, std::string *error)
{
    size_t eq = spec.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        *error = "a fault is METHOD=MODE[:COUNT]";
        return false;
    }
    FaultRule parsed;
    parsed.method = std::string(spec.substr(0, eq));
    std::string_view rest = spec.substr(eq + 1);
    size_t colon = rest.find(':');
    std::string_view modeName = rest.substr(0, colon);
    if (!FaultModeFromName(modeName, &parsed.mode)) {
        *error = "unknown fault mode \"" + std::string(modeName) + "\"";
        return false;
    }
    if (colon != std::string_view::npos && !ParseCount(rest.substr(colon + 1), &parsed.remaining)) {
        *error = "fault COUNT must be a whole number from 1";
        return false;
    }
    *rule = parsed;
    return true;
}

void FaultTable::Add(const FaultRule &rule)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(rule);
}

void FaultTable::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

size_t FaultTable::Size()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.size();
}

bool FaultTable::Take(std::string_view method, FaultRule *rule)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->method != "*" && it->method != method) {
            continue;
        }
        *rule = *it;
        if (it->remaining > 0 && --it->remaining == 0) {
            rules_.erase(it);
        }
        ALOG_INFO("fault %s injected into %.*s", FaultModeName(rule->mode),
                  static_cast<int>(method.size()), method.data());
        return true;
    }
    return false;
}

std::string FaultApplyToAnswer(const FaultRule &rule, cJSON *answer, size_t asked)
{
    switch (rule.mode) {
        case FaultMode::kGarbage:
            return std::string(kGarbage, sizeof(kGarbage) - 1);
        case FaultMode::kOversize:
            Inflate(answer);
            break;
        case FaultMode::kBadEnvelope:
            BreakEnvelope(answer);
            break;
        case FaultMode::kExtraDisks:
            if (cJSON *disks = ResultDisks(answer)) {
                AddExtraDisks(disks, asked);
            }
            break;
        case FaultMode::kPartial:
            if (cJSON *disks = ResultDisks(answer)) {
                KeepFirstHalf(disks);
            }
            break;
        default:
            break;
    }
    return std::string();
}
