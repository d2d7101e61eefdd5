#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"

using namespace dcmtest;

namespace {

class DcmValidateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    }
};

struct PredicateCase {
    const char *name;
    CheckFn check;
    const char *json;  // null: the member is missing
    bool expected;
};

TEST_F(DcmValidateTest, PredicatesAcceptExactlyTheirKind)
{
    const PredicateCase cases[] = {
        {"string", IsJsonString, "\"\"", true},
        {"string", IsJsonString, "\"x\"", true},
        {"string", IsJsonString, "1", false},
        {"string", IsJsonString, "null", false},
        {"string", IsJsonString, nullptr, false},
        {"number", IsJsonNumber, "-1.5", true},
        {"number", IsJsonNumber, "\"1\"", false},
        {"number", IsJsonNumber, "true", false},
        {"bool", IsJsonBool, "false", true},
        {"bool", IsJsonBool, "true", true},
        {"bool", IsJsonBool, "0", false},
        {"digits", IsDecimalDigitString, "\"0\"", true},
        {"digits", IsDecimalDigitString, "\"18446744073709551616\"", true},
        {"digits", IsDecimalDigitString, "\"\"", false},
        {"digits", IsDecimalDigitString, "\"12a\"", false},
        {"digits", IsDecimalDigitString, "\"-1\"", false},
        {"digits", IsDecimalDigitString, "\" 1\"", false},
        {"digits", IsDecimalDigitString, "12", false},
        {"disk type", IsValidDiskType, "\"ssd_nvme\"", true},
        {"disk type", IsValidDiskType, "\"HDD_NL_SAS\"", true},
        {"disk type", IsValidDiskType, "\"SSD-NVMe\"", false},
        {"disk type", IsValidDiskType, "\"SSD_NVMe \"", false},
        {"disk type", IsValidDiskType, "0", false},
        {"media type", IsValidDiskMediaType, "\"magnet\"", true},
        {"media type", IsValidDiskMediaType, "\"PLC\"", true},
        {"media type", IsValidDiskMediaType, "\"SLCX\"", false},
        {"media type", IsValidDiskMediaType, nullptr, false},
    };
    for (const PredicateCase &c : cases) {
        Json value(c.json == nullptr ? std::string("null") : std::string(c.json));
        const cJSON *arg = c.json == nullptr ? nullptr : value.value;
        EXPECT_EQ(c.check(arg), c.expected) << c.name << " over " << (c.json ? c.json : "(absent)");
    }
}

TEST_F(DcmValidateTest, CheckListStopsAtFirstFailingMemberAndNamesIt)
{
    const CheckListItem list[] = {{"a", IsJsonString}, {"b", IsJsonNumber}, {"c", IsJsonBool}};
    Json object(R"({"A":"x","b":"not a number","c":"not a bool"})");
    LogCapture log;
    EXPECT_FALSE(IsValidJsonWithCheckList(object.value, list, 3));
    EXPECT_EQ(log.Count("CheckList validate b failed.", KEEPER_LOG_DEBUG), 1) << log.Dump();
    EXPECT_EQ(log.Count("CheckList validate c failed."), 0) << "the walk must stop at b";
    EXPECT_FALSE(IsValidJsonWithCheckList(nullptr, list, 3));
    Json good(R"({"a":"","B":2,"C":true,"ignored":[]})");
    EXPECT_TRUE(IsValidJsonWithCheckList(good.value, list, 3));
}

TEST_F(DcmValidateTest, VendorClasses)
{
    const struct {
        const char *json;
        DiskVendor expected;
    } cases[] = {
        {"\"KORVAN\"", DISK_VENDOR_PLATFORM}, {"\"korvan\"", DISK_VENDOR_PLATFORM},
        {"\"Telmar\"", DISK_VENDOR_PLATFORM}, {"\"OSKEN\"", DISK_VENDOR_PLATFORM},
        {"\"0X1C7F\"", DISK_VENDOR_PLATFORM}, {"\"KORVAN \"", DISK_VENDOR_OTHER},
        {"\"SEAGATE\"", DISK_VENDOR_OTHER},   {"\"\"", DISK_VENDOR_OTHER},
        {"7", DISK_VENDOR_INVALID},
    };
    for (const auto &c : cases) {
        Json v(c.json);
        EXPECT_EQ(ParseDiskVendor(v.value), c.expected) << c.json;
    }
    EXPECT_EQ(ParseDiskVendor(nullptr), DISK_VENDOR_INVALID);
}

