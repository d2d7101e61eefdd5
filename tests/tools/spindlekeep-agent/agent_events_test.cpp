// Simulated time through the real socket: counters only grow (except across an
// injected reset), timed events happen at their time and not before, the
// built-in fleet develops its faults within minutes, and every fault mode
// misbehaves as named.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "agent_test_util.h"

namespace {

using namespace agent_test;

const char kEventFleet[] = R"({"disks":[
 {"device_name":"slow1","serial_number":"E-SLOW","type":"SSD_SAS","vendor":"KORVAN",
  "load":{"read_iops":1000,"write_iops":0,"read_kib_s":4000,"write_kib_s":0,"read_latency_us":100,
          "write_latency_us":0,"util":20,"busy":2}},
 {"device_name":"sata1","serial_number":"E-SATA","type":"SSD_SATA","vendor":"ATA"},
 {"device_name":"nv1","serial_number":"E-NVME","type":"SSD_NVMe","vendor":"KORVAN",
  "pci_address":"0000:01:00.0","health":{"wear":8000}},
 {"device_name":"sas1","serial_number":"E-SAS","type":"HDD_SAS","vendor":"SEAGATE"},
 {"device_name":"cap1","serial_number":"E-CAP","type":"SSD_SAS","vendor":"OSKEN"},
 {"device_name":"pull1","serial_number":"E-PULL","type":"HDD_SAS","vendor":"WD"},
 {"device_name":"reset1","serial_number":"E-RESET","type":"SSD_SATA","vendor":"ATA"}],
 "events":[
 {"at":100,"disk":"slow1","type":"slow","iops_factor":0.1,"bandwidth_factor":0.1,"latency_factor":10,"util":97,"busy":40},
 {"at":200,"disk":"slow1","type":"recover"},
 {"at":100,"disk":"nv1","type":"wear","per_second":2,"until":9000},
 {"at":100,"disk":"sata1","type":"smart_fail","id":5},
 {"at":100,"disk":"nv1","type":"nvme_warning","bits":8},
 {"at":100,"disk":"sas1","type":"sense","asc":"0x5D","ascq":"0x10"},
 {"at":100,"disk":"cap1","type":"capacitance","id":"0xF2","status":0},
 {"at":100,"disk":"pull1","type":"pull"},
 {"at":200,"disk":"pull1","type":"insert"},
 {"at":100,"disk":"E-RESET","type":"reset_counters"}]})";

class AgentTime : public ::testing::Test {
  protected:
    void Start(const std::string &fleetText, const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"--role", "kernel", "--control", "--time-scale", "0"};
        if (!fleetText.empty()) {
            WriteFile(dir_.File("fleet.json"), fleetText);
            args.push_back("--fleet");
            args.push_back(dir_.File("fleet.json"));
        }
        args.insert(args.end(), extra.begin(), extra.end());
        agent_ = std::make_unique<AgentProcess>(args, dir_.File("k.sock"));
        ASSERT_TRUE(agent_->WaitReady());
    }
    void AdvanceTo(double t)
    {
        JsonPtr status = Call(sock(), "agent_status");
        double now = Member(Member(status.get(), "result"), "now")->valuedouble;
        ASSERT_NE(Call(sock(), "agent_advance_time", "{\"seconds\":" + std::to_string(t - now) + "}"),
                  nullptr);
    }
    JsonPtr Answer(const char *method, const std::vector<std::string> &devices)
    {
        return Call(sock(), method, DevicesParams(devices, true));
    }
    // One disk object of an answer (the answer is kept alive in keep_).
    const cJSON *Disk(const char *method, const std::string &device)
    {
        keep_.push_back(Answer(method, {device}));
        return cJSON_GetArrayItem(Member(Member(keep_.back().get(), "result"), "disks"), 0);
    }
    bool Listed(const std::string &device)
    {
        JsonPtr brief = Call(sock(), "dca_get_disks_brief_info");
        const cJSON *disk = nullptr;
        cJSON_ArrayForEach(disk, Member(Member(brief.get(), "result"), "disks"))
        {
            if (device == Member(disk, "device_name")->valuestring) {
                return true;
            }
        }
        return false;
    }
    const std::string &sock() { return agent_->socket(); }

    TempDir dir_;
    std::unique_ptr<AgentProcess> agent_;
    std::vector<JsonPtr> keep_;
};

