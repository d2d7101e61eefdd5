#include "fleet_file.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "agent_log.h"

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Reads a number member, also accepting "0x.." and decimal strings so that
// SCSI codes can be written the way data sheets print them.
bool ReadNumber(const cJSON *obj, const char *key, double min, double max, double *out,
                std::string *error)
{
    const cJSON *item = cJSON_GetObjectItem(obj, key);
    if (item == nullptr) {
        return true;
    }
    double value = 0;
    if (cJSON_IsNumber(item)) {
        value = item->valuedouble;
    } else if (cJSON_IsString(item) && item->valuestring[0] != '\0') {
        char *end = nullptr;
        value = static_cast<double>(strtoull(item->valuestring, &end, 0));
        if (end == nullptr || *end != '\0') {
            *error = std::string("\"") + key + "\" is not a number";
            return false;
        }
    } else {
        *error = std::string("\"") + key + "\" is not a number";
        return false;
    }
    if (!(value >= min && value <= max)) {
        *error = std::string("\"") + key + "\" is out of range";
        return false;
    }
    *out = value;
    return true;
}

template <typename T>
bool ReadInt(const cJSON *obj, const char *key, double min, double max, T *out, std::string *error)
{
    double value = static_cast<double>(*out);
    if (!ReadNumber(obj, key, min, max, &value, error)) {
        return false;
    }
    *out = static_cast<T>(value);
    return true;
}

bool ReadString(const cJSON *obj, const char *key, bool required, std::string *out,
                std::string *error)
{
    const cJSON *item = cJSON_GetObjectItem(obj, key);
    if (item == nullptr && !required) {
        return true;
    }
    if (!cJSON_IsString(item)) {
        *error = std::string("\"") + key + "\" must be a string";
        return false;
    }
    *out = item->valuestring;
    return true;
}

bool ReadRole(const cJSON *obj, uint8_t *roles, std::string *error)
{
    std::string role = "kernel";
    if (!ReadString(obj, "role", false, &role, error)) {
        return false;
    }
    if (role == "kernel") {
        *roles = AGENT_ROLE_KERNEL;
    } else if (role == "user") {
        *roles = AGENT_ROLE_USER;
    } else if (role == "both") {
        *roles = AGENT_ROLE_BOTH;
    } else {
        *error = "\"role\" must be \"kernel\", \"user\" or \"both\"";
        return false;
    }
    return true;
}

bool ReadCapacity(const cJSON *obj, uint64_t *capacity, std::string *error)
{
    const cJSON *item = cJSON_GetObjectItem(obj, "capacity");
    if (item == nullptr) {
        return true;
    }
    if (cJSON_IsString(item)) {
        const char *text = item->valuestring;
        char *end = nullptr;
        *capacity = strtoull(text, &end, 10);
        if (text[0] >= '0' && text[0] <= '9' && end != nullptr && *end == '\0') {
            return true;
        }
    } else if (cJSON_IsNumber(item) && item->valuedouble >= 0 && item->valuedouble < 1.8e19) {
        *capacity = static_cast<uint64_t>(item->valuedouble);
        return true;
    }
    *error = "\"capacity\" must be a number or a decimal-digit string";
    return false;
}

bool IsHdd(DiskType type)
{
    return type == DiskType::kSasHdd || type == DiskType::kSataHdd || type == DiskType::kNlSasHdd;
}

bool ReadIdentity(const cJSON *obj, DiskIdentity *id, std::string *error)
{
    std::string type;
    if (!ReadString(obj, "device_name", true, &id->device, error) ||
        !ReadString(obj, "serial_number", true, &id->serial, error) ||
        !ReadString(obj, "type", true, &type, error) ||
        !ReadString(obj, "vendor", true, &id->vendor, error) ||
        !ReadString(obj, "model", false, &id->model, error) ||
        !ReadString(obj, "firmware", false, &id->firmware, error) ||
        !ReadString(obj, "pci_address", false, &id->pci, error) ||
        !ReadCapacity(obj, &id->capacity, error) ||
        !ReadInt(obj, "sector_size", 0, 1048576, &id->sectorSize, error) ||
        !ReadInt(obj, "slot", -1, 4294967295.0, &id->slot, error) || !ReadRole(obj, &id->roles, error)) {
        return false;
    }
    if (!DiskTypeFromName(type, &id->type)) {
        *error = "unknown disk \"type\" \"" + type + "\"";
        return false;
    }
    id->media = IsHdd(id->type) ? "MAGNET" : "TLC";
    if (!ReadString(obj, "media_type", false, &id->media, error)) {
        return false;
    }
    if (!IsKnownMediaType(id->media)) {
        *error = "unknown \"media_type\" \"" + id->media + "\"";
        return false;
    }
    id->transport = "simulated";
    return true;
}

