// IO statistics from two counter frames, against hand-computed values.
#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

class IoStatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    }
};

// L and N of the worked example: 2 s, 200 reads and 100 writes.
DiskIoInfoFrame ExampleLast()
{
    DiskIoInfoFrame l{};
    l.ticks = 1000;
    l.tick_rate = 1000;
    return l;
}

DiskIoInfoFrame ExampleNew()
{
    DiskIoInfoFrame n{};
    n.num_read_ops = 200;
    n.num_write_ops = 100;
    n.bytes_read = 2048000;
    n.bytes_written = 1024000;
    n.read_latency_ticks = 400;
    n.write_latency_ticks = 100;
    n.ticks = 3000;
    n.tick_rate = 1000;
    n.io_time = 1500000;
    n.queue_depth = 7;
    n.io_busy_num = 3;
    return n;
}

DiskIoStatInfo Calc(const DiskIoInfoFrame &l, const DiskIoInfoFrame &n)
{
    DiskIoStatInfo s{};
    EXPECT_EQ(IoStatCalculate(&l, &n, &s), 0);
    return s;
}

TEST_F(IoStatTest, WorkedExample)
{
    LogCapture log;
    DiskIoStatInfo s = Calc(ExampleLast(), ExampleNew());
    EXPECT_EQ(s.readIops, 100u);
    EXPECT_EQ(s.writeIops, 50u);
    EXPECT_EQ(s.readIoBand, 1000u);
    EXPECT_EQ(s.writeIoBand, 500u);
    EXPECT_EQ(s.readIoDelay, 2000u);
    EXPECT_EQ(s.writeIoDelay, 1000u);
    EXPECT_EQ(s.utilization, 75u);
    EXPECT_EQ(s.utilizationDec, 0u);
    EXPECT_EQ(s.avgServeTime, 5000u);
    EXPECT_EQ(s.queueDepth, 7u);
    EXPECT_EQ(s.ioBusyNum, 3u);

    // The trace, line by line, in order.
    const char *expected[] = {
        "IO STAT CAL RESULT {",
        "\tcpuTicksDiff    =2000\ttimeDiff    =2.000000",
        "\tioTimeDiff    =1500000(1500000 -0)",
        "\tioBusyNum   =3",
        "\treadIops    =100(200 / 2.000000)",
        "\twriteIops   =50(100 / 2.000000)",
        "\treadIoBand  =1000(2048000 / 2.000000 / 1024)",
        "\twriteIoBand =500(1024000 / 2.000000 / 1024)",
        "\treadIoDelay =2000(400 / 200 *1000000.0 /1000)",
        "\twriteIoDelay =1000(100 / 100 *1000000.0 /1000)",
        "\tutilization = 75.0%(1500000 / (2.000000 * 1000000.0))",
        "\tavgServeTime =5000(1500000 / 300)",
        "}",
    };
    auto records = log.Records();
    ASSERT_EQ(records.size(), sizeof(expected) / sizeof(expected[0])) << log.Dump();
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].message, expected[i]);
        EXPECT_EQ(records[i].tag, "DATA_MGR_MASTER");
        EXPECT_EQ(records[i].level, static_cast<uint32_t>(KEEPER_LOG_DEBUG));
    }
}

// Counters a few million below the wrap point: the differences must stay
// exact (no detour through doubles of the absolute values).
TEST_F(IoStatTest, CountersNearTwoToThe64)
{
    DiskIoInfoFrame l{};
    l.bytes_read = kMax - 3000000;
    l.bytes_written = kMax - 2048000;
    l.num_read_ops = kMax - 1000;
    l.num_write_ops = kMax - 500;
    l.read_latency_ticks = kMax - 10000;
    l.write_latency_ticks = kMax - 999;
    l.ticks = kMax - 4000;
    l.tick_rate = 1000;
    l.io_time = kMax - 2000000;
    DiskIoInfoFrame n = l;
    n.bytes_read = l.bytes_read + 2048000;   // 1000 KiB/s over 2 s
    n.bytes_written = kMax;                  // + 2048000 -> 1000 KiB/s
    n.num_read_ops = l.num_read_ops + 400;   // 200/s
    n.num_write_ops = l.num_write_ops + 100;  // 50/s
    n.read_latency_ticks = l.read_latency_ticks + 1200;  // 3 ticks = 3000 us per read
    n.write_latency_ticks = kMax;            // + 999 ticks over 100 writes = 9990 us
    n.ticks = l.ticks + 2000;
    n.io_time = l.io_time + 1000000;         // 1 s busy in 2 s = 50.00 %
    ASSERT_EQ(IoStatCheck(&l, &n), 0);
    DiskIoStatInfo s = Calc(l, n);
    EXPECT_EQ(s.readIops, 200u);
    EXPECT_EQ(s.writeIops, 50u);
    EXPECT_EQ(s.readIoBand, 1000u);
    EXPECT_EQ(s.writeIoBand, 1000u);
    EXPECT_EQ(s.readIoDelay, 3000u);
    EXPECT_EQ(s.writeIoDelay, 9990u);
    EXPECT_EQ(s.utilization, 50u);
    EXPECT_EQ(s.utilizationDec, 0u);
    EXPECT_EQ(s.avgServeTime, 2000u);  // 1000000 us / 500 ops
}

