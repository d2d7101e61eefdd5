// test-labels: concurrent
//
// The event parser as a table, and the listener against kernel-style events
// in a private network namespace (a root sender may multicast on the uevent
// group there) and a private mount namespace whose /sys is a tmpfs, so the
// NVMe driver directory is the test's own. The task's 100-second pauses go
// through the adapter's sleep, which here moves the host's fake clock and
// returns.
#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"
#include "init/init_takeover.h"
#include "support/log_capture.h"
#include "support/unix_agent_server.h"
#include "support/wait_until.h"

namespace {

using namespace std::string_literals;

// NUL-terminated entries, as the kernel sends them.
std::string Entries(std::initializer_list<std::string> entries)
{
    std::string msg;
    for (const std::string &e : entries) {
        msg += e + '\0';
    }
    return msg;
}

std::string Event(const std::string &action, const std::string &path, const std::string &subsystem)
{
    return Entries({action + "@" + path, "ACTION=" + action, "DEVPATH=" + path, "SUBSYSTEM=" + subsystem});
}

std::string NvmeAdd(const std::string &pci) { return Event("add", "/devices/pci0000:3a/" + pci + "/nvme/nvme2", "nvme"); }

// From a heap block of exactly the message's size: a read past it is caught
// by the sanitizer build. Returns the PCI address, "-" for a parse failure,
// "none" for an event that is not an NVMe controller's arrival.
std::string PciOf(const std::string &msg, HotPlugEvent *ev)
{
    *ev = {};
    std::unique_ptr<char[]> exact(new char[msg.size() + 1]);
    msg.copy(exact.get(), msg.size());
    char pci[HOT_PLUG_FIELD_LEN] = {};
    if (HotPlugEventParse(msg.empty() ? nullptr : exact.get(), msg.size(), ev) != 0) {
        return "-";
    }
    return HotPlugEventNvmePci(ev, pci, sizeof(pci)) ? pci : "none";
}

TEST(HotPlugEventTest, OnlyAnNvmeControllerAddNamesAPciAddress)
{
    const std::string ctrl = "/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/nvme/nvme2";
    std::string noFinalNul = Entries({"ACTION=add", "DEVPATH=" + ctrl, "SUBSYSTEM=nvme"});
    noFinalNul.pop_back();
    const std::pair<std::string, const char *> cases[] = {
        {Event("add", ctrl, "nvme"), "0000:3b:00.0"}, {noFinalNul, "0000:3b:00.0"},
        {Event("add", ctrl + "/nvme2n1", "block"), "none"}, {Event("remove", ctrl, "nvme"), "none"},
        {Event("added", ctrl, "nvme"), "none"}, {Event("add", ctrl, "nvme-subsystem"), "none"},
        {Event("add", "/devices/virtual/misc/x", "nvme"), "none"}, {Event("add", "/nvme/nvme0", "nvme"), "none"},
        // The cut comes before the "/nvme" search: a longer controller path is not recognised.
        {NvmeAdd(std::string(60, 'p') + "/0000:3b:00.0"), "none"},
        {Entries({"DEVPATH=" + ctrl, "SUBSYSTEM=nvme"}), "-"}, {Entries({"ACTION=add", "SUBSYSTEM=nvme"}), "-"},
        {Entries({"ACTION=add", "DEVPATH=" + ctrl}), "-"}, {"ACTION=ad", "-"},
        {"ACTION=add\0DEVPATH=/a/b/nvme/n\0SUBSYSTEM="s, "-"},  // a key must be followed by a byte
    };
    HotPlugEvent ev;
    for (const auto &[msg, pci] : cases) {
        EXPECT_EQ(PciOf(msg, &ev), pci) << msg;
    }
    for (size_t len : {78u, 79u, 80u, 200u}) {
        std::string v(len, 'v');
        EXPECT_EQ(PciOf(Entries({"ACTION=" + v, "DEVPATH=" + v, "SUBSYSTEM=" + v}), &ev), "none");
        for (const char *field : {ev.action, ev.devPath, ev.subsystem}) {
            EXPECT_EQ(field, v.substr(0, 79)) << len;  // fields are cut at 79 characters
        }
    }
}

constexpr const char *kDriverDir = "/sys/bus/pci/drivers/nvme";

std::atomic<uint32_t> g_pauses{0};  // 100-second pauses taken by notification tasks
std::string g_skip = "namespace set-up failed";
// Made after the namespaces are entered (its threads would stop that), and
// destroyed at exit: every test waits for its tasks, so nothing posts to it.
UnixAgentServer &Agent()
{
    static UnixAgentServer agent;
    return agent;
}

void Bind(const std::string &pci) { ASSERT_EQ(mkdir((std::string(kDriverDir) + "/" + pci).c_str(), 0755), 0); }

void CountingSleep(KeeperTime t)
{
    timespec ts = ConvertKeeperTime2Timespec(t);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    HostClockAdvance(ms);
    g_pauses += ms >= HOT_PLUG_NOTIFY_PAUSE_S * 1000ull;  // not the task's first delay
}

// Before the first thread of the process exists: a process that shares its
// file-system state with other threads cannot enter a mount namespace.
void EnterNamespaces()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys", "tmpfs", 0, "mode=0755") != 0) {
        g_skip = std::string("needs root for private namespaces: ") + strerror(errno);
        return;
    }
    for (const char *dir : {"/sys/bus", "/sys/bus/pci", "/sys/bus/pci/drivers", kDriverDir}) {
        ASSERT_EQ(mkdir(dir, 0755), 0) << dir;
    }
    ASSERT_EQ(KeeperInfraLiteInstall(), 0);
    KeeperOsOps ops = KeeperInfraLiteOps();
    ops.sleep = CountingSleep;
    KeeperOsInstall(ops);
    KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    HostClockBind(0);
    ASSERT_EQ(InitScheduleTask(), 0);
    ASSERT_EQ(InitHotPlugListener(), 0);
    ASSERT_EQ(InitHotPlugListener(), 114);
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_SPDK, Agent().Path().c_str()), 0);
    g_skip.clear();
}