double Num(const cJSON *disk, const char *key) { return Member(disk, key)->valuedouble; }

uint8_t SmartCurrent(const cJSON *disk, int id)
{
    const cJSON *attr = nullptr;
    cJSON_ArrayForEach(attr, Member(disk, "SMART_list"))
    {
        if (Num(attr, "id") == id) {
            return static_cast<uint8_t>(Num(attr, "current_value"));
        }
    }
    return 0;
}

TEST_F(AgentTime, EachEventKindHappensAtItsTimeAndNotBefore)
{
    ASSERT_NO_FATAL_FAILURE(Start(kEventFleet));
    struct Case {
        const char *name;
        std::function<double()> probe;  // a number that the event changes
        double before;
        double after;
    } cases[] = {
        {"smart_fail", [&] { return SmartCurrent(Disk("dca_get_disks_health_info", "sata1"), 5); }, 100, 10},
        {"nvme_warning", [&] { return Num(Disk("dca_get_disks_health_info", "nv1"), "critical_warning"); }, 0, 8},
        {"sense asc", [&] { return Num(Disk("dca_get_disks_health_info", "sas1"), "ASC"); }, 0, 0x5D},
        {"sense ascq", [&] { return Num(Disk("dca_get_disks_health_info", "sas1"), "ASCQ"); }, 0, 0x10},
        {"capacitance id", [&] { return Num(Disk("dca_get_disks_health_info", "cap1"), "capacitance_id"); }, 0, 0xF2},
        {"capacitance status", [&] { return Num(Disk("dca_get_disks_health_info", "cap1"), "capacitance_status"); }, 1, 0},
        {"pull", [&] { return Listed("pull1") ? 1.0 : 0.0; }, 1, 0},
        {"reset", [&] { return Digits(Member(Disk("dca_get_disks_iostat", "reset1"), "num_read_ops")) > 0 ? 1.0 : 0.0; }, 1, 0},
        {"wear", [&] { return Num(Disk("dca_get_disks_health_info", "nv1"), "wear"); }, 8000, 8000},
    };
    AdvanceTo(99.999);
    for (Case &c : cases) {
        EXPECT_EQ(c.probe(), c.before) << c.name << " changed before its time";
    }
    AdvanceTo(100.0);
    for (Case &c : cases) {
        EXPECT_EQ(c.probe(), c.after) << c.name << " did not happen at its time";
    }
    // Wear grows 2 per second from 100 s and stops at its cap.
    AdvanceTo(150.0);
    EXPECT_EQ(Num(Disk("dca_get_disks_health_info", "nv1"), "wear"), 8100);
    AdvanceTo(1000.0);
    EXPECT_EQ(Num(Disk("dca_get_disks_health_info", "nv1"), "wear"), 9000);
    // Pulled disks are not answered for; re-inserted ones are.
    AdvanceTo(150.0);
    EXPECT_TRUE(Listed("pull1"));
}

