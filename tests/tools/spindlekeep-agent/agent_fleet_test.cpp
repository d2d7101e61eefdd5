// The fleet model and fleet file in-process: parse errors, counter integrals,
// event timing at the boundary, the built-in fleet, and the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "agent_options.h"
#include "agent_test_util.h"
#include "fleet_file.h"
#include "fleet_source.h"

namespace {

using namespace agent_test;

std::string OneDisk(const std::string &extra)
{
    return R"({"device_name":"sda","serial_number":"S1","type":"SSD_SATA","vendor":"ATA")" + extra +
           "}";
}

std::string FleetWith(const std::string &disks, const std::string &tail = "")
{
    return "{\"disks\":[" + disks + "]" + tail + "}";
}

TEST(AgentFleetFile, RefusesBadFleetsWithAReason)
{
    std::string long39(39, 'S');
    std::string long40(40, 'S');
    struct Case {
        const char *name;
        std::string text;
        const char *reason;
    } cases[] = {
        {"not json", "{", "not a JSON object"},
        {"missing serial", R"({"disks":[{"device_name":"sda","type":"SSD_SATA","vendor":"ATA"}]})",
         "serial_number"},
        {"unknown type", FleetWith(R"({"device_name":"a","serial_number":"1","type":"SSD_FOO","vendor":"x"})"),
         "unknown disk \"type\""},
        {"bad media", FleetWith(OneDisk(R"(,"media_type":"FLASH")")), "media_type"},
        {"duplicate serial", FleetWith(OneDisk("") + "," +
                                       R"({"device_name":"sdb","serial_number":"S1","type":"HDD_SAS","vendor":"WD"})"),
         "repeats"},
        {"serial of 40", FleetWith(R"({"device_name":"a","serial_number":")" + long40 +
                                   R"(","type":"SSD_SATA","vendor":"ATA"})"),
         "shorter than 40"},
        {"vendor of 10", FleetWith(OneDisk("").replace(OneDisk("").find("\"ATA\""), 5, "\"ATAATAATAA\"")),
         "shorter than 10"},
        {"capacity with a letter", FleetWith(OneDisk(R"(,"capacity":"12a")")), "capacity"},
        {"wear above 100%", FleetWith(OneDisk(R"(,"health":{"wear":10001})")), "wear"},
        {"31 smart attributes", FleetWith(OneDisk(R"(,"health":{"smart":[)" + [] {
                                              std::string s;
                                              for (int i = 1; i <= 31; ++i) {
                                                  s += (i > 1 ? "," : "") + std::string("{\"id\":") +
                                                       std::to_string(i) + "}";
                                              }
                                              return s;
                                          }() + "]}")),
         "at most 30"},
        {"event on unknown disk", FleetWith(OneDisk(""), R"(,"events":[{"at":1,"disk":"sdz","type":"pull"}])"),
         "unknown disk"},
        {"unknown event", FleetWith(OneDisk(""), R"(,"events":[{"at":1,"disk":"sda","type":"explode"}])"),
         "unknown event type"},
        {"smart_fail without threshold",
         FleetWith(OneDisk(""), R"(,"events":[{"at":1,"disk":"sda","type":"smart_fail","id":9}])"),
         "threshold"},
        {"wear without rate", FleetWith(OneDisk(""), R"(,"events":[{"at":1,"disk":"sda","type":"wear"}])"),
         "per_second"},
        {"negative time", FleetWith(OneDisk(""), R"(,"events":[{"at":-1,"disk":"sda","type":"pull"}])"),
         "out of range"},
        {"bad fault mode", FleetWith(OneDisk(""), R"(,"faults":[{"method":"*","mode":"explode"}])"),
         "unknown fault mode"},
    };
    for (const Case &c : cases) {
        Fleet fleet;
        std::vector<FaultRule> faults;
        std::string error;
        EXPECT_EQ(FleetParse(c.text, &fleet, &faults, &error), -1) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    // The limits are the daemon's fields; one character less is accepted,
    // and "strict": false lets a test fleet go beyond them on purpose.
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    std::string at39 = FleetWith(R"({"device_name":"a","serial_number":")" + long39 +
                                 R"(","type":"SSD_SATA","vendor":"ATA"})");
    EXPECT_EQ(FleetParse(at39, &fleet, &faults, &error), 0) << error;
    std::string loose = "{\"strict\":false," + FleetWith(R"({"device_name":"a","serial_number":")" +
                                                         long40 + R"(","type":"SSD_SATA","vendor":"ATA"})")
                                                   .substr(1);
    EXPECT_EQ(FleetParse(loose, &fleet, &faults, &error), 0) << error;
}

