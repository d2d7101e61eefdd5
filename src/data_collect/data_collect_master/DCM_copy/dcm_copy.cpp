#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"

#include <cerrno>
#include <cmath>

#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DCM";
constexpr int kErrInval = EINVAL;  // 22
constexpr int kErrNoMem = ENOMEM;  // 12

// Bounded copy of a string member that the check list already vouched for.
int CopyStringMember(const cJSON *disk, const char *key, char *field, size_t size)
{
    const cJSON *value = DcmMember(disk, key);
    if (!IsJsonString(value)) {
        return kErrInval;
    }
    return strcpy_s(field, size, value->valuestring);
}

uint8_t NumberToU8(const cJSON *disk, const char *key)
{
    // An 8-bit field keeps the low 8 bits of the 32-bit conversion.
    return static_cast<uint8_t>(ConvertJsonNumberToUint32(DcmMember(disk, key)) & 0xFFU);
}

uint64_t DigitsMember(const cJSON *disk, const char *key)
{
    return ConvertDecimalStringToUint64(DcmMember(disk, key));
}

// The base members after the two strings sn and device name.
int CopyBaseStrings(const cJSON *disk, DiskBaseInfo *info)
{
    int ret = CopyStringMember(disk, "serial_number", info->sn, sizeof(info->sn));
    if (ret == 0) {
        ret = CopyStringMember(disk, "device_name", info->deviceName, sizeof(info->deviceName));
    }
    if (ret == 0) {
        ret = CopyStringMember(disk, "vendor_id", info->vendor, sizeof(info->vendor));
    }
    if (ret == 0) {
        ret = CopyStringMember(disk, "model_number", info->model, sizeof(info->model));
    }
    if (ret == 0) {
        ret = CopyStringMember(disk, "firmware_revision", info->firmware, sizeof(info->firmware));
    }
    if (ret == 0 && info->diskType == DISK_TYPE_SSD_NVME) {
        ret = CopyStringMember(disk, "pci_address", info->pciAddr, sizeof(info->pciAddr));
    }
    return ret;
}

void CopySmartList(const cJSON *disk, DiskHealthArea *area)
{
    const cJSON *list = DcmMember(disk, "SMART_list");
    uint32_t i = 0;
    const cJSON *attr = nullptr;
    cJSON_ArrayForEach(attr, list)
    {
        if (i >= DCM_SMART_LIST_LEN) {
            break;
        }
        area->sata[i].id = NumberToU8(attr, "id");
        area->sata[i].threshold = NumberToU8(attr, "threshold");
        area->sata[i].current = NumberToU8(attr, "current_value");
        area->sata[i].worst = NumberToU8(attr, "worst");
        ++i;
    }
}

// The type-dependent health area; 22 for a kind that is not collected.
int CopyHealthArea(const cJSON *disk, DiskHealthArea *area)
{
    const cJSON *type = DcmMember(disk, "disk_type");
    const cJSON *vendor = DcmMember(disk, "vendor_id");
    switch (DcmHealthKindOf(ConvertDiskTypeStr2Enum(type), ParseDiskVendor(vendor))) {
        case DCM_HEALTH_NVME:
            area->nvme.criticalWarning = NumberToU8(disk, "critical_warning");
            return 0;
        case DCM_HEALTH_SATA_SSD:
            CopySmartList(disk, area);
            return 0;
        case DCM_HEALTH_SAS_CAP:
            area->sasCap.capacitanceId = NumberToU8(disk, "capacitance_id");
            area->sasCap.capacitanceStatus = NumberToU8(disk, "capacitance_status");
            return 0;
        case DCM_HEALTH_SAS_SENSE:
            area->sasIe.asc = NumberToU8(disk, "ASC");
            area->sasIe.ascq = NumberToU8(disk, "ASCQ");
            area->sasIe.ieLogSupported = 1;
            return 0;
        case DCM_HEALTH_SAS_HDD:
            area->sasIe.asc = NumberToU8(disk, "ASC");
            area->sasIe.ascq = NumberToU8(disk, "ASCQ");
            area->sasIe.ieLogSupported =
                cJSON_IsTrue(DcmMember(disk, "is_support_ie_log")) ? 1 : 0;
            return 0;
        default:
            KLOG_CRIT(kTag, "Unprocessed (diskType,vendor) exist(%s,%s).",
                      IsJsonString(type) ? type->valuestring : "",
                      IsJsonString(vendor) ? vendor->valuestring : "");
            return kErrInval;
    }
}

}  // namespace