const std::vector<TestDisk> &AllTypes()
{
    static const std::vector<TestDisk> disks = {
        Disk("SSD_NVMe", "KORVAN", "KN-1", "SN-NVME", "nvme0n1"),
        Disk("SSD_SAS", "KORVAN", "KS-1", "SN-SASSSD", "sda"),
        Disk("SSD_SATA", "ATA", "KSSD-1", "SN-SATASSD", "sdb"),
        Disk("HDD_SAS", "SEAGATE", "ST1", "SN-SASHDD", "sdc"),
        Disk("HDD_SATA", "ATA", "WD1", "SN-SATAHDD", "sdd"),
        Disk("HDD_NL_SAS", "TOSHIBA", "MG1", "SN-NLSAS", "sde"),
    };
    return disks;
}

// Every well-formed disk passes its per-disk check, except that health is
// not collected from SATA HDDs.
TEST_F(DcmValidateTest, WellFormedDisksOfEveryTypePass)
{
    for (const TestDisk &d : AllTypes()) {
        Json brief(BriefJson(d));
        Json base(BaseJson(d));
        Json health(HealthJson(d));
        Json io(IoJson(d));
        EXPECT_TRUE(IsValidDiskBriefInfoJSON(brief.value)) << d.type;
        EXPECT_TRUE(IsValidDiskBaseInfoJSON(base.value)) << d.type;
        EXPECT_EQ(IsValidDiskHealthInfoJSON(health.value), d.type != "HDD_SATA") << d.type;
        EXPECT_TRUE(IsValidDiskIoInfoJSON(io.value)) << d.type;
    }
}

using DiskCheck = bool (*)(const cJSON *);

struct MemberCase {
    const char *what;
    DiskCheck check;
    std::function<cJSON *(const TestDisk &)> build;
    const char *diskType;
    const char *member;
    const char *replacement;  // JSON text; null removes the member
};

// Each row breaks one member of a well-formed disk; the check must fail.
TEST_F(DcmValidateTest, EveryCheckedMemberIsRequiredWithItsKind)
{
    const MemberCase cases[] = {
        {"brief", IsValidDiskBriefInfoJSON, BriefJson, "SSD_SAS", "device_name", nullptr},
        {"brief", IsValidDiskBriefInfoJSON, BriefJson, "SSD_SAS", "serial_number", "5"},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "device_name", "null"},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "serial_number", nullptr},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "vendor_id", "1"},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "disk_type", "\"HDD\""},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "disk_media_type", "\"OPTICAL\""},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "model_number", nullptr},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "firmware_revision", "[]"},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "disk_capacity", "\"\""},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "disk_capacity", "\"12T\""},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "disk_capacity", "1200"},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "HDD_SAS", "sector_size", "\"512\""},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "SSD_NVMe", "pci_address", nullptr},
        {"base", IsValidDiskBaseInfoJSON, BaseJson, "SSD_NVMe", "pci_address", "0"},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_NVMe", "serial_number", nullptr},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_NVMe", "power_on_hours", "\"1\""},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_NVMe", "wear", nullptr},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_NVMe", "disk_type", "\"NVMe\""},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_NVMe", "vendor_id", "false"},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_NVMe", "critical_warning", nullptr},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_SATA", "SMART_list", "{}"},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_SAS", "capacitance_id", nullptr},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "SSD_SAS", "capacitance_status", "\"1\""},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "HDD_SAS", "is_support_ie_log", "1"},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "HDD_SAS", "ASC", nullptr},
        {"health", IsValidDiskHealthInfoJSON, HealthJson, "HDD_NL_SAS", "ASCQ", "\"0\""},
        {"io", IsValidDiskIoInfoJSON, [](const TestDisk &d) { return IoJson(d); }, "SSD_SAS",
         "queue_depth", "\"32\""},
        {"io", IsValidDiskIoInfoJSON, [](const TestDisk &d) { return IoJson(d); }, "SSD_SAS",
         "io_busy_num", nullptr},
        {"io", IsValidDiskIoInfoJSON, [](const TestDisk &d) { return IoJson(d); }, "SSD_SAS",
         "io_time", "10"},
        {"io", IsValidDiskIoInfoJSON, [](const TestDisk &d) { return IoJson(d); }, "SSD_SAS",
         "bytes_read", "\"1.5\""},
        {"io", IsValidDiskIoInfoJSON, [](const TestDisk &d) { return IoJson(d); }, "SSD_SAS",
         "write_latency_ticks", nullptr},
    };
    for (const MemberCase &c : cases) {
        TestDisk d = Disk(c.diskType, "KORVAN", "M", "SN1", "sdx");
        Json disk(c.build(d));
        ASSERT_TRUE(c.check(disk.value)) << c.what << " " << c.diskType << " must pass unbroken";
        cJSON_DeleteItemFromObject(disk.value, c.member);
        if (c.replacement != nullptr) {
            cJSON_AddItemToObject(disk.value, c.member, cJSON_Parse(c.replacement));
        }
        EXPECT_FALSE(c.check(disk.value))
            << c.what << " " << c.diskType << " " << c.member << " = "
            << (c.replacement ? c.replacement : "(absent)");
    }
}

