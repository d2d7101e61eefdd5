// The fleet model and fleet file in-process: the built-in and example fleets,
// parse errors and ranges, counter integrals across events, the command line.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

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

// "" when the fleet is taken, "refused: " and the reason when it is not.
std::string Parse(const std::string &text, Fleet *fleet)
{
    std::vector<FaultRule> faults;
    std::string error;
    int ret = FleetParse(text, fleet, &faults, &error);
    return ret == 0 ? "" : ret == -1 ? "refused: " + error : "returned " + std::to_string(ret);
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

// The first disk's read side after the fleet is advanced to t.
std::string ReadsAt(Fleet *fleet, double t)
{
    FleetAdvanceTo(fleet, t);
    const IoCounters io = FleetDiskView(*fleet, fleet->disks[0]).io;
    std::ostringstream out;
    out << (fleet->disks[0].present ? "" : "pulled ") << "ops " << io.readOps << " bytes " << io.bytesRead
        << " ticks " << io.readLatencyTicks << " io_time " << io.ioTimeUs << " busy " << io.busy;
    return out.str();
}

TEST(AgentFleetFile, TakesGoodFleetsAndRefusesBadOnesWithAReason)
{
    auto Event = [](const std::string &event) { return FleetWith(OneDisk(""), ",\"events\":[{" + event + "}]"); };
    std::string smart31;
    for (int i = 1; i <= 31; ++i) {
        smart31 += (i > 1 ? ",{\"id\":" : "{\"id\":") + std::to_string(i) + "}";
    }
    struct Case {
        std::string name, text, reason;  // reason "": accepted
    };
    std::vector<Case> cases = {
        {"built-in fleet", FleetDefaultText(), ""},
        {"example file", ReadFileText(SPK_AGENT_SOURCE_DIR "/fleet.example.json"), ""},
        {"not json", "{", "not a JSON object"},
        {"missing serial", R"({"disks":[{"device_name":"sda","type":"SSD_SATA","vendor":"ATA"}]})", "serial_number"},
        {"unknown type", FleetWith(R"({"device_name":"a","serial_number":"1","type":"SSD_FOO","vendor":"x"})"),
         "unknown disk \"type\""},
        {"bad media", FleetWith(OneDisk(R"(,"media_type":"FLASH")")), "media_type"},
        {"duplicate serial",
         FleetWith(OneDisk("") + R"(,{"device_name":"sdb","serial_number":"S1","type":"HDD_SAS","vendor":"WD"})"),
         "repeats"},
        // The limits are the daemon's fields: one character less is taken,
        // and "strict": false lets a test fleet go beyond them on purpose.
        {"serial of 40", FleetWith(OneDisk("", std::string(40, 'S'))), "shorter than 40"},
        {"serial of 39", FleetWith(OneDisk("", std::string(39, 'S'))), ""},
        {"not strict", FleetWith(OneDisk("", std::string(40, 'S')), R"(,"strict":false)"), ""},
        {"capacity with a letter", FleetWith(OneDisk(R"(,"capacity":"12a")")), "capacity"},
        {"31 smart attributes", FleetWith(OneDisk(R"(,"health":{"smart":[)" + smart31 + "]}")), "at most 30"},
        {"65 disks in a role", FleetOf(65, 0), "64"},
        {"64 disks in each role", FleetOf(64, 64), ""},
        {"event on unknown disk", Event(R"("at":1,"disk":"sdz","type":"pull")"), "unknown disk"},
        {"unknown event", Event(R"("at":1,"disk":"sda","type":"explode")"), "unknown event type"},
        {"smart_fail without threshold", Event(R"("at":1,"disk":"sda","type":"smart_fail","id":9)"), "threshold"},
        {"wear without rate", Event(R"("at":1,"disk":"sda","type":"wear")"), "per_second"},
        {"negative time", Event(R"("at":-1,"disk":"sda","type":"pull")"), "out of range"},
        {"bad fault mode", FleetWith(OneDisk(""), R"(,"faults":[{"method":"*","mode":"explode"}])"),
         "unknown fault mode"},
    };
    // Every ranged health and SMART member, just inside and just outside.
    const std::tuple<const char *, long long, long long, bool> ranges[] = {
        {"id", 1, 255, true},     {"threshold", 0, 255, true}, {"current", 0, 255, true},
        {"worst", 0, 255, true},  {"wear", 0, 10000, false},   {"asc", 0, 255, false},
        {"capacitance_status", 0, 255, false}, {"power_on_hours", 0, 4294967295LL, false}};
    for (const auto &[key, lo, hi, smart] : ranges) {
        for (long long v : {lo - 1, lo, hi, hi + 1}) {
            std::string member = "\"" + std::string(key) + "\":" + std::to_string(v);
            std::string health = !smart ? member : R"("smart":[{)" + std::string(std::string(key) == "id" ? "" : R"("id":9,)") + member + "}]";
            bool in = v >= lo && v <= hi;
            cases.push_back({member, FleetWith(OneDisk(R"(,"health":{)" + health + "}")), in ? "" : key});
        }
    }
    for (const Case &c : cases) {
        Fleet fleet;
        std::string got = Parse(c.text, &fleet);
        EXPECT_EQ(got.empty(), c.reason.empty()) << c.name << ": " << got;
        EXPECT_NE(got.find(c.reason), std::string::npos) << c.name << ": " << got;
    }
}

// Counters are the integral of the load, checked against hand-computed values.
TEST(AgentFleetModel, CountersIntegrateTheLoadModel)
{
    Fleet fleet;
    ASSERT_EQ(Parse(FleetWith(OneDisk(R"(,"load":{"read_iops":200,"write_iops":100,"read_kib_s":1000,)"
                                      R"("write_kib_s":500,"read_latency_us":2000,"write_latency_us":1000,)"
                                      R"("util":75,"busy":31,"queue_depth":9})")), &fleet), "");
    // 400 reads x 2 ms at 1000 ticks/s = 800 ticks; 75% of 2 s = 1.5 s busy.
    EXPECT_EQ(ReadsAt(&fleet, 2.0), "ops 400 bytes 2048000 ticks 800 io_time 1500000 busy 31");
    const IoCounters io = FleetDiskView(fleet, fleet.disks[0]).io;
    EXPECT_EQ(std::make_tuple(io.writeOps, io.bytesWritten, io.writeLatencyTicks, io.queueDepth),
              std::make_tuple(200ull, 1024000ull, 200ull, 9u));
    EXPECT_EQ(FleetTicks(fleet) - fleet.tickBase, 2000u);
}

// A slow disk: a tenth of the bandwidth, half the IOPS at ten times the
// latency, 97% busy from the event on; nothing grows while the disk is
// pulled, "recover" restores the load, and time never goes back.
TEST(AgentFleetModel, EventsSplitTheIntegral)
{
    Fleet fleet;
    ASSERT_EQ(Parse(FleetWith(OneDisk(R"(,"load":{"read_iops":100,"write_iops":0,"read_kib_s":1000,)"
                                      R"("read_latency_us":100,"util":10,"busy":2})"),
                              R"(,"events":[{"at":10,"disk":"sda","type":"slow","iops_factor":0.5,)"
                              R"("bandwidth_factor":0.1,"latency_factor":10,"util":97,"busy":40},)"
                              R"({"at":20,"disk":"S1","type":"pull"},{"at":30,"disk":"sda","type":"insert"},)"
                              R"({"at":40,"disk":"sda","type":"recover"}])"),
                    &fleet),
              "");
    // 10 s at the load (1000 ops, 100 ticks, 1 s busy), 10 s slow (500 ops,
    // 500 ticks, 9.7 s busy), 10 s pulled, 10 s slow, recovered at 40 s.
    EXPECT_EQ(ReadsAt(&fleet, 25.0), "pulled ops 1500 bytes 11264000 ticks 600 io_time 10700000 busy 40");
    EXPECT_EQ(ReadsAt(&fleet, 40.0), "ops 2000 bytes 12288000 ticks 1100 io_time 20400000 busy 2");
    EXPECT_EQ(ReadsAt(&fleet, 50.0), "ops 3000 bytes 22528000 ticks 1200 io_time 21400000 busy 2");
    EXPECT_EQ(ReadsAt(&fleet, 5.0), ReadsAt(&fleet, 50.0));
}

TEST(AgentOptions, ParsesTheCommandLine)
{
    const std::pair<std::vector<std::string>, const char *> cases[] = {  // socket, nullptr: refused
        {{"--role", "kernel"}, "/tmp/dcak.sock"},
        {{"--role", "user"}, "/var/tmp/spdk.sock"},
        {{"--role", "user", "--socket", "/tmp/x.sock"}, "/tmp/x.sock"},
        {{}, nullptr},
        {{"--role", "admin"}, nullptr},
        {{"--role", "kernel", "--fleet", "f.json", "--host"}, nullptr},
        {{"--role", "kernel", "--time-scale", "-1"}, nullptr},
        {{"--role", "kernel", "--fault", "dca_get_disks_iostat=delay:0"}, nullptr},
        {{"--role", "kernel", "--socket"}, nullptr},
        {{"--role", "kernel", "--bogus"}, nullptr},
        {{"--role", "kernel", "--socket-mode", "0999"}, nullptr},
        {{"--role", "kernel", "--replay", "t", "--replay-io-size", "16777217"}, nullptr},
        {{"--role", "kernel", "--replay", "t", "--replay-io-size", "16777216"}, "/tmp/dcak.sock"},
    };
    for (auto [args, socket] : cases) {
        std::vector<char *> argv{const_cast<char *>("spindlekeep-agent")};
        for (std::string &arg : args) {
            argv.push_back(arg.data());
        }
        AgentOptions options;
        std::string error;
        int ret = AgentParseArgs(static_cast<int>(argv.size()), argv.data(), &options, &error);
        EXPECT_EQ(ret, socket != nullptr ? 0 : -1) << (args.empty() ? "(none)" : args.back()) << " " << error;
        EXPECT_EQ(ret == 0 ? options.socketPath : std::string(error.empty() ? "" : "refused"),
                  socket != nullptr ? socket : "refused");
    }
}

}  // namespace