const CopyStructFromJsonFn g_copyStructFromJsonStrategyMap[MESSAGE_TYPE_BUTT] = {
    CopyDiskBriefInfoFromJSON,   // MESSAGE_DISK_BRIEF_INFO
    CopyDiskBaseInfoFromJSON,    // MESSAGE_DISK_BASE_INFO
    CopyDiskHealthInfoFromJSON,  // MESSAGE_DISK_HEALTH_INFO
    CopyDiskIoInfoFromJSON,      // MESSAGE_DISK_IOSTAT
};

uint32_t ConvertJsonNumberToUint32(const cJSON *value)
{
    if (!cJSON_IsNumber(value) || std::isnan(value->valuedouble) || value->valuedouble <= 0) {
        return 0;
    }
    if (value->valuedouble >= 4294967295.0) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(value->valuedouble);
}

uint64_t ConvertDecimalStringToUint64(const cJSON *value)
{
    if (!IsJsonString(value)) {
        return 0;
    }
    uint64_t result = 0;
    for (const char *p = value->valuestring; *p >= '0' && *p <= '9'; ++p) {
        result = result * 10U + static_cast<uint64_t>(*p - '0');
    }
    return result;
}

uint32_t ConvertDiskTypeStr2Enum(const cJSON *value)
{
    uint32_t type = DcmDiskTypeLookup(value);
    if (type >= DISK_TYPE_UNKNOWN) {
        KLOG_CRIT(kTag,
                  "ConvertDiskTypeStr2Enum is called without checkList or IsValidDiskType "
                  "validation.");
    }
    return type;
}

uint32_t ConvertDiskMediaTypeStr2Enum(const cJSON *value)
{
    uint32_t type = DcmMediaTypeLookup(value);
    if (type >= MEDIA_TYPE_UNKNOWN) {
        KLOG_CRIT(kTag,
                  "ConvertDiskMediaTypeStr2Enum is called without checkList or "
                  "IsValidDiskMediaType validation.");
    }
    return type;
}

int CopyDiskBriefInfoFromJSON(const cJSON *disk, void *record)
{
    if (record == nullptr || !IsValidDiskBriefInfoJSON(disk)) {
        return kErrInval;
    }
    auto *brief = static_cast<DiskBriefInfo *>(record);
    int ret = CopyStringMember(disk, "serial_number", brief->sn, sizeof(brief->sn));
    if (ret != 0) {
        return ret;
    }
    return CopyStringMember(disk, "device_name", brief->deviceName, sizeof(brief->deviceName));
}

int CopyDiskBaseInfoFromJSON(const cJSON *disk, void *record)
{
    if (record == nullptr || !IsValidDiskBaseInfoJSON(disk)) {
        return kErrInval;
    }
    auto *info = static_cast<DiskBaseInfo *>(record);
    info->diskType = ConvertDiskTypeStr2Enum(DcmMember(disk, "disk_type"));
    info->mediaType = ConvertDiskMediaTypeStr2Enum(DcmMember(disk, "disk_media_type"));
    int ret = CopyBaseStrings(disk, info);
    if (ret != 0) {
        return ret;
    }
    info->diskCapacity = DigitsMember(disk, "disk_capacity");
    info->sectorSize = ConvertJsonNumberToUint32(DcmMember(disk, "sector_size"));
    info->diskState = DISK_STATE_UNSET;
    info->diskId = DISK_ID_INVALID;
    info->frameId = DISK_LOCATION_UNKNOWN;
    info->slotId = DISK_LOCATION_UNKNOWN;
    const cJSON *slot = DcmMember(disk, "slot_id");
    if (cJSON_IsNumber(slot)) {
        info->slotId = ConvertJsonNumberToUint32(slot);
        KLOG_DEBUG(kTag, "CopyDiskBaseInfoFromJSON saved slotId<%u>", info->slotId);
    }
    return 0;
}