TEST_F(DcmValidateTest, MemberNamesIgnoreCaseAndNvmeTypeIgnoresCase)
{
    Json disk(R"({"DEVICE_NAME":"nvme0n1","Serial_Number":"S","VENDOR_ID":"KORVAN",
        "disk_type":"ssd_nvme","disk_media_type":"tlc","model_number":"M",
        "firmware_revision":"F","disk_capacity":"0","sector_size":4096})");
    EXPECT_FALSE(IsValidDiskBaseInfoJSON(disk.value)) << "a lower-case NVMe type needs pci_address";
    cJSON_AddStringToObject(disk.value, "PCI_Address", "0000:01:00.0");
    EXPECT_TRUE(IsValidDiskBaseInfoJSON(disk.value));
    Json sas(BaseJson(Disk("HDD_SAS", "WD", "M", "S2", "sdb")));
    EXPECT_EQ(cJSON_GetObjectItem(sas.value, "pci_address"), nullptr);
    EXPECT_TRUE(IsValidDiskBaseInfoJSON(sas.value)) << "pci_address is only asked of NVMe disks";
}

TEST_F(DcmValidateTest, SmartListNeedsExactlyThirtyCompleteAttributes)
{
    TestDisk d = Disk("SSD_SATA", "ATA", "KSSD-1", "S", "sda");
    {
        Json disk(HealthJson(d));
        cJSON_DeleteItemFromArray(cJSON_GetObjectItem(disk.value, "SMART_list"), 29);
        EXPECT_FALSE(IsValidDiskHealthInfoJSON(disk.value));
    }
    {
        Json disk(HealthJson(d));
        cJSON_AddItemToArray(cJSON_GetObjectItem(disk.value, "SMART_list"), cJSON_CreateObject());
        EXPECT_FALSE(IsValidDiskHealthInfoJSON(disk.value)) << "31 attributes";
    }
    {
        Json disk(HealthJson(d));
        cJSON *attr = cJSON_GetArrayItem(cJSON_GetObjectItem(disk.value, "SMART_list"), 17);
        cJSON_DeleteItemFromObject(attr, "worst");
        EXPECT_FALSE(IsValidDiskHealthInfoJSON(disk.value)) << "attribute 17 lacks worst";
    }
    {
        Json disk(HealthJson(d));
        cJSON_ReplaceItemInObject(disk.value, "SMART_list", cJSON_CreateString("x"));
        EXPECT_FALSE(IsValidDiskHealthInfoJSON(disk.value));
    }
}

