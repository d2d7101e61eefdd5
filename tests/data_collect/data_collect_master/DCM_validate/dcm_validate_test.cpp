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

// Member names ignore case but must match whole.
TEST_F(DcmValidateTest, CheckListNeedsEveryMemberWithItsKind)
{
    const CheckListItem list[] = {{"a", IsJsonString}, {"b", IsJsonNumber}, {"c", IsJsonBool}};
    Json good(R"({"a":"","B":2,"C":true,"ignored":[]})");  // names ignore case
    EXPECT_TRUE(IsValidJsonWithCheckList(good.value, list, 3));
    for (const char *bad : {R"({"A":"x","b":"2","c":true})", R"({"a":"x","b":2,"c":1})",
                            R"({"a":"x","b":2})", R"({"ab":"x","b":2,"c":true})"}) {
        Json object(bad);
        EXPECT_FALSE(IsValidJsonWithCheckList(object.value, list, 3)) << bad;
    }
    EXPECT_FALSE(IsValidJsonWithCheckList(nullptr, list, 3));
    EXPECT_FALSE(IsValidJsonWithCheckList(good.value, nullptr, 0));
}

// A SATA attribute list of `n` attributes, the last one without "worst" if `cut`.
std::string SmartList(int n, bool cut = false)
{
    std::string t;
    for (int i = 0; i < n; ++i) {
        t += std::string(i ? "," : "[") + R"({"id":1,"threshold":2,"current_value":3)" +
             (cut && i == n - 1 ? "}" : R"(,"worst":4})");
    }
    return t + "]";
}