TEST_F(AgentTime, SlowDiskLooksSlowToTheDaemonsStatisticsAndRecovers)
{
    ASSERT_NO_FATAL_FAILURE(Start(kEventFleet));
    // The daemon's per-interval statistics from two IO frames.
    struct Stats {
        double iops, kibs, latencyUs, util, serveUs, busy;
    };
    auto measure = [&](double from, double to) {
        AdvanceTo(from);
        const cJSON *a = Disk("dca_get_disks_iostat", "slow1");
        double ticksA = static_cast<double>(Digits(Member(Member(keep_.back().get(), "result"), "ticks")));
        AdvanceTo(to);
        const cJSON *b = Disk("dca_get_disks_iostat", "slow1");
        const cJSON *result = Member(keep_.back().get(), "result");
        double rate = static_cast<double>(Digits(Member(result, "tick_rate")));
        double dt = (static_cast<double>(Digits(Member(result, "ticks"))) - ticksA) / rate;
        auto diff = [&](const char *key) {
            return static_cast<double>(Digits(Member(b, key)) - Digits(Member(a, key)));
        };
        double ops = diff("num_read_ops") + diff("num_write_ops");
        return Stats{ops / dt, diff("bytes_read") / dt / 1024, diff("read_latency_ticks") / diff("num_read_ops") * 1e6 / rate,
                     diff("io_time") / (dt * 1e6) * 100, diff("io_time") / ops, Num(b, "io_busy_num")};
    };
    Stats normal = measure(50, 80);
    Stats slow = measure(120, 150);
    Stats recovered = measure(220, 250);
    EXPECT_NEAR(normal.iops, 1000, 1);
    EXPECT_NEAR(normal.latencyUs, 100, 1);
    EXPECT_NEAR(slow.iops, 100, 1);
    EXPECT_NEAR(slow.kibs, 400, 1);
    EXPECT_NEAR(slow.latencyUs, 1000, 1);
    EXPECT_NEAR(slow.util, 97, 0.1);
    EXPECT_EQ(slow.busy, 40);
    // The detector's candidate rule for SSDs: service time of 1 ms or more,
    // 30 or more busy, at most 300 MiB/s, 90% utilisation or more.
    EXPECT_GE(slow.serveUs, 1000);
    EXPECT_GE(slow.serveUs, 5 * normal.serveUs);
    EXPECT_NEAR(recovered.iops, normal.iops, 1);
    EXPECT_NEAR(recovered.util, normal.util, 0.1);
}

TEST_F(AgentTime, CountersOnlyGrowExceptAcrossAnInjectedReset)
{
    ASSERT_NO_FATAL_FAILURE(Start(kEventFleet));
    const std::vector<std::string> devices = {"slow1", "sata1", "nv1", "sas1", "cap1", "reset1"};
    const char *counters[] = {"bytes_read", "bytes_written", "num_read_ops", "num_write_ops",
                              "read_latency_ticks", "write_latency_ticks", "io_time"};
    std::map<std::string, std::vector<uint64_t>> last;
    uint64_t lastTicks = 0;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> step(0.001, 7.0);
    double t = 0;
    int resets = 0;
    for (int round = 0; round < 60; ++round) {
        double before = t;
        t += step(rng);
        AdvanceTo(t);
        JsonPtr answer = Answer("dca_get_disks_iostat", devices);
        const cJSON *result = Member(answer.get(), "result");
        uint64_t ticks = Digits(Member(result, "ticks"));
        EXPECT_GT(ticks, lastTicks) << "ticks must increase";
        lastTicks = ticks;
        const cJSON *disk = nullptr;
        cJSON_ArrayForEach(disk, Member(result, "disks"))
        {
            std::string sn = Member(disk, "serial_number")->valuestring;
            std::vector<uint64_t> now;
            for (const char *key : counters) {
                now.push_back(Digits(Member(disk, key)));
            }
            bool crossedReset = sn == "E-RESET" && before < 100 && t >= 100;
            if (last.count(sn) != 0 && !crossedReset) {
                for (size_t i = 0; i < now.size(); ++i) {
                    EXPECT_GE(now[i], last[sn][i]) << sn << " " << counters[i] << " at " << t;
                }
            }
            if (crossedReset) {
                ++resets;
                EXPECT_LT(now[2], last[sn][2]) << "the injected reset did not reset";
            }
            last[sn] = now;
        }
    }
    EXPECT_EQ(resets, 1);
}

