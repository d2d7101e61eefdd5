// test-labels: concurrent
// The commands against a real configuration and data store: texts, widths,
// accepted ranges (boundaries generated from each rule) and that a refused
// change leaves the configuration file as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cli/cmd/cli_cmds.h"
#include "cli/common/cli_codes.h"
#include "config/config.h"
#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"
#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"
#include "support/wait_until.h"

using namespace SPINDLEKEEP_CLI;

namespace {

class CliCmdsTest : public dmtest::DataMgrFixture {
protected:
    void SetUp() override
    {
        DataMgrFixture::SetUp();
        ReloadConfig();
    }
    // On a fresh prefix: the defaults; after changes: what the file kept.
    void ReloadConfig()
    {
        prefix_ = prefix_.empty() ? ResetTestPrefix() : prefix_;
        ConfigUnload();
        ASSERT_EQ(InitConfig(), 0);
    }

    // Runs "ACTION COMMAND key=value ..." as the receive thread hands it to the
    // command and checks its code and a part of its text; a refused request
    // must leave the configuration file as it was. Returns whether the command
    // dropped its parameters after the run (the reply then names no action).
    bool Expect(const char *action, const std::string &cmd, const std::string &kv, int32_t code,
                const std::string &text = "")
    {
        std::string before = ConfigFile(), out;
        size_t n = 0;
        const CliCmdEntry *e = CliCommandTable(&n), *end = e + n;
        while (e != end && cmd != e->name) ++e;
        int32_t ret = -2;  // -2: no such command
        bool cleared = false;
        if (auto c = e != end ? e->factory() : nullptr) {
            c->task_.cmdName = cmd;
            ret = c->Exec(std::string("action=") + action + " " + kv + " userName=root", out);
            cleared = !c->HasParam("action");
        }
        EXPECT_EQ(ret, code) << action << " " << cmd << " " << kv;
        EXPECT_NE(out.find(text), std::string::npos) << cmd << " " << kv << ":\n" << out;
        EXPECT_TRUE(code == 0 || ConfigFile() == before) << cmd << " " << kv;
        return cleared;
    }

    std::string ConfigFile() const { return ReadFileText(prefix_ + "/config/spindlekeep_config.json"); }

    std::string prefix_;
};

}  // namespace

TEST(CliCmdFormat, SizesAndNumbers)
{
    const std::pair<uint64_t, const char *> sizes[] = {
        {1023, "1023.0B"}, {1024, "1.0KB"}, {1280, "1.3KB"}, {960197124096ULL, "894.3GB"}, {1ULL << 50, "1024.0TB"}};
    for (const auto &[bytes, text] : sizes) EXPECT_EQ(CliHumanSize(bytes), text) << bytes;
    uint32_t v = 99;
    for (const char *bad : {"", "07", "-1", "12345678"}) EXPECT_FALSE(CliParseNumber(bad, &v)) << bad;
    for (uint32_t good : {0u, 9999999u}) EXPECT_TRUE(CliParseNumber(std::to_string(good), &v) && v == good) << good;
}

