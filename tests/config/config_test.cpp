// The configuration file: defaults, access, switches, upgrade merge.
#include "config/config.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config/config_prefix.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/file_fault.h"
#include "support/persist_files.h"

namespace {

struct CJsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

std::string Print(const cJSON *doc)
{
    char *t = doc != nullptr ? cJSON_PrintUnformatted(doc) : nullptr;
    std::string s = t != nullptr ? t : "<unparsable>";
    cJSON_free(t);
    return s;
}

std::string Compact(const std::string &text)
{
    return Print(JsonPtr(cJSON_Parse(text.c_str())).get());
}

const char *kSmallConfig =
    "{\"feature_switch\": 0, \"takeover_disk_switch\": 1, \"sas_hdd\": {\"task_cycle\": 30, "
    "\"min_threshold_value\": 90, \"min_slow_cycle\": 60}, \"operator_note\": 5}";

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);  // format every message, too
        prefix_ = ResetTestPrefix();
        cfg_ = prefix_ + "/config/spindlekeep_config.json";
        upgrade_ = cfg_ + ".rpmnew";
    }
    void TearDown() override { ConfigUnload(); }

    void StartWith(const std::string &text)
    {
        ConfigUnload();
        WriteFileText(cfg_, text);
        ASSERT_EQ(InitConfig(), 0);
    }
    // A value read with GetConfigInt (no child) or GetChildNodeConfigInt.
    uint32_t Get(const char *key, const char *child = nullptr)
    {
        uint32_t v = 0xDEAD;
        int ret = child == nullptr ? GetConfigInt(key, &v) : GetChildNodeConfigInt(key, child, &v);
        EXPECT_EQ(ret, 0) << key;
        return v;
    }

    std::string prefix_;
    std::string cfg_;
    std::string upgrade_;
};

