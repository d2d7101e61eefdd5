#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"

#include <strings.h>

#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

constexpr const char *kTag = "DCM";

// Table order is the enumeration order of the registry (DiskType, MediaType).
constexpr const char *kDiskTypeStrs[] = {"SSD_NVMe", "SSD_SAS",  "SSD_SATA",
                                         "HDD_SAS",  "HDD_SATA", "HDD_NL_SAS"};
static_assert(sizeof(kDiskTypeStrs) / sizeof(kDiskTypeStrs[0]) == DISK_TYPE_UNKNOWN);
constexpr const char *kMediaTypeStrs[] = {"SLC", "MLC", "TLC", "QLC", "PLC", "MAGNET"};
static_assert(sizeof(kMediaTypeStrs) / sizeof(kMediaTypeStrs[0]) == MEDIA_TYPE_UNKNOWN);
constexpr const char *kPlatformVendors[] = {"KORVAN", "TELMAR", "OSKEN", "0x1c7f"};

constexpr unsigned char AsciiLower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

template <size_t N>
uint32_t LookupIgnoreCase(const cJSON *value, const char *const (&table)[N])
{
    if (!IsJsonString(value)) {
        return static_cast<uint32_t>(N);
    }
    for (size_t i = 0; i < N; ++i) {
        if (strcasecmp(value->valuestring, table[i]) == 0) {
            return static_cast<uint32_t>(i);
        }
    }
    return static_cast<uint32_t>(N);
}

template <size_t N>
constexpr size_t Rows(const CheckListItem (&)[N])
{
    return N;
}

constexpr CheckListItem kBriefCheckList[] = {
    {"device_name", IsJsonString},
    {"serial_number", IsJsonString},
};

constexpr CheckListItem kBaseCheckList[] = {
    {"device_name", IsJsonString},       {"serial_number", IsJsonString},
    {"vendor_id", IsJsonString},         {"disk_type", IsValidDiskType},
    {"disk_media_type", IsValidDiskMediaType}, {"model_number", IsJsonString},
    {"firmware_revision", IsJsonString}, {"disk_capacity", IsDecimalDigitString},
    {"sector_size", IsJsonNumber},
};

constexpr CheckListItem kNvmePciCheckList[] = {{"pci_address", IsJsonString}};

constexpr CheckListItem kHealthCommonCheckList[] = {
    {"serial_number", IsJsonString}, {"power_on_hours", IsJsonNumber},
    {"wear", IsJsonNumber},          {"disk_type", IsValidDiskType},
    {"vendor_id", IsJsonString},
};

constexpr CheckListItem kHealthNvmeCheckList[] = {{"critical_warning", IsJsonNumber}};
constexpr CheckListItem kSmartAttrCheckList[] = {
    {"id", IsJsonNumber},
    {"threshold", IsJsonNumber},
    {"current_value", IsJsonNumber},
    {"worst", IsJsonNumber},
};
constexpr CheckListItem kHealthSasCapCheckList[] = {
    {"capacitance_id", IsJsonNumber},
    {"capacitance_status", IsJsonNumber},
};
constexpr CheckListItem kHealthSasSenseCheckList[] = {{"ASC", IsJsonNumber}, {"ASCQ", IsJsonNumber}};
constexpr CheckListItem kHealthSasHddCheckList[] = {
    {"is_support_ie_log", IsJsonBool},
    {"ASC", IsJsonNumber},
    {"ASCQ", IsJsonNumber},
};

constexpr CheckListItem kIoCheckList[] = {
    {"serial_number", IsJsonString},
    {"queue_depth", IsJsonNumber},
    {"io_busy_num", IsJsonNumber},
    {"io_time", IsDecimalDigitString},
    {"bytes_read", IsDecimalDigitString},
    {"bytes_written", IsDecimalDigitString},
    {"num_read_ops", IsDecimalDigitString},
    {"num_write_ops", IsDecimalDigitString},
    {"read_latency_ticks", IsDecimalDigitString},
    {"write_latency_ticks", IsDecimalDigitString},
};