TEST_F(CliCmdsTest, QueryViewsAndRefusals)
{
    const std::string ssd = "disk_id=" + std::to_string(Register("CLI0SSD")), hdd = "disk_id=1";
    DiskBaseInfo d = dmtest::Disk("CLI0HDD");
    d.diskType = DISK_TYPE_HDD_NL_SAS;
    ASSERT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, dmtest::Sn("CLI0HDD").Ref(), &d, DATA_INFO_BASE), 0);
    ASSERT_EQ(DiskStateSet(1, dmtest::Sn("CLI0HDD").Ref(), DISK_STATE_SLOW), 0);
    const std::string score = "DiskHealthScore   : ", life = "\nDiskLife          : ";
    const std::string rule = std::string(63, '-') + "\n", pad(35, ' ');
    // Each view's text (or the part of it that matters), then the refusals.
    const std::tuple<const char *, const char *, std::string, int32_t, std::string> views[] = {
        {"show", "disk_info", ssd, 0, "DiskCapacity    : 3.5TB\nSectorSize      : 512\n"},
        {"show", "drm_info", ssd, 0, score + "No predictions yet" + life + "No predictions yet\n" +
                                         "DiskState         : Normal state\nSuggestions       : No action required\n"},
        {"show", "drm_info", hdd, 0, score + "N/A" + life + "N/A\nDiskState         : Slow"},
        {"show", "iostat_info", ssd, CLI_COMMAND_EXEC_FAILED, ""},  // no statistics yet
        {"show", "slowdisk", "", 0, "SlowDiskInfo:\nSn" + pad + "     Slot  State     \n" + rule + "CLI0HDD" + pad +
                                        "3     Slow      \n" + rule},
        {"show", "summary", "", 0, "SummaryInfo:\nDiskId  DiskSn" + pad + " \n" + rule + "0       CLI0SSD" + pad +
                                       "\n1       CLI0HDD" + pad + "\n" + rule},
        {"show", "smart_info", "disk_id=07", CLI_COMMAND_FORMAT_ERROR, ""},
        {"show", "smart_info", "", CLI_COMMAND_FORMAT_ERROR, ""},
        {"show", "smart_info", "disk_id=63", CLI_DB_ID_NOT_EXIST, ""},
        {"change", "disk_info", ssd, CLI_COMMAND_FORMAT_ERROR, ""},
        {"change", "slowdisk", "", CLI_COMMAND_FORMAT_ERROR, ""},
    };
    for (const auto &[action, cmd, kv, code, text] : views) Expect(action, cmd, kv, code, text);
    for (uint64_t k = 1; k <= 2; ++k) {
        DiskIoInfoFrame f{k * 2048000, k * 1024000, k * 200, k * 100, k * 400, k * 100, 4, 2, 1000 * k, 1000,
                          k * 1500000};
        ASSERT_EQ(DiskIoStatInfoSet(dmtest::Sn("CLI0SSD").Ref(), &f), 0);
    }
    DiskIoStatInfo st{};
    ASSERT_EQ(DiskIoStatInfoGet(0, &st), 0);
    Expect("show", "iostat_info", ssd, 0, "\nReadIoDelay   : " + std::to_string(st.readIoDelay) + "us\n");
}

