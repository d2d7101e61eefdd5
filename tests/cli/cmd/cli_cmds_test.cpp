// test-labels: concurrent
// The commands against a real configuration and data store: texts, widths,
// accepted ranges (boundaries generated from each rule) and that a refused
// change leaves the configuration file as it was.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "cli/cmd/cli_cmds.h"
#include "cli/common/cli_codes.h"
#include "config/config.h"
#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"
#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_rules.h"

using namespace SPINDLEKEEP_CLI;

namespace {

struct Result {
    int32_t code;
    std::string out;
    bool cleared = false;  // parameters dropped after the run (the reply then names no action)
};

class CliCmdsTest : public dmtest::DataMgrFixture {
protected:
    void SetUp() override
    {
        DataMgrFixture::SetUp();
        prefix_ = ResetTestPrefix();
        ConfigUnload();
        ASSERT_EQ(InitConfig(), 0);
    }
    void TearDown() override
    {
        ConfigUnload();
        DataMgrFixture::TearDown();
    }

    // "ACTION COMMAND key=value ..." as the receive thread turns it into a task.
    static Result Run(const std::string &action, const std::string &cmd, const std::string &kv = "")
    {
        size_t n = 0;
        const CliCmdEntry *table = CliCommandTable(&n);
        for (size_t i = 0; i < n; ++i) {
            if (cmd == table[i].name) {
                auto c = table[i].factory();
                c->task_.cmdName = cmd;
                Result r{0, ""};
                r.code = c->Exec("action=" + action + " " + kv + " userName=root", r.out);
                r.cleared = !c->HasParam("action");
                return r;
            }
        }
        return {-2, "no such command"};
    }

    std::string ConfigFile() const { return ReadFileText(prefix_ + "/config/spindlekeep_config.json"); }

    // A value as the file holds it (-1 when absent).
    int FileValue(const char *parent, const char *child) const
    {
        cJSON *doc = cJSON_Parse(ConfigFile().c_str());
        cJSON *node = cJSON_GetObjectItem(doc, parent);
        cJSON *v = child != nullptr ? cJSON_GetObjectItem(node, child) : node;
        int out = cJSON_IsNumber(v) ? v->valueint : -1;
        cJSON_Delete(doc);
        return out;
    }

    uint32_t AddDisk(const std::string &sn, uint32_t type)
    {
        DiskBaseInfo d = dmtest::Disk(sn);
        d.diskType = type;
        dmtest::Sn key(sn);
        EXPECT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &d, DATA_INFO_BASE), 0);
        uint32_t id = DISK_ID_INVALID;
        EXPECT_EQ(GetDiskIdBySn(40, key.buf, &id), 0);
        return id;
    }

    std::string prefix_;
};

// A change command with a value; checks code, and the file value when accepted
// or the untouched file when refused.
struct RangeCase {
    std::string cmd, kv;
    const char *parent, *child;
    uint32_t value;
    int32_t code;
    uint32_t type;
};

// The value the running feature holds for a case's setting.
uint32_t FeatureValue(const RangeCase &c)
{
    if (c.cmd == "disklife_prediction") {
        return DrmDiskLifeMonitorGetScheduleTime();
    }
    if (c.cmd == "dpr_smart") {
        uint32_t group = 0;
        EXPECT_EQ(DrmTransDiskTypeToDprGroup(c.type, &group), 0);
        return DrmDprGetCycle(group);
    }
    if (c.cmd == "slowdisk_outlier_config") {
        SlowDiskOutlierConfig row{};
        EXPECT_EQ(DrmSlowDiskOutlierGetConfig(c.type, &row), 0);
        return SlowDiskOutlierFieldGet(row, SLOW_DISK_OUTLIER_FIELD_WINDOW);
    }
    const SlowDiskConfig *row = DrmSlowDiskDetectGetConfig(c.type);
    return std::string(c.child) == "min_slow_cycle" ? row->minSlowCycle : row->minThreshold;
}

}  // namespace