// The SATA SSD attribute list: exactly 30 elements, each with its four numbers.
bool IsValidSmartList(const cJSON *disk)
{
    const cJSON *list = DcmMember(disk, "SMART_list");
    if (!cJSON_IsArray(list)) {
        KLOG_DEBUG(kTag, "sataSsdSmartAttrList is not JSON Array.");
        return false;
    }
    if (cJSON_GetArraySize(list) != static_cast<int>(DCM_SMART_LIST_LEN)) {
        KLOG_DEBUG(kTag, "sataSsdSmartAttrList length not equal %d.", DCM_SMART_LIST_LEN);
        return false;
    }
    const cJSON *attr = nullptr;
    cJSON_ArrayForEach(attr, list)
    {
        if (!IsValidJsonWithCheckList(attr, kSmartAttrCheckList, Rows(kSmartAttrCheckList))) {
            return false;
        }
    }
    return true;
}

const char *StringOr(const cJSON *value, const char *fallback)
{
    return IsJsonString(value) ? value->valuestring : fallback;
}

// "disks" of a base, health or IO result: an array of at most `asked` elements.
bool IsValidDisksArray(const cJSON *result, uint32_t asked)
{
    if (result == nullptr) {
        return false;
    }
    const cJSON *disks = DcmMember(result, "disks");
    return cJSON_IsArray(disks) && static_cast<uint32_t>(cJSON_GetArraySize(disks)) <= asked;
}

bool ValidateBriefResultRow(const cJSON *result, uint32_t /*asked*/)
{
    KLOG_DEBUG(kTag,
               "You are advised to use the dedicated function IsValidDiskBriefInfoResultJson to "
               "judge Brief.");
    return IsValidDiskBriefInfoResultJson(result);
}

bool ValidateIoResult(const cJSON *result, uint32_t asked)
{
    return IsValidDisksArray(result, asked) &&
           IsDecimalDigitString(DcmMember(result, "tick_rate")) &&
           IsDecimalDigitString(DcmMember(result, "ticks"));
}

}  // namespace

cJSON *DcmMember(const cJSON *object, const char *key)
{
    if (object == nullptr || key == nullptr) {
        return nullptr;
    }
    // The first letter rejects almost every other member before a full compare.
    unsigned char first = AsciiLower(static_cast<unsigned char>(key[0]));
    for (cJSON *member = object->child; member != nullptr; member = member->next) {
        const char *name = member->string;
        if (name != nullptr && AsciiLower(static_cast<unsigned char>(name[0])) == first &&
            strcasecmp(name, key) == 0) {
            return member;
        }
    }
    return nullptr;
}

const ValidateResultFn g_validateResultStrategyMap[MESSAGE_TYPE_BUTT] = {
    ValidateBriefResultRow,  // MESSAGE_DISK_BRIEF_INFO
    IsValidDisksArray,       // MESSAGE_DISK_BASE_INFO
    IsValidDisksArray,       // MESSAGE_DISK_HEALTH_INFO
    ValidateIoResult,        // MESSAGE_DISK_IOSTAT
};

bool IsJsonString(const cJSON *value)
{
    return cJSON_IsString(value) && value->valuestring != nullptr;
}

bool IsJsonNumber(const cJSON *value) { return cJSON_IsNumber(value); }

bool IsJsonBool(const cJSON *value) { return cJSON_IsBool(value); }

