// Configuration backups, pruning, recovery and the backup task.
// test-labels: concurrent
#include "config/config_backup.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/config_prefix.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"
#include "support/file_fault.h"
#include "support/log_capture.h"
#include "support/persist_files.h"

namespace {

std::atomic<time_t> g_fakeNow{0};
time_t FakeNow() { return g_fakeNow.load(); }

std::string Stamp(time_t t)
{
    tm local{};
    localtime_r(&t, &local);
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%d-%H-%M-%S", &local);
    return buf;
}

std::string BakName(time_t t) { return std::string("spindlekeep_config_bak__") + Stamp(t); }

class ConfigBackupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
        prefix_ = ResetTestPrefix();
        cfg_ = prefix_ + "/config/spindlekeep_config.json";
        bak_ = prefix_ + "/userconfig_bak";
        g_fakeNow = 1700000000;
        SetConfigBakClock(FakeNow);
    }
    void TearDown() override
    {
        SetConfigBakClock(nullptr);
        ConfigUnload();
    }
    void StartWith(const std::string &text)
    {
        WriteFileText(cfg_, text);
        ASSERT_EQ(InitConfig(), 0);
    }
    // Places a backup stamped `t` holding `text`.
    void PlaceBackup(time_t t, const std::string &text) { WriteFileText(bak_ + "/" + BakName(t), text); }

    std::string prefix_;
    std::string cfg_;
    std::string bak_;
};

TEST_F(ConfigBackupTest, FirstBackupCopiesTheFileWithModeAndOwner)
{
    StartWith("{\"feature_switch\": 1}");
    LogCapture logs;
    ASSERT_EQ(BackUpConfigFile(), 0);
    EXPECT_TRUE(logs.Contains("no bak config found need to update"));
    EXPECT_TRUE(logs.Contains("Config file back up successfully"));
    ASSERT_EQ(ListDir(bak_), std::vector<std::string>{BakName(g_fakeNow)});
    EXPECT_EQ(ReadFileText(bak_ + "/" + BakName(g_fakeNow)), "{\"feature_switch\": 1}");
    EXPECT_EQ(StatFile(bak_ + "/" + BakName(g_fakeNow)).st_mode & 07777, 0640U);
}

TEST_F(ConfigBackupTest, UnchangedConfigurationMakesNoNewBackup)
{
    StartWith("{\"feature_switch\": 1}");
    PlaceBackup(g_fakeNow - 600, "{\"feature_switch\": 1}");
    g_fakeNow += 600;
    LogCapture logs;
    ASSERT_EQ(BackUpConfigFile(), 0);
    EXPECT_EQ(ListDir(bak_).size(), 1U);
    EXPECT_TRUE(logs.Contains("Bak config file same as now config, don't need to update"));
}

TEST_F(ConfigBackupTest, OneTrailingByteMakesADifference)
{
    StartWith("{\"feature_switch\": 1}\n");
    PlaceBackup(g_fakeNow - 600, "{\"feature_switch\": 1}");
    LogCapture logs;
    ASSERT_EQ(BackUpConfigFile(), 0);
    EXPECT_TRUE(logs.Contains("Bak config file not same as now config need to update"));
    EXPECT_EQ(ListDir(bak_).size(), 2U);
    EXPECT_EQ(ReadFileText(bak_ + "/" + BakName(g_fakeNow)), "{\"feature_switch\": 1}\n");
}

struct PruneCase {
    int existing;  // backups before the change
    int remaining;
};

TEST_F(ConfigBackupTest, PruningKeepsTheNewBackupAndTheFourNewestBefore)
{
    const PruneCase cases[] = {{0, 1}, {2, 3}, {4, 5}, {5, 5}, {9, 5}};
    for (const auto &c : cases) {
        for (const auto &n : ListDir(bak_)) {
            (void)unlink((bak_ + "/" + n).c_str());
        }
        ConfigUnload();
        StartWith("{\"feature_switch\": 1, \"takeover_disk_switch\": 0}");
        std::vector<std::string> expect;
        for (int i = 0; i < c.existing; ++i) {
            PlaceBackup(g_fakeNow - 60 * (i + 1), "old " + std::to_string(i));
            if (i < 4) {
                expect.push_back(BakName(g_fakeNow - 60 * (i + 1)));
            }
        }
        WriteFileText(bak_ + "/unrelated.txt", "x");  // not a backup, never pruned
        ASSERT_EQ(SetSwitchConfig("takeover_disk_switch", 1), 0);
        expect.push_back(BakName(g_fakeNow));
        expect.push_back("unrelated.txt");
        std::sort(expect.begin(), expect.end());
        EXPECT_EQ(ListDir(bak_), expect) << c.existing << " backups before";
        EXPECT_EQ(ListDir(bak_).size(), static_cast<size_t>(c.remaining) + 1);
        g_fakeNow += 3600;
    }
}