// The SAS SSD list follows the vendor class: platform vendors report the
// capacitor, others the sense code.
TEST_F(DcmValidateTest, SasSsdHealthMembersFollowTheVendorClass)
{
    const struct {
        const char *vendor;
        const char *dropped;
        bool expected;
    } cases[] = {
        {"korvan", "ASC", true},           {"korvan", "capacitance_id", false},
        {"0x1C7F", "capacitance_status", false}, {"SAMSUNG", "capacitance_id", true},
        {"SAMSUNG", "ASCQ", false},        {"SAMSUNG", "ASC", false},
    };
    for (const auto &c : cases) {
        Json disk(HealthJson(Disk("SSD_SAS", c.vendor, "M", "S", "sda")));
        cJSON_DeleteItemFromObject(disk.value, c.dropped);
        EXPECT_EQ(IsValidDiskHealthInfoJSON(disk.value), c.expected)
            << c.vendor << " without " << c.dropped;
    }
}

cJSON *Result(int disks, bool ticks = false)
{
    cJSON *r = cJSON_CreateObject();
    cJSON *arr = cJSON_AddArrayToObject(r, "disks");
    for (int i = 0; i < disks; ++i) {
        cJSON_AddItemToArray(arr, cJSON_CreateObject());
    }
    if (ticks) {
        cJSON_AddStringToObject(r, "tick_rate", "1000");
        cJSON_AddStringToObject(r, "ticks", "123456");
    }
    return r;
}

TEST_F(DcmValidateTest, ResultChecksBoundTheDiskCount)
{
    Json r64(Result(64));
    Json r65(Result(65));
    Json r0(Result(0));
    EXPECT_TRUE(IsValidDiskBriefInfoResultJson(r64.value));
    EXPECT_FALSE(IsValidDiskBriefInfoResultJson(r65.value));
    EXPECT_TRUE(IsValidDiskBriefInfoResultJson(r0.value));
    EXPECT_FALSE(IsValidDiskBriefInfoResultJson(nullptr));
    EXPECT_TRUE(g_validateResultStrategyMap[MESSAGE_DISK_BRIEF_INFO](r64.value, 0));

    Json r5(Result(5));
    Json r5t(Result(5, true));
    for (uint32_t type : {MESSAGE_DISK_BASE_INFO, MESSAGE_DISK_HEALTH_INFO}) {
        EXPECT_TRUE(g_validateResultStrategyMap[type](r5.value, 5)) << type;
        EXPECT_TRUE(g_validateResultStrategyMap[type](r5.value, 13)) << "fewer than asked";
        EXPECT_FALSE(g_validateResultStrategyMap[type](r5.value, 4)) << "more than asked";
        EXPECT_FALSE(g_validateResultStrategyMap[type](nullptr, 4));
    }
    EXPECT_FALSE(g_validateResultStrategyMap[MESSAGE_DISK_IOSTAT](r5.value, 20)) << "no ticks";
    EXPECT_TRUE(g_validateResultStrategyMap[MESSAGE_DISK_IOSTAT](r5t.value, 20));
    EXPECT_FALSE(g_validateResultStrategyMap[MESSAGE_DISK_IOSTAT](r5t.value, 4));
    cJSON_ReplaceItemInObject(r5t.value, "ticks", cJSON_CreateNumber(5));
    EXPECT_FALSE(g_validateResultStrategyMap[MESSAGE_DISK_IOSTAT](r5t.value, 20)) << "number ticks";

    Json notArray(R"({"disks":{"a":1}})");
    Json scalar("3");
    for (uint32_t type = 0; type < MESSAGE_TYPE_BUTT; ++type) {
        EXPECT_FALSE(g_validateResultStrategyMap[type](notArray.value, 20)) << type;
        EXPECT_FALSE(g_validateResultStrategyMap[type](scalar.value, 20)) << type;
    }
}

}  // namespace