// Sockets bound to uevent groups: in this network namespace only the listener's.
int ListenerSockets()
{
    std::ifstream in("/proc/net/netlink");
    std::string sk, groups, rest;
    unsigned long proto = 0, pid = 0;
    int n = 0;
    std::getline(in, rest);
    while (in >> sk >> proto >> pid >> groups && std::getline(in, rest)) {
        n += proto == NETLINK_KOBJECT_UEVENT && pid != 0 && groups != "00000000";
    }
    return n;
}

void Send(const std::string &msg)
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl to = {AF_NETLINK, 0, 0, 1};
    EXPECT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)),
              static_cast<ssize_t>(msg.size()));
    close(fd);
}

int Rebinds(const std::string &pci)
{
    const std::vector<std::string> reqs = Agent().Requests();
    return std::count_if(reqs.begin(), reqs.end(), [&](const std::string &r) {
        return r.find("\"method\":\"dca_rebind_nvme2uio\"") != std::string::npos &&
               r.find("\"params\":{\"pci_address\":\"" + pci + "\"}") != std::string::npos;
    });
}

class HotPlugListenerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        static bool entered = false;
        if (!std::exchange(entered, true)) {
            EnterNamespaces();
        }
        if (!g_skip.empty()) {
            GTEST_SKIP() << g_skip;
        }
        Agent().ClearRequests();
        g_pauses = 0;
        ApplyTakeOverDiskSwitch(true);
        ASSERT_TRUE(WaitUntil([] { return ListenerSockets() == 1; }));
    }
};

// Switched off, arrivals are not handed over; other events never are; a
// bound device's arrival is, once, with the events sent before it handled
// first; the listener is one thread whatever the switch did.
TEST_F(HotPlugListenerTest, OnlyAnArrivalWhileSwitchedOnIsHandedOverByTheOneListener)
{
    Bind("0000:5e:00.0");
    ApplyTakeOverDiskSwitch(false);
    LogCapture log;  // the only sign that an event was seen and ignored
    Send(NvmeAdd("0000:5e:00.0"));
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("get msg,but not parse"); }));
    ApplyTakeOverDiskSwitch(true);
    for (const std::string &msg : {Event("add", "/0000:5e:00.0/nvme/nvme4/nvme4n1", "block"),
                                   Event("remove", "/0000:5e:00.0/nvme/nvme4", "nvme"), std::string(8192, 'A')}) {
        Send(msg);
    }
    Bind("0000:5f:00.0");
    Send(NvmeAdd("0000:5f:00.0"));
    EXPECT_TRUE(WaitUntil([] { return Rebinds("0000:5f:00.0") == 1 && !ScheduleTaskRunning("0000:5f:00.0"); }));
    EXPECT_EQ(Rebinds("0000:5e:00.0"), 0);
    EXPECT_EQ(Agent().RequestCount(), 1u);
    EXPECT_EQ(g_pauses.load(), 0u) << "a bound device is handed over without a pause";
    EXPECT_EQ(ListenerSockets(), 1);
}

TEST_F(HotPlugListenerTest, NeverBoundDeviceIsGivenUpAfter600Checks)
{
    uint64_t before = qxax_get_jiffies();
    Send(NvmeAdd("0000:8d:00.0"));
    EXPECT_TRUE(WaitUntil([] { return g_pauses == HOT_PLUG_NOTIFY_CHECKS; }));
    EXPECT_TRUE(WaitUntil([] { return !ScheduleTaskRunning("0000:8d:00.0"); }));
    EXPECT_EQ(Rebinds("0000:8d:00.0"), 0);
    EXPECT_EQ(g_pauses.load(), HOT_PLUG_NOTIFY_CHECKS);
    // On the host clock: the first delay, then every pause.
    EXPECT_EQ(qxax_get_jiffies() - before, 100 + HOT_PLUG_NOTIFY_CHECKS * HOT_PLUG_NOTIFY_PAUSE_S * 1000ull);
}

}  // namespace
