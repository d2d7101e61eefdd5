// The replay source on a small trace written here, judged through the
// daemon's own IO statistics: each sample's rates, a blend across a slot
// boundary, NA, the cut gap between windows, and bad input refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <tuple>

#include "agent_test_util.h"
#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"
#include "replay_source.h"

namespace {

using namespace agent_test;

constexpr int64_t kT0 = 1658149215;

// disk1: 1000 IOPS at 100 us, 2000 at 50 us, NA, 10000 at 200 us (busy beyond
// the interval, 2 in flight); disk2 has no row in slot 1. A day later one
// sample each.
std::string HostDir(const TempDir &dir, const std::string &name = "host_9")
{
    std::string host = dir.Join(name);
    mkdir(host.c_str(), 0755);
    std::string day1 = "\"ts\",\"disk_id\",\"throughput\",\"latency\"\n";
    const char *disk1[] = {"4096000,100", "8192000,50", "NA,70", "40960000,200"};
    for (int i = 0; i < 4; ++i) {
        day1 += std::to_string(kT0 + 15 * i) + ",\"disk1\"," + disk1[i] + "\n";
        day1 += i == 1 ? "" : std::to_string(kT0 + 15 * i) + ",\"disk2\",409600,80\n";
    }
    WriteFileText(host + "/2022-07-18.csv", day1);
    std::string day2 = std::to_string(kT0 + 86400);
    WriteFileText(host + "/2022-07-19.csv",
              "ts,disk_id,throughput,latency\n" + day2 + ",disk1,2048000,300\n" + day2 + ",disk2,2048000,60\n");
    return host;
}

std::unique_ptr<ReplaySource> Load(const std::string &dir, uint32_t ioSize = 4096)
{
    ReplayOptions options{dir, ioSize, DiskType::kNvmeSsd};
    TraceHost host;
    std::string error;
    EXPECT_EQ(ReplayLoadHost(options, &host, &error), 0) << error;
    return std::make_unique<ReplaySource>(std::move(host), options, 0.0);
}

DiskIoInfoFrame Frame(DiskSource *source, size_t drive)
{
    SourceSnapshot snap = source->Snapshot(AGENT_ROLE_KERNEL);
    const IoCounters &io = snap.disks.at(drive).io;
    return DiskIoInfoFrame{io.bytesRead,        io.bytesWritten,      io.readOps,   io.writeOps,
                           io.readLatencyTicks, io.writeLatencyTicks, io.queueDepth, io.busy,
                           snap.ticks,          snap.tickRate,        io.ioTimeUs};
}

TEST(AgentReplay, DaemonSeesTheTraceRatesOfEachInterval)
{
    TempDir dir;
    std::string host = HostDir(dir);
    // Replay seconds; window 2 starts after 4 samples and the 300-s cut gap.
    struct Row {
        const char *what;
        size_t drive;
        double from, to;
        uint32_t ioSize;
        uint64_t iops, kibs, delayUs, svctmUs;
        uint32_t utilHundredths, inFlight;
    } rows[] = {
        {"inside sample 0", 0, 3, 12, 4096, 1000, 4000, 100, 100, 1000, 0},
        {"8 KiB IOs", 0, 3, 12, 8192, 500, 4000, 100, 100, 500, 0},
        {"across samples 0 and 1", 0, 12, 18, 4096, 1500, 6000, 66, 66, 1000, 0},
        {"NA sample", 0, 33, 42, 4096, 0, 0, 0, 0, 0, 0},
        {"busy beyond the interval", 0, 48, 57, 4096, 10000, 40000, 200, 100, 10000, 2},
        {"the gap", 0, 62, 358, 4096, 0, 0, 0, 0, 0, 0},
        {"window 2", 1, 363, 372, 4096, 500, 2000, 60, 60, 300, 0},
    };
    for (const Row &row : rows) {
        auto source = Load(host, row.ioSize);
        ASSERT_TRUE(source->AdvanceTime(row.from));
        DiskIoInfoFrame last = Frame(source.get(), row.drive);
        ASSERT_TRUE(source->AdvanceTime(row.to - row.from));
        DiskIoInfoFrame next = Frame(source.get(), row.drive);
        DiskIoStatInfo s{};
        ASSERT_EQ(IoStatCheck(&last, &next), 0) << row.what;
        ASSERT_EQ(IoStatCalculate(&last, &next, &s), 0);
        EXPECT_EQ(std::make_tuple(s.readIops + s.writeIops, s.readIoBand, s.readIoDelay, s.avgServeTime,
                                  s.utilization * 100 + s.utilizationDec, s.ioBusyNum),
                  std::make_tuple(row.iops, row.kibs, row.delayUs, row.svctmUs, row.utilHundredths, row.inFlight))
            << row.what;
    }
    // Ticks start at the first sample's Unix time; one jump over both windows
    // and their gaps loses no sample; a trailing slash names the same host.
    auto source = Load(host + "/");
    EXPECT_EQ(Frame(source.get(), 0).ticks, static_cast<uint64_t>(kT0) * kReplayTickRate);
    ASSERT_TRUE(source->AdvanceTime(10000));
    SourceSnapshot end = source->Snapshot(AGENT_ROLE_USER);
    ASSERT_EQ(end.disks.size(), 2u);
    EXPECT_EQ(end.disks[0].io.readOps, (1000u + 2000u + 10000u + 500u) * 15u);
    EXPECT_EQ(end.disks[1].io.readOps, (3 * 100u + 500u) * 15u);
    EXPECT_EQ(end.disks[1].id.serial + " " + end.disks[1].id.device, "host_9-disk2 nvme1n1");
    EXPECT_EQ(ReplayDiskView("h", "d", 0, DiskType::kSasHdd).id.device, "sda");
    EXPECT_EQ(ReplayDiskView("h", "d", 27, DiskType::kSataSsd).id.device, "sdab");
}

TEST(AgentReplay, BadInputIsRefusedBeforeServing)
{
    TempDir dir;
    std::string good = HostDir(dir);
    std::string bad = HostDir(dir, "bad");
    WriteFileText(bad + "/2022-07-20.csv", "ts,disk_id,throughput,latency\n1,disk1,fast,1\n");
    // "<34 characters>-disk1" is one character more than the daemon keeps.
    std::string longName = HostDir(dir, std::string(34, 'h'));
    for (const std::string &path : {dir.Join("missing"), dir.Join("bad/2022-07-20.csv"), bad, longName, good}) {
        AgentProcess agent({"--role", "kernel", "--replay", path, "--check"}, dir.Join("a.sock"));
        EXPECT_EQ(agent.WaitExit(10.0), path == good ? 0 : 1) << path;
    }
}

}  // namespace
