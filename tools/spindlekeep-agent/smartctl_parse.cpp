#include "smartctl_parse.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>

#include "json_number.h"

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// SCSI "failure prediction threshold exceeded", reported when smartctl only
// gives a failed verdict without the sense code.
constexpr uint8_t kAscFailurePrediction = 0x5D;
constexpr uint8_t kAscqUnspecified = 0xFF;

const cJSON *Path(const cJSON *obj, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        obj = cJSON_GetObjectItemCaseSensitive(obj, key);
    }
    return obj;
}

double NumberAt(const cJSON *obj, std::initializer_list<const char *> keys, double fallback)
{
    const cJSON *item = Path(obj, keys);
    return cJSON_IsNumber(item) ? item->valuedouble : fallback;
}

void StringAt(const cJSON *obj, const char *key, std::string *out)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (cJSON_IsString(item)) {
        *out = item->valuestring;
    }
}

uint8_t Byte(double value)
{
    return value <= 0 ? 0 : (value >= 255 ? 255 : static_cast<uint8_t>(value));
}

uint32_t WearFromPercent(double percent)
{
    return percent <= 0 ? 0 : (percent >= 100 ? 10000 : static_cast<uint32_t>(percent * 100));
}

void ReadAtaAttributes(const cJSON *root, SmartctlInfo *info)
{
    const cJSON *table = Path(root, {"ata_smart_attributes", "table"});
    size_t index = 0;
    const cJSON *row = nullptr;
    cJSON_ArrayForEach(row, table)
    {
        if (index == kSmartAttrCount) {
            break;
        }
        SmartAttr &attr = info->health.smart[index++];
        attr.id = Byte(NumberAt(row, {"id"}, 0));
        attr.current = Byte(NumberAt(row, {"value"}, 0));
        attr.worst = Byte(NumberAt(row, {"worst"}, 0));
        attr.threshold = Byte(NumberAt(row, {"thresh"}, 0));
    }
    info->attributeCount = index;
}

// Wear of an ATA SSD: the device statistics' endurance indicator when present,
// else the normalised value of a vendor's life attribute (100 = new).
uint32_t AtaWear(const cJSON *root, const SmartctlInfo &info)
{
    const cJSON *page = nullptr;
    cJSON_ArrayForEach(page, Path(root, {"ata_device_statistics", "pages"}))
    {
        const cJSON *entry = nullptr;
        cJSON_ArrayForEach(entry, cJSON_GetObjectItemCaseSensitive(page, "table"))
        {
            const cJSON *name = cJSON_GetObjectItemCaseSensitive(entry, "name");
            if (cJSON_IsString(name) &&
                std::string(name->valuestring) == "Percentage Used Endurance Indicator") {
                return WearFromPercent(NumberAt(entry, {"value"}, 0));
            }
        }
    }
    for (size_t i = 0; i < info.attributeCount; ++i) {
        const SmartAttr &attr = info.health.smart[i];
        if (attr.id == 177 || attr.id == 231 || attr.id == 233) {
            return WearFromPercent(100.0 - attr.current);
        }
    }
    return 0;
}

void ReadNvme(const cJSON *root, SmartctlInfo *info)
{
    const cJSON *log = cJSON_GetObjectItemCaseSensitive(root, "nvme_smart_health_information_log");
    info->health.criticalWarning = Byte(NumberAt(log, {"critical_warning"}, 0));
    info->health.wear = WearFromPercent(NumberAt(log, {"percentage_used"}, 0));
    if (info->health.powerOnHours == 0) {
        info->health.powerOnHours = JsonNumberTo<uint32_t>(NumberAt(log, {"power_on_hours"}, 0));
    }
    const cJSON *vendor = Path(root, {"nvme_pci_vendor", "id"});
    if (cJSON_IsNumber(vendor) && vendor->valuedouble >= 0 && vendor->valuedouble <= 0xFFFF) {
        char text[8];
        snprintf(text, sizeof(text), "0x%04x", static_cast<unsigned>(vendor->valuedouble));
        info->vendor = text;
    }
}

void ReadScsi(const cJSON *root, SmartctlInfo *info)
{
    StringAt(root, "vendor", &info->vendor);
    StringAt(root, "product", &info->model);
    StringAt(root, "revision", &info->firmware);
    const cJSON *sense = Path(root, {"smart_status", "scsi"});
    if (cJSON_IsObject(sense)) {
        info->health.ieLog = true;
        info->health.asc = Byte(NumberAt(sense, {"asc"}, 0));
        info->health.ascq = Byte(NumberAt(sense, {"ascq"}, 0));
        return;
    }
    info->health.ieLog = false;
    if (info->statusKnown && !info->passed) {
        info->health.asc = kAscFailurePrediction;
        info->health.ascq = kAscqUnspecified;
    }
}

std::string Protocol(const cJSON *root)
{
    std::string protocol;
    StringAt(cJSON_GetObjectItemCaseSensitive(root, "device"), "protocol", &protocol);
    if (!protocol.empty()) {
        return protocol;
    }
    if (cJSON_HasObjectItem(root, "nvme_smart_health_information_log")) {
        return "NVMe";
    }
    if (cJSON_HasObjectItem(root, "ata_smart_attributes")) {
        return "ATA";
    }
    return cJSON_HasObjectItem(root, "scsi_version") ? "SCSI" : "";
}

void ReadCommon(const cJSON *root, SmartctlInfo *info)
{
    StringAt(root, "serial_number", &info->serial);
    StringAt(root, "model_name", &info->model);
    StringAt(root, "firmware_version", &info->firmware);
    info->capacity = JsonNumberTo<uint64_t>(NumberAt(root, {"user_capacity", "bytes"}, 0));
    info->blockSize = JsonNumberTo<uint32_t>(NumberAt(root, {"logical_block_size"}, 0));
    info->rotation = JsonNumberTo<int64_t>(NumberAt(root, {"rotation_rate"}, -1));
    info->health.powerOnHours = JsonNumberTo<uint32_t>(NumberAt(root, {"power_on_time", "hours"}, 0));
    const cJSON *passed = Path(root, {"smart_status", "passed"});
    info->statusKnown = cJSON_IsBool(passed);
    info->passed = !cJSON_IsFalse(passed);
}

}  // namespace

bool SmartctlParse(const char *text, size_t len, SmartctlInfo *info, std::string *error)
{
    JsonPtr root(cJSON_ParseWithLength(text, len), cJSON_Delete);
    if (!cJSON_IsObject(root.get())) {
        *error = "smartctl output is not a JSON object";
        return false;
    }
    SmartctlInfo parsed;
    parsed.protocol = Protocol(root.get());
    ReadCommon(root.get(), &parsed);
    if (parsed.protocol == "NVMe") {
        ReadNvme(root.get(), &parsed);
    } else if (parsed.protocol == "SCSI") {
        ReadScsi(root.get(), &parsed);
    } else {
        ReadAtaAttributes(root.get(), &parsed);
        parsed.health.wear = parsed.rotation > 0 ? 0 : AtaWear(root.get(), parsed);
    }
    *info = std::move(parsed);
    return true;
}
