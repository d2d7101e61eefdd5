// The smartctl reader on every recorded output of real disks, and on the same
// outputs with members missing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "agent_test_util.h"
#include "smartctl_parse.h"

namespace {

using namespace agent_test;

SmartctlInfo ParseText(const std::string &text)
{
    SmartctlInfo info;
    std::string error;
    EXPECT_TRUE(SmartctlParse(text.data(), text.size(), &info, &error)) << error;
    return info;
}

// What each recorded output says, read off the files by hand: protocol,
// serial, power-on hours, wear (1/100 %), rotation (-1: none), attribute
// count, vendor, verdict, attribute 5 (current/worst/threshold), SCSI sense
// (SCSI only: IE log, asc), model, firmware, capacity, NVMe critical warning.
TEST(AgentSmartctl, ReadsEveryRecordedOutput)
{
    const std::map<std::string, std::string> expected = {
        {"smart-ata-failed-scrutiny.json", "ATA S14LNEACC02756X 19497h 200 0 14  pass 100/100/10 cw0"},
        {"smart-ata-full.json", "ATA S3YZNB0KB00864E 14551h 1900 0 14  pass 100/100/10 cw0"},
        {"smart-ata.json", "ATA 9RK1XXXX 1730h 0 5400 18  pass 100/100/1 cw0"},
        {"smart-fail2.json", "ATA MSK423Y20S3HBC 65592h 0 7200 17  FAIL 1/1/5 cw0"},
        {"smart-nvme-failed.json", "NVMe S466NX0M776250H 12798h 300 -1 0 0x144d pass 0/0/0 cw0"},
        {"smart-nvme.json", "NVMe BTNH93710FS91P0B 2401h 0 -1 0 0x8086 pass 0/0/0 cw0"},
        {"smart-nvme2.json", "NVMe yes 6487h 100 -1 0 0x1987 pass 0/0/0 cw0"},
        {"smart-sat.json", "ATA  0h 0 -1 22  pass 100/100/36 cw0"},
        {"smart-scsi.json", "SCSI Z1Z5DWJK0000XXXXXXXX 43549h 0 7200 0 SEAGATE pass 0/0/0 cw0 ie0 0 "
                            "ST4000NM0043 MS03 4000787030016"},
        {"smart-scsi2.json", "SCSI Z4028VRY0000C810BZXB 5675h 0 10500 0 SEAGATE pass 0/0/0 cw0 ie0 0"},
    };
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(SPK_SMARTCTL_DATA)) {
        std::string name = entry.path().filename();
        if (entry.path().extension() != ".json") {
            continue;
        }
        SCOPED_TRACE(name);
        ASSERT_EQ(expected.count(name), 1u) << "a new recorded output needs its expectations here";
        ++files;
        SmartctlInfo info = ParseText(ReadFileText(entry.path()));
        const DiskHealth &h = info.health;
        SmartAttr attr5{};
        for (size_t i = 0; i < kSmartAttrCount; ++i) {
            attr5 = h.smart[i].id == 5 ? h.smart[i] : attr5;
            EXPECT_TRUE(i < info.attributeCount || h.smart[i].id == 0) << "padding entry " << i;
        }
        std::ostringstream got;
        got << info.protocol << " " << info.serial << " " << h.powerOnHours << "h " << h.wear << " " << info.rotation
            << " " << info.attributeCount << " " << info.vendor << " "
            << (info.statusKnown && !info.passed ? "FAIL" : "pass") << " " << +attr5.current << "/" << +attr5.worst
            << "/" << +attr5.threshold << " cw" << +h.criticalWarning;
        if (info.protocol == "SCSI") {
            got << " ie" << h.ieLog << " " << +h.asc;
        }
        if (info.model == "ST4000NM0043") {
            got << " " << info.model << " " << info.firmware << " " << info.capacity;
        }
        EXPECT_EQ(got.str(), expected.at(name));
    }
    EXPECT_EQ(files, expected.size()) << "a recorded output is missing";
}

// Sense codes and verdicts of SCSI disks, the wear attributes of ATA SSDs;
// numbers far outside their fields saturate instead of wrapping (a fuzz find).
TEST(AgentSmartctl, SenseCodesWearAndOutOfRangeNumbers)
{
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
    // An ATA SSD's wear is read from attribute 177, 231 or 233, whichever it has.
    for (int id : {177, 231, 233}) {
        EXPECT_EQ(ParseText(R"({"device":{"protocol":"ATA"},"rotation_rate":0,"ata_smart_attributes":{"table":[{"id":)" +
                            std::to_string(id) + R"(,"value":70}]}})")
                      .health.wear,
                  3000u)
            << id;
    }
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
    for (const auto &entry : std::filesystem::directory_iterator(SPK_SMARTCTL_DATA)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        JsonPtr root = ParseJson(ReadFileText(entry.path()));
        ASSERT_NE(root, nullptr) << entry.path();
        for (int i = 0; i < cJSON_GetArraySize(root.get()); ++i) {
            JsonPtr copy(cJSON_Duplicate(root.get(), true), cJSON_Delete);
            cJSON_DeleteItemFromArray(copy.get(), i);
            char *text = cJSON_PrintUnformatted(copy.get());
            SCOPED_TRACE(entry.path().string() + " without member " + std::to_string(i));
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
