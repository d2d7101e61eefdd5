// The analyses' parameters: slow-disk detection per disk type, the prefail
// routine's cycle per disk type and the disk life monitor's schedule time.
// Every change is checked before anything is written; the configuration
// file and the running feature end up with the same value or both keep the
// old one.
#include <cstdio>
#include <memory>

#include "cli/cmd/cli_cmds.h"
#include "cli/cmd/cli_feature_bridge.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "config/config.h"
#include "init/feature_start.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr const char *kMinThreshold = "min_threshold_value";
constexpr const char *kMinSlowCycle = "min_slow_cycle";
constexpr const char *kTaskCycle = "task_cycle";
constexpr const char *kDiskLife = "disklife_prediction";
constexpr uint32_t kThresholdMaxHdd = 500;
constexpr uint32_t kThresholdMaxSsd = 10;
constexpr uint32_t kSlowCycleMin = 10;
constexpr uint32_t kSlowCycleMax = 100;
constexpr uint32_t kDprCycleMax = 2592000;
constexpr uint32_t kLifeCycleMin = 60;
constexpr uint32_t kLifeCycleMax = 7776000;

const char *Node(uint32_t type) { return g_configDiskTypeKeys[type]; }

// "disk_type" as a canonical number in 0..3; `bad` otherwise.
int32_t DiskTypeParam(const BaseCommand &cmd, int32_t bad, const char *codeName, uint32_t *type)
{
    if (!CliParseNumber(cmd.Param("disk_type"), type)) {
        return bad;
    }
    if (*type >= CLI_DISK_TYPE_NUM) {
        CLI_LOG(CLI_LOG_ERROR, "%s:%s 0x%x.", "disk_type", codeName, bad);
        return bad;
    }
    return CLI_OK;
}

int32_t ApplySlowDiskConfig(const SlowDiskDetectCmd::Config &cfg)
{
    return CliSlowDiskSetConfig(cfg.diskType, cfg.minThreshold, cfg.minSlowCycle) == 0 ? CLI_OK
                                                                                        : CLI_FAIL;
}

int32_t SetMinThresholdValue(SlowDiskDetectCmd::Config *cfg, uint32_t value)
{
    uint32_t max = cfg->diskType == CLI_DISK_TYPE_SAS_HDD ? kThresholdMaxHdd : kThresholdMaxSsd;
    if (value < 1 || value > max) {
        return CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID;
    }
    cfg->minThreshold = value;
    return ApplySlowDiskConfig(*cfg);
}

int32_t SetMinSlowCycle(SlowDiskDetectCmd::Config *cfg, uint32_t value)
{
    if (value < kSlowCycleMin || value > kSlowCycleMax) {
        return CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID;
    }
    cfg->minSlowCycle = value;
    return ApplySlowDiskConfig(*cfg);
}

int32_t InitSlowDiskDetectConfigValue(uint32_t type, SlowDiskDetectCmd::Config *cfg)
{
    cfg->diskType = type;
    if (GetChildNodeConfigInt(Node(type), kMinThreshold, &cfg->minThreshold) != 0 ||
        GetChildNodeConfigInt(Node(type), kMinSlowCycle, &cfg->minSlowCycle) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "get config %s:%u failed", Node(type), type);
        return CLI_FAIL;
    }
    return CLI_OK;
}

int32_t ShowSlowDiskDetectParam(std::string &out)
{
    for (uint32_t t = 0; t < CLI_DISK_TYPE_NUM; ++t) {
        uint32_t thr = 0;
        uint32_t cyc = 0;
        if (GetChildNodeConfigInt(Node(t), kMinThreshold, &thr) != 0 ||
            GetChildNodeConfigInt(Node(t), kMinSlowCycle, &cyc) != 0) {
            CLI_LOG(CLI_LOG_ERROR, "get %s config %s:%u %s:%u failed", Node(t), kMinThreshold,
                    thr, kMinSlowCycle, cyc);
            out.clear();
            return CLI_FAIL;
        }
        char line[160];
        (void)snprintf(line, sizeof(line), "%-14s: %s=%5u  %s=%5u\n", Node(t), kMinThreshold, thr,
                       kMinSlowCycle, cyc);
        out += line;
    }
    return CLI_OK;
}