TEST(AgentFleetFile, RefusesMoreThan64DisksPerRoleButCountsRolesApart)
{
    auto fleetOf = [](int kernel, int user) {
        std::string disks;
        for (int i = 0; i < kernel + user; ++i) {
            disks += (i > 0 ? "," : "") + std::string(R"({"device_name":"d)") + std::to_string(i) +
                     R"(","serial_number":"s)" + std::to_string(i) +
                     R"(","type":"HDD_SAS","vendor":"WD","role":")" + (i < kernel ? "kernel" : "user") +
                     "\"}";
        }
        return FleetWith(disks);
    };
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    EXPECT_EQ(FleetParse(fleetOf(64, 64), &fleet, &faults, &error), 0) << error;
    EXPECT_EQ(FleetParse(fleetOf(65, 0), &fleet, &faults, &error), -1);
}

TEST(AgentFleetFile, ExampleFileIsTheBuiltInFleet)
{
    Fleet example;
    Fleet builtIn;
    std::vector<FaultRule> faults;
    std::string error;
    ASSERT_EQ(FleetLoadFile(SPK_AGENT_SOURCE_DIR "/fleet.example.json", &example, &faults, &error), 0)
        << error;
    ASSERT_EQ(FleetParse(FleetDefaultText(), &builtIn, &faults, &error), 0) << error;
    ASSERT_EQ(example.disks.size(), builtIn.disks.size());
    std::set<int> types;
    for (size_t i = 0; i < example.disks.size(); ++i) {
        EXPECT_EQ(example.disks[i].id.serial, builtIn.disks[i].id.serial);
        types.insert(static_cast<int>(builtIn.disks[i].id.type));
    }
    EXPECT_GE(builtIn.disks.size(), 12u);
    EXPECT_EQ(types.size(), static_cast<size_t>(DiskType::kCount)) << "all six disk types";
}

// Counters are the integral of the load: check them against hand-computed
// values and against the daemon's IO statistics formulas.
TEST(AgentFleetModel, CountersIntegrateTheLoadModel)
{
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    ASSERT_EQ(FleetParse(FleetWith(OneDisk(
                             R"(,"load":{"read_iops":200,"write_iops":100,"read_kib_s":1000,"write_kib_s":500,)"
                             R"("read_latency_us":2000,"write_latency_us":1000,"util":75,"busy":31,"queue_depth":9})")),
                         &fleet, &faults, &error),
              0)
        << error;
    FleetAdvanceTo(&fleet, 2.0);
    DiskView v = FleetDiskView(fleet, fleet.disks[0]);
    EXPECT_EQ(v.io.readOps, 400u);
    EXPECT_EQ(v.io.writeOps, 200u);
    EXPECT_EQ(v.io.bytesRead, 2048000u);
    EXPECT_EQ(v.io.bytesWritten, 1024000u);
    EXPECT_EQ(v.io.readLatencyTicks, 800u);  // 400 ops x 2 ms at 1000 ticks/s
    EXPECT_EQ(v.io.writeLatencyTicks, 200u);
    EXPECT_EQ(v.io.ioTimeUs, 1500000u);
    EXPECT_EQ(v.io.busy, 31u);
    EXPECT_EQ(v.io.queueDepth, 9u);
    EXPECT_EQ(FleetTicks(fleet) - fleet.tickBase, 2000u);
    // The daemon's statistics over these two seconds.
    double readDelayUs = static_cast<double>(v.io.readLatencyTicks) / v.io.readOps * 1e6 / 1000;
    double serveUs = static_cast<double>(v.io.ioTimeUs) / (v.io.readOps + v.io.writeOps);
    EXPECT_DOUBLE_EQ(readDelayUs, 2000.0);
    EXPECT_DOUBLE_EQ(serveUs, 2500.0);
}