TEST_F(ConfigBackupTest, TwoChangesInOneSecondLeaveOneBackupWithTheLaterContent)
{
    StartWith("{\"feature_switch\": 1, \"takeover_disk_switch\": 0}");
    ASSERT_EQ(SetSwitchConfig("takeover_disk_switch", 1), 0);
    ASSERT_EQ(SetSwitchConfig("feature_switch", 0), 0);
    ASSERT_EQ(ListDir(bak_), std::vector<std::string>{BakName(g_fakeNow)});
    EXPECT_EQ(ReadFileText(bak_ + "/" + BakName(g_fakeNow)), ReadFileText(cfg_));
    EXPECT_NE(ReadFileText(cfg_).find("\"feature_switch\":\t0"), std::string::npos);
}

TEST_F(ConfigBackupTest, BackupFailuresLeaveTheBackupsAlone)
{
    StartWith("{\"feature_switch\": 1}");
    PlaceBackup(g_fakeNow - 60, "older");
    const struct {
        const char *name;
        FileSysId id;
        int nth;
        const char *log;
    } cases[] = {
        {"latest backup unreadable", FILE_SYS_OPEN, 2, "Get latest bak config file("},
        {"create fails", FILE_SYS_OPEN, 3, "fail to create bak config file : errno(28)"},
        {"owner missing", FILE_SYS_USER_ID, 1, "user:spindlekeep_user not exist"},
        {"copy fails", FILE_SYS_WRITE, 1, "Error copy config bak file"},
    };
    for (const auto &c : cases) {
        LogCapture logs;
        {
            FileFault fault;
            fault.FailNth(c.id, c.nth, ENOSPC);
            EXPECT_EQ(BackUpConfigFile(), 1) << c.name;
        }
        EXPECT_TRUE(logs.Contains(c.log)) << c.name << logs.Dump();
        EXPECT_TRUE(logs.Contains("Config file back up failed")) << c.name;
        EXPECT_EQ(ListDir(bak_), std::vector<std::string>{BakName(g_fakeNow - 60)}) << c.name;
        EXPECT_EQ(ReadFileText(bak_ + "/" + BakName(g_fakeNow - 60)), "older") << c.name;
    }
}

TEST_F(ConfigBackupTest, PruneFailureIsReported)
{
    StartWith("{\"feature_switch\": 1}");
    for (int i = 1; i <= 5; ++i) {
        PlaceBackup(g_fakeNow - 60 * i, "old");
    }
    LogCapture logs;
    FileFault fault;
    fault.FailNth(FILE_SYS_UNLINK, 1, EACCES);
    EXPECT_EQ(BackUpConfigFile(), 1);
    EXPECT_TRUE(logs.Contains("Delete excess backup files fail: 13 - Permission denied"));
}

TEST_F(ConfigBackupTest, MissingFileOrDirectoryMakesBackupFail)
{
    ASSERT_EQ(InitConfig(), 0);  // defaults; the file does not exist yet
    LogCapture logs;
    EXPECT_EQ(BackUpConfigFile(), 1);
    EXPECT_TRUE(logs.Contains("file config/spindlekeep_config.json not exist, continue"));
    EXPECT_TRUE(ListDir(bak_).empty());

    WriteFileText(cfg_, "{}");
    (void)rmdir(bak_.c_str());
    logs.Clear();
    EXPECT_EQ(BackUpConfigFile(), 1);
    EXPECT_TRUE(logs.Contains("open bak dir(" + bak_ + ") fail: 2 - No such file or directory"));
    EXPECT_TRUE(logs.Contains("Get bak config file list fail"));
    // A change still succeeds without its backup.
    EXPECT_EQ(SetConfigInt("feature_switch", 0), 0);
    EXPECT_TRUE(logs.Contains("bak config failed"));
}

TEST_F(ConfigBackupTest, ListTakesAtMostFiftyNewestFirst)
{
    for (int i = 0; i < 60; ++i) {
        PlaceBackup(g_fakeNow - i, "x");
    }
    int32_t count = 0;
    char **list = GetALLBackupConfigNameList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 50);
    for (int32_t i = 1; i < count; ++i) {
        EXPECT_GT(std::string(list[i - 1]), std::string(list[i]));
    }
    FreeBackupConfigNameList(list, count);
}

