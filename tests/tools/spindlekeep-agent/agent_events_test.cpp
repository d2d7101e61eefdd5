// Simulated time through the real socket: timed events happen at their time
// and not before, the real clock moves the fleet, and every fault mode
// misbehaves as named. (The built-in fleet's faults are the end-to-end
// scenarios' part.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

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
            WriteFileText(dir_.Join("fleet.json"), fleetText);
            args.insert(args.end(), {"--fleet", dir_.Join("fleet.json")});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        agent_ = std::make_unique<AgentProcess>(args, dir_.Join("k.sock"));
        ASSERT_TRUE(agent_->WaitReady());
    }
    void AdvanceTo(double t)
    {
        JsonPtr status = Call(sock(), "agent_status");
        double now = Member(Member(status.get(), "result"), "now")->valuedouble;
        ASSERT_NE(Call(sock(), "agent_advance_time", "{\"seconds\":" + std::to_string(t - now) + "}"), nullptr);
    }
    JsonPtr Answer(const char *method, const std::vector<std::string> &devices)
    {
        return Call(sock(), method, DevicesParams(devices, true));
    }
    // One disk object of an answer (the answer is kept alive in keep_).
    const cJSON *Disk1(const char *method, const std::string &device)
    {
        keep_.push_back(Answer(method, {device}));
        return Disk(keep_.back(), 0);
    }
    double Health(const std::string &device, const char *key)
    {
        return Member(Disk1("dca_get_disks_health_info", device), key)->valuedouble;
    }
    bool Listed(const std::string &device)
    {
        std::vector<std::string> names = DeviceNames(sock());
        return std::find(names.begin(), names.end(), device) != names.end();
    }
    const std::string &sock() { return agent_->socket(); }

    TempDir dir_;
    std::unique_ptr<AgentProcess> agent_;
    std::vector<JsonPtr> keep_;
};

double Counter(const cJSON *disk, const char *key) { return static_cast<double>(Digits(Member(disk, key))); }

