#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

using namespace dcmtest;

namespace {

class DcmValidateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(KeeperInfraLiteInstall(), 0); }
};

// Each predicate over the values it accepts and those it refuses; "" stands
// for a missing member.
TEST_F(DcmValidateTest, PredicatesAcceptExactlyTheirKind)
{
    const struct {
        CheckFn check;
        std::vector<const char *> accepted, refused;
    } cases[] = {
        {IsJsonString, {"\"\"", "\"x\""}, {"1", "null", ""}},
        {IsJsonNumber, {"-1.5"}, {"\"1\"", "true"}},
        {IsJsonBool, {"false", "true"}, {"0"}},
        {IsDecimalDigitString, {"\"0\"", "\"18446744073709551616\"", "\"9\""},
         {"\"\"", "\"12a\"", "\"-1\"", "\" 1\"", "\"/\"", "\":\"", "12"}},
        {IsValidDiskType, {"\"ssd_nvme\"", "\"HDD_NL_SAS\""}, {"\"SSD-NVMe\"", "\"SSD_NVMe \"", "0"}},
        {IsValidDiskMediaType, {"\"magnet\"", "\"PLC\""}, {"\"SLCX\"", ""}},
    };
    for (const auto &c : cases) {
        for (bool ok : {true, false}) {
            for (const char *text : ok ? c.accepted : c.refused) {
                Json value(std::string(*text != '\0' ? text : "null"));
                EXPECT_EQ(c.check(*text != '\0' ? value.value : nullptr), ok) << text;
            }
        }
    }
}

TEST_F(DcmValidateTest, CheckListNeedsEveryMemberWithItsKind)
{
    const CheckListItem list[] = {{"a", IsJsonString}, {"b", IsJsonNumber}, {"c", IsJsonBool}};
    Json good(R"({"a":"","B":2,"C":true,"ignored":[]})");  // names ignore case
    EXPECT_TRUE(IsValidJsonWithCheckList(good.value, list, 3));
    for (const char *bad : {R"({"A":"x","b":"2","c":true})", R"({"a":"x","b":2,"c":1})",
                            R"({"a":"x","b":2})"}) {
        Json object(bad);
        EXPECT_FALSE(IsValidJsonWithCheckList(object.value, list, 3)) << bad;
    }
    EXPECT_FALSE(IsValidJsonWithCheckList(nullptr, list, 3));
    EXPECT_FALSE(IsValidJsonWithCheckList(good.value, nullptr, 0));
}

// Every well-formed disk passes its per-disk check, except that health is
// not collected from SATA HDDs.
TEST_F(DcmValidateTest, WellFormedDisksOfEveryTypePass)
{
    for (const char *type : {"SSD_NVMe", "SSD_SAS", "SSD_SATA", "HDD_SAS", "HDD_SATA", "HDD_NL_SAS"}) {
        TestDisk d = Disk(type, "KORVAN", "KSSD-1", "SN", "sda");
        Json brief(BriefJson(d)), base(BaseJson(d)), health(HealthJson(d)), io(IoJson(d));
        EXPECT_TRUE(IsValidDiskBriefInfoJSON(brief.value)) << type;
        EXPECT_TRUE(IsValidDiskBaseInfoJSON(base.value)) << type;
        EXPECT_EQ(IsValidDiskHealthInfoJSON(health.value), d.type != "HDD_SATA") << type;
        EXPECT_TRUE(IsValidDiskIoInfoJSON(io.value)) << type;
    }
}

