#include "init/feature_start.h"

#include "config/config.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"
#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"
#include "ma/drm/feature/slow_disk_detecter/slow_disk_detect.h"

namespace {

constexpr const char *kTag = "INIT";

}  // namespace

void SetSlowDiskDetectConfig()
{
    for (uint32_t t = 0; t < CONFIG_DISK_TYPE_NUM; ++t) {
        const char *key = g_configDiskTypeKeys[t];
        uint32_t threshold = 0;
        uint32_t slowCycle = 0;
        if (GetChildNodeConfigInt(key, "min_threshold_value", &threshold) != 0 ||
            GetChildNodeConfigInt(key, "min_slow_cycle", &slowCycle) != 0) {
            KLOG_ERR(kTag, "get disktype %s min_threshold_value or min_slow_cycle config failed",
                     key);
            return;
        }
        // A value past its field must not wrap into the accepted range.
        SlowDiskConfig cfg{t, static_cast<uint16_t>(threshold > 0xFFFF ? 0 : threshold),
                           static_cast<uint8_t>(slowCycle > 0xFF ? 0 : slowCycle)};
        if (DrmSlowDiskDetectSetConfig(&cfg) != 0) {
            KLOG_ERR(kTag, "set slow disk detect config failed");
            return;
        }
    }
}

SlowDiskOutlierConfig LoadSlowDiskOutlierConfig(uint32_t drmType)
{
    SlowDiskOutlierConfig cfg = SlowDiskOutlierDefaultConfig(drmType);
    const char *section = g_configDiskTypeKeys[drmType];
    for (uint32_t f = 0; f < SLOW_DISK_OUTLIER_FIELD_NUM; ++f) {
        const SlowDiskOutlierFieldInfo &info = g_slowDiskOutlierFields[f];
        if (!ChildNodeConfigExists(section, info.key)) {
            continue;
        }
        uint32_t value = 0;
        if (GetChildNodeConfigInt(section, info.key, &value) != 0 || value < info.min ||
            value > info.max) {
            KLOG_ERR(kTag, "invalid %s %s: %d (range %u..%u), default %u kept", section, info.key,
                     static_cast<int32_t>(value), info.min, info.max,
                     SlowDiskOutlierFieldGet(cfg, f));
            continue;
        }
        SlowDiskOutlierFieldSet(&cfg, f, value);
    }
    return cfg;
}

void SetSlowDiskOutlierConfig()
{
    for (uint32_t t = 0; t < CONFIG_DISK_TYPE_NUM; ++t) {
        SlowDiskOutlierConfig cfg = LoadSlowDiskOutlierConfig(t);
        if (DrmSlowDiskOutlierSetConfig(&cfg) != 0) {
            KLOG_ERR(kTag, "set slow disk outlier config of %s failed", g_configDiskTypeKeys[t]);
        }
    }
}

int SetDprSmartSwitch(uint32_t featureSwitch)
{
    DprSwitch sw{DPR_START_TYPE_SMART, static_cast<uint8_t>(featureSwitch != 0 ? 1 : 0)};
    if (DrmDprSetSwitch(&sw) != 0) {
        KLOG_ERR(kTag, "set dpr smart config failed");
        return -1;
    }
    return 0;
}

void SetDprSmartConfig()
{
    for (uint32_t t = 0; t < CONFIG_DISK_TYPE_NUM; ++t) {
        const char *key = g_configDiskTypeKeys[t];
        uint32_t cycle = 0;
        if (GetChildNodeConfigInt(key, "task_cycle", &cycle) != 0) {
            KLOG_ERR(kTag, "get dpr smart disktype %s taskCycle config failed", key);
            return;
        }
        DprCycleConfig cfg{DPR_START_TYPE_SMART, t, cycle};
        if (DrmDprSetCycleConfig(&cfg) != 0) {
            KLOG_ERR(kTag, "set dpr smart config failed");
            return;
        }
    }
}

void StartFeature()
{
    uint32_t featureSwitch = 0;
    if (GetSwitchConfig("feature_switch", &featureSwitch) != 0) {
        KLOG_ERR(kTag, "get feature switch config failed");
        return;
    }
    if (DrmSlowDiskDetectSetSwitch(featureSwitch != 0 ? 1 : 0) != 0) {
        KLOG_ERR(kTag, "set slow disk detect switch config failed");
        return;
    }
    SetSlowDiskDetectConfig();
    SetSlowDiskOutlierConfig();
    if (SetDprSmartSwitch(featureSwitch) != 0) {
        return;
    }
    SetDprSmartConfig();
    uint32_t schedule = 0;
    if (GetChildNodeConfigInt("disklife_prediction", "task_cycle", &schedule) != 0) {
        KLOG_ERR(kTag, "get config %s %s:%u failed", "disklife_prediction", "task_cycle", 0u);
        return;
    }
    DrmDiskLifeMonitorSetScheduleTime(schedule);
}