TEST_F(ConfigBackupTest, MissingConfigurationIsRecoveredFromTheNewestBackup)
{
    PlaceBackup(g_fakeNow - 120, "{\"feature_switch\": 0, \"takeover_disk_switch\": 0}");
    PlaceBackup(g_fakeNow - 60, "{\"feature_switch\": 0, \"takeover_disk_switch\": 1}");
    LogCapture logs;
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_TRUE(logs.Contains("recover from bak"));
    uint32_t v = 9;
    ASSERT_EQ(GetConfigInt("takeover_disk_switch", &v), 0);
    EXPECT_EQ(v, 1U);
    EXPECT_EQ(ReadFileText(cfg_), "{\"feature_switch\": 0, \"takeover_disk_switch\": 1}");
    EXPECT_EQ(StatFile(cfg_).st_mode & 07777, 0640U);
    EXPECT_FALSE(FileExists(cfg_ + ".wal"));
    // A key the recovered file lacks is not invented.
    EXPECT_EQ(GetConfigInt("disklife_prediction", &v), 1);
}

TEST_F(ConfigBackupTest, FailedRecoveryFallsBackToDefaultsAndLeavesNoTornFile)
{
    PlaceBackup(g_fakeNow - 60, "{\"feature_switch\": 0}");
    const struct {
        const char *name;
        FileSysId id;
        const char *log;
    } cases[] = {
        {"copy", FILE_SYS_WRITE, "Copy latest bak config file fail: 28"},
        {"group", FILE_SYS_GROUP_ID, "Set config file:"},
    };
    for (const auto &c : cases) {
        ConfigUnload();
        LogCapture logs;
        {
            FileFault fault;
            fault.FailNth(c.id, 1, ENOSPC);
            ASSERT_EQ(InitConfig(), 0) << c.name;
        }
        EXPECT_TRUE(logs.Contains(c.log)) << c.name << logs.Dump();
        uint32_t v = 9;
        ASSERT_EQ(GetConfigInt("feature_switch", &v), 0);
        EXPECT_EQ(v, 1U) << c.name << ": defaults";
        EXPECT_FALSE(FileExists(cfg_)) << c.name;
        EXPECT_FALSE(FileExists(cfg_ + ".wal")) << c.name;
    }
}

TEST_F(ConfigBackupTest, NoBackupMeansNoRecovery)
{
    LogCapture logs;
    EXPECT_EQ(RecoverConfigFromBak(), 1);
    EXPECT_TRUE(logs.Contains("Cant get bak file list, bakNum = 0"));
    EXPECT_FALSE(FileExists(cfg_));
}

// Readers, a writer and the periodic backup at once: every read sees a value
// some write stored, and the backups end up pruned to five copies of real
// configurations.
TEST_F(ConfigBackupTest, ReadersWriterAndBackupRunTogether)
{
    StartWith("{\"sas_hdd\": {\"min_slow_cycle\": 1000}}");
    constexpr int kWrites = 60;
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&] {
            while (!done.load()) {
                uint32_t v = 0;
                if (GetChildNodeConfigInt("sas_hdd", "min_slow_cycle", &v) != 0 || v < 1000 ||
                    v > 1000 + kWrites) {
                    ++badReads;
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!done.load()) {
            (void)BackUpConfigFile();
        }
    });
    for (int i = 1; i <= kWrites; ++i) {
        g_fakeNow += 1;  // a new backup name for every change
        ASSERT_EQ(SetChildNodeConfigInt("sas_hdd", "min_slow_cycle", 1000 + i), 0);
    }
    done = true;
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(badReads.load(), 0);
    std::vector<std::string> baks = ListDir(bak_);
    EXPECT_EQ(baks.size(), 5U);
    EXPECT_EQ(ReadFileText(bak_ + "/" + baks.back()), ReadFileText(cfg_));
}

TEST_F(ConfigBackupTest, TaskStartsOnceAndStops)
{
    ASSERT_EQ(InitScheduleTask(), 0);
    LogCapture logs;
    EXPECT_EQ(StartConfigBackUpTask(), 0);
    EXPECT_TRUE(ScheduleTaskRunning("backup_user_config_task"));
    EXPECT_EQ(StartConfigBackUpTask(), 114);
    EXPECT_TRUE(logs.Contains("Start Config Back Up Task Fail, ret = 114"));
    EXPECT_EQ(StopConfigBackUpTask(), 0);
    EXPECT_EQ(StopConfigBackUpTask(), 0);  // still listed until its pause ends
    EXPECT_EQ(CancelScheduleTask("no_such_task"), 2);
}

}  // namespace
