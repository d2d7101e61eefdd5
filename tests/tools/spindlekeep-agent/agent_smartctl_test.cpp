// The smartctl reader on every recorded output of real disks, and on the same
// outputs with members missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "agent_test_util.h"
#include "smartctl_parse.h"

namespace {

using namespace agent_test;

// What each recorded output says, read off the files by hand: protocol,
// serial, power-on hours, wear (1/100 %), rotation (-1: none), attributes, vendor.
const std::map<std::string, std::string> kExpected = {
    {"smart-ata-failed-scrutiny.json", "ATA S14LNEACC02756X 19497h wear 200 rpm 0 attrs 14 vendor "},
    {"smart-ata-full.json", "ATA S3YZNB0KB00864E 14551h wear 1900 rpm 0 attrs 14 vendor "},
    {"smart-ata.json", "ATA 9RK1XXXX 1730h wear 0 rpm 5400 attrs 18 vendor "},
    {"smart-fail2.json", "ATA MSK423Y20S3HBC 65592h wear 0 rpm 7200 attrs 17 vendor "},
    {"smart-nvme-failed.json", "NVMe S466NX0M776250H 12798h wear 300 rpm -1 attrs 0 vendor 0x144d"},
    {"smart-nvme.json", "NVMe BTNH93710FS91P0B 2401h wear 0 rpm -1 attrs 0 vendor 0x8086"},
    {"smart-nvme2.json", "NVMe yes 6487h wear 100 rpm -1 attrs 0 vendor 0x1987"},
    {"smart-sat.json", "ATA  0h wear 0 rpm -1 attrs 22 vendor "},
    {"smart-scsi.json", "SCSI Z1Z5DWJK0000XXXXXXXX 43549h wear 0 rpm 7200 attrs 0 vendor SEAGATE"},
    {"smart-scsi2.json", "SCSI Z4028VRY0000C810BZXB 5675h wear 0 rpm 10500 attrs 0 vendor SEAGATE"},
};

std::vector<std::string> RecordedFiles()
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(SPK_SMARTCTL_DATA)) {
        if (entry.path().extension() == ".json") {
            names.push_back(entry.path().filename());
        }
    }
    return names;
}

SmartctlInfo ParseText(const std::string &text)
{
    SmartctlInfo info;
    std::string error;
    EXPECT_TRUE(SmartctlParse(text.data(), text.size(), &info, &error)) << error;
    return info;
}

SmartctlInfo ParseRecorded(const std::string &name)
{
    return ParseText(ReadFile(std::string(SPK_SMARTCTL_DATA) + "/" + name));
}

TEST(AgentSmartctl, ReadsEveryRecordedOutput)
{
    std::vector<std::string> files = RecordedFiles();
    EXPECT_EQ(files.size(), kExpected.size()) << "a recorded output is missing or has no expectations here";
    for (const std::string &name : files) {
        SCOPED_TRACE(name);
        ASSERT_EQ(kExpected.count(name), 1u) << "a new recorded output needs its expectations here";
        SmartctlInfo info = ParseRecorded(name);
        std::ostringstream got;
        got << info.protocol << " " << info.serial << " " << info.health.powerOnHours << "h wear " << info.health.wear
            << " rpm " << info.rotation << " attrs " << info.attributeCount << " vendor " << info.vendor;
        EXPECT_EQ(got.str(), kExpected.at(name));
        for (size_t i = info.attributeCount; i < kSmartAttrCount; ++i) {
            EXPECT_EQ(info.health.smart[i].id, 0) << "padding entry " << i;
        }
    }
}