TEST_F(AgentTime, RealClockDrivesCountersAndEvents)
{
    // 20 simulated seconds per real second; the pull happens 3 s in.
    std::string fleet = R"({"disks":[{"device_name":"sda","serial_number":"R1","type":"SSD_SATA","vendor":"ATA"}],
        "events":[{"at":3,"disk":"sda","type":"pull"}]})";
    WriteFile(dir_.File("fleet.json"), fleet);
    agent_ = std::make_unique<AgentProcess>(
        std::vector<std::string>{"--role", "kernel", "--fleet", dir_.File("fleet.json"), "--time-scale", "20"},
        dir_.File("k.sock"));
    ASSERT_TRUE(agent_->WaitReady());
    auto start = std::chrono::steady_clock::now();
    JsonPtr first = Answer("dca_get_disks_iostat", {"sda"});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    JsonPtr second = Answer("dca_get_disks_iostat", {"sda"});
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_LT(elapsed, 0.15) << "machine too slow for this timing test";
    const cJSON *a = cJSON_GetArrayItem(Member(Member(first.get(), "result"), "disks"), 0);
    const cJSON *b = cJSON_GetArrayItem(Member(Member(second.get(), "result"), "disks"), 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_GT(Digits(Member(Member(second.get(), "result"), "ticks")),
              Digits(Member(Member(first.get(), "result"), "ticks")));
    EXPECT_GT(Digits(Member(b, "num_read_ops")), Digits(Member(a, "num_read_ops")));
    bool gone = false;
    while (!gone && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        gone = !Listed("sda");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(gone);
    EXPECT_GE(at, 0.14) << "pulled before 3 simulated seconds";
}

TEST_F(AgentTime, BuiltInFleetDevelopsItsFaultsWithinMinutes)
{
    ASSERT_NO_FATAL_FAILURE(Start(""));
    AgentProcess user({"--role", "user", "--control", "--time-scale", "0", "--record", "none",
                       "--prom-dir", "none"},
                      dir_.File("u.sock"));
    ASSERT_TRUE(user.WaitReady());
    EXPECT_EQ(SmartCurrent(Disk("dca_get_disks_health_info", "sda"), 5), 100);
    AdvanceTo(170);
    JsonPtr before = Answer("dca_get_disks_iostat", {"sdd", "sde", "sdf"});
    AdvanceTo(180);
    JsonPtr after = Answer("dca_get_disks_iostat", {"sdd", "sde", "sdf"});
    double serve[3];
    for (int i = 0; i < 3; ++i) {
        const cJSON *a = cJSON_GetArrayItem(Member(Member(before.get(), "result"), "disks"), i);
        const cJSON *b = cJSON_GetArrayItem(Member(Member(after.get(), "result"), "disks"), i);
        double ops = static_cast<double>(Digits(Member(b, "num_read_ops")) - Digits(Member(a, "num_read_ops")) +
                                         Digits(Member(b, "num_write_ops")) - Digits(Member(a, "num_write_ops")));
        serve[i] = static_cast<double>(Digits(Member(b, "io_time")) - Digits(Member(a, "io_time"))) / ops;
    }
    EXPECT_GE(serve[2], 1000) << "sdf is not slow";
    EXPECT_GE(serve[2], 5 * (serve[0] + serve[1]) / 2);
    const cJSON *sata = Disk("dca_get_disks_health_info", "sda");
    EXPECT_LE(SmartCurrent(sata, 5), 10) << "sda SMART attribute 5 not at its threshold";
    EXPECT_EQ(Num(Disk("dca_get_disks_health_info", "sdi"), "ASC"), 0x5D);
    EXPECT_GE(Num(Disk("dca_get_disks_health_info", "nvme1n1"), "wear"), 9900);
    ASSERT_NE(Call(user.socket(), "agent_advance_time", R"({"seconds":180})"), nullptr);
    JsonPtr nvme = Call(user.socket(), "dca_get_disks_health_info", DevicesParams({"nvme3n1"}));
    EXPECT_EQ(static_cast<int>(Num(cJSON_GetArrayItem(Member(Member(nvme.get(), "result"), "disks"), 0),
                                   "critical_warning")) & 1,
              1);
}

// Each fault mode, injected once on the named method.
TEST_F(AgentTime, EveryFaultModeMisbehavesAsNamed)
{
    ASSERT_NO_FATAL_FAILURE(Start(""));
    const std::string base = R"({"jsonrpc":"2.0","method":"dca_get_disks_base_info","id":3,"params":{"devices":["sda","sdb","sdc","sdd"]}})";
    const std::string brief = R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info","id":3})";
    struct Case {
        const char *mode;
        const std::string *request;
        std::function<void(const RawAnswer &)> expect;
    } cases[] = {
        {"delay", &base, [](const RawAnswer &r) {
             EXPECT_GE(r.seconds, 3.0);
             EXPECT_NE(ParseJson(r.bytes), nullptr);
         }},
        {"close", &base, [](const RawAnswer &r) { EXPECT_TRUE(r.bytes.empty()); }},
        {"garbage", &base, [](const RawAnswer &r) {
             EXPECT_FALSE(r.bytes.empty());
             EXPECT_EQ(ParseJson(r.bytes), nullptr);
         }},
        {"oversize", &base, [](const RawAnswer &r) {
             EXPECT_GT(r.bytes.size(), 8191u);
             EXPECT_NE(ParseJson(r.bytes), nullptr);
             EXPECT_EQ(ParseJson(r.bytes.substr(0, 8191)), nullptr) << "the daemon's cut must not parse";
         }},
        {"bad_envelope", &base, [](const RawAnswer &r) {
             JsonPtr answer = ParseJson(r.bytes);
             ASSERT_NE(answer, nullptr);
             EXPECT_NE(CheckEnvelope(answer.get()), "");
         }},
        {"extra_disks", &base, [](const RawAnswer &r) {
             JsonPtr answer = ParseJson(r.bytes);
             EXPECT_EQ(cJSON_GetArraySize(Member(Member(answer.get(), "result"), "disks")), 5);
             EXPECT_NE(CheckBatchResult(Member(answer.get(), "result"), 4, false), "");
         }},
        {"extra_disks", &brief, [](const RawAnswer &r) {
             JsonPtr answer = ParseJson(r.bytes);
             EXPECT_EQ(cJSON_GetArraySize(Member(Member(answer.get(), "result"), "disks")), 65);
             EXPECT_NE(CheckBriefResult(Member(answer.get(), "result")), "");
         }},
        {"partial", &base, [](const RawAnswer &r) {
             JsonPtr answer = ParseJson(r.bytes);
             EXPECT_EQ(CheckEnvelope(answer.get()), "");
             EXPECT_EQ(cJSON_GetArraySize(Member(Member(answer.get(), "result"), "disks")), 2);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        JsonPtr request = ParseJson(*c.request);
        std::string method = Member(request.get(), "method")->valuestring;
        ASSERT_NE(Call(sock(), "agent_set_fault",
                       "{\"method\":\"" + method + "\",\"mode\":\"" + c.mode + "\",\"count\":1}"),
                  nullptr);
        c.expect(RawCall(sock(), *c.request));
        // Used up: the next answer is whole again.
        RawAnswer next = RawCall(sock(), *c.request);
        JsonPtr answer = ParseJson(next.bytes);
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(CheckEnvelope(answer.get()), "");
        EXPECT_LT(next.seconds, 1.0);
    }
}

TEST_F(AgentTime, FaultsFromTheFleetFileAndTheCommandLineCountDown)
{
    std::string fleet = R"({"disks":[{"device_name":"sda","serial_number":"F1","type":"SSD_SATA","vendor":"ATA"}],
        "faults":[{"method":"dca_get_disks_iostat","mode":"garbage","count":2}]})";
    ASSERT_NO_FATAL_FAILURE(Start(fleet, {"--fault", "dca_get_disks_brief_info=close:1", "--fault", "*=bad_envelope:1"}));
    auto iostatParses = [&] { return Answer("dca_get_disks_iostat", {"sda"}) != nullptr; };
    EXPECT_FALSE(iostatParses());
    EXPECT_FALSE(iostatParses());
    // The fleet's garbage is used up; the wildcard rule now takes the next call.
    JsonPtr wild = Answer("dca_get_disks_iostat", {"sda"});
    ASSERT_NE(wild, nullptr);
    EXPECT_NE(CheckEnvelope(wild.get()), "");
    EXPECT_TRUE(RawCall(sock(), R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info","id":1})").bytes.empty());
    JsonPtr clean = Call(sock(), "dca_get_disks_brief_info");
    EXPECT_EQ(CheckEnvelope(clean.get()), "");
    EXPECT_TRUE(iostatParses());
    // Control methods are never faulted, so a test can always clean up.
    ASSERT_NE(Call(sock(), "agent_set_fault", R"({"method":"*","mode":"close"})"), nullptr);
    EXPECT_NE(Call(sock(), "agent_clear_faults"), nullptr);
    EXPECT_TRUE(iostatParses());
}

}  // namespace