int32_t ShowSlowDiskOutlierParam(std::string &out)
{
    for (uint32_t t = 0; t < CLI_DISK_TYPE_NUM; ++t) {
        SlowDiskOutlierConfig cfg = LoadSlowDiskOutlierConfig(t);
        char line[224];
        int len = snprintf(line, sizeof(line), "%-14s:", Node(t));
        for (uint32_t f = 0; f < SLOW_DISK_OUTLIER_FIELD_NUM && len > 0; ++f) {
            len += snprintf(line + len, sizeof(line) - static_cast<size_t>(len), " %s=%4u",
                            g_slowDiskOutlierFields[f].key, SlowDiskOutlierFieldGet(cfg, f));
        }
        out += line;
        out += "\n";
    }
    return CLI_OK;
}

// One "outlier_*" key of one disk type: the detector first, then the file;
// a failed save puts the detector back on the old value.
int32_t ChangeSlowDiskOutlier(const BaseCommand &cmd, uint32_t field)
{
    const SlowDiskOutlierFieldInfo &info = g_slowDiskOutlierFields[field];
    uint32_t type = 0;
    uint32_t value = 0;
    if (DiskTypeParam(cmd, CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID,
                      "CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID", &type) != CLI_OK ||
        !CliParseNumber(cmd.Param(info.key), &value) || value < info.min || value > info.max) {
        CLI_LOG(CLI_LOG_ERROR, "%s:CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID 0x%x.", info.key,
                CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID);
        return CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID;
    }
    uint32_t cur = SlowDiskOutlierFieldGet(LoadSlowDiskOutlierConfig(type), field);
    if (cur == value) {
        CLI_LOG(CLI_LOG_INFO, "config %s:%d is same", info.key, value);
        return CLI_OK;
    }
    if (CliSlowDiskOutlierSet(type, field, value) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "set %s %s:%u failed", Node(type), info.key, value);
        return CLI_FAIL;
    }
    if (SetOrAddChildNodeConfigInt(Node(type), info.key, static_cast<int32_t>(value)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change config %s %s:%u failed", Node(type), info.key, value);
        (void)CliSlowDiskOutlierSet(type, field, cur);
        return CLI_FAIL;
    }
    return CLI_OK;
}

int32_t ShowDprSmartParam(std::string &out)
{
    for (uint32_t t = 0; t < CLI_DISK_TYPE_NUM; ++t) {
        uint32_t cyc = 0;
        if (GetChildNodeConfigInt(Node(t), kTaskCycle, &cyc) != 0) {
            CLI_LOG(CLI_LOG_ERROR, "get %s config %s:%u failed", Node(t), kTaskCycle, cyc);
            out.clear();
            return CLI_FAIL;
        }
        char line[96];
        (void)snprintf(line, sizeof(line), "%-14s: %s=%u\n", Node(t), kTaskCycle, cyc);
        out += line;
    }
    return CLI_OK;
}

