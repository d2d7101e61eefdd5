// Configuration backups, pruning, recovery and the backup task.
// test-labels: concurrent
#include "config/config_backup.h"

#include <cerrno>
#include <atomic>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/file_fault.h"
#include "support/persist_files.h"

namespace {

std::atomic<time_t> g_fakeNow{0};

class ConfigBackupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
        std::string prefix = ResetTestPrefix();
        cfg_ = prefix + "/config/spindlekeep_config.json";
        bak_ = prefix + "/userconfig_bak";
        g_fakeNow = 1700000000;
        SetConfigBakClock([] { return g_fakeNow.load(); });
    }
    void TearDown() override
    {
        SetConfigBakClock(nullptr);
        ConfigUnload();
    }
    std::string cfg_, bak_;
};

// A read that fails part-way must not pass for a whole copy; a missing file
// or directory makes no backup either, and a change goes on without one.
TEST_F(ConfigBackupTest, UnreadableOrMissingConfigurationMakesNoBackup)
{
    ASSERT_EQ(InitConfig(), 0);  // defaults; the file does not exist yet
    EXPECT_EQ(BackUpConfigFile(), 1);
    ConfigUnload();
    WriteFileText(cfg_, "{\"feature_switch\": 1}");
    ASSERT_EQ(InitConfig(), 0);
    {
        FileFault fault;
        fault.FailNth(FILE_SYS_READ, 1, EIO);
        EXPECT_EQ(BackUpConfigFile(), 1);
    }
    EXPECT_TRUE(ListDir(bak_).empty());
    (void)rmdir(bak_.c_str());
    EXPECT_EQ(BackUpConfigFile(), 1);
    EXPECT_EQ(SetConfigInt("feature_switch", 0), 0) << "a change succeeds without its backup";
}

// A recovery whose copy or permissions fail falls back to the defaults and
// leaves no torn file; one that works restores the newest backup. The next
// change's backup prunes the eight old ones to the four newest.
TEST_F(ConfigBackupTest, MissingConfigurationIsRecoveredFromTheNewestBackup)
{
    const std::string newer = bak_ + "/spindlekeep_config_bak__2023-11-14-22-12-00";
    for (char s = '0'; s < '7'; ++s) {
        WriteFileText(bak_ + "/spindlekeep_config_bak__2023-11-14-22-11-0" + s, "{}");
    }
    WriteFileText(newer, R"({"feature_switch": 0, "takeover_disk_switch": 1})");
    uint32_t v = 9;
    for (FileSysId id : {FILE_SYS_WRITE, FILE_SYS_GROUP_ID}) {
        {
            FileFault fault;
            fault.FailNth(id, 1, ENOSPC);
            ASSERT_EQ(InitConfig(), 0) << id;
        }
        ASSERT_EQ(GetConfigInt("feature_switch", &v), 0);
        EXPECT_EQ(std::make_tuple(v, FileExists(cfg_), FileExists(cfg_ + ".wal")),
                  std::make_tuple(1U, false, false)) << id << ": defaults, no file";
        ConfigUnload();
    }
    ASSERT_EQ(InitConfig(), 0);
    ASSERT_EQ(GetConfigInt("takeover_disk_switch", &v), 0);
    EXPECT_EQ(v, 1U);
    EXPECT_EQ(ReadFileText(cfg_), ReadFileText(newer));
    EXPECT_EQ(StatFile(cfg_).st_mode & 07777, 0640U);
    EXPECT_EQ(GetConfigInt("disklife_prediction", &v), 1) << "keys the backup lacks stay absent";
    ASSERT_EQ(SetConfigInt("feature_switch", 1), 0);
    EXPECT_EQ(ListDir(bak_).size(), 5U);
}

// Readers, a writer and the periodic backup at once: every read sees a value
// some write stored, and the backups end up pruned to the newest five, the
// newest a copy of the configuration.
TEST_F(ConfigBackupTest, ReadersWriterAndBackupRunTogether)
{
    WriteFileText(cfg_, "{\"sas_hdd\": {\"min_slow_cycle\": 1000}}");
    ASSERT_EQ(InitConfig(), 0);
    constexpr int kWrites = 60;
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::vector<std::jthread> threads;
    for (int r = 0; r < 4; ++r) {  // three readers and the backup
        threads.emplace_back([&, r] {
            for (uint32_t v = 0; !done.load(); v = 0) {
                bool good = r == 3 ? BackUpConfigFile() >= 0
                                   : GetChildNodeConfigInt("sas_hdd", "min_slow_cycle", &v) == 0 &&
                                         v >= 1000 && v <= 1000 + kWrites;
                badReads += good ? 0 : 1;
            }
        });
    }
    for (int i = 1; i <= kWrites; ++i) {
        g_fakeNow += 1;  // a new backup name for every change
        ASSERT_EQ(SetChildNodeConfigInt("sas_hdd", "min_slow_cycle", 1000 + i), 0);
    }
    done = true;
    threads.clear();  // joins them
    EXPECT_EQ(badReads.load(), 0);
    std::vector<std::string> baks = ListDir(bak_);
    EXPECT_EQ(baks.size(), 5U);
    EXPECT_EQ(ReadFileText(bak_ + "/" + baks.back()), ReadFileText(cfg_));
}

}  // namespace