bool ReadSmart(const cJSON *list, DiskHealth *health, std::string *error)
{
    if (!cJSON_IsArray(list) || cJSON_GetArraySize(list) > static_cast<int>(kSmartAttrCount)) {
        *error = "\"smart\" must be an array of at most 30 attributes";
        return false;
    }
    health->smart = {};
    int index = 0;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list)
    {
        SmartAttr &attr = health->smart[static_cast<size_t>(index++)];
        attr.current = 100;
        attr.worst = 100;
        if (!ReadInt(item, "id", 1, 255, &attr.id, error) ||
            !ReadInt(item, "threshold", 0, 255, &attr.threshold, error) ||
            !ReadInt(item, "current", 0, 255, &attr.current, error) ||
            !ReadInt(item, "worst", 0, 255, &attr.worst, error)) {
            return false;
        }
        if (attr.id == 0) {
            *error = "a SMART attribute needs an \"id\"";
            return false;
        }
    }
    return true;
}

bool ReadHealth(const cJSON *obj, DiskType type, DiskHealth *health, std::string *error)
{
    if (type == DiskType::kSataSsd || type == DiskType::kSataHdd) {
        FleetDefaultSmart(health);
    }
    if (obj == nullptr) {
        return true;
    }
    if (!ReadInt(obj, "power_on_hours", 0, 4294967295.0, &health->powerOnHours, error) ||
        !ReadInt(obj, "wear", 0, 10000, &health->wear, error) ||
        !ReadInt(obj, "asc", 0, 255, &health->asc, error) ||
        !ReadInt(obj, "ascq", 0, 255, &health->ascq, error) ||
        !ReadInt(obj, "capacitance_id", 0, 255, &health->capacitanceId, error) ||
        !ReadInt(obj, "capacitance_status", 0, 255, &health->capacitanceStatus, error) ||
        !ReadInt(obj, "critical_warning", 0, 255, &health->criticalWarning, error)) {
        return false;
    }
    const cJSON *ie = cJSON_GetObjectItem(obj, "ie_log");
    if (ie != nullptr) {
        if (!cJSON_IsBool(ie)) {
            *error = "\"ie_log\" must be true or false";
            return false;
        }
        health->ieLog = cJSON_IsTrue(ie);
    }
    const cJSON *smart = cJSON_GetObjectItem(obj, "smart");
    return smart == nullptr || ReadSmart(smart, health, error);
}

LoadModel DefaultLoad(DiskType type)
{
    switch (type) {
        case DiskType::kNvmeSsd:
            return {20000, 10000, 80000, 40000, 90, 30, 35, 6, 128};
        case DiskType::kSasSsd:
            return {6000, 3000, 48000, 24000, 150, 60, 40, 8, 64};
        case DiskType::kSataSsd:
            return {3000, 1500, 24000, 12000, 200, 80, 35, 4, 32};
        case DiskType::kSasHdd:
            return {120, 60, 12000, 6000, 6000, 4000, 45, 3, 32};
        default:
            return {90, 45, 8000, 4000, 8000, 5000, 40, 2, 32};
    }
}

bool ReadLoad(const cJSON *obj, DiskType type, LoadModel *load, std::string *error)
{
    *load = DefaultLoad(type);
    if (obj == nullptr) {
        return true;
    }
    constexpr double kMax = 1e12;
    return ReadNumber(obj, "read_iops", 0, kMax, &load->readIops, error) &&
           ReadNumber(obj, "write_iops", 0, kMax, &load->writeIops, error) &&
           ReadNumber(obj, "read_kib_s", 0, kMax, &load->readKibS, error) &&
           ReadNumber(obj, "write_kib_s", 0, kMax, &load->writeKibS, error) &&
           ReadNumber(obj, "read_latency_us", 0, kMax, &load->readLatencyUs, error) &&
           ReadNumber(obj, "write_latency_us", 0, kMax, &load->writeLatencyUs, error) &&
           ReadNumber(obj, "util", 0, 100, &load->util, error) &&
           ReadInt(obj, "busy", 0, 4294967295.0, &load->busy, error) &&
           ReadInt(obj, "queue_depth", 0, 4294967295.0, &load->queueDepth, error);
}

