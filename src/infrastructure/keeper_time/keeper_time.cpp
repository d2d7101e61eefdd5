#include "infrastructure/keeper_time/keeper_time.h"

#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

constexpr long kNsPerSec = 1000000000L;

// Seconds per unit for the whole-second units, indexed by KeeperTimeUnit.
constexpr uint64_t kSecondsPerUnit[KEEPER_TIME_BUTT] = {0, 0, 0, 1, 60, 3600, 86400};

}  // namespace

KeeperClockTime ConvertKeeperTime2Timespec(KeeperTime t)
{
    auto ts = timespec{};
    switch (t.unit) {
        case KEEPER_TIME_NS:
            ts.tv_sec = t.value / 1000000000U;
            ts.tv_nsec = t.value % 1000000000U;
            break;
        case KEEPER_TIME_US:
            ts.tv_sec = t.value / 1000000U;
            ts.tv_nsec = static_cast<long>(t.value % 1000000U) * 1000L;
            break;
        case KEEPER_TIME_MS:
            ts.tv_sec = t.value / 1000U;
            ts.tv_nsec = static_cast<long>(t.value % 1000U) * 1000000L;
            break;
        case KEEPER_TIME_S:
        case KEEPER_TIME_MIN:
        case KEEPER_TIME_HOUR:
        case KEEPER_TIME_DAY:
            ts.tv_sec = static_cast<time_t>(t.value * kSecondsPerUnit[t.unit]);
            break;
        default:
            KEEPER_LOG(KEEPER_LOG_ERROR, "Time", "Input timeUnit(%d) >= BUTT", t.unit);
            break;
    }
    return ts;
}

KeeperClockTime KeeperTimespecAdd(KeeperClockTime base, KeeperClockTime delta)
{
    auto out = timespec{};
    out.tv_sec = base.tv_sec + delta.tv_sec;
    long ns = base.tv_nsec + delta.tv_nsec;
    while (ns >= kNsPerSec) {
        ns -= kNsPerSec;
        out.tv_sec += 1;
    }
    out.tv_nsec = ns;
    return out;
}
