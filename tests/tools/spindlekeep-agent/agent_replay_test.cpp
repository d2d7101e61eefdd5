// The replay source on a small trace written here, judged through the
// daemon's own IO statistics: each sample's rates, blends across a slot
// boundary, NA and missing rows, the cut gap between windows, identities the
// daemon takes, and bad input refused before serving.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent_options.h"
#include "agent_test_util.h"
#include "answer_build.h"
#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"
#include "replay_source.h"

namespace {

using namespace agent_test;

constexpr int64_t kT0 = 1658149215;
constexpr int64_t kDay2 = kT0 + 86400;

// disk1: 1000 IOPS at 100 us, 2000 IOPS at 50 us, NA, then 10000 IOPS at
// 200 us (busy beyond the interval: 2 in flight). disk2 has no row in slot 1.
// The second day holds one sample per drive.
std::string Day1()
{
    std::string text = "\"ts\",\"disk_id\",\"throughput\",\"latency\"\n";
    const char *disk1[] = {"4096000,100", "8192000,50", "NA,70", "40960000,200"};
    for (int i = 0; i < 4; ++i) {
        text += std::to_string(kT0 + 15 * i) + ",\"disk1\"," + disk1[i] + "\n";
    }
    for (int i : {0, 2, 3}) {
        text += std::to_string(kT0 + 15 * i) + ",\"disk2\",409600,80\n";
    }
    return text;
}

std::string Day2()
{
    return "ts,disk_id,throughput,latency\n" + std::to_string(kDay2) + ",disk1,2048000,300\n" +
           std::to_string(kDay2) + ",disk2,2048000,60\n";
}

std::string HostDir(const TempDir &dir)
{
    std::string host = dir.File("host_9");
    mkdir(host.c_str(), 0755);
    WriteFile(host + "/2022-07-18.csv", Day1());
    WriteFile(host + "/2022-07-19.csv", Day2());
    return host;
}

std::unique_ptr<ReplaySource> Load(const std::string &dir)
{
    ReplayOptions options;
    options.dir = dir;
    TraceHost host;
    std::string error;
    EXPECT_EQ(ReplayLoadHost(options, &host, &error), 0) << error;
    return std::make_unique<ReplaySource>(std::move(host), options, 0.0);
}

// The counters of one drive as the daemon stores them.
DiskIoInfoFrame Frame(DiskSource *source, size_t drive)
{
    SourceSnapshot snap = source->Snapshot(AGENT_ROLE_KERNEL);
    const IoCounters &io = snap.disks.at(drive).io;
    return DiskIoInfoFrame{io.bytesRead,        io.bytesWritten,      io.readOps,   io.writeOps,
                           io.readLatencyTicks, io.writeLatencyTicks, io.queueDepth, io.busy,
                           snap.ticks,          snap.tickRate,        io.ioTimeUs};
}

// The daemon's statistics of one drive over replay time [from, to].
DiskIoStatInfo StatsBetween(ReplaySource *source, size_t drive, double from, double to)
{
    EXPECT_TRUE(source->AdvanceTime(from - source->Now()));
    DiskIoInfoFrame last = Frame(source, drive);
    EXPECT_TRUE(source->AdvanceTime(to - from));
    DiskIoInfoFrame next = Frame(source, drive);
    DiskIoStatInfo stat{};
    EXPECT_EQ(IoStatCheck(&last, &next), 0);
    EXPECT_EQ(IoStatCalculate(&last, &next, &stat), 0);
    return stat;
}

TEST(AgentReplay, DaemonSeesTheTraceRatesOfEachInterval)
{
    TempDir dir;
    std::string host = HostDir(dir);
    // Intervals in replay seconds; util in hundredths of a percent.
    struct Row {
        const char *what;
        size_t drive;
        double from, to;
        uint64_t iops, kibs, delayUs, svctmUs;
        uint32_t utilHundredths, inFlight;
    } rows[] = {
        {"inside sample 0", 0, 3, 12, 1000, 4000, 100, 100, 1000, 0},
        {"across samples 0 and 1", 0, 12, 18, 1500, 6000, 66, 66, 1000, 0},
        {"NA sample", 0, 33, 42, 0, 0, 0, 0, 0, 0},
        {"busy beyond the interval", 0, 48, 57, 10000, 40000, 200, 100, 10000, 2},
        {"missing row of disk2", 1, 18, 27, 0, 0, 0, 0, 0, 0},
        {"window 2 after the cut gap", 1, 363, 372, 500, 2000, 60, 60, 300, 0},
        {"the gap", 0, 62, 358, 0, 0, 0, 0, 0, 0},
        {"after the last window", 1, 700, 900, 0, 0, 0, 0, 0, 0},
    };
    for (const Row &row : rows) {
        auto source = Load(host);
        DiskIoStatInfo s = StatsBetween(source.get(), row.drive, row.from, row.to);
        EXPECT_EQ(s.readIops, row.iops) << row.what;
        EXPECT_EQ(s.writeIops, 0u) << row.what;
        EXPECT_EQ(s.readIoBand, row.kibs) << row.what;
        EXPECT_EQ(s.readIoDelay, row.delayUs) << row.what;
        EXPECT_EQ(s.avgServeTime, row.svctmUs) << row.what;
        EXPECT_EQ(s.utilization * 100 + s.utilizationDec, row.utilHundredths) << row.what;
        EXPECT_EQ(s.ioBusyNum, row.inFlight) << row.what;
    }
}

TEST(AgentReplay, ClockStartsAtTheFirstSampleAndCutsTheGap)
{
    TempDir dir;
    auto source = Load(HostDir(dir));
    EXPECT_EQ(source->WindowStart(1), 4 * 15 + kReplayIdleSeconds);
    EXPECT_EQ(source->WindowStart(2), source->WindowStart(1) + 15 + kReplayIdleSeconds);
    EXPECT_EQ(Frame(source.get(), 0).ticks, static_cast<uint64_t>(kT0) * kReplayTickRate);
    // An IO size of 8 KiB halves the operations and keeps the latency.
    ReplayOptions options;
    options.dir = HostDir(dir);
    options.ioSize = 8192;
    TraceHost trace;
    std::string error;
    ASSERT_EQ(ReplayLoadHost(options, &trace, &error), 0) << error;
    ReplaySource big(std::move(trace), options, 0.0);
    DiskIoStatInfo s = StatsBetween(&big, 0, 3, 12);
    EXPECT_EQ(s.readIops, 500u);
    EXPECT_EQ(s.readIoDelay, 100u);
    // One jump over both windows and their gaps loses no sample: the totals
    // are 15 s of each sample's IOPS. A trailing slash names the same host.
    auto again = Load(options.dir + "/");
    ASSERT_TRUE(again->AdvanceTime(10000));
    SourceSnapshot end = again->Snapshot(AGENT_ROLE_USER);
    ASSERT_EQ(end.disks.size(), 2u);
    EXPECT_EQ(end.disks[0].io.readOps, (1000u + 2000u + 10000u + 500u) * 15u);
    EXPECT_EQ(end.disks[1].io.readOps, (3 * 100u + 500u) * 15u);
    EXPECT_EQ(end.disks[1].id.serial, "host_9-disk2");
}

TEST(AgentReplay, DisksAreStableAndOnTheDaemonsWhitelist)
{
    // The daemon's numbering of the agent's types.
    const struct {
        DiskType type;
        uint32_t daemonType;
        const char *device;
    } types[] = {{DiskType::kNvmeSsd, 0, "nvme1n1"},
                 {DiskType::kSasSsd, 1, "sdb"},
                 {DiskType::kSataSsd, 2, "sdb"},
                 {DiskType::kSasHdd, 3, "sdb"}};
    for (const auto &t : types) {
        DiskView view = ReplayDiskView("host_22", "disk11", 1, t.type);
        EXPECT_EQ(view.id.serial, "host_22-disk11");
        EXPECT_EQ(view.id.device, t.device);
        EXPECT_TRUE(DaemonWhitelists(view.id.vendor, view.id.model, t.daemonType))
            << DiskTypeName(t.type);
        JsonPtr base(AnswerBaseDisk(view), cJSON_Delete);
        JsonPtr health(AnswerHealthDisk(view), cJSON_Delete);
        EXPECT_EQ(DaemonCopy(kBase, base.get()), 0) << DiskTypeName(t.type);
        EXPECT_EQ(DaemonCopy(kHealth, health.get()), 0) << DiskTypeName(t.type);
    }
    EXPECT_EQ(ReplayDiskView("h", "d", 26, DiskType::kSataSsd).id.device, "sdaa");
    EXPECT_FALSE(ReplayTypeServed(DiskType::kSataHdd));
    EXPECT_FALSE(ReplayTypeServed(DiskType::kNlSasHdd));
}

TEST(AgentReplay, BadInputIsRefusedBeforeServing)
{
    TempDir dir;
    std::string good = HostDir(dir);
    std::string bad = dir.File("bad");
    mkdir(bad.c_str(), 0755);
    WriteFile(bad + "/2022-07-18.csv", Day1() + std::to_string(kT0) + ",disk3,fast,1\n");
    // "<34 characters>-disk1" is 40 characters, one more than the daemon keeps.
    std::string longName = dir.File(std::string(34, 'h'));
    mkdir(longName.c_str(), 0755);
    WriteFile(longName + "/2022-07-18.csv", Day1());
    for (const std::string &path : {dir.File("missing"), dir.path(), bad, longName}) {
        EXPECT_EQ(AgentProcess({"--role", "kernel", "--replay", path, "--check"}, dir.File("a.sock"))
                      .WaitExit(10.0),
                  1)
            << path;
    }
    EXPECT_EQ(AgentProcess({"--role", "kernel", "--replay", good, "--check"}, dir.File("b.sock"))
                  .WaitExit(10.0),
              0);

    const std::vector<std::vector<std::string>> usage = {
        {"--replay", good, "--host"},
        {"--replay", good, "--fleet", "f.json"},
        {"--replay-io-size", "8192"},
        {"--replay", good, "--replay-io-size", "0"},
        {"--replay", good, "--replay-io-size", "16777217"},
        {"--replay", good, "--replay-io-size", "-4096"},
        {"--replay", good, "--replay-type", "HDD_SATA"},
        {"--replay", ""},
    };
    for (const auto &extra : usage) {
        std::vector<std::string> args = {"spindlekeep-agent", "--role", "kernel"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (std::string &arg : args) {
            argv.push_back(arg.data());
        }
        AgentOptions options;
        std::string error;
        EXPECT_EQ(AgentParseArgs(static_cast<int>(argv.size()), argv.data(), &options, &error), -1)
            << extra.back();
    }
}

}  // namespace