TEST(CliCmdFormat, LinesSizesNumbersAndParameters)
{
    EXPECT_EQ(CliLine("Diskid", 16, "3"), "Diskid          : 3\n");
    const std::pair<uint64_t, const char *> sizes[] = {
        {1023, "1023.0B"}, {1024, "1.0KB"}, {960197124096ULL, "894.3GB"}, {1ULL << 50, "1024.0TB"},
        {1280, "1.3KB"},  // half rounds up
    };
    for (const auto &[bytes, text] : sizes) {
        EXPECT_EQ(CliHumanSize(bytes), text) << bytes;
    }
    uint32_t v = 99;
    for (const char *bad : {"", "07", "-1", "12345678"}) {
        EXPECT_FALSE(CliParseNumber(bad, &v)) << bad;
    }
    EXPECT_EQ(v, 99u);
    for (uint32_t good : {0u, 9999999u}) {
        EXPECT_TRUE(CliParseNumber(std::to_string(good), &v));
        EXPECT_EQ(v, good);
    }
    QueryInfoCmd c;  // a repeated key keeps its first value
    EXPECT_EQ(c.ParseParam("action=show disk_id=3 disk_id=4 flag userName=root"), 0);
    EXPECT_EQ(c.Param("disk_id"), "3");
    EXPECT_EQ(c.Param("userName"), "root");
}

TEST_F(CliCmdsTest, QueryViewsAndRefusals)
{
    uint32_t ssd = AddDisk("CLI0SSD", DISK_TYPE_SSD_SATA);
    uint32_t hdd = AddDisk("CLI0HDD", DISK_TYPE_HDD_NL_SAS);
    std::string id = "disk_id=" + std::to_string(ssd);
    Result r = Run("show", "disk_info", id);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("DiskCapacity    : 3.5TB\n"), std::string::npos) << r.out;
    r = Run("show", "drm_info", id);
    EXPECT_EQ(r.out, "DiskHealthScore   : No predictions yet\nDiskLife          : No predictions yet\n"
                     "DiskState         : Normal state\nSuggestions       : No action required\n");
    r = Run("show", "drm_info", "disk_id=" + std::to_string(hdd));
    EXPECT_EQ(r.out.substr(0, 48), "DiskHealthScore   : N/A\nDiskLife          : N/A\n");
    // Remaining life in hours shown in months of 720 hours.
    const std::pair<uint32_t, const char *> lives[] = {{719, "<1"}, {720, "1"}, {61 * 720, ">60"}};
    for (const auto &[hours, text] : lives) {
        DiskDrmInfo drm{87, hours};
        dmtest::Sn key("CLI0SSD");
        ASSERT_EQ(DiskDrmInfoSet(ssd, key.Ref(), &drm), 0);
        r = Run("show", "drm_info", id);
        EXPECT_EQ(r.out.substr(0, r.out.find("DiskState")),
                  std::string("DiskHealthScore   : 87\nDiskLife          : ") + text + "\n");
    }
    r = Run("show", "iostat_info", id);
    EXPECT_EQ(r.code, CLI_COMMAND_EXEC_FAILED) << "no statistics yet";
    dmtest::Sn key("CLI0SSD");
    for (uint64_t k = 1; k <= 2; ++k) {
        DiskIoInfoFrame f{k * 2048000, k * 1024000, k * 200, k * 100, k * 400, k * 100, 4, 2,
                          1000 * k, 1000, k * 1500000};
        ASSERT_EQ(DiskIoStatInfoSet(key.Ref(), &f), 0);
    }
    DiskIoStatInfo st{};
    ASSERT_EQ(DiskIoStatInfoGet(ssd, &st), 0);
    r = Run("show", "iostat_info", id);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 10) << r.out;
    EXPECT_NE(r.out.find("\nReadIoDelay   : " + std::to_string(st.readIoDelay) + "us\n"), std::string::npos);
    ASSERT_EQ(DiskStateSet(hdd, dmtest::Sn("CLI0HDD").Ref(), DISK_STATE_SLOW), 0);
    const std::string rule(63, '-');
    EXPECT_EQ(Run("show", "slowdisk").out,
              "SlowDiskInfo:\n" + std::string("Sn") + std::string(40, ' ') + "Slot  State     \n" +
                  rule + "\nCLI0HDD" + std::string(35, ' ') + "3     Slow      \n" + rule + "\n");
    const std::pair<std::string, int32_t> refusals[] = {
        {"disk_id=07", CLI_COMMAND_FORMAT_ERROR}, {"", CLI_COMMAND_FORMAT_ERROR}, {"disk_id=63", CLI_DB_ID_NOT_EXIST}};
    for (const auto &[kv, code] : refusals) {
        EXPECT_EQ(Run("show", "smart_info", kv).code, code) << kv;
    }
    EXPECT_EQ(Run("change", "disk_info", id).code, CLI_COMMAND_FORMAT_ERROR);
    ASSERT_EQ(DiskStateSet(hdd, dmtest::Sn("CLI0HDD").Ref(), DISK_STATE_NORMAL), 0);
    EXPECT_EQ(Run("show", "summary").out,
              "SummaryInfo:\nDiskId  DiskSn                                    \n" + std::string(63, '-') +
                  "\n0       CLI0SSD                                   \n1       CLI0HDD         "
                  "                          \n" + std::string(63, '-') + "\n");
    EXPECT_EQ(Run("change", "slowdisk").code, CLI_COMMAND_FORMAT_ERROR);
}