TEST_F(IoStatTest, AcceptanceTest)
{
    struct Case {
        const char *name;
        void (*mutate)(DiskIoInfoFrame &n);
        int expected;
    } cases[] = {
        {"forward", [](DiskIoInfoFrame &) {}, 0},
        {"equal ticks", [](DiskIoInfoFrame &n) { n.ticks = 1000; }, -1},
        {"earlier ticks", [](DiskIoInfoFrame &n) { n.ticks = 999; }, -1},
        {"bytes_read reset", [](DiskIoInfoFrame &n) { n.bytes_read = 0; }, -1},
        {"bytes_written back", [](DiskIoInfoFrame &n) { n.bytes_written = 9; }, -1},
        {"read ops back", [](DiskIoInfoFrame &n) { n.num_read_ops = 9; }, -1},
        {"write ops back", [](DiskIoInfoFrame &n) { n.num_write_ops = 9; }, -1},
        {"read latency back", [](DiskIoInfoFrame &n) { n.read_latency_ticks = 9; }, -1},
        {"write latency back", [](DiskIoInfoFrame &n) { n.write_latency_ticks = 9; }, -1},
        {"counters unchanged", [](DiskIoInfoFrame &n) {
             n.bytes_read = n.bytes_written = n.num_read_ops = n.num_write_ops = 10;
             n.read_latency_ticks = n.write_latency_ticks = 10;
         }, 0},
        {"io_time back is not checked", [](DiskIoInfoFrame &n) { n.io_time = 0; }, 0},
    };
    DiskIoInfoFrame l{10, 10, 10, 10, 10, 10, 0, 0, 1000, 1000, 500};
    for (const auto &c : cases) {
        DiskIoInfoFrame n{20, 20, 20, 20, 20, 20, 0, 0, 2000, 1000, 600};
        c.mutate(n);
        LogCapture log;
        EXPECT_EQ(IoStatCheck(&l, &n), c.expected) << c.name;
        std::string warn = "IoStatCheck failed newFrame->ticks:[" + std::to_string(n.ticks) +
                           "], lastFrame->ticks:[1000]";
        EXPECT_EQ(log.Contains(warn, KEEPER_LOG_WARN), c.expected != 0) << c.name;
    }
}

