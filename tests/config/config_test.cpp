// The configuration file: defaults, access, switches, upgrade merge.
#include "config/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config/config_prefix.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/file_fault.h"
#include "support/log_capture.h"
#include "support/persist_files.h"

namespace {

struct CJsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

std::string Compact(const std::string &text)
{
    JsonPtr doc(cJSON_Parse(text.c_str()));
    if (!doc) {
        return "<unparsable>";
    }
    char *t = cJSON_PrintUnformatted(doc.get());
    std::string s = t;
    cJSON_free(t);
    return s;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
        prefix_ = ResetTestPrefix();
        cfg_ = prefix_ + "/config/spindlekeep_config.json";
        upgrade_ = cfg_ + ".rpmnew";
    }
    void TearDown() override { ConfigUnload(); }

    uint32_t Top(const char *key)
    {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(GetConfigInt(key, &v), 0) << key;
        return v;
    }
    uint32_t Child(const char *parent, const char *child)
    {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(GetChildNodeConfigInt(parent, child, &v), 0) << parent << "/" << child;
        return v;
    }

    std::string prefix_;
    std::string cfg_;
    std::string upgrade_;
};

const char *kSmallConfig =
    "{\"feature_switch\": 0, \"takeover_disk_switch\": 1, \"sas_hdd\": {\"task_cycle\": 30, "
    "\"min_threshold_value\": 90, \"min_slow_cycle\": 60}, \"operator_note\": 5}";

TEST_F(ConfigTest, DefaultsWithoutFileOrBackupAndNoFileUntilAChange)
{
    LogCapture logs;
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_TRUE(logs.Contains("try recover form back up config"));
    EXPECT_TRUE(logs.Contains("Config init successfully"));
    EXPECT_EQ(Top("feature_switch"), 1U);
    EXPECT_EQ(Top("takeover_disk_switch"), 0U);
    EXPECT_EQ(Child("disklife_prediction", "task_cycle"), 86400U);
    const struct {
        const char *type;
        uint32_t threshold;
    } types[] = {{"sata_ssd_disk", 1}, {"sas_ssd_disk", 1}, {"nvme_disk", 1}, {"sas_hdd", 100}};
    for (const auto &t : types) {
        EXPECT_EQ(Child(t.type, "task_cycle"), 20U) << t.type;
        EXPECT_EQ(Child(t.type, "min_threshold_value"), t.threshold) << t.type;
        EXPECT_EQ(Child(t.type, "min_slow_cycle"), 50U) << t.type;
    }
    EXPECT_FALSE(FileExists(cfg_));

    ASSERT_EQ(SetChildNodeConfigInt("nvme_disk", "min_slow_cycle", 70), 0);
    EXPECT_EQ(Compact(ReadFileText(cfg_)),
              "{\"feature_switch\":1,\"takeover_disk_switch\":0,\"disklife_prediction\":{"
              "\"task_cycle\":86400},\"sata_ssd_disk\":{\"task_cycle\":20,\"min_threshold_value\":1,"
              "\"min_slow_cycle\":50},\"sas_ssd_disk\":{\"task_cycle\":20,\"min_threshold_value\":1,"
              "\"min_slow_cycle\":50},\"nvme_disk\":{\"task_cycle\":20,\"min_threshold_value\":1,"
              "\"min_slow_cycle\":70},\"sas_hdd\":{\"task_cycle\":20,\"min_threshold_value\":100,"
              "\"min_slow_cycle\":50}}");
    EXPECT_EQ(StatFile(cfg_).st_mode & 07777, 0640U);
}

TEST_F(ConfigTest, LookupsIgnoreLetterCaseAndKeepUnknownKeys)
{
    WriteFileText(cfg_, kSmallConfig);
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(Top("FEATURE_SWITCH"), 0U);
    EXPECT_EQ(Top("Feature_Switch"), 0U);
    EXPECT_EQ(Child("SAS_HDD", "Min_Threshold_Value"), 90U);
    ASSERT_EQ(SetConfigInt("TAKEOVER_disk_switch", 0), 0);
    EXPECT_EQ(Compact(ReadFileText(cfg_)),
              "{\"feature_switch\":0,\"takeover_disk_switch\":0,\"sas_hdd\":{\"task_cycle\":30,"
              "\"min_threshold_value\":90,\"min_slow_cycle\":60},\"operator_note\":5}");
}