int32_t ChangeDprSmart(const BaseCommand &cmd)
{
    uint32_t type = 0;
    int32_t ret = DiskTypeParam(cmd, CLI_DPR_SMART_CONFIG_PARAM_INVALID,
                                "CLI_DPR_SMART_CONFIG_PARAM_INVALID", &type);
    if (ret != CLI_OK) {
        return ret;
    }
    uint32_t cycle = 0;
    if (!CliParseNumber(cmd.Param(kTaskCycle), &cycle)) {
        return CLI_DPR_SMART_CONFIG_PARAM_INVALID;
    }
    if (cycle < 1 || cycle > kDprCycleMax) {
        CLI_LOG(CLI_LOG_ERROR, "%s:CLI_DPR_SMART_CONFIG_PARAM_INVALID 0x%x.", kTaskCycle,
                CLI_DPR_SMART_CONFIG_PARAM_INVALID);
        return CLI_DPR_SMART_CONFIG_PARAM_INVALID;
    }
    if (SetChildNodeConfigInt(Node(type), kTaskCycle, static_cast<int32_t>(cycle)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change config %s %s:%d failed", Node(type), kTaskCycle, cycle);
        return CLI_FAIL;
    }
    ret = CliDprSetCycle(type, cycle);
    if (ret != 0) {
        CLI_LOG(CLI_LOG_ERROR, "set min slow cycle failed, ret:%d.", ret);
        return CLI_FAIL;
    }
    return CLI_OK;
}

int32_t SetDiskLifePredictionParam(const std::string &text)
{
    uint32_t value = 0;
    if (!CliParseNumber(text, &value)) {
        return CLI_DISKLIFE_PRE_PARAM_INVALID;
    }
    uint32_t cur = 0;
    if (GetChildNodeConfigInt(kDiskLife, kTaskCycle, &cur) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "get config %s %s:%d failed", kDiskLife, kTaskCycle, value);
        CLI_LOG(CLI_LOG_ERROR, "%s:CLI_DISKLIFE_PRE_PARAM_INVALID 0x%x.", kTaskCycle,
                CLI_DISKLIFE_PRE_PARAM_INVALID);
        return CLI_FAIL;
    }
    if (cur == value) {
        CLI_LOG(CLI_LOG_INFO, "config %s %s:%d is same", kDiskLife, kTaskCycle, value);
        return CLI_OK;
    }
    if (value < kLifeCycleMin || value > kLifeCycleMax) {
        CLI_LOG(CLI_LOG_ERROR, "%s:CLI_DISKLIFE_PRE_PARAM_INVALID 0x%x.", kTaskCycle,
                CLI_DISKLIFE_PRE_PARAM_INVALID);
        return CLI_DISKLIFE_PRE_PARAM_INVALID;
    }
    CliDiskLifeSetScheduleTime(value);
    if (SetChildNodeConfigInt(kDiskLife, kTaskCycle, static_cast<int32_t>(value)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change config %s %s:%d failed", kDiskLife, kTaskCycle, value);
        CliDiskLifeSetScheduleTime(cur);
        return CLI_FAIL;
    }
    return CLI_OK;
}

// The answer and the operation-log line of one change of a slow-disk command;
// a change that took forgets its parameters, so the next request starts clean.
int32_t FinishChange(BaseCommand &cmd, const char *cmdName, const std::string &key, int32_t ret,
                     std::string &out)
{
    const char *how = ret == CLI_OK ? "successfully" : "failed";
    out = "change config " + key + " " + how + "\n";
    OPER_LOG(CLI_LOG_INFO, "change %s disk_type=%s %s=%s %s", cmdName, cmd.Param("disk_type").c_str(),
             key.c_str(), cmd.Param(key).c_str(), how);
    if (ret == CLI_OK) {
        cmd.params_.clear();
    }
    return ret == CLI_FAIL ? CLI_COMMAND_EXEC_FAILED : ret;
}

}  // namespace

SlowDiskDetectCmd::SlowDiskDetectCmd()
{
    setters_[kMinThreshold] = SetMinThresholdValue;
    setters_[kMinSlowCycle] = SetMinSlowCycle;
}

