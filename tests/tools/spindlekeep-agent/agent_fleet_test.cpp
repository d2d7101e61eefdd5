// The fleet model and fleet file in-process: parse errors, counter integrals,
// the built-in fleet, the clock and the command line.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "agent_options.h"
#include "agent_test_util.h"
#include "fleet_file.h"
#include "fleet_source.h"

namespace {

using namespace agent_test;

std::string OneDisk(const std::string &extra, const std::string &serial = "S1")
{
    return R"({"device_name":"sda","serial_number":")" + serial + R"(","type":"SSD_SATA","vendor":"ATA")" + extra + "}";
}

std::string FleetWith(const std::string &disks, const std::string &tail = "")
{
    return "{\"disks\":[" + disks + "]" + tail + "}";
}

int Parse(const std::string &text, Fleet *fleet, std::string *error)
{
    std::vector<FaultRule> faults;
    return FleetParse(text, fleet, &faults, error);
}

// kernel + user HDDs, numbered from 0.
std::string FleetOf(int kernel, int user)
{
    std::string disks;
    for (int i = 0; i < kernel + user; ++i) {
        disks += (i > 0 ? "," : "") + std::string(R"({"device_name":"d)") + std::to_string(i) +
                 R"(","serial_number":"s)" + std::to_string(i) + R"(","type":"HDD_SAS","vendor":"WD","role":")" +
                 (i < kernel ? "kernel" : "user") + "\"}";
    }
    return FleetWith(disks);
}

TEST(AgentFleetFile, RefusesBadFleetsWithAReason)
{
    auto Event = [](const std::string &event) { return FleetWith(OneDisk(""), ",\"events\":[{" + event + "}]"); };
    std::string smart31;
    for (int i = 1; i <= 31; ++i) {
        smart31 += (i > 1 ? ",{\"id\":" : "{\"id\":") + std::to_string(i) + "}";
    }
    struct Case {
        const char *name;
        std::string text;
        const char *reason;
    } cases[] = {
        {"not json", "{", "not a JSON object"},
        {"missing serial", R"({"disks":[{"device_name":"sda","type":"SSD_SATA","vendor":"ATA"}]})", "serial_number"},
        {"unknown type", FleetWith(R"({"device_name":"a","serial_number":"1","type":"SSD_FOO","vendor":"x"})"),
         "unknown disk \"type\""},
        {"bad media", FleetWith(OneDisk(R"(,"media_type":"FLASH")")), "media_type"},
        {"duplicate serial",
         FleetWith(OneDisk("") + R"(,{"device_name":"sdb","serial_number":"S1","type":"HDD_SAS","vendor":"WD"})"),
         "repeats"},
        {"serial of 40", FleetWith(OneDisk("", std::string(40, 'S'))), "shorter than 40"},
        {"vendor of 10", FleetWith(R"({"device_name":"a","serial_number":"1","type":"SSD_SATA","vendor":"ATAATAATAA"})"),
         "shorter than 10"},
        {"capacity with a letter", FleetWith(OneDisk(R"(,"capacity":"12a")")), "capacity"},
        {"wear above 100%", FleetWith(OneDisk(R"(,"health":{"wear":10001})")), "wear"},
        {"31 smart attributes", FleetWith(OneDisk(R"(,"health":{"smart":[)" + smart31 + "]}")), "at most 30"},
        {"65 disks in a role", FleetOf(65, 0), "64"},
        {"event on unknown disk", Event(R"("at":1,"disk":"sdz","type":"pull")"), "unknown disk"},
        {"unknown event", Event(R"("at":1,"disk":"sda","type":"explode")"), "unknown event type"},
        {"smart_fail without threshold", Event(R"("at":1,"disk":"sda","type":"smart_fail","id":9)"), "threshold"},
        {"wear without rate", Event(R"("at":1,"disk":"sda","type":"wear")"), "per_second"},
        {"negative time", Event(R"("at":-1,"disk":"sda","type":"pull")"), "out of range"},
        {"bad fault mode", FleetWith(OneDisk(""), R"(,"faults":[{"method":"*","mode":"explode"}])"),
         "unknown fault mode"},
    };
    Fleet fleet;
    std::string error;
    for (const Case &c : cases) {
        EXPECT_EQ(Parse(c.text, &fleet, &error), -1) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    // The limits are the daemon's fields; one character less is accepted,
    // "strict": false lets a test fleet go beyond them on purpose, and the
    // 64-disk limit counts each role apart.
    EXPECT_EQ(Parse(FleetWith(OneDisk("", std::string(39, 'S'))), &fleet, &error), 0) << error;
    EXPECT_EQ(Parse(FleetWith(OneDisk("", std::string(40, 'S')), R"(,"strict":false)"), &fleet, &error), 0) << error;
    EXPECT_EQ(Parse(FleetOf(64, 64), &fleet, &error), 0) << error;
    // Every ranged health and SMART member, just inside and just outside.
    struct Range {
        const char *key;
        long long lo, hi;
        bool smart;
    } ranges[] = {{"id", 1, 255, true},          {"threshold", 0, 255, true}, {"current", 0, 255, true},
                  {"worst", 0, 255, true},       {"wear", 0, 10000, false},   {"asc", 0, 255, false},
                  {"capacitance_status", 0, 255, false}, {"power_on_hours", 0, 4294967295LL, false}};
    for (const Range &r : ranges) {
        for (long long v : {r.lo - 1, r.lo, r.hi, r.hi + 1}) {
            std::string member = "\"" + std::string(r.key) + "\":" + std::to_string(v);
            std::string health = r.smart ? R"("smart":[{)" + std::string(r.key == std::string("id") ? "" : R"("id":9,)") +
                                               member + "}]"
                                         : member;
            EXPECT_EQ(Parse(FleetWith(OneDisk(R"(,"health":{)" + health + "}")), &fleet, &error),
                      v >= r.lo && v <= r.hi ? 0 : -1)
                << r.key << "=" << v << " " << error;
        }
    }
}

TEST(AgentFleetFile, ExampleFileIsTheBuiltInFleet)
{
    Fleet example;
    Fleet builtIn;
    std::vector<FaultRule> faults;
    std::string error;
    ASSERT_EQ(FleetLoadFile(SPK_AGENT_SOURCE_DIR "/fleet.example.json", &example, &faults, &error), 0) << error;
    ASSERT_EQ(Parse(FleetDefaultText(), &builtIn, &error), 0) << error;
    ASSERT_EQ(example.disks.size(), builtIn.disks.size());
    std::set<int> types;
    for (size_t i = 0; i < example.disks.size(); ++i) {
        EXPECT_EQ(example.disks[i].id.serial, builtIn.disks[i].id.serial);
        types.insert(static_cast<int>(builtIn.disks[i].id.type));
    }
    EXPECT_GE(builtIn.disks.size(), 12u);
    EXPECT_EQ(types.size(), static_cast<size_t>(DiskType::kCount)) << "all six disk types";
}

// Counters are the integral of the load, checked against hand-computed values.
TEST(AgentFleetModel, CountersIntegrateTheLoadModel)
{
    Fleet fleet;
    std::string error;
    std::string text = FleetWith(OneDisk(R"(,"load":{"read_iops":200,"write_iops":100,"read_kib_s":1000,)"
                                         R"("write_kib_s":500,"read_latency_us":2000,"write_latency_us":1000,)"
                                         R"("util":75,"busy":31,"queue_depth":9})"));
    ASSERT_EQ(Parse(text, &fleet, &error), 0) << error;
    FleetAdvanceTo(&fleet, 2.0);
    const IoCounters &io = FleetDiskView(fleet, fleet.disks[0]).io;
    std::ostringstream got;
    got << "ops " << io.readOps << "/" << io.writeOps << " bytes " << io.bytesRead << "/" << io.bytesWritten
        << " latency ticks " << io.readLatencyTicks << "/" << io.writeLatencyTicks << " io_time " << io.ioTimeUs
        << " busy " << io.busy << " queue " << io.queueDepth;
    // 400 reads x 2 ms at 1000 ticks/s = 800 ticks; 75% of 2 s = 1.5 s busy.
    EXPECT_EQ(got.str(), "ops 400/200 bytes 2048000/1024000 latency ticks 800/200 io_time 1500000 busy 31 queue 9");
    EXPECT_EQ(FleetTicks(fleet) - fleet.tickBase, 2000u);
}

// A slow disk: fewer IOPS, less bandwidth, longer latency, more utilisation
// and busy IOs from the event on, and the load of before after "recover";
// nothing grows while the disk is pulled, and time never goes back.
TEST(AgentFleetModel, EventsSplitTheIntegral)
{
    Fleet fleet;
    std::string error;
    std::string text = FleetWith(
        OneDisk(R"(,"load":{"read_iops":100,"write_iops":0,"read_kib_s":1000,"read_latency_us":100,"util":10,"busy":2})"),
        R"(,"events":[{"at":10,"disk":"sda","type":"slow","iops_factor":0.5,"bandwidth_factor":0.1,)"
        R"("latency_factor":10,"util":97,"busy":40},{"at":20,"disk":"S1","type":"pull"},)"
        R"({"at":30,"disk":"sda","type":"insert"},{"at":40,"disk":"sda","type":"recover"}])");
    ASSERT_EQ(Parse(text, &fleet, &error), 0) << error;
    FleetAdvanceTo(&fleet, 25.0);
    EXPECT_FALSE(fleet.disks[0].present);
    // 10 s at the load, then 10 s slow until the pull.
    IoCounters io = FleetDiskView(fleet, fleet.disks[0]).io;
    EXPECT_EQ(io.readOps, 1000u + 500u);
    EXPECT_EQ(io.bytesRead, (10u * 1000 + 10u * 100) * 1024);
    EXPECT_EQ(io.readLatencyTicks, 1000u / 10 + 500u);
    EXPECT_EQ(io.ioTimeUs, 1000000u + 9700000u);
    EXPECT_EQ(io.busy, 40u);
    FleetAdvanceTo(&fleet, 40.0);
    EXPECT_TRUE(fleet.disks[0].present);
    EXPECT_EQ(FleetDiskView(fleet, fleet.disks[0]).io.readOps, 1000u + 500u + 500u);
    FleetAdvanceTo(&fleet, 50.0);
    io = FleetDiskView(fleet, fleet.disks[0]).io;
    EXPECT_EQ(io.readOps, 3000u);
    EXPECT_EQ(io.ioTimeUs, 1000000u + 2 * 9700000u + 1000000u);
    EXPECT_EQ(io.busy, 2u);
    FleetAdvanceTo(&fleet, 5.0);
    EXPECT_EQ(FleetDiskView(fleet, fleet.disks[0]).io.readOps, 3000u);
}

double g_fakeNow = 100.0;
double FakeMonotonic() { return g_fakeNow; }

TEST(AgentFleetModel, ClockScalesRealTimeAndAddsManualAdvance)
{
    g_fakeNow = 100.0;
    SimClock clock(60.0, FakeMonotonic);
    SimClock frozen(0.0, FakeMonotonic);
    EXPECT_DOUBLE_EQ(clock.Now(), 0.0);
    g_fakeNow = 102.0;
    EXPECT_DOUBLE_EQ(clock.Now(), 120.0);
    clock.Advance(5.0);
    clock.Advance(-50.0);
    EXPECT_DOUBLE_EQ(clock.Now(), 125.0);
    g_fakeNow = 101.0;  // a real clock that steps back does not move time back
    EXPECT_DOUBLE_EQ(clock.Now(), 125.0);
    EXPECT_DOUBLE_EQ(frozen.Now(), 0.0);
}

TEST(AgentOptions, ParsesTheCommandLine)
{
    auto parse = [](std::vector<std::string> args, AgentOptions *options, std::string *error) {
        std::vector<char *> argv{const_cast<char *>("spindlekeep-agent")};
        for (std::string &arg : args) {
            argv.push_back(arg.data());
        }
        return AgentParseArgs(static_cast<int>(argv.size()), argv.data(), options, error);
    };
    struct Case {
        std::vector<std::string> args;
        const char *socket;  // nullptr: refused
    } cases[] = {
        {{"--role", "kernel"}, "/tmp/dcak.sock"},
        {{"--role", "user"}, "/var/tmp/spdk.sock"},
        {{"--role", "user", "--socket", "/tmp/x.sock"}, "/tmp/x.sock"},
        {{}, nullptr},
        {{"--role", "admin"}, nullptr},
        {{"--role", "kernel", "--fleet", "f.json", "--host"}, nullptr},
        {{"--role", "kernel", "--time-scale", "fast"}, nullptr},
        {{"--role", "kernel", "--time-scale", "-1"}, nullptr},
        {{"--role", "kernel", "--fault", "dca_get_disks_iostat=late"}, nullptr},
        {{"--role", "kernel", "--fault", "dca_get_disks_iostat=delay:0"}, nullptr},
        {{"--role", "kernel", "--socket"}, nullptr},
        {{"--role", "kernel", "--bogus"}, nullptr},
        {{"--role", "kernel", "--socket-mode", "0999"}, nullptr},
    };
    for (const Case &c : cases) {
        AgentOptions options;
        std::string error;
        int ret = parse(c.args, &options, &error);
        EXPECT_EQ(ret, c.socket != nullptr ? 0 : -1) << (c.args.empty() ? "(none)" : c.args.back()) << " " << error;
        if (ret == 0) {
            EXPECT_EQ(options.socketPath, c.socket);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

}  // namespace
