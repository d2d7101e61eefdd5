#include "answer_build.h"

#include <string>

namespace {

bool AddDigits(cJSON *obj, const char *key, uint64_t value)
{
    return cJSON_AddStringToObject(obj, key, std::to_string(value).c_str()) != nullptr;
}

bool AddSmartList(cJSON *obj, const DiskHealth &health)
{
    cJSON *list = cJSON_AddArrayToObject(obj, "SMART_list");
    if (list == nullptr) {
        return false;
    }
    for (const SmartAttr &attr : health.smart) {
        cJSON *item = cJSON_CreateObject();
        if (item == nullptr) {
            return false;
        }
        cJSON_AddItemToArray(list, item);
        if (cJSON_AddNumberToObject(item, "id", attr.id) == nullptr ||
            cJSON_AddNumberToObject(item, "threshold", attr.threshold) == nullptr ||
            cJSON_AddNumberToObject(item, "current_value", attr.current) == nullptr ||
            cJSON_AddNumberToObject(item, "worst", attr.worst) == nullptr) {
            return false;
        }
    }
    return true;
}

bool AddSense(cJSON *obj, const DiskHealth &health, bool withIeFlag)
{
    if (withIeFlag && cJSON_AddBoolToObject(obj, "is_support_ie_log", health.ieLog) == nullptr) {
        return false;
    }
    return cJSON_AddNumberToObject(obj, "ASC", health.asc) != nullptr &&
           cJSON_AddNumberToObject(obj, "ASCQ", health.ascq) != nullptr;
}

bool AddTypePayload(cJSON *obj, const DiskView &disk)
{
    const DiskHealth &health = disk.health;
    switch (disk.id.type) {
        case DiskType::kNvmeSsd:
            return cJSON_AddNumberToObject(obj, "critical_warning", health.criticalWarning) !=
                   nullptr;
        case DiskType::kSataSsd:
        case DiskType::kSataHdd:
            return AddSmartList(obj, health);
        case DiskType::kSasSsd:
            if (IsPlatformVendor(disk.id.vendor)) {
                return cJSON_AddNumberToObject(obj, "capacitance_id", health.capacitanceId) !=
                           nullptr &&
                       cJSON_AddNumberToObject(obj, "capacitance_status",
                                               health.capacitanceStatus) != nullptr;
            }
            return AddSense(obj, health, false);
        default:
            return AddSense(obj, health, true);
    }
}

cJSON *FinishOrDrop(cJSON *obj, bool ok)
{
    if (!ok) {
        cJSON_Delete(obj);
        return nullptr;
    }
    return obj;
}

}  // namespace

cJSON *AnswerBriefDisk(const DiskView &disk)
{
    cJSON *obj = cJSON_CreateObject();
    if (obj == nullptr) {
        return nullptr;
    }
    bool ok = cJSON_AddStringToObject(obj, "serial_number", disk.id.serial.c_str()) != nullptr &&
              cJSON_AddStringToObject(obj, "device_name", disk.id.device.c_str()) != nullptr;
    return FinishOrDrop(obj, ok);
}

cJSON *AnswerBaseDisk(const DiskView &disk)
{
    const DiskIdentity &id = disk.id;
    cJSON *obj = cJSON_CreateObject();
    if (obj == nullptr) {
        return nullptr;
    }
    bool ok = cJSON_AddStringToObject(obj, "device_name", id.device.c_str()) != nullptr &&
              cJSON_AddStringToObject(obj, "serial_number", id.serial.c_str()) != nullptr &&
              cJSON_AddStringToObject(obj, "vendor_id", id.vendor.c_str()) != nullptr &&
              cJSON_AddStringToObject(obj, "disk_type", DiskTypeName(id.type)) != nullptr &&
              cJSON_AddStringToObject(obj, "disk_media_type", id.media.c_str()) != nullptr &&
              cJSON_AddStringToObject(obj, "model_number", id.model.c_str()) != nullptr &&
              cJSON_AddStringToObject(obj, "firmware_revision", id.firmware.c_str()) != nullptr &&
              AddDigits(obj, "disk_capacity", id.capacity) &&
              cJSON_AddNumberToObject(obj, "sector_size", id.sectorSize) != nullptr;
    if (ok && (id.type == DiskType::kNvmeSsd || !id.pci.empty())) {
        ok = cJSON_AddStringToObject(obj, "pci_address", id.pci.c_str()) != nullptr;
    }
    if (ok && !id.classified) {
        // Host disks of another bus: say so, next to the guessed type.
        ok = cJSON_AddFalseToObject(obj, "classified") != nullptr &&
             cJSON_AddStringToObject(obj, "transport", id.transport.c_str()) != nullptr;
    }
    if (ok && id.slot >= 0) {
        ok = cJSON_AddNumberToObject(obj, "slot_id", static_cast<double>(id.slot)) != nullptr;
    }
    return FinishOrDrop(obj, ok);
}

cJSON *AnswerHealthDisk(const DiskView &disk)
{
    cJSON *obj = cJSON_CreateObject();
    if (obj == nullptr) {
        return nullptr;
    }
    bool ok =
        cJSON_AddStringToObject(obj, "serial_number", disk.id.serial.c_str()) != nullptr &&
        cJSON_AddNumberToObject(obj, "power_on_hours", disk.health.powerOnHours) != nullptr &&
        cJSON_AddNumberToObject(obj, "wear", disk.health.wear) != nullptr &&
        cJSON_AddStringToObject(obj, "disk_type", DiskTypeName(disk.id.type)) != nullptr &&
        cJSON_AddStringToObject(obj, "vendor_id", disk.id.vendor.c_str()) != nullptr &&
        AddTypePayload(obj, disk);
    return FinishOrDrop(obj, ok);
}

cJSON *AnswerIoDisk(const DiskView &disk)
{
    const IoCounters &io = disk.io;
    cJSON *obj = cJSON_CreateObject();
    if (obj == nullptr) {
        return nullptr;
    }
    bool ok = cJSON_AddStringToObject(obj, "serial_number", disk.id.serial.c_str()) != nullptr &&
              cJSON_AddNumberToObject(obj, "queue_depth", io.queueDepth) != nullptr &&
              cJSON_AddNumberToObject(obj, "io_busy_num", io.busy) != nullptr &&
              AddDigits(obj, "io_time", io.ioTimeUs) &&
              AddDigits(obj, "bytes_read", io.bytesRead) &&
              AddDigits(obj, "bytes_written", io.bytesWritten) &&
              AddDigits(obj, "num_read_ops", io.readOps) &&
              AddDigits(obj, "num_write_ops", io.writeOps) &&
              AddDigits(obj, "read_latency_ticks", io.readLatencyTicks) &&
              AddDigits(obj, "write_latency_ticks", io.writeLatencyTicks);
    return FinishOrDrop(obj, ok);
}
