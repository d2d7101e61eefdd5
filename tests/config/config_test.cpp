// The configuration file: defaults, access, switches, upgrade merge.
#include "config/config.h"

#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/persist_files.h"

namespace {

// The text of a document with the nodes' order kept and no white space.
std::string Print(const cJSON *doc)
{
    char *t = doc != nullptr ? cJSON_PrintUnformatted(doc) : nullptr;
    std::string s = t != nullptr ? t : "<unparsable>";
    cJSON_free(t);
    return s;
}

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr Parse(const char *text) { return JsonPtr(cJSON_Parse(text), cJSON_Delete); }

std::string Compact(const std::string &text) { return Print(Parse(text.c_str()).get()); }

const char *kSmallConfig =
    R"({"feature_switch": 0, "takeover_disk_switch": 1, "sas_hdd": {"task_cycle": 30, )"
    R"("min_threshold_value": 90, "min_slow_cycle": 60}, "operator_note": 5})";

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);  // format every message, too
        cfg_ = ResetTestPrefix() + "/config/spindlekeep_config.json";
    }
    void TearDown() override { ConfigUnload(); }

    // Starts from this file (none if empty) and this WAL (none if empty).
    int StartWith(const std::string &text, const std::string &wal = "")
    {
        ConfigUnload();
        (void)unlink(cfg_.c_str());
        if (!text.empty()) {
            WriteFileText(cfg_, text);
        }
        if (!wal.empty()) {
            WriteFileText(cfg_ + ".wal", wal);
        }
        return InitConfig();
    }
    // A value read with GetConfigInt (no child) or GetChildNodeConfigInt.
    uint32_t Get(const char *key, const char *child = nullptr)
    {
        uint32_t v = 0xDEAD;
        int ret = child == nullptr ? GetConfigInt(key, &v) : GetChildNodeConfigInt(key, child, &v);
        EXPECT_EQ(ret, 0) << key;
        return v;
    }

    std::string cfg_;
};

TEST_F(ConfigTest, DefaultsWithoutFileOrBackupAndNoFileUntilAChange)
{
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(InitConfig(), 1) << "a second init is refused";
    EXPECT_FALSE(FileExists(cfg_));
    ASSERT_EQ(SetChildNodeConfigInt("nvme_disk", "min_slow_cycle", 70), 0);
    EXPECT_EQ(Compact(ReadFileText(cfg_)),
              R"({"feature_switch":1,"takeover_disk_switch":0,"disklife_prediction":{)"
              R"("task_cycle":86400},"sata_ssd_disk":{"task_cycle":20,"min_threshold_value":1,)"
              R"("min_slow_cycle":50},"sas_ssd_disk":{"task_cycle":20,"min_threshold_value":1,)"
              R"("min_slow_cycle":50},"nvme_disk":{"task_cycle":20,"min_threshold_value":1,)"
              R"("min_slow_cycle":70},"sas_hdd":{"task_cycle":20,"min_threshold_value":100,)"
              R"("min_slow_cycle":50}})");
    EXPECT_EQ(StatFile(cfg_).st_mode & 07777, 0640U);
}

// Switches accept only 0 and 1, on reading and on setting.
TEST_F(ConfigTest, LookupsIgnoreCaseKeepUnknownKeysAndSignedValues)
{
    ASSERT_EQ(StartWith(kSmallConfig), 0);
    EXPECT_EQ(Get("FEATURE_SWITCH"), 0U);
    EXPECT_EQ(Get("SAS_HDD", "Min_Threshold_Value"), 90U);
    ASSERT_EQ(SetConfigInt("TAKEOVER_disk_switch", 0) | SetConfigInt("operator_note", -5), 0);
    EXPECT_EQ(SetSwitchConfig("takeover_disk_switch", 2), 1);
    EXPECT_EQ(SetSwitchConfig("feature_switch", -1), 1);
    EXPECT_EQ(Compact(ReadFileText(cfg_)),
              R"({"feature_switch":0,"takeover_disk_switch":0,"sas_hdd":{"task_cycle":30,)"
              R"("min_threshold_value":90,"min_slow_cycle":60},"operator_note":-5})");
    ASSERT_EQ(StartWith(R"({"feature_switch": 2, "takeover_disk_switch": 1, "n": -5})"), 0);
    EXPECT_EQ(static_cast<int32_t>(Get("n")), -5);
    uint32_t v = 7;
    EXPECT_EQ(GetSwitchConfig("feature_switch", &v), 1);
    EXPECT_EQ(GetSwitchConfig("takeover_disk_switch", &v), 0);
    EXPECT_EQ(v, 1U);
}

// An unparsable file stops the start and is left as it is; a WAL left by an
// interrupted save is the configuration, a torn one alone gives the defaults.
TEST_F(ConfigTest, StartFromUnparsableFileOrLeftWal)
{
    for (const char *text : {R"({"feature_switch": 1,)", "[1, 2]"}) {
        EXPECT_EQ(StartWith(text), 1) << text;
        EXPECT_EQ(ReadFileText(cfg_), text);
        uint32_t v = 9;
        EXPECT_EQ(GetConfigInt("feature_switch", &v), 1);
    }
    for (std::string wal : {std::string(kSmallConfig), std::string(R"({"feature_switch": 0,)")}) {
        ASSERT_EQ(StartWith("", wal), 0);
        bool whole = wal == kSmallConfig;
        EXPECT_EQ(Get("feature_switch"), whole ? 0U : 1U);
        EXPECT_EQ(Compact(ReadFileText(cfg_)), whole ? Compact(wal) : "<unparsable>");
        EXPECT_EQ(FileExists(cfg_ + ".wal"), !whole);  // a torn one waits for the next save
    }
}

TEST(ConfigUpgradeNodeTest, MergeRules)
{
    const char *deep = R"({"a":{"b":{"c":{"d":{}}}}})";
    const char *deeper = R"({"a":{"b":{"c":{"d":{"e":{}}}}}})";
    const struct {
        const char *config;
        const char *upgrade;
        const char *merged;  // compact; "fails": the merge fails
    } cases[] = {
        {R"({"a":1})", R"({"b":2})", R"({"a":1,"b":2})"},
        {R"({"a":1})", R"({"A":9})", R"({"a":1})"},
        {R"({"o":{"x":1}})", R"({"o":{"x":5,"y":2}})", R"({"o":{"x":1,"y":2}})"},
        {R"({"o":3})", R"({"o":{"y":2}})", R"({"o":3})"},
        {"{}", R"({"n":{"m":{"k":[1,2]}}})", R"({"n":{"m":{"k":[1,2]}}})"},
        {deep, R"({"a":{"b":{"c":{"d":{"e":1}}}}})", R"({"a":{"b":{"c":{"d":{"e":1}}}}})"},
        {deeper, R"({"a":{"b":{"c":{"d":{"e":{"f":1}}}}}})", "fails"},
        {"{}", "[1]", "fails"},
    };
    for (const auto &c : cases) {
        JsonPtr config = Parse(c.config), upgrade = Parse(c.upgrade);
        int ret = ConfigUpgradeNode(config.get(), upgrade.get(), 0);
        EXPECT_EQ(ret == 0 ? Print(config.get()) : ret == 1 ? "fails" : "?", c.merged) << c.upgrade;
    }
}

}  // namespace