bool CheckLengths(const DiskIdentity &id, std::string *error)
{
    struct Limit {
        const std::string *value;
        size_t size;
        const char *name;
    };
    const Limit limits[] = {{&id.serial, kSerialFieldSize, "serial_number"},
                            {&id.device, kDeviceFieldSize, "device_name"},
                            {&id.vendor, kVendorFieldSize, "vendor"},
                            {&id.model, kModelFieldSize, "model"},
                            {&id.firmware, kFirmwareFieldSize, "firmware"},
                            {&id.pci, kPciFieldSize, "pci_address"}};
    for (const Limit &limit : limits) {
        if (limit.value->size() >= limit.size) {
            *error = std::string("\"") + limit.name + "\" must be shorter than " +
                     std::to_string(limit.size) + " characters (set \"strict\": false to allow)";
            return false;
        }
    }
    if (id.serial.empty() || id.device.empty()) {
        *error = "\"serial_number\" and \"device_name\" must not be empty";
        return false;
    }
    return true;
}

bool ReadDisk(const cJSON *obj, bool strict, FleetDisk *disk, std::string *error)
{
    if (!cJSON_IsObject(obj)) {
        *error = "a disk must be an object";
        return false;
    }
    disk->id.firmware = "1.0";
    if (!ReadIdentity(obj, &disk->id, error) ||
        !ReadHealth(cJSON_GetObjectItem(obj, "health"), disk->id.type, &disk->health, error) ||
        !ReadLoad(cJSON_GetObjectItem(obj, "load"), disk->id.type, &disk->baseLoad, error)) {
        return false;
    }
    return !strict || CheckLengths(disk->id, error);
}

bool FindDisk(const Fleet &fleet, const std::string &name, size_t *index)
{
    for (size_t i = 0; i < fleet.disks.size(); ++i) {
        if (fleet.disks[i].id.serial == name || fleet.disks[i].id.device == name) {
            *index = i;
            return true;
        }
    }
    return false;
}

bool ReadEventParams(const cJSON *obj, const FleetDisk &disk, FleetEvent *event, std::string *error)
{
    switch (event->kind) {
        case FleetEventKind::kSlow:
            return ReadNumber(obj, "iops_factor", 0, 1e6, &event->iopsFactor, error) &&
                   ReadNumber(obj, "bandwidth_factor", 0, 1e6, &event->bandwidthFactor, error) &&
                   ReadNumber(obj, "latency_factor", 0, 1e6, &event->latencyFactor, error) &&
                   ReadNumber(obj, "util", 0, 100, &event->util, error) &&
                   ReadInt(obj, "busy", 0, 4294967295.0, &event->busy, error);
        case FleetEventKind::kWear:
            event->wearPerSecond = -1;
            if (!ReadNumber(obj, "per_second", 0, 1e6, &event->wearPerSecond, error) ||
                !ReadInt(obj, "until", 0, 10000, &event->wearUntil, error)) {
                return false;
            }
            if (event->wearPerSecond < 0) {
                *error = "a \"wear\" event needs \"per_second\"";
                return false;
            }
            return true;
        case FleetEventKind::kSmartFail:
            if (!ReadInt(obj, "id", 1, 255, &event->value1, error)) {
                return false;
            }
            for (const SmartAttr &attr : disk.health.smart) {
                if (attr.id == event->value1 && attr.threshold != 0) {
                    return true;
                }
            }
            *error = "a \"smart_fail\" event needs the \"id\" of an attribute with a threshold";
            return false;
        case FleetEventKind::kNvmeWarning:
            return ReadInt(obj, "bits", 0, 255, &event->value1, error);
        case FleetEventKind::kSense:
            event->value1 = 0x5D;
            return ReadInt(obj, "asc", 0, 255, &event->value1, error) &&
                   ReadInt(obj, "ascq", 0, 255, &event->value2, error);
        case FleetEventKind::kCapacitance:
            event->value1 = 0xF2;
            return ReadInt(obj, "id", 0, 255, &event->value1, error) &&
                   ReadInt(obj, "status", 0, 255, &event->value2, error);
        default:
            return true;
    }
}

bool ReadEvent(const cJSON *obj, const Fleet &fleet, FleetEvent *event, std::string *error)
{
    std::string diskName;
    std::string kind;
    if (!ReadString(obj, "disk", true, &diskName, error) ||
        !ReadString(obj, "type", true, &kind, error) ||
        !ReadNumber(obj, "at", 0, 1e9, &event->at, error)) {
        return false;
    }
    if (!FindDisk(fleet, diskName, &event->disk)) {
        *error = "event names the unknown disk \"" + diskName + "\"";
        return false;
    }
    size_t k = 0;
    while (k < static_cast<size_t>(FleetEventKind::kCount) &&
           kind != FleetEventKindName(static_cast<FleetEventKind>(k))) {
        ++k;
    }
    if (k == static_cast<size_t>(FleetEventKind::kCount)) {
        *error = "unknown event type \"" + kind + "\"";
        return false;
    }
    event->kind = static_cast<FleetEventKind>(k);
    return ReadEventParams(obj, fleet.disks[event->disk], event, error);
}