TEST_F(ConfigTest, FailingGettersLeaveTheValueAlone)
{
    WriteFileText(cfg_, "{\"feature_switch\": 2, \"text\": \"7\", \"obj\": {\"n\": 1}}");
    ASSERT_EQ(InitConfig(), 0);
    const struct {
        const char *parent;
        const char *child;
        const char *log;
    } cases[] = {
        {"missing", nullptr, "no such config missing"},
        {"obj", "absent", "no such config absent"},
        {"feature_switch", "n", "no such config n"},
        {"text", nullptr, "config text is not a number"},
        {"obj", nullptr, "config obj is not a number"},
        {nullptr, nullptr, "null input"},
        {nullptr, "n", "null input"},
    };
    for (const auto &c : cases) {
        LogCapture logs;
        uint32_t v = 2;
        int ret = c.child == nullptr ? GetConfigInt(c.parent, &v)
                                     : GetChildNodeConfigInt(c.parent, c.child, &v);
        EXPECT_EQ(ret, 1);
        EXPECT_EQ(v, 2U);
        EXPECT_TRUE(logs.Contains(c.log)) << c.log << logs.Dump();
    }
}

TEST_F(ConfigTest, SwitchesAcceptOnlyZeroAndOne)
{
    WriteFileText(cfg_, "{\"feature_switch\": 2, \"takeover_disk_switch\": 1}");
    ASSERT_EQ(InitConfig(), 0);
    LogCapture logs;
    uint32_t v = 7;
    EXPECT_EQ(GetSwitchConfig("feature_switch", &v), 1);
    EXPECT_TRUE(logs.Contains("invalid switch val: 2"));
    EXPECT_EQ(Top("feature_switch"), 2U);
    EXPECT_EQ(GetSwitchConfig("takeover_disk_switch", &v), 0);
    EXPECT_EQ(v, 1U);

    std::string before = ReadFileText(cfg_);
    EXPECT_EQ(SetSwitchConfig("takeover_disk_switch", 3), 1);
    EXPECT_EQ(SetSwitchConfig("takeover_disk_switch", -1), 1);
    EXPECT_TRUE(logs.Contains("invalid switch val: 3"));
    EXPECT_EQ(Top("takeover_disk_switch"), 1U);
    EXPECT_EQ(ReadFileText(cfg_), before);
    EXPECT_TRUE(ListDir(prefix_ + "/userconfig_bak").empty());

    EXPECT_EQ(SetSwitchConfig("feature_switch", 1), 0);
    EXPECT_EQ(GetSwitchConfig("feature_switch", &v), 0);
    EXPECT_EQ(v, 1U);
    EXPECT_EQ(CheckSwitchConfig(0), 0);
}

TEST_F(ConfigTest, SignedValuesRoundTrip)
{
    WriteFileText(cfg_, kSmallConfig);
    ASSERT_EQ(InitConfig(), 0);
    ASSERT_EQ(SetConfigInt("operator_note", -5), 0);
    EXPECT_EQ(static_cast<int32_t>(Top("operator_note")), -5);
    ConfigUnload();
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(static_cast<int32_t>(Top("operator_note")), -5);
}

TEST_F(ConfigTest, FailedSaveKeepsTheValueInMemoryOnly)
{
    WriteFileText(cfg_, kSmallConfig);
    ASSERT_EQ(InitConfig(), 0);
    LogCapture logs;
    {
        FileFault fault;
        fault.FailNth(FILE_SYS_OPEN, 1, ENOSPC);
        EXPECT_EQ(SetChildNodeConfigInt("sas_hdd", "task_cycle", 45), 1);
        EXPECT_EQ(SetConfigInt("feature_switch", 1), 0);  // the next save works again
    }
    EXPECT_TRUE(logs.Contains("save config parent:sas_hdd child:task_cycle val:45 to file failed: -1"));
    EXPECT_EQ(Child("sas_hdd", "task_cycle"), 45U);
    EXPECT_EQ(Compact(ReadFileText(cfg_)).find("\"task_cycle\":45") != std::string::npos, true);

    EXPECT_EQ(SetConfigInt("absent_key", 1), 1);
    EXPECT_TRUE(logs.Contains("no such config absent_key"));
    EXPECT_EQ(SetChildNodeConfigInt(nullptr, "x", 1), 1);
    EXPECT_TRUE(logs.Contains("null input parent:"));
}

