// IO statistics from two counter frames, against hand-computed values.
#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

// The worked example: 2 s, 200 reads and 100 writes, and what it gives.
// Frame fields: bytes read/written, ops read/written, latency ticks
// read/written, queue depth, busy count, ticks, tick rate, io time.
constexpr DiskIoInfoFrame kLast{0, 0, 0, 0, 0, 0, 0, 0, 1000, 1000, 0};
constexpr DiskIoInfoFrame kNew{2048000, 1024000, 200, 100, 400, 100, 7, 3, 3000, 1000, 1500000};
constexpr DiskIoStatInfo kExample{100, 50, 1000, 500, 2000, 1000, 7, 3, 5000, 75, 0};

// All fields as one tuple, so a mismatch shows the whole record.
auto Fields(const DiskIoStatInfo &s)
{
    return std::make_tuple(s.readIops, s.writeIops, s.readIoBand, s.writeIoBand, s.readIoDelay,
                           s.writeIoDelay, s.queueDepth, s.ioBusyNum, s.avgServeTime, s.utilization,
                           s.utilizationDec);
}

DiskIoStatInfo Calc(const DiskIoInfoFrame &l, const DiskIoInfoFrame &n)
{
    DiskIoStatInfo s;
    memset(&s, 0xA5, sizeof(s));  // a field the calculation forgets shows
    EXPECT_EQ(IoStatCalculate(&l, &n, &s), 0);
    return s;
}

class IoStatTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(KeeperInfraLiteInstall(), 0); }
};

// Counters a few million below the wrap point: the differences must stay
// exact (no detour through doubles of the absolute values). 2 s with 2048000
// bytes each way, 400 reads of 3 ticks, 100 writes of 9.99 ticks, 1 s busy.
TEST_F(IoStatTest, CountersNearTwoToThe64)
{
    DiskIoInfoFrame l{kMax - 3000000, kMax - 2048000, kMax - 1000, kMax - 500, kMax - 10000,
                      kMax - 999, 0, 0, kMax - 4000, 1000, kMax - 2000000};
    DiskIoInfoFrame n{l.bytes_read + 2048000, kMax, l.num_read_ops + 400, l.num_write_ops + 100,
                      l.read_latency_ticks + 1200, kMax, 0, 0, l.ticks + 2000, 1000,
                      l.io_time + 1000000};
    ASSERT_EQ(IoStatCheck(&l, &n), 0);
    EXPECT_EQ(Fields(Calc(l, n)), Fields(DiskIoStatInfo{200, 50, 1000, 1000, 3000, 9990, 0, 0,
                                                   2000 /* 1000000 us / 500 ops */, 50, 0}));
}

// A frame is accepted only when time moved on and no cumulative counter went
// back; each counter is set back by one in turn (io_time is not checked).
TEST_F(IoStatTest, AcceptanceTest)
{
    const DiskIoInfoFrame l{10, 10, 10, 10, 10, 10, 0, 0, 1000, 1000, 500};
    using F = DiskIoInfoFrame;
    for (auto field : {&F::bytes_read, &F::bytes_written, &F::num_read_ops, &F::num_write_ops,
                       &F::read_latency_ticks, &F::write_latency_ticks}) {
        DiskIoInfoFrame n = l;
        n.ticks = 1001;
        n.io_time = 0;
        EXPECT_EQ(IoStatCheck(&l, &n), 0) << "unchanged counters pass";
        n.*field = l.*field - 1;
        EXPECT_EQ(IoStatCheck(&l, &n), -1) << "a counter went back";
    }
    for (uint64_t ticks : {uint64_t{999}, uint64_t{1000}}) {
        DiskIoInfoFrame n{20, 20, 20, 20, 20, 20, 0, 0, ticks, 1000, 600};
        EXPECT_EQ(IoStatCheck(&l, &n), -1) << ticks;
    }
}

// Variations of the worked example. Where a divisor is zero (no tick rate,
// latency ticks without operations) the affected figures are defined as 0.
TEST_F(IoStatTest, EdgeIntervals)
{
    const struct {
        const char *name;
        void (*frame)(DiskIoInfoFrame &n);
        void (*want)(DiskIoStatInfo &s);
    } cases[] = {
        {"worked example", [](DiskIoInfoFrame &) {}, [](DiskIoStatInfo &) {}},
        {"busy longer than elapsed", [](DiskIoInfoFrame &n) { n.io_time = 2500000; },
         [](DiskIoStatInfo &s) { s.utilization = 100, s.avgServeTime = 8333; }},
        {"no reads: 1500000 us over 100 writes",
         [](DiskIoInfoFrame &n) { n.num_read_ops = n.bytes_read = n.read_latency_ticks = 0; },
         [](DiskIoStatInfo &s) {
             s.readIops = s.readIoDelay = s.readIoBand = 0, s.avgServeTime = 15000;
         }},
        {"one latency tick", [](DiskIoInfoFrame &n) { n.read_latency_ticks = 1; },  // 1/200 tick
         [](DiskIoStatInfo &s) { s.readIoDelay = 5; }},
        {"unknown busy count", [](DiskIoInfoFrame &n) { n.io_busy_num = 0xFFFFFFFFu; },
         [](DiskIoStatInfo &s) { s.ioBusyNum = 0; }},
        {"tick rate 0: no time, so no rates", [](DiskIoInfoFrame &n) { n.tick_rate = 0; },
         [](DiskIoStatInfo &s) { s = DiskIoStatInfo{0, 0, 0, 0, 0, 0, 7, 3, 5000, 0, 0}; }},
        {"latency ticks without operations; bytes still count",
         [](DiskIoInfoFrame &n) { n.num_read_ops = n.num_write_ops = 0; },
         [](DiskIoStatInfo &s) {
             s.readIops = s.writeIops = s.readIoDelay = s.writeIoDelay = s.avgServeTime = 0;
         }},
    };
    for (const auto &c : cases) {
        DiskIoInfoFrame n = kNew;
        c.frame(n);
        DiskIoStatInfo want = kExample;
        c.want(want);
        EXPECT_EQ(Fields(Calc(kLast, n)), Fields(want)) << c.name;
    }
}

// Quotients past the u64 range saturate instead of wrapping or trapping
// (exactly 2^64 reads per second, 2^63 in half a second, is already past it).
TEST_F(IoStatTest, HugeQuotientsSaturate)
{
    DiskIoStatInfo s = Calc(DiskIoInfoFrame{0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0},
                            DiskIoInfoFrame{kMax, 0, kMax, 0, 0, 0, 0, 0, 2, kMax, 0});
    EXPECT_EQ(std::make_tuple(s.readIops, s.readIoBand, s.writeIops),
              std::make_tuple(kMax, kMax, uint64_t{0}));
    s = Calc(DiskIoInfoFrame{0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0},
             DiskIoInfoFrame{0, 0, uint64_t{1} << 63, 0, 0, 0, 0, 0, 2, 2, 0});
    EXPECT_EQ(s.readIops, kMax);
}

}  // namespace