// Every well-formed disk passes its checks (but SATA HDDs have no health
// answer); each row then changes one member (removed when the replacement is
// empty) and says whether the disk still passes.
TEST_F(DcmValidateTest, EveryCheckedMemberIsRequiredWithItsKind)
{
    bool (*const checks[])(const cJSON *) = {IsValidDiskBriefInfoJSON, IsValidDiskBaseInfoJSON,
                                             IsValidDiskHealthInfoJSON, IsValidDiskIoInfoJSON};
    cJSON *(*const builds[])(const TestDisk &) = {
        BriefJson, BaseJson, HealthJson, [](const TestDisk &d) { return IoJson(d); }};
    enum { kBrief, kBase, kHealth, kIo };
    for (const char *type : {"SSD_NVMe", "SSD_SAS", "SSD_SATA", "HDD_SAS", "HDD_SATA", "HDD_NL_SAS"}) {
        for (int kind = kBrief; kind <= kIo; ++kind) {
            Json disk(builds[kind](TestDisk{type, "KORVAN", "KSSD-1", "SN", "sda"}));
            EXPECT_EQ(checks[kind](disk.value), kind != kHealth || std::string(type) != "HDD_SATA")
                << type << kind;
        }
    }
    const struct {
        int kind;
        const char *type, *member;
        std::string replacement;
        const char *vendor = "KORVAN";
        bool ok = false;
    } cases[] = {
        {kBrief, "SSD_SAS", "device_name", ""},        {kBrief, "SSD_SAS", "serial_number", "5"},
        {kBase, "HDD_SAS", "device_name", "null"},     {kBase, "HDD_SAS", "serial_number", ""},
        {kBase, "HDD_SAS", "vendor_id", "1"},          {kBase, "HDD_SAS", "disk_type", "\"HDD\""},
        {kBase, "HDD_SAS", "disk_type", "\"SSD-NVMe\""},
        {kBase, "HDD_SAS", "disk_media_type", "\"OPTICAL\""},
        {kBase, "HDD_SAS", "model_number", ""},        {kBase, "HDD_SAS", "firmware_revision", "[]"},
        {kBase, "HDD_SAS", "disk_capacity", "\"\""},   {kBase, "HDD_SAS", "disk_capacity", "\"12T\""},
        {kBase, "HDD_SAS", "disk_capacity", "\"/\""},  {kBase, "HDD_SAS", "disk_capacity", "\":\""},
        {kBase, "HDD_SAS", "disk_capacity", "1200"},   {kBase, "HDD_SAS", "sector_size", "\"512\""},
        {kBase, "SSD_NVMe", "pci_address", ""},        {kBase, "SSD_NVMe", "pci_address", "0"},
        {kHealth, "SSD_NVMe", "serial_number", ""},    {kHealth, "SSD_NVMe", "power_on_hours", "\"1\""},
        {kHealth, "SSD_NVMe", "wear", ""},             {kHealth, "SSD_NVMe", "disk_type", "\"NVMe\""},
        {kHealth, "SSD_NVMe", "vendor_id", "false"},   {kHealth, "SSD_NVMe", "critical_warning", ""},
        {kHealth, "SSD_SATA", "SMART_list", "{}"},     {kHealth, "SSD_SATA", "SMART_list", SmartList(29)},
        {kHealth, "SSD_SATA", "SMART_list", SmartList(31)},
        {kHealth, "SSD_SATA", "SMART_list", SmartList(30, true)},
        {kHealth, "SSD_SATA", "SMART_list", SmartList(30), "ATA", true},
        {kHealth, "SSD_SAS", "capacitance_status", "\"1\""},
        {kHealth, "HDD_SAS", "is_support_ie_log", "1"}, {kHealth, "HDD_SAS", "ASC", ""},
        {kHealth, "HDD_NL_SAS", "ASCQ", "\"0\""},
        // SAS SSDs of the platform vendors (any case, nothing else) report
        // the capacitor, the others the sense code.
        {kHealth, "SSD_SAS", "capacitance_id", ""},    {kHealth, "SSD_SAS", "ASC", "", "korvan", true},
        {kHealth, "SSD_SAS", "capacitance_status", "", "0x1C7F"},
        {kHealth, "SSD_SAS", "capacitance_id", "", "SAMSUNG", true},
        {kHealth, "SSD_SAS", "ASCQ", "", "SAMSUNG"},   {kHealth, "SSD_SAS", "ASC", "", "SAMSUNG"},
        {kHealth, "SSD_SAS", "capacitance_id", "", "KORVAN ", true},
        {kHealth, "SSD_SAS", "ASC", "", "Telmar", true}, {kHealth, "SSD_SAS", "ASC", "", "OSKEN", true},
        {kIo, "SSD_SAS", "queue_depth", "\"32\""},     {kIo, "SSD_SAS", "io_busy_num", ""},
        {kIo, "SSD_SAS", "io_time", "10"},             {kIo, "SSD_SAS", "bytes_read", "\"1.5\""},
        {kIo, "SSD_SAS", "write_latency_ticks", ""},
    };
    for (const auto &c : cases) {
        Json disk(builds[c.kind](TestDisk{c.type, c.vendor, "M", "SN1", "sdx"}));
        cJSON_DeleteItemFromObject(disk.value, c.member);
        if (!c.replacement.empty()) {
            cJSON_AddItemToObject(disk.value, c.member, cJSON_Parse(c.replacement.c_str()));
        }
        EXPECT_EQ(checks[c.kind](disk.value), c.ok) << c.type << " " << c.vendor << " " << c.member
                                                   << " " << c.replacement;
    }
}

// A result holds at most as many disks as were asked (64 for the device
// list); IO results also carry the clock instant as digit strings.
TEST_F(DcmValidateTest, ResultChecksBoundTheDiskCount)
{
    auto result = [](int disks, bool ticks) {
        std::string t = R"({"disks":[)";
        for (int i = 0; i < disks; ++i) {
            t += i ? ",{}" : "{}";
        }
        return t + (ticks ? R"(],"tick_rate":"1000","ticks":"123456"})" : "]}");
    };
    for (int n : {0, 64, 65}) {
        Json r(result(n, false));
        EXPECT_EQ(IsValidDiskBriefInfoResultJson(r.value), n <= 64) << n;
        EXPECT_EQ(g_validateResultStrategyMap[MESSAGE_DISK_BRIEF_INFO](r.value, 0), n <= 64) << n;
    }
    EXPECT_FALSE(IsValidDiskBriefInfoResultJson(nullptr));
    Json r5(result(5, false)), r5t(result(5, true));
    for (uint32_t type : {MESSAGE_DISK_BASE_INFO, MESSAGE_DISK_HEALTH_INFO, MESSAGE_DISK_IOSTAT}) {
        for (uint32_t asked : {4u, 5u, 13u}) {
            const cJSON *r = type == MESSAGE_DISK_IOSTAT ? r5t.value : r5.value;
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