TEST_F(ConfigTest, UnparsableFileStopsStartUpAndTouchesNothing)
{
    const char *bad[] = {"{\"feature_switch\": 1,", "[1, 2]", "", "null"};
    WriteFileText(prefix_ + "/userconfig_bak/spindlekeep_config_bak__2024-01-01-00-00-00",
                  kSmallConfig);
    WriteFileText(upgrade_, "{\"new_key\": 1}");
    for (const char *text : bad) {
        WriteFileText(cfg_, text);
        LogCapture logs;
        EXPECT_EQ(InitConfig(), 1) << text;
        EXPECT_TRUE(logs.Contains("load file " + cfg_ + " failed")) << text;
        EXPECT_TRUE(logs.Contains("Config init failed")) << text;
        EXPECT_FALSE(logs.Contains("recover")) << text;
        EXPECT_EQ(ReadFileText(cfg_), text);
        EXPECT_EQ(ListDir(prefix_ + "/config"),
                  (std::vector<std::string>{"spindlekeep_config.json", "spindlekeep_config.json.rpmnew"}));
        EXPECT_EQ(ListDir(prefix_ + "/userconfig_bak").size(), 1U);
        uint32_t v = 9;
        EXPECT_EQ(GetConfigInt("feature_switch", &v), 1);
    }
}

TEST_F(ConfigTest, WalLeftByAnInterruptedSaveIsTheConfiguration)
{
    WriteFileText(cfg_ + ".wal", kSmallConfig);
    LogCapture logs;
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_FALSE(logs.Contains("try recover form back up config"));
    EXPECT_EQ(Top("feature_switch"), 0U);
    EXPECT_FALSE(FileExists(cfg_ + ".wal"));
    EXPECT_EQ(Compact(ReadFileText(cfg_)), Compact(kSmallConfig));

    // A torn WAL alone is no configuration: recovery, then the defaults.
    ConfigUnload();
    (void)unlink(cfg_.c_str());
    WriteFileText(cfg_ + ".wal", "{\"feature_switch\": 0,");
    logs.Clear();
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_TRUE(logs.Contains("try recover form back up config"));
    EXPECT_EQ(Top("feature_switch"), 1U);
}

TEST_F(ConfigTest, SecondInitIsRefused)
{
    ASSERT_EQ(InitConfig(), 0);
    LogCapture logs;
    EXPECT_EQ(InitConfig(), 1);
    EXPECT_TRUE(logs.Contains("Config already inited"));
    EXPECT_EQ(Top("feature_switch"), 1U);
}

TEST_F(ConfigTest, UpgradeAddsMissingKeysAndKeepsEveryExistingValue)
{
    WriteFileText(cfg_, kSmallConfig);
    WriteFileText(upgrade_,
                  "{\"feature_switch\": 1, \"sas_hdd\": {\"task_cycle\": 20, \"io_window\": 8},"
                  " \"nl_sas_hdd\": {\"task_cycle\": 25, \"min_slow_cycle\": 40},"
                  " \"operator_note\": {\"x\": 1}}");
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_FALSE(FileExists(upgrade_));
    EXPECT_EQ(Top("feature_switch"), 0U);
    EXPECT_EQ(Child("sas_hdd", "task_cycle"), 30U);
    EXPECT_EQ(Child("sas_hdd", "io_window"), 8U);
    EXPECT_EQ(Child("nl_sas_hdd", "min_slow_cycle"), 40U);
    EXPECT_EQ(Top("operator_note"), 5U);
    EXPECT_EQ(Compact(ReadFileText(cfg_)),
              "{\"feature_switch\":0,\"takeover_disk_switch\":1,\"sas_hdd\":{\"task_cycle\":30,"
              "\"min_threshold_value\":90,\"min_slow_cycle\":60,\"io_window\":8},\"operator_note\":5,"
              "\"nl_sas_hdd\":{\"task_cycle\":25,\"min_slow_cycle\":40}}");
}

struct UpgradeFailCase {
    const char *name;
    std::string upgrade;
    FileSysId faultId;  // FILE_SYS_COUNT: no fault
    const char *log;
};

