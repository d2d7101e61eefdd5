// "config": the feature switch and the NVMe take-over switch.
#include "cli/cmd/cli_cmds.h"
#include "cli/cmd/cli_feature_bridge.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "config/config.h"
#include "config/config_backup.h"
#include "data_collect/data_collect_master/dcm_schedule.h"
#include "data_mgr/data_mgr_master/data_mgr_dma.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr int kWidth = 22;
constexpr uint32_t kSwitchUnread = 2;

const char *SwitchText(uint32_t v)
{
    return v == 1 ? "on" : (v == 0 ? "off" : "internal error");
}

// Writes the switch, then applies it; a refused application puts the old
// value back so that file and running state agree.
int32_t ChangeSwitchConfig(const char *name, const std::string &text, ConfigCmd::Setter setter)
{
    int32_t val = 0;
    if (text == "on") {
        val = 1;
    } else if (text != "off") {
        CLI_LOG(CLI_LOG_ERROR, "get config %s val %s failed", name, text.c_str());
        return CLI_FAIL;
    }
    uint32_t cur = kSwitchUnread;
    if (GetSwitchConfig(name, &cur) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "get config %s:%d failed", name, val);
        return CLI_FAIL;
    }
    if (cur == static_cast<uint32_t>(val)) {
        CLI_LOG(CLI_LOG_INFO, "config %s:%d is same", name, val);
        return CLI_OK;
    }
    if (SetSwitchConfig(name, val) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change config %s:%d failed", name, val);
        return CLI_FAIL;
    }
    int32_t ret = setter(name, static_cast<uint32_t>(val));
    if (ret != CLI_OK && SetSwitchConfig(name, static_cast<int32_t>(cur)) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change config %s:%d failed", name, static_cast<int32_t>(cur));
        return CLI_FAIL;
    }
    return ret;
}

}  // namespace

int32_t CliSetFeatureSwitchConfig(const char *name, uint32_t value)
{
    if (value == 0) {
        (void)StopConfigBackUpTask();
        CancelDmmSync2DmaScheduleTask();
        CancelAllQueryAgentScheduleTask();
        DataMgrDisable();
    } else {
        DataMgrEnable();
        StartQueryAgentScheduleTask();
        StartDmmSync2DmaScheduleTask();
        (void)StartConfigBackUpTask();
    }
    int32_t ret = CliDprSetSwitch(value != 0);
    if (ret != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change dpr config %u failed, ret:%u.", value, ret);
        return CLI_FAIL;
    }
    ret = CliSlowDiskSetSwitch(value != 0);
    if (ret != 0) {
        CLI_LOG(CLI_LOG_ERROR, "change SlowDiskDetect config %u failed, ret:%u.", value, ret);
        return CLI_FAIL;
    }
    CLI_LOG(CLI_LOG_INFO, "change config %s:%u successfully (on:%d, off:%d)", name, value, 1, 0);
    return CLI_OK;
}

int32_t CliSetTakeOverSwitchConfig(const char *name, uint32_t value)
{
    CliApplyTakeOverSwitch(value != 0);
    CLI_LOG(CLI_LOG_INFO, "change config %s:%u successfully (on:%d, off:%d)", name, value, 1, 0);
    return CLI_OK;
}

ConfigCmd::ConfigCmd()
{
    setters_["feature_switch"] = CliSetFeatureSwitchConfig;
    setters_["takeover_disk_switch"] = CliSetTakeOverSwitchConfig;
}

int32_t ConfigCmd::ShowConfig(std::string &out)
{
    for (const auto &[name, setter] : setters_) {
        uint32_t v = kSwitchUnread;
        if (GetSwitchConfig(name.c_str(), &v) != 0) {
            CLI_LOG(CLI_LOG_ERROR, "get %s config failed", name.c_str());
            out.clear();
            return CLI_FAIL;
        }
        out += CliLine(name.c_str(), kWidth, SwitchText(v));
    }
    return CLI_OK;
}

int32_t ConfigCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    std::string action = Param("action");
    if (action == "show") {
        return ShowConfig(out);
    }
    if (action != "change") {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    for (const auto &[name, setter] : setters_) {
        if (!HasParam(name)) {
            continue;
        }
        if (setter == nullptr) {
            return CLI_COMMAND_EXEC_FAILED;
        }
        int32_t ret = ChangeSwitchConfig(name.c_str(), Param(name), setter);
        out = "change config " + name + " " + (ret == CLI_OK ? "successfully" : "failed") + "\n";
        OPER_LOG(CLI_LOG_INFO, "change config %s=%s %s", name.c_str(), Param(name).c_str(),
                 ret == CLI_OK ? "successfully" : "failed");
        return ret == CLI_OK ? CLI_OK : CLI_COMMAND_EXEC_FAILED;
    }
    CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
    return CLI_COMMAND_FORMAT_ERROR;
}

}  // namespace SPINDLEKEEP_CLI