TEST_F(IoStatTest, EdgeIntervals)
{
    struct Case {
        const char *name;
        void (*mutate)(DiskIoInfoFrame &n);
        void (*check)(const DiskIoStatInfo &s);
    } cases[] = {
        {"busy longer than elapsed",
         [](DiskIoInfoFrame &n) { n.io_time = 2500000; },
         [](const DiskIoStatInfo &s) {
             EXPECT_EQ(s.utilization, 100u);
             EXPECT_EQ(s.utilizationDec, 0u);
         }},
        {"exactly 100 %",
         [](DiskIoInfoFrame &n) { n.io_time = 2000000; },
         [](const DiskIoStatInfo &s) {
             EXPECT_EQ(s.utilization, 100u);
             EXPECT_EQ(s.utilizationDec, 0u);
         }},
        {"hundredths",
         [](DiskIoInfoFrame &n) { n.io_time = 1234560; },  // 61.728 %
         [](const DiskIoStatInfo &s) {
             EXPECT_EQ(s.utilization, 61u);
             EXPECT_EQ(s.utilizationDec, 72u);
         }},
        {"no reads",
         [](DiskIoInfoFrame &n) {
             n.num_read_ops = 0;
             n.bytes_read = 0;
             n.read_latency_ticks = 0;
         },
         [](const DiskIoStatInfo &s) {
             EXPECT_EQ(s.readIops, 0u);
             EXPECT_EQ(s.readIoDelay, 0u);
             EXPECT_EQ(s.readIoBand, 0u);
             EXPECT_EQ(s.avgServeTime, 15000u);  // 1500000 us / 100 writes
         }},
        {"unknown busy count",
         [](DiskIoInfoFrame &n) { n.io_busy_num = 0xFFFFFFFFu; },
         [](const DiskIoStatInfo &s) { EXPECT_EQ(s.ioBusyNum, 0u); }},
        {"busy count just below the marker",
         [](DiskIoInfoFrame &n) { n.io_busy_num = 0xFFFFFFFEu; },
         [](const DiskIoStatInfo &s) { EXPECT_EQ(s.ioBusyNum, 0xFFFFFFFEu); }},
        {"no operations at all",
         [](DiskIoInfoFrame &n) {
             n.num_read_ops = n.num_write_ops = 0;
             n.read_latency_ticks = n.write_latency_ticks = 0;
         },
         [](const DiskIoStatInfo &s) { EXPECT_EQ(s.avgServeTime, 0u); }},
        {"fractions are dropped",
         [](DiskIoInfoFrame &n) {
             n.num_read_ops = 201;        // 100.5/s
             n.bytes_read = 2048000 + 2047;  // 1000.99.. KiB/s
             n.read_latency_ticks = 401;  // 1.995.. ticks per read
         },
         [](const DiskIoStatInfo &s) {
             EXPECT_EQ(s.readIops, 100u);
             EXPECT_EQ(s.readIoBand, 1000u);
             EXPECT_EQ(s.readIoDelay, 1995u);
         }},
    };
    for (const auto &c : cases) {
        DiskIoInfoFrame n = ExampleNew();
        c.mutate(n);
        SCOPED_TRACE(c.name);
        c.check(Calc(ExampleLast(), n));
    }
}

// The defined results where a divisor is zero: every affected figure is 0.
TEST_F(IoStatTest, ZeroDivisorsGiveZero)
{
    // tick_rate 0: no elapsed time can be derived, so no rate either.
    DiskIoInfoFrame n = ExampleNew();
    n.tick_rate = 0;
    DiskIoStatInfo s = Calc(ExampleLast(), n);
    EXPECT_EQ(s.readIops, 0u);
    EXPECT_EQ(s.writeIops, 0u);
    EXPECT_EQ(s.readIoBand, 0u);
    EXPECT_EQ(s.writeIoBand, 0u);
    EXPECT_EQ(s.readIoDelay, 0u);
    EXPECT_EQ(s.writeIoDelay, 0u);
    EXPECT_EQ(s.utilization, 0u);
    EXPECT_EQ(s.utilizationDec, 0u);
    EXPECT_EQ(s.avgServeTime, 5000u);  // needs no time: 1500000 / 300

    // Latency ticks grew while no operation completed.
    n = ExampleNew();
    n.num_read_ops = 0;
    n.num_write_ops = 0;
    s = Calc(ExampleLast(), n);
    EXPECT_EQ(s.readIoDelay, 0u);
    EXPECT_EQ(s.writeIoDelay, 0u);
    EXPECT_EQ(s.readIops, 0u);
    EXPECT_EQ(s.avgServeTime, 0u);
    EXPECT_EQ(s.readIoBand, 1000u);  // bytes still count
}

// Quotients past the u64 range saturate instead of wrapping or trapping.
TEST_F(IoStatTest, HugeQuotientsSaturate)
{
    DiskIoInfoFrame l{};
    l.ticks = 1;
    DiskIoInfoFrame n{};
    n.ticks = 2;
    n.tick_rate = kMax;  // one tick is ~5e-20 s
    n.num_read_ops = kMax;
    n.bytes_read = kMax;
    DiskIoStatInfo s = Calc(l, n);
    EXPECT_EQ(s.readIops, kMax);
    EXPECT_EQ(s.readIoBand, kMax);
    EXPECT_EQ(s.writeIops, 0u);

    // io_time going backwards wraps: meaningless, but defined and capped.
    DiskIoInfoFrame back = ExampleNew();
    DiskIoInfoFrame last = ExampleLast();
    last.io_time = 2000000;
    back.io_time = 1000000;
    s = Calc(last, back);
    EXPECT_LE(s.utilization, 100u);
    EXPECT_LE(s.utilizationDec, 99u);
}

}  // namespace
