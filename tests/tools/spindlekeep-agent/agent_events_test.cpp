// Faults and time through the real socket: every fault mode misbehaves as
// named, fault rules from the fleet file and the command line count down, and
// the real clock moves the fleet. (Timed events are pinned on the fleet
// model in-process; the built-in fleet's are the end-to-end scenarios' part.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent_test_util.h"

namespace {

using namespace agent_test;

class AgentTime : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extra)
    {
        extra.insert(extra.begin(), {"--role", "kernel", "--control", "--time-scale", "0"});
        agent_ = std::make_unique<AgentProcess>(extra, dir_.Join("k.sock"));
        ASSERT_TRUE(agent_->WaitReady());
    }
    JsonPtr Iostat() { return Call(agent_->socket(), "dca_get_disks_iostat", DevicesParams({"sda"}, true)); }

    TempDir dir_;
    std::unique_ptr<AgentProcess> agent_;
};

// Each fault mode, injected once for whatever method comes next, then used up.
TEST_F(AgentTime, EveryFaultModeMisbehavesAsNamed)
{
    ASSERT_NO_FATAL_FAILURE(Start({}));
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
        ASSERT_NE(Call(agent_->socket(), "agent_set_fault",
                       R"({"method":"*","count":1,"mode":")" + std::string(c.mode) + "\"}"),
                  nullptr);
        RawAnswer r = RawCall(agent_->socket(), *c.request);
        JsonPtr answer = ParseJson(r.bytes);
        EXPECT_GE(r.seconds, c.minSeconds);
        EXPECT_TRUE(r.bytes.size() >= c.minBytes && r.bytes.size() <= c.maxBytes) << r.bytes.size();
        EXPECT_EQ(answer != nullptr, c.parses);
        EXPECT_EQ(DaemonTakesResult(c.request == &brief ? kBrief : kBase, answer.get(), 4), c.daemonTakes);
        EXPECT_EQ(c.disks < 0 ? -1 : cJSON_GetArraySize(Disks(answer)), c.disks);
        EXPECT_TRUE(r.bytes.size() <= 8191 || ParseJson(r.bytes.substr(0, 8191)) == nullptr)
            << "the daemon's cut must not parse";
        RawAnswer next = RawCall(agent_->socket(), *c.request);
        EXPECT_TRUE(DaemonTakesEnvelope(ParseJson(next.bytes).get()));
        EXPECT_LT(next.seconds, 1.0);
    }
}

// Fault rules of the fleet file and the command line count down; the real
// clock drives the fleet at 1000 simulated seconds per real one (the last
// --time-scale counts; exact times are pinned on the manual clock).
TEST_F(AgentTime, FaultsCountDownAndTheRealClockDrivesTheFleet)
{
    WriteFileText(dir_.Join("fleet.json"),
                  R"({"disks":[{"device_name":"sda","serial_number":"F1","type":"SSD_SATA","vendor":"ATA"}],
                      "faults":[{"method":"dca_get_disks_iostat","mode":"garbage","count":2}]})");
    ASSERT_NO_FATAL_FAILURE(Start({"--fleet", dir_.Join("fleet.json"), "--fault", "dca_get_disks_brief_info=close:1",
                                   "--fault", "*=bad_envelope:1", "--time-scale", "1000"}));
    auto now = [&] { return Member(Member(Call(agent_->socket(), "agent_status").get(), "result"), "now")->valuedouble; };
    double first = now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(now(), first);
    EXPECT_EQ(Iostat(), nullptr);
    EXPECT_EQ(Iostat(), nullptr);
    // The fleet's garbage is used up; the wildcard rule now takes the next call.
    JsonPtr wild = Iostat();
    EXPECT_TRUE(wild != nullptr && !DaemonTakesEnvelope(wild.get())) << "not a bad envelope";
    EXPECT_TRUE(RawCall(agent_->socket(), R"({"jsonrpc":"2.0","method":"dca_get_disks_brief_info","id":1})").bytes.empty());
    EXPECT_TRUE(DaemonTakesEnvelope(Call(agent_->socket(), "dca_get_disks_brief_info").get()));
    EXPECT_NE(Iostat(), nullptr);
    // Control methods are never faulted, so a test can always clean up.
    ASSERT_NE(Call(agent_->socket(), "agent_set_fault", R"({"method":"*","mode":"close"})"), nullptr);
    EXPECT_NE(Call(agent_->socket(), "agent_clear_faults"), nullptr);
    EXPECT_NE(Iostat(), nullptr);
}

}  // namespace
