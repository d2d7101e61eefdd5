#include "ma/drm/feature/disk_life_monitor/disk_life_monitor.h"

namespace {

constexpr uint64_t kWearFull = 10000;  // 100.00 % in hundredths of a percent
constexpr uint64_t kHoursMargin = 10;  // a brand-new disk still gets a finite estimate

}  // namespace

uint64_t DrmDiskLifeRemainingHours(uint64_t powerOnHours, uint32_t wearInt, uint32_t wearDec)
{
    uint64_t used = static_cast<uint64_t>(wearInt) * 100 + wearDec;
    if (used == 0) {
        return DRM_LIFE_MAX_REMAINING_H;
    }
    // Wear at or past 100.00 % means the rated endurance is spent: no life is
    // left. The formula reaches 0 at exactly 100.00 % and would turn negative
    // beyond it, so 0 continues it without a jump (score 37, Fault).
    if (used >= kWearFull) {
        return 0;
    }
    // powerOnHours stays within u32 (data store contract), so the product fits u64.
    uint64_t remaining = (powerOnHours + kHoursMargin) * (kWearFull - used) / used;
    return remaining > DRM_LIFE_MAX_REMAINING_H ? DRM_LIFE_MAX_REMAINING_H : remaining;
}
