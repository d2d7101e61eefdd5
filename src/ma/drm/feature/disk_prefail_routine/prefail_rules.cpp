#include "ma/drm/feature/disk_prefail_routine/prefail_rules.h"

namespace {

// SATA SSDs wear slowly and their attributes move slowly: ten minutes.
constexpr uint32_t kDefaultCycle[] = {600, 20, 20, 20, 20};
static_assert(sizeof(kDefaultCycle) / sizeof(kDefaultCycle[0]) == DPR_GROUP_NUM,
              "one default cycle per prefail group");

// Temperature attributes cross their thresholds with the room, not the disk.
constexpr uint8_t kAttrAirflowTemp = 190;
constexpr uint8_t kAttrTemperature = 194;

constexpr uint8_t kNvmeSpare = 1u << 0;
constexpr uint8_t kNvmeReadOnly = 1u << 3;
constexpr uint8_t kNvmeVolatileBackup = 1u << 4;

}  // namespace

uint32_t DprDefaultCycle(uint32_t group)
{
    return group < DPR_GROUP_NUM ? kDefaultCycle[group] : 0;
}

int DprSataFailingEntry(const uint8_t entries[DPR_SMART_ENTRY_NUM * 4])
{
    for (uint32_t i = 0; i < DPR_SMART_ENTRY_NUM; ++i) {
        const uint8_t *e = entries + i * 4;
        uint8_t id = e[0], threshold = e[1], current = e[2], worst = e[3];
        if (id == 0 || threshold == 0 || id == kAttrTemperature || id == kAttrAirflowTemp) {
            continue;
        }
        if (current <= threshold || worst <= threshold) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool DprSasSsdFails(uint8_t asc, uint8_t ascq)
{
    return asc == DPR_ASC_IE && ascq != DPR_ASCQ_FALSE_ALARM;
}

bool DprKssdFails(uint8_t capId, uint8_t capStatus)
{
    return capId == DPR_CAPACITANCE_ID && capStatus == 0;
}

bool DprNvmeFails(uint8_t bits)
{
    return (bits & (kNvmeSpare | kNvmeReadOnly | kNvmeVolatileBackup)) != 0;
}

bool DprSasHddFails(uint8_t asc, uint8_t ascq, uint8_t ieLogFlag)
{
    if (ieLogFlag != 1) {
        return asc == DPR_ASC_IE;
    }
    return DprSasSsdFails(asc, ascq);
}