int32_t SlowDiskDetectCmd::ChangeParam(const std::string &name, Setter setter)
{
    uint32_t type = 0;
    int32_t ret = DiskTypeParam(*this, CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID,
                                "CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID", &type);
    uint32_t value = 0;
    if (ret != CLI_OK || !CliParseNumber(Param(name), &value)) {
        return CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID;
    }
    uint32_t cur = 0;
    if (GetChildNodeConfigInt(Node(type), name.c_str(), &cur) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "get config %s %s:%d failed", Node(type), name.c_str(), value);
        return CLI_FAIL;
    }
    if (cur == value) {
        CLI_LOG(CLI_LOG_INFO, "config %s:%d is same", name.c_str(), value);
        return CLI_OK;
    }
    Config cfg = {};
    if (InitSlowDiskDetectConfigValue(type, &cfg) != CLI_OK) {
        return CLI_FAIL;
    }
    ret = setter(&cfg, value);
    if (ret != CLI_OK) {
        return ret;
    }
    if (SetChildNodeConfigInt(Node(type), name.c_str(), static_cast<int32_t>(value)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change config %s:%d failed", name.c_str(), value);
        (void)setter(&cfg, cur);
        return CLI_FAIL;
    }
    return CLI_OK;
}

int32_t SlowDiskDetectCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    std::string action = Param("action");
    if (action == "show") {
        return ShowSlowDiskDetectParam(out);
    }
    if (action == "change" && HasParam("disk_type")) {
        for (const auto &[name, setter] : setters_) {
            if (!HasParam(name)) {
                continue;
            }
            return FinishChange(*this, "slowdisk_detect_config", name, ChangeParam(name, setter), out);
        }
    }
    CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
    return CLI_COMMAND_FORMAT_ERROR;
}

int32_t SlowDiskOutlierCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    std::string action = Param("action");
    if (action == "show") {
        return ShowSlowDiskOutlierParam(out);
    }
    bool change = action == "change" && HasParam("disk_type");
    for (uint32_t f = 0; change && f < SLOW_DISK_OUTLIER_FIELD_NUM; ++f) {
        const char *key = g_slowDiskOutlierFields[f].key;
        if (!HasParam(key)) {
            continue;
        }
        return FinishChange(*this, "slowdisk_outlier_config", key, ChangeSlowDiskOutlier(*this, f), out);
    }
    CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
    return CLI_COMMAND_FORMAT_ERROR;
}

int32_t DprSmartCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    std::string action = Param("action");
    if (action == "show") {
        return ShowDprSmartParam(out);
    }
    if (action != "change" || !HasParam(kTaskCycle) || !HasParam("disk_type")) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    int32_t ret = ChangeDprSmart(*this);
    out = std::string("change config ") + (ret == CLI_OK ? "successfully" : "failed") + "\n";
    OPER_LOG(CLI_LOG_INFO, "change dpr_smart disk_type=%s task_cycle=%s %s",
             Param("disk_type").c_str(), Param(kTaskCycle).c_str(),
             ret == CLI_OK ? "successfully" : "failed");
    if (ret == CLI_OK) {
        params_.clear();
    }
    return ret == CLI_FAIL ? CLI_COMMAND_EXEC_FAILED : ret;
}

int32_t DiskLifePredictionCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    std::string action = Param("action");
    if (action == "show") {
        uint32_t v = 0;
        if (GetChildNodeConfigInt(kDiskLife, kTaskCycle, &v) != 0) {
            CLI_LOG(CLI_LOG_ERROR, "get config %s %s:%u failed", kDiskLife, kTaskCycle, v);
            out.clear();
            return CLI_FAIL;
        }
        out = "task_cycle: " + std::to_string(v) + "\n";
        params_.clear();
        return CLI_OK;
    }
    if (action != "change" || !HasParam(kTaskCycle)) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    int32_t ret = SetDiskLifePredictionParam(Param(kTaskCycle));
    OPER_LOG(CLI_LOG_INFO, "change disklife_prediction task_cycle=%s %s",
             Param(kTaskCycle).c_str(), ret == CLI_OK ? "successfully" : "failed");
    if (ret == CLI_OK) {
        out += "change config disklife_prediction successfully.\n";
        params_.clear();
    }
    return ret;
}

}  // namespace SPINDLEKEEP_CLI