// Each row breaks one member of a well-formed disk; the check must fail.
TEST_F(DcmValidateTest, EveryCheckedMemberIsRequiredWithItsKind)
{
    enum { kBrief, kBase, kHealth, kIo };
    bool (*const checks[])(const cJSON *) = {IsValidDiskBriefInfoJSON, IsValidDiskBaseInfoJSON,
                                             IsValidDiskHealthInfoJSON, IsValidDiskIoInfoJSON};
    cJSON *(*const builds[])(const TestDisk &) = {
        BriefJson, BaseJson, HealthJson, [](const TestDisk &d) { return IoJson(d); }};
    const struct {
        int kind;
        const char *diskType, *member;
        const char *replacement;  // JSON text; null removes the member
    } cases[] = {
        {kBrief, "SSD_SAS", "device_name", nullptr},
        {kBrief, "SSD_SAS", "serial_number", "5"},
        {kBase, "HDD_SAS", "device_name", "null"},
        {kBase, "HDD_SAS", "serial_number", nullptr},
        {kBase, "HDD_SAS", "vendor_id", "1"},
        {kBase, "HDD_SAS", "disk_type", "\"HDD\""},
        {kBase, "HDD_SAS", "disk_media_type", "\"OPTICAL\""},
        {kBase, "HDD_SAS", "model_number", nullptr},
        {kBase, "HDD_SAS", "firmware_revision", "[]"},
        {kBase, "HDD_SAS", "disk_capacity", "\"\""},
        {kBase, "HDD_SAS", "disk_capacity", "\"12T\""},
        {kBase, "HDD_SAS", "disk_capacity", "1200"},
        {kBase, "HDD_SAS", "sector_size", "\"512\""},
        {kBase, "SSD_NVMe", "pci_address", nullptr},
        {kBase, "SSD_NVMe", "pci_address", "0"},
        {kHealth, "SSD_NVMe", "serial_number", nullptr},
        {kHealth, "SSD_NVMe", "power_on_hours", "\"1\""},
        {kHealth, "SSD_NVMe", "wear", nullptr},
        {kHealth, "SSD_NVMe", "disk_type", "\"NVMe\""},
        {kHealth, "SSD_NVMe", "vendor_id", "false"},
        {kHealth, "SSD_NVMe", "critical_warning", nullptr},
        {kHealth, "SSD_SATA", "SMART_list", "{}"},
        {kHealth, "SSD_SAS", "capacitance_id", nullptr},
        {kHealth, "SSD_SAS", "capacitance_status", "\"1\""},
        {kHealth, "HDD_SAS", "is_support_ie_log", "1"},
        {kHealth, "HDD_SAS", "ASC", nullptr},
        {kHealth, "HDD_NL_SAS", "ASCQ", "\"0\""},
        {kIo, "SSD_SAS", "queue_depth", "\"32\""},
        {kIo, "SSD_SAS", "io_busy_num", nullptr},
        {kIo, "SSD_SAS", "io_time", "10"},
        {kIo, "SSD_SAS", "bytes_read", "\"1.5\""},
        {kIo, "SSD_SAS", "write_latency_ticks", nullptr},
    };
    for (const auto &c : cases) {
        Json disk(builds[c.kind](Disk(c.diskType, "KORVAN", "M", "SN1", "sdx")));
        ASSERT_TRUE(checks[c.kind](disk.value)) << c.diskType << " must pass unbroken";
        cJSON_DeleteItemFromObject(disk.value, c.member);
        if (c.replacement != nullptr) {
            cJSON_AddItemToObject(disk.value, c.member, cJSON_Parse(c.replacement));
        }
        EXPECT_FALSE(checks[c.kind](disk.value)) << c.kind << " " << c.diskType << " " << c.member;
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
}

TEST_F(DcmValidateTest, SmartListNeedsExactlyThirtyCompleteAttributes)
{
    void (*const breaks[])(cJSON *list) = {
        [](cJSON *l) { cJSON_DeleteItemFromArray(l, 29); },
        [](cJSON *l) { cJSON_AddItemToArray(l, cJSON_CreateObject()); },
        [](cJSON *l) { cJSON_DeleteItemFromObject(cJSON_GetArrayItem(l, 17), "worst"); },
    };
    for (auto breakList : breaks) {
        Json disk(HealthJson(Disk("SSD_SATA", "ATA", "KSSD-1", "S", "sda")));
        breakList(cJSON_GetObjectItem(disk.value, "SMART_list"));
        EXPECT_FALSE(IsValidDiskHealthInfoJSON(disk.value));
    }
}

// The SAS SSD list follows the vendor class (the platform vendors in any
// case, nothing else): platform vendors report the capacitor, others the
// sense code.
TEST_F(DcmValidateTest, SasSsdHealthMembersFollowTheVendorClass)
{
    const struct {
        const char *vendor, *dropped;
        bool expected;
    } cases[] = {
        {"korvan", "ASC", true},     {"korvan", "capacitance_id", false},
        {"0x1C7F", "capacitance_status", false}, {"SAMSUNG", "capacitance_id", true},
        {"SAMSUNG", "ASCQ", false},  {"SAMSUNG", "ASC", false},
        {"KORVAN ", "capacitance_id", true}, {"Telmar", "ASC", true}, {"OSKEN", "ASC", true},
    };
    for (const auto &c : cases) {
        Json disk(HealthJson(Disk("SSD_SAS", c.vendor, "M", "S", "sda")));
        cJSON_DeleteItemFromObject(disk.value, c.dropped);
        EXPECT_EQ(IsValidDiskHealthInfoJSON(disk.value), c.expected) << c.vendor << " " << c.dropped;
    }
}

// A result holds at most as many disks as were asked (64 for the device
// list); IO results also carry the clock instant as digit strings.
TEST_F(DcmValidateTest, ResultChecksBoundTheDiskCount)
{
    auto result = [](int disks, bool ticks) {
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
    };
    for (int n : {0, 64, 65}) {
        Json r(result(n, false));
        EXPECT_EQ(IsValidDiskBriefInfoResultJson(r.value), n <= 64) << n;
        EXPECT_EQ(g_validateResultStrategyMap[MESSAGE_DISK_BRIEF_INFO](r.value, 0), n <= 64) << n;
    }
    EXPECT_FALSE(IsValidDiskBriefInfoResultJson(nullptr));
    Json r5(result(5, false)), r5t(result(5, true));
    for (uint32_t type : {MESSAGE_DISK_BASE_INFO, MESSAGE_DISK_HEALTH_INFO, MESSAGE_DISK_IOSTAT}) {
        const cJSON *r = type == MESSAGE_DISK_IOSTAT ? r5t.value : r5.value;
        for (uint32_t asked : {4u, 5u, 13u}) {
            EXPECT_EQ(g_validateResultStrategyMap[type](r, asked), asked >= 5) << type << "/" << asked;
        }
        EXPECT_FALSE(g_validateResultStrategyMap[type](nullptr, 20)) << type;
    }
    EXPECT_FALSE(g_validateResultStrategyMap[MESSAGE_DISK_IOSTAT](r5.value, 20)) << "no ticks";
    cJSON_ReplaceItemInObject(r5t.value, "ticks", cJSON_CreateNumber(5));
    EXPECT_FALSE(g_validateResultStrategyMap[MESSAGE_DISK_IOSTAT](r5t.value, 20)) << "number ticks";
    Json notArray(R"({"disks":{"a":1}})"), scalar("3");
    for (uint32_t type = 0; type < MESSAGE_TYPE_BUTT; ++type) {
        EXPECT_FALSE(g_validateResultStrategyMap[type](notArray.value, 20)) << type;
        EXPECT_FALSE(g_validateResultStrategyMap[type](scalar.value, 20)) << type;
    }
}

}  // namespace