// A refused change leaves the file as it was; an accepted one reaches the
// feature and, read back after a reload, the file. Each rule is tried at its
// bounds, with the same value again, an unknown disk type, and without its
// disk type or its value; the lower bound is accepted last: the views show it.
TEST_F(CliCmdsTest, AnalysisParametersWithinTheirRanges)
{
    auto change = [this](const std::string &cmd, const std::string &kv, int32_t code) {
        EXPECT_EQ(Expect("change", cmd, kv, code), code == 0) << cmd << " " << kv;
    };
    // Each setting of an analysis: its accepted range (the SAS HDD's own upper bound) and the code refusing others.
    const std::tuple<const char *, const char *, uint32_t, uint32_t, uint32_t, int32_t> rules[] = {
        {"slowdisk_detect_config", "min_threshold_value", 1, 10, 500, CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID},
        {"slowdisk_detect_config", "min_slow_cycle", 10, 100, 100, CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID},
        {"slowdisk_outlier_config", "outlier_window_minutes", 5, 240, 240, CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID},
        {"dpr_smart", "task_cycle", 1, 2592000, 2592000, CLI_DPR_SMART_CONFIG_PARAM_INVALID},
        {"disklife_prediction", "task_cycle", 60, 7776000, 7776000, CLI_DISKLIFE_PRE_PARAM_INVALID},
    };
    for (const auto &[cmd, key, lo, ssdHi, hddHi, bad] : rules) {
        bool typed = std::string(cmd) != "disklife_prediction";
        for (uint32_t t = 0; t < (typed ? CLI_DISK_TYPE_NUM : 1); ++t) {
            uint32_t hi = t == CLI_DISK_TYPE_SAS_HDD ? hddHi : ssdHi;
            std::string dt = typed ? "disk_type=" + std::to_string(t) + " " : "";
            for (uint32_t v : {lo - 1, hi, lo, hi + 1, lo}) {
                change(cmd, dt + key + "=" + std::to_string(v), v >= lo && v <= hi ? 0 : bad);
            }
            change(cmd, dt, CLI_COMMAND_FORMAT_ERROR);
        }
        std::string kv = std::string(key) + "=" + std::to_string(lo);
        if (typed) change(cmd, "disk_type=4 " + kv, bad);
        if (typed) change(cmd, kv, CLI_COMMAND_FORMAT_ERROR);
    }
    // The running analyses hold the lower bounds (the defaults: SAS HDD threshold 100, cycles 50 and 20).
    for (uint32_t t = 0, group = 0; t < CLI_DISK_TYPE_NUM; ++t) {
        SlowDiskOutlierConfig o{};
        ASSERT_EQ(DrmTransDiskTypeToDprGroup(t, &group) + DrmSlowDiskOutlierGetConfig(t, &o), 0);
        const SlowDiskConfig *c = DrmSlowDiskDetectGetConfig(t);
        EXPECT_EQ(std::make_tuple(c->minThreshold + 0, c->minSlowCycle + 0, DrmDprGetCycle(group),
                                  SlowDiskOutlierFieldGet(o, SLOW_DISK_OUTLIER_FIELD_WINDOW)),
                  std::make_tuple(1, 10, 1u, 5u)) << t;
    }
    EXPECT_EQ(DrmDiskLifeMonitorGetScheduleTime(), 60u);
    ReloadConfig();
    const std::string each = "min_threshold_value=    1  min_slow_cycle=   10\n";
    Expect("show", "slowdisk_detect_config", "", 0,
           "sata_ssd_disk : " + each + "sas_ssd_disk  : " + each + "nvme_disk     : " + each + "sas_hdd       : " + each);
    Expect("show", "slowdisk_outlier_config", "", 0,
           "sata_ssd_disk : outlier_switch=   0 outlier_ratio_percent= 150 outlier_z_tenths=  30 "
           "outlier_fraction_percent=  50 outlier_window_minutes=   5\nsas_ssd_disk  :");
    Expect("show", "dpr_smart", "", 0, "sata_ssd_disk : task_cycle=1\nsas_ssd_disk  : task_cycle=1\n");
    Expect("show", "disklife_prediction", "", 0, "task_cycle: 60\n");
}

// The switches: texts, an unchanged switch not written, a bad value refused;
// the feature switch stops the analyses and empties the store, and brings both back.
TEST_F(CliCmdsTest, ConfigSwitches)
{
    const std::string disk = "disk_id=" + std::to_string(Register("CLI0SW"));
    const std::string feature = "feature_switch        : ", takeover = "\ntakeover_disk_switch  : ";
    Expect("show", "config", "", 0, feature + "on" + takeover + "off\n");
    Expect("change", "config", "feature_switch=on", 0, "change config feature_switch successfully\n");
    EXPECT_EQ(ConfigFile(), "<missing>") << "an unchanged switch is not written";
    Expect("change", "config", "takeover_disk_switch=on", 0);
    Expect("change", "config", "takeover_disk_switch=maybe", CLI_COMMAND_EXEC_FAILED);
    Expect("remove", "config", "", CLI_COMMAND_FORMAT_ERROR);
    DataMgrSyncSetWaitMs(10);
    for (int on : {0, 1}) {
        Expect("change", "config", on != 0 ? "feature_switch=on" : "feature_switch=off", 0);
        EXPECT_EQ(DrmSlowDiskDetectGetSwitch() + 0, on);
        EXPECT_EQ(DrmDprGetSwitch() + 0, on);
        Expect("show", "disk_info", disk, on != 0 ? 0 : CLI_DB_ID_NOT_EXIST);
    }
    CancelDmmSync2DmaScheduleTask();  // the sync thread the switch started ends before the store goes
    EXPECT_TRUE(WaitUntil([] { return DmmSyncTaskLiveCount() == 0; }));
    DataMgrSyncSetWaitMs(0);
}
