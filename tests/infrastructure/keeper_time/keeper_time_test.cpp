#include "infrastructure/keeper_time/keeper_time.h"

#include <gtest/gtest.h>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"

namespace {

TEST(KeeperTimeTest, ConvertsEveryUnit)
{
    struct Case {
        KeeperTime in;
        time_t sec;
        long nsec;
    };
    const Case cases[] = {
        {{1500000001, KEEPER_TIME_NS}, 1, 500000001},
        {{999, KEEPER_TIME_NS}, 0, 999},
        {{2500001, KEEPER_TIME_US}, 2, 500001000},
        {{1500, KEEPER_TIME_MS}, 1, 500000000},
        {{999, KEEPER_TIME_MS}, 0, 999000000},
        {{7, KEEPER_TIME_S}, 7, 0},
        {{3, KEEPER_TIME_MIN}, 180, 0},
        {{2, KEEPER_TIME_HOUR}, 7200, 0},
        {{2, KEEPER_TIME_DAY}, 172800, 0},
        {{4294967295U, KEEPER_TIME_MS}, 4294967, 295000000},
        {{4294967295U, KEEPER_TIME_DAY}, static_cast<time_t>(4294967295ULL * 86400ULL), 0},
    };
    for (const auto &c : cases) {
        auto ts = ConvertKeeperTime2Timespec(c.in);
        EXPECT_EQ(ts.tv_sec, c.sec) << c.in.value << " unit " << c.in.unit;
        EXPECT_EQ(ts.tv_nsec, c.nsec) << c.in.value << " unit " << c.in.unit;
    }
}

TEST(KeeperTimeTest, InvalidUnitLogsAndGivesZero)
{
    LogCapture log;
    for (uint32_t unit : {7u, 8u, 0xffffffffu}) {
        auto ts = ConvertKeeperTime2Timespec(KeeperTime{5, unit});
        EXPECT_EQ(ts.tv_sec, 0);
        EXPECT_EQ(ts.tv_nsec, 0);
    }
    EXPECT_EQ(log.Count("Input timeUnit(7) >= BUTT", KEEPER_LOG_ERROR), 1) << log.Dump();
    EXPECT_EQ(log.Count(">= BUTT"), 3);
}

TEST(KeeperTimeTest, DeadlineCarriesWholeSeconds)
{
    struct Case {
        KeeperClockTime base;
        KeeperClockTime delta;
        KeeperClockTime want;
    };
    const Case cases[] = {
        {{10, 500000000}, {0, 500000000}, {11, 0}},  // exactly one second carries
        {{10, 999999999}, {0, 1}, {11, 0}},
        {{10, 400000000}, {2, 500000000}, {12, 900000000}},
        {{10, 999999999}, {1, 999999999}, {12, 999999998}},
    };
    for (const auto &c : cases) {
        auto got = KeeperTimespecAdd(c.base, c.delta);
        EXPECT_EQ(got.tv_sec, c.want.tv_sec);
        EXPECT_EQ(got.tv_nsec, c.want.tv_nsec);
        EXPECT_LT(got.tv_nsec, 1000000000L);
    }
}

}  // namespace