TEST(AgentFleetModel, EventsApplyAtTheirTimeAndSplitTheIntegral)
{
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    ASSERT_EQ(FleetParse(FleetWith(OneDisk(R"(,"load":{"read_iops":100,"write_iops":0,"util":10})"),
                                   R"(,"events":[{"at":10,"disk":"sda","type":"slow","iops_factor":0.5},)"
                                   R"({"at":20,"disk":"S1","type":"pull"},{"at":30,"disk":"sda","type":"insert"}])"),
                         &fleet, &faults, &error),
              0)
        << error;
    FleetAdvanceTo(&fleet, 9.999);
    EXPECT_EQ(fleet.nextEvent, 0u);
    FleetAdvanceTo(&fleet, 10.0);
    EXPECT_EQ(fleet.nextEvent, 1u) << "an event at exactly t applies at t";
    // 10 s at 100/s, then 15 s at 50/s, of which 10 s pulled (no growth).
    FleetAdvanceTo(&fleet, 25.0);
    EXPECT_FALSE(fleet.disks[0].present);
    EXPECT_EQ(FleetDiskView(fleet, fleet.disks[0]).io.readOps, 1000u + 500u);
    FleetAdvanceTo(&fleet, 40.0);
    EXPECT_TRUE(fleet.disks[0].present);
    EXPECT_EQ(FleetDiskView(fleet, fleet.disks[0]).io.readOps, 1000u + 500u + 500u);
    // Going back in time changes nothing.
    FleetAdvanceTo(&fleet, 5.0);
    EXPECT_EQ(FleetDiskView(fleet, fleet.disks[0]).io.readOps, 2000u);
}

double g_fakeNow = 100.0;
double FakeMonotonic() { return g_fakeNow; }

TEST(AgentFleetModel, ClockScalesRealTimeAndAddsManualAdvance)
{
    g_fakeNow = 100.0;
    SimClock clock(60.0, FakeMonotonic);
    EXPECT_DOUBLE_EQ(clock.Now(), 0.0);
    g_fakeNow = 102.0;
    EXPECT_DOUBLE_EQ(clock.Now(), 120.0);
    clock.Advance(5.0);
    clock.Advance(-50.0);
    EXPECT_DOUBLE_EQ(clock.Now(), 125.0);
    g_fakeNow = 101.0;  // a real clock that steps back does not move time back
    EXPECT_DOUBLE_EQ(clock.Now(), 125.0);
    SimClock frozen(0.0, FakeMonotonic);
    g_fakeNow = 500.0;
    EXPECT_DOUBLE_EQ(frozen.Now(), 0.0);
}

TEST(AgentOptions, ParsesTheCommandLine)
{
    struct Case {
        std::vector<std::string> args;
        int ret;
        const char *socket;
    } cases[] = {
        {{"--role", "kernel"}, 0, "/tmp/dcak.sock"},
        {{"--role", "user"}, 0, "/var/tmp/spdk.sock"},
        {{"--role", "user", "--socket", "/tmp/x.sock"}, 0, "/tmp/x.sock"},
        {{}, -1, ""},
        {{"--role", "admin"}, -1, ""},
        {{"--role", "kernel", "--fleet", "f.json", "--host"}, -1, ""},
        {{"--role", "kernel", "--time-scale", "fast"}, -1, ""},
        {{"--role", "kernel", "--time-scale", "-1"}, -1, ""},
        {{"--role", "kernel", "--fault", "dca_get_disks_iostat=late"}, -1, ""},
        {{"--role", "kernel", "--fault", "dca_get_disks_iostat=delay:0"}, -1, ""},
        {{"--role", "kernel", "--socket"}, -1, ""},
        {{"--role", "kernel", "--bogus"}, -1, ""},
        {{"--role", "kernel", "--socket-mode", "0999"}, -1, ""},
    };
    for (Case &c : cases) {
        std::vector<char *> argv{const_cast<char *>("spindlekeep-agent")};
        for (std::string &arg : c.args) {
            argv.push_back(arg.data());
        }
        AgentOptions options;
        std::string error;
        int ret = AgentParseArgs(static_cast<int>(argv.size()), argv.data(), &options, &error);
        EXPECT_EQ(ret, c.ret) << (c.args.empty() ? "(none)" : c.args.back()) << " " << error;
        if (ret == 0) {
            EXPECT_EQ(options.socketPath, c.socket);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    std::vector<std::string> args = {"x", "--role", "user", "--record", "none", "--prom-dir", "/p",
                                     "--fault", "*=partial:3", "--time-scale", "0", "--control"};
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    AgentOptions options;
    std::string error;
    ASSERT_EQ(AgentParseArgs(static_cast<int>(argv.size()), argv.data(), &options, &error), 0);
    EXPECT_TRUE(options.recordPath.empty());
    EXPECT_EQ(options.promDir, "/p");
    ASSERT_EQ(options.faults.size(), 1u);
    EXPECT_EQ(options.faults[0].mode, FaultMode::kPartial);
    EXPECT_EQ(options.faults[0].remaining, 3);
    EXPECT_EQ(options.timeScale, 0.0);
    EXPECT_TRUE(options.control);
}

}  // namespace