uint8_t SmartCurrent(const cJSON *disk, int id)
{
    const cJSON *attr = nullptr;
    cJSON_ArrayForEach(attr, Member(disk, "SMART_list"))
    {
        if (Member(attr, "id")->valuedouble == id) {
            return static_cast<uint8_t>(Member(attr, "current_value")->valuedouble);
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
        {"slow", [&] { return Member(Disk1("dca_get_disks_iostat", "slow1"), "io_busy_num")->valuedouble; }, 2, 40},
        {"smart_fail", [&] { return SmartCurrent(Disk1("dca_get_disks_health_info", "sata1"), 5); }, 100, 10},
        {"nvme_warning", [&] { return Health("nv1", "critical_warning"); }, 0, 8},
        {"sense asc", [&] { return Health("sas1", "ASC"); }, 0, 0x5D},
        {"sense ascq", [&] { return Health("sas1", "ASCQ"); }, 0, 0x10},
        {"capacitance id", [&] { return Health("cap1", "capacitance_id"); }, 0, 0xF2},
        {"capacitance status", [&] { return Health("cap1", "capacitance_status"); }, 1, 0},
        {"pull", [&] { return Listed("pull1") ? 1.0 : 0.0; }, 1, 0},
        {"reset", [&] { return Counter(Disk1("dca_get_disks_iostat", "reset1"), "num_read_ops") > 0 ? 1.0 : 0.0; }, 1, 0},
        {"wear", [&] { return Health("nv1", "wear"); }, 8000, 8000},
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
    EXPECT_EQ(Health("nv1", "wear"), 8100);
    AdvanceTo(1000.0);
    EXPECT_EQ(Health("nv1", "wear"), 9000);
    EXPECT_TRUE(Listed("pull1")) << "re-inserted at 200 s";
}

// The real clock drives the fleet: at 1000 simulated seconds per real one, a
// few real milliseconds move it on (exact times are pinned on the manual clock).
TEST_F(AgentTime, RealClockDrivesTheFleet)
{
    ASSERT_NO_FATAL_FAILURE(Start("", {"--time-scale", "1000"}));  // the last one counts
    auto now = [&] { return Member(Member(Call(sock(), "agent_status").get(), "result"), "now")->valuedouble; };
    double first = now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(now(), first);
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
        double minSeconds;
        size_t minBytes, maxBytes;
        bool parses, daemonTakes;  // the daemon's envelope and result checks
        int disks;                 // -1: not counted
    } cases[] = {
        {"delay", &base, 3.0, 1, 8191, true, true, 4},
        {"close", &base, 0, 0, 0, false, false, -1},
        {"garbage", &base, 0, 1, 8191, false, false, -1},
        {"oversize", &base, 0, 8192, SIZE_MAX, true, true, -1},
        {"bad_envelope", &base, 0, 1, 8191, true, false, -1},
        {"extra_disks", &base, 0, 1, 8191, true, false, 5},    // more than the 4 asked
        {"extra_disks", &brief, 0, 1, 8191, true, false, 65},  // more than the daemon's 64
        {"partial", &base, 0, 1, 8191, true, true, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.request->substr(30, 30));
        std::string method = Member(ParseJson(*c.request).get(), "method")->valuestring;
        ASSERT_NE(Call(sock(), "agent_set_fault", "{\"method\":\"" + method + "\",\"mode\":\"" + c.mode + "\",\"count\":1}"),
                  nullptr);
        RawAnswer r = RawCall(sock(), *c.request);
        JsonPtr answer = ParseJson(r.bytes);
        EXPECT_GE(r.seconds, c.minSeconds);
        EXPECT_GE(r.bytes.size(), c.minBytes);
        EXPECT_LE(r.bytes.size(), c.maxBytes);
        EXPECT_EQ(answer != nullptr, c.parses);
        DaemonMessage type = c.request == &brief ? kBrief : kBase;
        EXPECT_EQ(DaemonTakesResult(type, answer.get(), 4), c.daemonTakes);
        if (c.disks >= 0) {
            EXPECT_EQ(cJSON_GetArraySize(Disks(answer)), c.disks);
        }
        if (r.bytes.size() > 8191) {
            EXPECT_EQ(ParseJson(r.bytes.substr(0, 8191)), nullptr) << "the daemon's cut must not parse";
        }
        // Used up: the next answer is whole again.
        RawAnswer next = RawCall(sock(), *c.request);
        EXPECT_TRUE(DaemonTakesEnvelope(ParseJson(next.bytes).get()));
        EXPECT_LT(next.seconds, 1.0);
    }
}

TEST_F(AgentTime, FaultsFromTheFleetFileAndTheCommandLineCountDown)
{
    ASSERT_NO_FATAL_FAILURE(Start(R"({"disks":[{"device_name":"sda","serial_number":"F1","type":"SSD_SATA","vendor":"ATA"}],
        "faults":[{"method":"dca_get_disks_iostat","mode":"garbage","count":2}]})",
                                  {"--fault", "dca_get_disks_brief_info=close:1", "--fault", "*=bad_envelope:1"}));
    EXPECT_EQ(Answer("dca_get_disks_iostat", {"sda"}), nullptr);
    EXPECT_EQ(Answer("dca_get_disks_iostat", {"sda"}), nullptr);
    // The fleet's garbage is used up; the wildcard rule now takes the next call.
    JsonPtr wild = Answer("dca_get_disks_iostat", {"sda"});
    ASSERT_NE(wild, nullptr);
    EXPECT_FALSE(DaemonTakesEnvelope(wild.get()));
    EXPECT_TRUE(RawCall(sock(), R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info","id":1})").bytes.empty());
    EXPECT_TRUE(DaemonTakesEnvelope(Call(sock(), "dca_get_disks_brief_info").get()));
    EXPECT_NE(Answer("dca_get_disks_iostat", {"sda"}), nullptr);
    // Control methods are never faulted, so a test can always clean up.
    ASSERT_NE(Call(sock(), "agent_set_fault", R"({"method":"*","mode":"close"})"), nullptr);
    EXPECT_NE(Call(sock(), "agent_clear_faults"), nullptr);
    EXPECT_NE(Answer("dca_get_disks_iostat", {"sda"}), nullptr);
}

}  // namespace