TEST(AgentSmartctl, KeepsWhatTheDaemonJudgesPrefailOn)
{
    // The failing Hitachi: attribute 5 at 1 against a threshold of 5.
    SmartctlInfo failed = ParseRecorded("smart-fail2.json");
    EXPECT_TRUE(failed.statusKnown);
    EXPECT_FALSE(failed.passed);
    auto attr5 = std::find_if(std::begin(failed.health.smart), std::end(failed.health.smart),
                              [](const SmartAttr &attr) { return attr.id == 5; });
    ASSERT_NE(attr5, std::end(failed.health.smart));
    EXPECT_EQ(attr5->current, 1);
    EXPECT_EQ(attr5->worst, 1);
    EXPECT_EQ(attr5->threshold, 5);
    // A passing SAS disk without a reported sense code: no exception, and the
    // IE log is not claimed.
    SmartctlInfo scsi = ParseRecorded("smart-scsi.json");
    EXPECT_FALSE(scsi.health.ieLog);
    EXPECT_EQ(scsi.health.asc, 0);
    EXPECT_EQ(scsi.model, "ST4000NM0043");
    EXPECT_EQ(scsi.firmware, "MS03");
    EXPECT_EQ(scsi.capacity, 4000787030016u);
    EXPECT_EQ(ParseRecorded("smart-nvme.json").health.criticalWarning, 0);
    // Sense codes and failed verdicts of SCSI disks.
    struct Case {
        const char *text;
        bool ieLog;
        uint8_t asc, ascq;
    } cases[] = {
        {R"({"device":{"protocol":"SCSI"},"smart_status":{"passed":false,"scsi":{"asc":93,"ascq":16}}})", true, 0x5D, 0x10},
        {R"({"device":{"protocol":"SCSI"},"smart_status":{"passed":true,"scsi":{"asc":0,"ascq":0}}})", true, 0, 0},
        {R"({"device":{"protocol":"SCSI"},"smart_status":{"passed":false}})", false, 0x5D, 0xFF},
        {R"({"device":{"protocol":"SCSI"}})", false, 0, 0},
    };
    for (const Case &c : cases) {
        SmartctlInfo info = ParseText(c.text);
        EXPECT_EQ(info.health.ieLog, c.ieLog) << c.text;
        EXPECT_EQ(info.health.asc, c.asc) << c.text;
        EXPECT_EQ(info.health.ascq, c.ascq) << c.text;
    }
}

// Numbers far outside their fields saturate instead of wrapping (a fuzz find).
TEST(AgentSmartctl, OutOfRangeNumbersSaturate)
{
    SmartctlInfo info = ParseText(
        R"({"user_capacity":{"bytes":1e300},"logical_block_size":-5,"rotation_rate":-1e300,)"
        R"("power_on_time":{"hours":1e20},"device":{"protocol":"NVMe"},)"
        R"("nvme_smart_health_information_log":{"percentage_used":1e9,"critical_warning":4096}})");
    EXPECT_EQ(info.capacity, UINT64_MAX);
    EXPECT_EQ(info.blockSize, 0u);
    EXPECT_EQ(info.rotation, INT64_MIN);
    EXPECT_EQ(info.health.powerOnHours, UINT32_MAX);
    EXPECT_EQ(info.health.wear, 10000u);
    EXPECT_EQ(info.health.criticalWarning, 255);
}

// Older smartctl versions and bridges leave members out: drop each top-level
// member of every recorded output in turn; the reader must still succeed.
TEST(AgentSmartctl, ToleratesMissingMembers)
{
    for (const std::string &name : RecordedFiles()) {
        JsonPtr root = ParseJson(ReadFile(std::string(SPK_SMARTCTL_DATA) + "/" + name));
        ASSERT_NE(root, nullptr) << name;
        for (int i = 0; i < cJSON_GetArraySize(root.get()); ++i) {
            JsonPtr copy(cJSON_Duplicate(root.get(), true), cJSON_Delete);
            cJSON_DeleteItemFromArray(copy.get(), i);
            char *text = cJSON_PrintUnformatted(copy.get());
            SCOPED_TRACE(name + " without member " + std::to_string(i));
            ParseText(text);
            cJSON_free(text);
        }
    }
    EXPECT_EQ(ParseText("{}").protocol, "");
    for (const char *text : {"", "[]", "null", "{\"device\":", "smartctl: command not found"}) {
        SmartctlInfo info;
        std::string error;
        EXPECT_FALSE(SmartctlParse(text, strlen(text), &info, &error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