TEST_F(CliCmdsTest, AnalysisParametersWithinTheirRanges)
{
    // A refused change leaves the file as it was; an accepted one reaches the file and the feature.
    auto check = [this](const RangeCase &c) {
        std::string before = ConfigFile();
        Result r = Run("change", c.cmd, c.kv);
        EXPECT_EQ(r.code, c.code) << c.cmd << " " << c.kv;
        EXPECT_EQ(r.cleared, c.code == 0) << c.cmd << " " << c.kv;
        if (c.code != 0) {
            EXPECT_EQ(ConfigFile(), before) << c.cmd << " " << c.kv;
        } else if (c.parent != nullptr) {
            EXPECT_EQ(FileValue(c.parent, c.child), static_cast<int>(c.value)) << c.kv;
            EXPECT_EQ(FeatureValue(c), c.value) << c.cmd << " " << c.kv;
        }
    };
    // Boundaries of each rule; the lower bound is accepted last, so it is what the views show.
    auto bounds = [&](const char *cmd, const std::string &dt, const char *node, const char *key, uint32_t lo,
                      uint32_t hi, int32_t bad, uint32_t t) {
        for (auto [v, code] : {std::pair<uint32_t, int32_t>{lo - 1, bad}, {hi, 0}, {lo, 0}, {hi + 1, bad}}) {
            check({cmd, dt + key + "=" + std::to_string(v), node, key, v, code, t});
        }
    };
    const int32_t sbad = CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID, dbad = CLI_DPR_SMART_CONFIG_PARAM_INVALID;
    const int32_t lbad = CLI_DISKLIFE_PRE_PARAM_INVALID, fmt = CLI_COMMAND_FORMAT_ERROR;
    for (uint32_t t = 0; t < CLI_DISK_TYPE_NUM; ++t) {
        std::string dt = "disk_type=" + std::to_string(t) + " ";
        const char *node = g_configDiskTypeKeys[t];
        bounds("slowdisk_detect_config", dt, node, "min_threshold_value", 1, t == CLI_DISK_TYPE_SAS_HDD ? 500 : 10, sbad, t);
        bounds("slowdisk_detect_config", dt, node, "min_slow_cycle", 10, 100, sbad, t);
        bounds("slowdisk_outlier_config", dt, node, "outlier_window_minutes", 5, 240, sbad, t);
        bounds("dpr_smart", dt, node, "task_cycle", 1, 2592000, dbad, t);
    }
    bounds("disklife_prediction", "", "disklife_prediction", "task_cycle", 60, 7776000, lbad, 0);
    const std::pair<std::string, int32_t> malformed[] = {
        {"slowdisk_detect_config disk_type=4 min_slow_cycle=20", sbad},
        {"slowdisk_detect_config disk_type=1", fmt},
        {"slowdisk_outlier_config disk_type=4 outlier_switch=1", sbad},
        {"dpr_smart disk_type=4 task_cycle=5", dbad},
        {"dpr_smart task_cycle=5", fmt},
        {"disklife_prediction", fmt},
        {"disklife_prediction task_cycle=60", 0},  // the same value again
    };
    for (const auto &[line, code] : malformed) {
        size_t blank = line.find(' ');
        check({line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1), nullptr, nullptr, 0, code, 0});
    }
    EXPECT_EQ(Run("show", "slowdisk_detect_config").out,
              "sata_ssd_disk : min_threshold_value=    1  min_slow_cycle=   10\n"
              "sas_ssd_disk  : min_threshold_value=    1  min_slow_cycle=   10\n"
              "nvme_disk     : min_threshold_value=    1  min_slow_cycle=   10\n"
              "sas_hdd       : min_threshold_value=    1  min_slow_cycle=   10\n");
    EXPECT_EQ(Run("show", "slowdisk_outlier_config").out.substr(0, 158),
              "sata_ssd_disk : outlier_switch=   0 outlier_ratio_percent= 150 outlier_z_tenths=  30 "
              "outlier_fraction_percent=  50 outlier_window_minutes=   5\nsas_ssd_disk  :");
    EXPECT_EQ(Run("show", "dpr_smart").out.substr(0, 34), "sata_ssd_disk : task_cycle=1\nsas_s");
    EXPECT_EQ(Run("show", "disklife_prediction").out, "task_cycle: 60\n");
}