TEST_F(ConfigTest, FailedUpgradeLeavesTheUpgradeFileForTheNextStart)
{
    const UpgradeFailCase cases[] = {
        {"unparsable", "{\"new_key\": ", FILE_SYS_COUNT, "failed, but continue"},
        {"not an object", "[1]", FILE_SYS_COUNT, nullptr},
        {"save fails", "{\"new_key\": 1}", FILE_SYS_CHOWN, "save upgrade config to file failed, but continue"},
    };
    for (const auto &c : cases) {
        ConfigUnload();
        WriteFileText(cfg_, kSmallConfig);
        WriteFileText(upgrade_, c.upgrade);
        LogCapture logs;
        {
            FileFault fault;
            if (c.faultId != FILE_SYS_COUNT) {
                fault.FailNth(c.faultId, 1, EIO);
            }
            ASSERT_EQ(InitConfig(), 0) << c.name;
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(logs.Contains(c.log)) << c.name << logs.Dump();
        }
        EXPECT_EQ(ReadFileText(upgrade_), c.upgrade) << c.name;
        EXPECT_EQ(Compact(ReadFileText(cfg_)), Compact(kSmallConfig)) << c.name;
        uint32_t v = 77;
        EXPECT_EQ(GetConfigInt("new_key", &v), 1) << c.name << ": the tree is the file's";
        EXPECT_EQ(v, 77U);
    }
}

TEST_F(ConfigTest, RefusedMergeReloadsTheFile)
{
    const std::string deepConfig = "{\"feature_switch\":1,\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{}}}}}}";
    // "top" is merged in before the walk reaches the refused depth; the
    // half-merged tree must not survive.
    const std::string upgrade = "{\"top\":1,\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{\"f\":1}}}}}}";
    WriteFileText(cfg_, deepConfig);
    WriteFileText(upgrade_, upgrade);
    LogCapture logs;
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_TRUE(logs.Contains("upgrade node a failed"));
    uint32_t v = 0;
    EXPECT_EQ(GetConfigInt("top", &v), 1);
    EXPECT_EQ(ReadFileText(upgrade_), upgrade);
    EXPECT_EQ(ReadFileText(cfg_), deepConfig);
}

TEST_F(ConfigTest, UpgradeDeleteFailureIsLoggedAndStartContinues)
{
    WriteFileText(cfg_, kSmallConfig);
    WriteFileText(upgrade_, "{\"new_key\": 3}");
    LogCapture logs;
    FileFault fault;
    // The save removes the old file first (unlink 1); the upgrade file is unlink 2.
    fault.FailNth(FILE_SYS_UNLINK, 2, EACCES);
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_TRUE(logs.Contains("del upgrade config file failed 13, but continue")) << logs.Dump();
    EXPECT_EQ(Top("new_key"), 3U);
}

struct MergeCase {
    const char *name;
    const char *config;
    const char *upgrade;
    int result;
    const char *merged;  // compact; unused when the merge fails
};

TEST(ConfigUpgradeNodeTest, MergeRules)
{
    const MergeCase cases[] = {
        {"adds top level", "{\"a\":1}", "{\"b\":2}", 0, "{\"a\":1,\"b\":2}"},
        {"existing value wins", "{\"a\":1}", "{\"A\":9}", 0, "{\"a\":1}"},
        {"nested child added", "{\"o\":{\"x\":1}}", "{\"o\":{\"x\":5,\"y\":2}}", 0,
         "{\"o\":{\"x\":1,\"y\":2}}"},
        {"object replaces nothing", "{\"o\":3}", "{\"o\":{\"y\":2}}", 0, "{\"o\":3}"},
        {"empty object filled", "{\"o\":{}}", "{\"o\":{\"y\":2}}", 0, "{\"o\":{\"y\":2}}"},
        {"deep copy of new subtree", "{}", "{\"n\":{\"m\":{\"k\":[1,2]}}}", 0,
         "{\"n\":{\"m\":{\"k\":[1,2]}}}"},
        {"depth four merges", "{\"a\":{\"b\":{\"c\":{\"d\":{}}}}}", "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":1}}}}}",
         0, "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":1}}}}}"},
        {"depth five refused", "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{}}}}}}",
         "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{\"f\":1}}}}}}", 1, nullptr},
        {"upgrade not an object", "{}", "[1]", 1, nullptr},
    };
    for (const auto &c : cases) {
        JsonPtr config(cJSON_Parse(c.config));
        JsonPtr upgrade(cJSON_Parse(c.upgrade));
        ASSERT_TRUE(config && upgrade) << c.name;
        EXPECT_EQ(ConfigUpgradeNode(config.get(), upgrade.get(), 0), c.result) << c.name;
        if (c.merged != nullptr) {
            char *t = cJSON_PrintUnformatted(config.get());
            EXPECT_STREQ(t, c.merged) << c.name;
            cJSON_free(t);
        }
    }
}

}  // namespace