bool CheckUnique(const Fleet &fleet, std::string *error)
{
    std::set<std::string> serials;
    std::set<std::string> devices;
    size_t perRole[2] = {0, 0};
    for (const FleetDisk &disk : fleet.disks) {
        if (!serials.insert(disk.id.serial).second || !devices.insert(disk.id.device).second) {
            *error = "disk \"" + disk.id.device + "\" repeats a serial number or device name";
            return false;
        }
        perRole[0] += (disk.id.roles & AGENT_ROLE_KERNEL) != 0 ? 1 : 0;
        perRole[1] += (disk.id.roles & AGENT_ROLE_USER) != 0 ? 1 : 0;
    }
    if (perRole[0] > kFleetMaxDisksPerRole || perRole[1] > kFleetMaxDisksPerRole) {
        *error = "a role may list at most 64 disks";
        return false;
    }
    return true;
}

template <typename Fn>
bool ForEachIn(const cJSON *root, const char *key, Fn fn, std::string *error)
{
    const cJSON *list = cJSON_GetObjectItem(root, key);
    if (list == nullptr) {
        return true;
    }
    if (!cJSON_IsArray(list)) {
        *error = std::string("\"") + key + "\" must be an array";
        return false;
    }
    int index = 0;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list)
    {
        if (!fn(item)) {
            *error = std::string(key) + "[" + std::to_string(index) + "]: " + *error;
            return false;
        }
        ++index;
    }
    return true;
}

bool ParseRoot(const cJSON *root, Fleet *fleet, std::vector<FaultRule> *faults, std::string *error)
{
    bool strict = true;
    const cJSON *strictItem = cJSON_GetObjectItem(root, "strict");
    if (strictItem != nullptr) {
        strict = !cJSON_IsFalse(strictItem);
    }
    if (!ReadInt(root, "tick_rate", 1, 1e9, &fleet->tickRate, error)) {
        return false;
    }
    auto readDisk = [&](const cJSON *item) {
        FleetDisk disk;
        if (!ReadDisk(item, strict, &disk, error)) {
            return false;
        }
        fleet->disks.push_back(disk);
        return true;
    };
    auto readEvent = [&](const cJSON *item) {
        FleetEvent event;
        if (!ReadEvent(item, *fleet, &event, error)) {
            return false;
        }
        fleet->events.push_back(event);
        return true;
    };
    auto readFault = [&](const cJSON *item) {
        FaultRule rule;
        if (!FaultRuleFromJson(item, &rule, error)) {
            return false;
        }
        faults->push_back(rule);
        return true;
    };
    return ForEachIn(root, "disks", readDisk, error) && CheckUnique(*fleet, error) &&
           ForEachIn(root, "events", readEvent, error) && ForEachIn(root, "faults", readFault, error);
}

}  // namespace

void FleetDefaultSmart(DiskHealth *health)
{
    static constexpr uint8_t kIds[kSmartAttrCount] = {
        1,   5,   9,   12,  170, 171, 172, 173, 174, 175, 177, 179, 180, 181, 182,
        183, 184, 187, 188, 190, 194, 195, 196, 197, 198, 199, 231, 233, 241, 242};
    for (size_t i = 0; i < kSmartAttrCount; ++i) {
        SmartAttr &attr = health->smart[i];
        attr.id = kIds[i];
        attr.current = 100;
        attr.worst = 100;
        attr.threshold = (kIds[i] == 5 || kIds[i] == 1 || kIds[i] == 184 || kIds[i] == 196) ? 10 : 0;
    }
}

int FleetParse(const std::string &text, Fleet *fleet, std::vector<FaultRule> *faults,
               std::string *error)
{
    JsonPtr root(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
    if (!cJSON_IsObject(root.get())) {
        *error = "the fleet is not a JSON object";
        return -1;
    }
    Fleet parsed;
    std::vector<FaultRule> parsedFaults;
    if (!ParseRoot(root.get(), &parsed, &parsedFaults, error)) {
        return -1;
    }
    FleetReset(&parsed);
    *fleet = std::move(parsed);
    *faults = std::move(parsedFaults);
    return 0;
}

int FleetLoadFile(const std::string &path, Fleet *fleet, std::vector<FaultRule> *faults,
                  std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open fleet file " + path;
        return -1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (FleetParse(text.str(), fleet, faults, error) != 0) {
        *error = path + ": " + *error;
        return -1;
    }
    return 0;
}