bool IsDecimalDigitString(const cJSON *value)
{
    if (!IsJsonString(value) || value->valuestring[0] == '\0') {
        return false;
    }
    for (const char *p = value->valuestring; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

bool IsValidDiskType(const cJSON *value) { return DcmDiskTypeLookup(value) < DISK_TYPE_UNKNOWN; }

bool IsValidDiskMediaType(const cJSON *value)
{
    return DcmMediaTypeLookup(value) < MEDIA_TYPE_UNKNOWN;
}

uint32_t DcmDiskTypeLookup(const cJSON *value) { return LookupIgnoreCase(value, kDiskTypeStrs); }

uint32_t DcmMediaTypeLookup(const cJSON *value) { return LookupIgnoreCase(value, kMediaTypeStrs); }

bool IsNvmeDiskTypeJson(const cJSON *value) { return DcmDiskTypeLookup(value) == DISK_TYPE_SSD_NVME; }

bool IsValidJsonWithCheckList(const cJSON *object, const CheckListItem *list, size_t rows)
{
    if (object == nullptr || list == nullptr) {
        return false;
    }
    for (size_t i = 0; i < rows; ++i) {
        if (!list[i].check(DcmMember(object, list[i].key))) {
            KLOG_DEBUG(kTag, "CheckList validate %s failed.", list[i].key);
            return false;
        }
    }
    return true;
}

DiskVendor ParseDiskVendor(const cJSON *value)
{
    if (!IsJsonString(value)) {
        KLOG_ERR(kTag, "Cannot parse NotStringJson to DiskVendor Enum");
        return DISK_VENDOR_INVALID;
    }
    size_t n = sizeof(kPlatformVendors) / sizeof(kPlatformVendors[0]);
    return LookupIgnoreCase(value, kPlatformVendors) < n ? DISK_VENDOR_PLATFORM
                                                         : DISK_VENDOR_OTHER;
}

bool IsValidDiskBriefInfoResultJson(const cJSON *result)
{
    if (result == nullptr) {
        return false;
    }
    const cJSON *disks = DcmMember(result, "disks");
    if (!cJSON_IsArray(disks)) {
        return false;
    }
    int size = cJSON_GetArraySize(disks);
    if (size > static_cast<int>(DCM_MAX_DEVICE_LIST)) {
        KLOG_ERR(kTag, "DiskList has too many items(target:%d)(max:%d).", size,
                 DCM_MAX_DEVICE_LIST);
        return false;
    }
    return true;
}

bool IsValidDiskBriefInfoJSON(const cJSON *disk)
{
    return IsValidJsonWithCheckList(disk, kBriefCheckList, Rows(kBriefCheckList));
}

bool IsValidDiskBaseInfoJSON(const cJSON *disk)
{
    if (!IsValidJsonWithCheckList(disk, kBaseCheckList, Rows(kBaseCheckList))) {
        return false;
    }
    if (IsNvmeDiskTypeJson(DcmMember(disk, "disk_type"))) {
        return IsValidJsonWithCheckList(disk, kNvmePciCheckList, Rows(kNvmePciCheckList));
    }
    return true;
}

DcmHealthKind DcmHealthKindOf(uint32_t diskType, DiskVendor vendor)
{
    switch (diskType) {
        case DISK_TYPE_SSD_NVME:
            return DCM_HEALTH_NVME;
        case DISK_TYPE_SSD_SATA:
            return DCM_HEALTH_SATA_SSD;
        case DISK_TYPE_SSD_SAS:
            return vendor == DISK_VENDOR_PLATFORM ? DCM_HEALTH_SAS_CAP : DCM_HEALTH_SAS_SENSE;
        case DISK_TYPE_HDD_SAS:
        case DISK_TYPE_HDD_NL_SAS:
            return DCM_HEALTH_SAS_HDD;
        default:
            return DCM_HEALTH_NONE;
    }
}

bool IsValidDiskHealthInfoJSON(const cJSON *disk)
{
    if (!IsValidJsonWithCheckList(disk, kHealthCommonCheckList, Rows(kHealthCommonCheckList))) {
        return false;
    }
    const cJSON *type = DcmMember(disk, "disk_type");
    const cJSON *vendor = DcmMember(disk, "vendor_id");
    switch (DcmHealthKindOf(DcmDiskTypeLookup(type), ParseDiskVendor(vendor))) {
        case DCM_HEALTH_NVME:
            return IsValidJsonWithCheckList(disk, kHealthNvmeCheckList, Rows(kHealthNvmeCheckList));
        case DCM_HEALTH_SATA_SSD:
            return IsValidSmartList(disk);
        case DCM_HEALTH_SAS_CAP:
            return IsValidJsonWithCheckList(disk, kHealthSasCapCheckList,
                                            Rows(kHealthSasCapCheckList));
        case DCM_HEALTH_SAS_SENSE:
            return IsValidJsonWithCheckList(disk, kHealthSasSenseCheckList,
                                            Rows(kHealthSasSenseCheckList));
        case DCM_HEALTH_SAS_HDD:
            return IsValidJsonWithCheckList(disk, kHealthSasHddCheckList,
                                            Rows(kHealthSasHddCheckList));
        default:
            KLOG_CRIT(kTag, "Unprocessed (diskType,vendor) exist(%s,%s).", StringOr(type, ""),
                      StringOr(vendor, ""));
            return false;
    }
}

bool IsValidDiskIoInfoJSON(const cJSON *disk)
{
    return IsValidJsonWithCheckList(disk, kIoCheckList, Rows(kIoCheckList));
}