TEST_F(CliCmdsTest, ConfigSwitches)
{
    EXPECT_EQ(Run("show", "config").out, "feature_switch        : on\ntakeover_disk_switch  : off\n");
    Result r = Run("change", "config", "feature_switch=on");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "change config feature_switch successfully\n");
    EXPECT_EQ(ConfigFile(), "<missing>") << "an unchanged switch is not written";
    EXPECT_EQ(Run("change", "config", "takeover_disk_switch=on").code, 0);
    std::string before = ConfigFile();
    r = Run("change", "config", "takeover_disk_switch=maybe");
    EXPECT_EQ(r.code, CLI_COMMAND_EXEC_FAILED);
    EXPECT_EQ(ConfigFile(), before);
    EXPECT_EQ(Run("remove", "config").code, CLI_COMMAND_FORMAT_ERROR);
    EXPECT_EQ(Run("show", "config").out, "feature_switch        : on\ntakeover_disk_switch  : on\n");
}

TEST_F(CliCmdsTest, FeatureSwitchStopsAndRestartsTheAnalysesAndTheStore)
{
    uint32_t id = AddDisk("CLI0SW", DISK_TYPE_SSD_NVME);
    DataMgrSyncSetWaitMs(10);
    EXPECT_EQ(Run("change", "config", "feature_switch=off").code, 0);
    EXPECT_EQ(FileValue("feature_switch", nullptr), 0);
    EXPECT_EQ(DrmSlowDiskDetectGetSwitch(), 0);
    EXPECT_EQ(DrmDprGetSwitch(), 0);
    EXPECT_EQ(Run("show", "disk_info", "disk_id=" + std::to_string(id)).code, CLI_DB_ID_NOT_EXIST)
        << "the store dropped its data";
    EXPECT_EQ(Run("change", "config", "feature_switch=on").code, 0);
    EXPECT_EQ(DrmSlowDiskDetectGetSwitch(), 1);
    EXPECT_EQ(DrmDprGetSwitch(), 1);
    EXPECT_EQ(Run("show", "disk_info", "disk_id=" + std::to_string(id)).code, 0);
    CancelDmmSync2DmaScheduleTask();
    for (int i = 0; i < 500 && DmmSyncTaskLiveCount() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(DmmSyncTaskLiveCount(), 0u);
    DataMgrSyncSetWaitMs(0);
}