TEST_F(ConfigTest, DefaultsWithoutFileOrBackupAndNoFileUntilAChange)
{
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(InitConfig(), 1) << "a second init is refused";
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

TEST_F(ConfigTest, LookupsIgnoreCaseKeepUnknownKeysAndSignedValues)
{
    StartWith(kSmallConfig);
    EXPECT_EQ(Get("FEATURE_SWITCH"), 0U);
    EXPECT_EQ(Get("SAS_HDD", "Min_Threshold_Value"), 90U);
    ASSERT_EQ(SetConfigInt("TAKEOVER_disk_switch", 0), 0);
    ASSERT_EQ(SetConfigInt("operator_note", -5), 0);
    EXPECT_EQ(Compact(ReadFileText(cfg_)),
              "{\"feature_switch\":0,\"takeover_disk_switch\":0,\"sas_hdd\":{\"task_cycle\":30,"
              "\"min_threshold_value\":90,\"min_slow_cycle\":60},\"operator_note\":-5}");
    ConfigUnload();
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(static_cast<int32_t>(Get("operator_note")), -5);
}

TEST_F(ConfigTest, SwitchesAcceptOnlyZeroAndOne)
{
    StartWith("{\"feature_switch\": 2, \"takeover_disk_switch\": 1}");
    uint32_t v = 7;
    EXPECT_EQ(GetSwitchConfig("feature_switch", &v), 1);
    EXPECT_EQ(GetSwitchConfig("takeover_disk_switch", &v), 0);
    EXPECT_EQ(v, 1U);

    std::string before = ReadFileText(cfg_);
    for (int32_t bad : {2, -1}) {
        EXPECT_EQ(SetSwitchConfig("takeover_disk_switch", bad), 1) << bad;
    }
    EXPECT_EQ(ReadFileText(cfg_), before);
    EXPECT_TRUE(ListDir(prefix_ + "/userconfig_bak").empty());
}

TEST_F(ConfigTest, FailedSaveKeepsTheValueInMemoryOnly)
{
    StartWith(kSmallConfig);
    {
        FileFault fault;
        fault.FailNth(FILE_SYS_OPEN, 1, ENOSPC);
        EXPECT_EQ(SetChildNodeConfigInt("sas_hdd", "task_cycle", 45), 1);
        EXPECT_EQ(Compact(ReadFileText(cfg_)), Compact(kSmallConfig));
    }
    EXPECT_EQ(Get("sas_hdd", "task_cycle"), 45U);
    EXPECT_EQ(SetChildNodeConfigInt("sas_hdd", "absent_key", 1), 1);
}

TEST_F(ConfigTest, UnparsableFileStopsStartUpAndTouchesNothing)
{
    const char *bad[] = {"{\"feature_switch\": 1,", "[1, 2]"};
    WriteFileText(prefix_ + "/userconfig_bak/spindlekeep_config_bak__2024-01-01-00-00-00",
                  kSmallConfig);
    WriteFileText(upgrade_, "{\"new_key\": 1}");
    for (const char *text : bad) {
        WriteFileText(cfg_, text);
        EXPECT_EQ(InitConfig(), 1) << text;
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
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(Get("feature_switch"), 0U);
    EXPECT_FALSE(FileExists(cfg_ + ".wal"));
    EXPECT_EQ(Compact(ReadFileText(cfg_)), Compact(kSmallConfig));

    // A torn WAL alone is no configuration: the defaults.
    ConfigUnload();
    (void)unlink(cfg_.c_str());
    WriteFileText(cfg_ + ".wal", "{\"feature_switch\": 0,");
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(Get("feature_switch"), 1U);
}

TEST_F(ConfigTest, FailedUpgradeLeavesTheUpgradeFileForTheNextStart)
{
    const std::string deep = "{\"feature_switch\":1,\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{}}}}}}";
    const struct {
        std::string config;
        std::string upgrade;
        FileSysId faultId;  // FILE_SYS_COUNT: no fault
    } cases[] = {
        {kSmallConfig, "{\"new_key\": ", FILE_SYS_COUNT},
        {kSmallConfig, "{\"new_key\": 1}", FILE_SYS_CHOWN},
        // "new_key" merges before the walk reaches the refused depth: the
        // half-merged tree must not survive.
        {deep, "{\"new_key\":1,\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{\"f\":1}}}}}}", FILE_SYS_COUNT},
    };
    for (const auto &c : cases) {
        ConfigUnload();
        WriteFileText(cfg_, c.config);
        WriteFileText(upgrade_, c.upgrade);
        {
            FileFault fault;
            if (c.faultId != FILE_SYS_COUNT) {
                fault.FailNth(c.faultId, 1, EIO);
            }
            ASSERT_EQ(InitConfig(), 0) << c.upgrade;
        }
        EXPECT_EQ(ReadFileText(upgrade_), c.upgrade);
        EXPECT_EQ(ReadFileText(cfg_), c.config);
        uint32_t v = 77;
        EXPECT_EQ(GetConfigInt("new_key", &v), 1) << c.upgrade << ": the tree is the file's";
    }
}

TEST(ConfigUpgradeNodeTest, MergeRules)
{
    const struct {
        const char *config;
        const char *upgrade;
        const char *merged;  // compact; nullptr: the merge fails
    } cases[] = {
        {"{\"a\":1}", "{\"b\":2}", "{\"a\":1,\"b\":2}"},
        {"{\"a\":1}", "{\"A\":9}", "{\"a\":1}"},
        {"{\"o\":{\"x\":1}}", "{\"o\":{\"x\":5,\"y\":2}}", "{\"o\":{\"x\":1,\"y\":2}}"},
        {"{\"o\":3}", "{\"o\":{\"y\":2}}", "{\"o\":3}"},
        {"{\"o\":{}}", "{\"o\":{\"y\":2}}", "{\"o\":{\"y\":2}}"},
        {"{}", "{\"n\":{\"m\":{\"k\":[1,2]}}}", "{\"n\":{\"m\":{\"k\":[1,2]}}}"},
        {"{\"a\":{\"b\":{\"c\":{\"d\":{}}}}}", "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":1}}}}}",
         "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":1}}}}}"},
        {"{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{}}}}}}", "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{\"f\":1}}}}}}",
         nullptr},
        {"{}", "[1]", nullptr},
    };
    for (const auto &c : cases) {
        JsonPtr config(cJSON_Parse(c.config));
        JsonPtr upgrade(cJSON_Parse(c.upgrade));
        ASSERT_TRUE(config && upgrade) << c.upgrade;
        EXPECT_EQ(ConfigUpgradeNode(config.get(), upgrade.get(), 0), c.merged == nullptr ? 1 : 0)
            << c.upgrade;
        if (c.merged != nullptr) {
            EXPECT_EQ(Print(config.get()), c.merged) << c.upgrade;
        }
    }
}

}  // namespace
