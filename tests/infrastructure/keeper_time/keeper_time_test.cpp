#include "infrastructure/keeper_time/keeper_time.h"

#include <gtest/gtest.h>

#include <utility>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"

namespace {

using Ts = std::pair<long, long>;  // seconds, nanoseconds

// Expected results come from the unit's length in nanoseconds, so every unit
// meets values below, at and far above one second; invalid units give zero
// and are reported.
TEST(KeeperTimeTest, ConvertsEveryUnitAndGivesZeroForOthers)
{
    const unsigned __int128 nsPerUnit[] = {1, 1000, 1000000, 1000000000, 60000000000ULL,
                                           3600000000000ULL, 86400000000000ULL};
    static_assert(std::size(nsPerUnit) == KEEPER_TIME_BUTT);
    LogCapture log;
    for (uint32_t unit : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 0xffffffffu}) {
        for (uint32_t v : {0u, 1u, 999u, 1500u, 2500001u, 1500000001u, 4294967295u}) {
            unsigned __int128 ns = unit < KEEPER_TIME_BUTT ? v * nsPerUnit[unit] : 0;
            KeeperClockTime ts = ConvertKeeperTime2Timespec(KeeperTime{v, unit});
            EXPECT_EQ(Ts(ts.tv_sec, ts.tv_nsec), Ts(ns / 1000000000, ns % 1000000000))
                << v << " unit " << unit;
        }
    }
    EXPECT_EQ(log.Count("", KEEPER_LOG_ERROR), 3 * 7) << "every invalid unit is reported";
}

TEST(KeeperTimeTest, DeadlineCarriesWholeSeconds)
{
    for (long a : {0L, 400000000L, 500000000L, 999999999L}) {
        for (long b : {0L, 1L, 500000000L, 999999999L}) {
            KeeperClockTime got = KeeperTimespecAdd({10, a}, {2, b});
            EXPECT_EQ(Ts(got.tv_sec, got.tv_nsec),
                      Ts(12 + (a + b) / 1000000000, (a + b) % 1000000000));
        }
    }
}

}  // namespace