int CopyDiskHealthInfoFromJSON(const cJSON *disk, void *record)
{
    if (record == nullptr || !IsValidDiskHealthInfoJSON(disk)) {
        return kErrInval;
    }
    auto *wrap = static_cast<DiskHealthInfoSnWrap *>(record);
    int ret = CopyStringMember(disk, "serial_number", wrap->sn, sizeof(wrap->sn));
    if (ret != 0) {
        return ret;
    }
    wrap->health.powerOnHours = ConvertJsonNumberToUint32(DcmMember(disk, "power_on_hours"));
    uint32_t wear = ConvertJsonNumberToUint32(DcmMember(disk, "wear")) & 0xFFFFU;
    wrap->health.wearInt = wear / 100U;
    wrap->health.wearDec = wear % 100U;
    return CopyHealthArea(disk, &wrap->health.area);
}

int CopyDiskIoInfoFromJSON(const cJSON *disk, void *record)
{
    if (record == nullptr || !IsValidDiskIoInfoJSON(disk)) {
        return kErrInval;
    }
    auto *wrap = static_cast<DiskIoInfoFrameSnWrap *>(record);
    int ret = CopyStringMember(disk, "serial_number", wrap->sn, sizeof(wrap->sn));
    if (ret != 0) {
        return ret;
    }
    DiskIoInfoFrame *f = &wrap->frame;
    f->bytes_read = DigitsMember(disk, "bytes_read");
    f->bytes_written = DigitsMember(disk, "bytes_written");
    f->num_read_ops = DigitsMember(disk, "num_read_ops");
    f->num_write_ops = DigitsMember(disk, "num_write_ops");
    f->read_latency_ticks = DigitsMember(disk, "read_latency_ticks");
    f->write_latency_ticks = DigitsMember(disk, "write_latency_ticks");
    f->queue_depth = ConvertJsonNumberToUint32(DcmMember(disk, "queue_depth"));
    f->io_busy_num = ConvertJsonNumberToUint32(DcmMember(disk, "io_busy_num"));
    f->io_time = DigitsMember(disk, "io_time");
    return 0;
}

int CopyBatchFromJSON(uint32_t type, const cJSON *disks, const ArrayList *list)
{
    if (type >= MESSAGE_TYPE_BUTT || list == nullptr || list->elements == nullptr ||
        !cJSON_IsArray(disks)) {
        KLOG_ERR(kTag, "Copy(MessageType:%d) failed(%d)", type, kErrInval);
        return kErrInval;
    }
    uint32_t i = 0;
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, disks)
    {
        // The result check bounds the answer by the records asked for; this
        // guard keeps the records safe even from a caller that skipped it.
        int ret = i < list->count ? g_copyStructFromJsonStrategyMap[type](disk, list->elements[i])
                                  : kErrInval;
        if (ret != 0) {
            KLOG_ERR(kTag, "Copy(MessageType:%d) failed(%d)", type, ret);
            return ret;
        }
        ++i;
    }
    return 0;
}

int CopyClockTicksInstantFromJSON(const cJSON *result, uint64_t *tickRate, uint64_t *ticks)
{
    if (tickRate == nullptr || ticks == nullptr) {
        return kErrInval;
    }
    const cJSON *rate = DcmMember(result, "tick_rate");
    const cJSON *now = DcmMember(result, "ticks");
    if (!IsDecimalDigitString(rate) || !IsDecimalDigitString(now)) {
        return kErrNoMem;
    }
    *tickRate = ConvertDecimalStringToUint64(rate);
    *ticks = ConvertDecimalStringToUint64(now);
    return 0;
}
