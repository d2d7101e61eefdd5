#include "init/init_takeover.h"

#include "config/config.h"
#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"
#include "data_collect/data_collect_master/dcm_rpc.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {
constexpr const char *kTag = "INIT";
}  // namespace

void ApplyTakeOverDiskSwitch(bool enable)
{
    if (!enable) {
        StopHotPlugListener();
        return;
    }
    AgentInfo agent = DcmWellKnownAgentGet(DCM_AGENT_SPDK);
    StartHotPlugListener(&agent);
}

void StartTakeOverDiskSwitch()
{
    uint32_t value = 0;
    if (GetSwitchConfig("takeover_disk_switch", &value) != 0) {
        KLOG_ERR(kTag, "get takeOverDiskSwitch config failed");
        return;
    }
    ApplyTakeOverDiskSwitch(value != 0);
    KLOG_INFO(kTag, "set takeOverDiskSwitch:%d success.", value);
}
