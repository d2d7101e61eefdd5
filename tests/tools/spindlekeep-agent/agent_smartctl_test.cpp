// The smartctl reader on every recorded output of real disks, on the same
// outputs with members missing, and on hand-made corner cases.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <tuple>

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
// count, vendor, verdict, attribute 5 (current/worst/threshold), NVMe
// critical warning, and for the SCSI disk its sense (IE log, asc), model,
// firmware and capacity. Older smartctl versions and bridges leave members
// out: with each top-level member dropped in turn the reader still succeeds.
TEST(AgentSmartctl, ReadsEveryRecordedOutputAndToleratesMissingMembers)
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
    };
    for (const auto &[name, want] : expected) {
        SCOPED_TRACE(name);
        std::string text = ReadFileText(SPK_SMARTCTL_DATA "/" + name);
        SmartctlInfo info = ParseText(text);
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
            got << " ie" << h.ieLog << " " << +h.asc << " " << info.model << " " << info.firmware
                << " " << info.capacity;
        }
        EXPECT_EQ(got.str(), want);
        JsonPtr root = ParseJson(text);
        for (int i = 0; i < cJSON_GetArraySize(root.get()); ++i) {
            JsonPtr copy(cJSON_Duplicate(root.get(), true), cJSON_Delete);
            cJSON_DeleteItemFromArray(copy.get(), i);
            char *without = cJSON_PrintUnformatted(copy.get());
            SCOPED_TRACE("without member " + std::to_string(i));
            ParseText(without);
            cJSON_free(without);
        }
    }
    EXPECT_EQ(ParseText("{}").protocol, "");
    for (const char *text : {"", "[]", "null", "{\"device\":", "smartctl: command not found"}) {
        SmartctlInfo info;
        std::string error;
        EXPECT_TRUE(!SmartctlParse(text, strlen(text), &info, &error) && !error.empty()) << text;
    }
}

// Sense codes and verdicts of SCSI disks, the wear attributes of ATA SSDs;
// numbers far outside their fields saturate instead of wrapping (a fuzz find).
TEST(AgentSmartctl, SenseCodesWearAndOutOfRangeNumbers)
{
    const std::tuple<const char *, bool, int, int> cases[] = {  // text, IE log, asc, ascq
        {R"({"device":{"protocol":"SCSI"},"smart_status":{"passed":false,"scsi":{"asc":93,"ascq":16}}})", true, 0x5D, 0x10},
        {R"({"device":{"protocol":"SCSI"},"smart_status":{"passed":true,"scsi":{"asc":0,"ascq":0}}})", true, 0, 0},
        {R"({"device":{"protocol":"SCSI"},"smart_status":{"passed":false}})", false, 0x5D, 0xFF},
        {R"({"device":{"protocol":"SCSI"}})", false, 0, 0},
    };
    for (const auto &[text, ieLog, asc, ascq] : cases) {
        SmartctlInfo info = ParseText(text);
        EXPECT_EQ(std::make_tuple(info.health.ieLog, +info.health.asc, +info.health.ascq), std::make_tuple(ieLog, asc, ascq))
            << text;
    }
    // An ATA SSD's wear is read from attribute 177, 231 or 233, whichever it has.
    for (int id : {177, 231, 233}) {
        std::string text = R"({"device":{"protocol":"ATA"},"rotation_rate":0,)";
        text += R"("ata_smart_attributes":{"table":[{"id":)" + std::to_string(id);
        EXPECT_EQ(ParseText(text + R"(,"value":70}]}})").health.wear, 3000u) << id;
    }
    SmartctlInfo info = ParseText(
        R"({"user_capacity":{"bytes":1e300},"logical_block_size":-5,"rotation_rate":-1e300,)"
        R"("power_on_time":{"hours":1e20},"device":{"protocol":"NVMe"},)"
        R"("nvme_smart_health_information_log":{"percentage_used":1e9,"critical_warning":4096}})");
    EXPECT_EQ(std::make_tuple(info.capacity, info.blockSize, info.rotation, info.health.powerOnHours, info.health.wear,
                              +info.health.criticalWarning),
              std::make_tuple(UINT64_MAX, 0u, INT64_MIN, UINT32_MAX, 10000u, 255));
}

}  // namespace
