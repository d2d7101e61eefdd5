// test-labels: concurrent
//
// The event parser as a table, and the listener against kernel-style events
// in a private network namespace (a root sender may multicast on the uevent
// group there) and a private mount namespace whose /sys is a tmpfs, so the
// NVMe driver directory is the test's own. The task's 100-second pauses go
// through the adapter's sleep, which here moves the host's fake clock and
// returns, or holds the task while a test needs it waiting.
#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"
#include "init/init_takeover.h"
#include "support/log_capture.h"
#include "support/unix_agent_server.h"

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
        {Event("add", ctrl, "nvme"), "0000:3b:00.0"},
        {noFinalNul, "0000:3b:00.0"},
        {Event("add", ctrl + "/nvme2n1", "block"), "none"},
        {Event("remove", ctrl, "nvme"), "none"},
        {Event("added", ctrl, "nvme"), "none"},
        {Event("add", ctrl, "nvme-subsystem"), "none"},
        {Event("add", "/devices/virtual/misc/x", "nvme"), "none"},
        {Event("add", "/nvme/nvme0", "nvme"), "none"},
        // The cut comes before the "/nvme" search: a longer controller path is not recognised.
        {NvmeAdd(std::string(60, 'p') + "/0000:3b:00.0"), "none"},
        {Entries({"DEVPATH=" + ctrl, "SUBSYSTEM=nvme"}), "-"},
        {Entries({"ACTION=add", "SUBSYSTEM=nvme"}), "-"},
        {Entries({"ACTION=add", "DEVPATH=" + ctrl}), "-"},
        {"ACTION=add\0DEVPATH=/a/b/nvme/n\0SUBSYSTEM="s, "-"},  // a key must be followed by a byte
        {"ACTION=ad", "-"},
    };
    for (const auto &[msg, pci] : cases) {
        HotPlugEvent ev = {};
        EXPECT_EQ(PciOf(msg, &ev), pci) << msg;
    }
    for (size_t len : {78u, 79u, 80u, 200u}) {
        std::string v(len, 'v');
        HotPlugEvent ev = {};
        EXPECT_EQ(PciOf(Entries({"ACTION=" + v, "DEVPATH=" + v, "SUBSYSTEM=" + v}), &ev), "none");
        for (const char *field : {ev.action, ev.devPath, ev.subsystem}) {
            EXPECT_EQ(field, v.substr(0, 79)) << len;  // fields are cut at 79 characters
        }
    }
}

constexpr const char *kDriverDir = "/sys/bus/pci/drivers/nvme";
constexpr uint64_t kPauseMs = HOT_PLUG_NOTIFY_PAUSE_S * 1000ull;

struct Host {
    std::mutex mu;
    std::condition_variable cv;
    uint32_t pauses = 0;       // 100-second pauses taken by notification tasks
    uint32_t bindOnPause = 0;  // the driver binds `pci` during this pause (0: never)
    std::string pci;
    bool hold = false;  // pauses wait until cleared
    std::string skip = "namespace set-up failed";
    UnixAgentServer *agent = nullptr;
} g_host;

void Bind(const std::string &pci) { ASSERT_EQ(mkdir((std::string(kDriverDir) + "/" + pci).c_str(), 0755), 0); }

void GateSleep(KeeperTime t)
{
    timespec ts = ConvertKeeperTime2Timespec(t);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    HostClockAdvance(ms);
    if (ms < kPauseMs) {
        return;  // the task's first delay
    }
    std::unique_lock<std::mutex> lock(g_host.mu);
    if (++g_host.pauses == g_host.bindOnPause) {
        Bind(g_host.pci);
    }
    g_host.cv.notify_all();
    g_host.cv.wait(lock, [] { return !g_host.hold; });
}

// Arms the pauses: the driver binds `pci` during pause `bindOnPause`; `hold` keeps each pause waiting.
void Gate(uint32_t bindOnPause, bool hold, const std::string &pci = "")
{
    std::lock_guard<std::mutex> lock(g_host.mu);
    g_host.pauses = 0;
    g_host.bindOnPause = bindOnPause;
    g_host.pci = pci;
    g_host.hold = hold;
}

uint32_t Pauses()
{
    std::lock_guard<std::mutex> lock(g_host.mu);
    return g_host.pauses;
}

void Release()
{
    std::lock_guard<std::mutex> lock(g_host.mu);
    g_host.hold = false;
    g_host.cv.notify_all();
}

// Before the first thread of the process exists: a process that shares its
// file-system state with other threads cannot enter a mount namespace.
void EnterNamespaces()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys", "tmpfs", 0, "mode=0755") != 0) {
        g_host.skip = std::string("needs root for private namespaces: ") + strerror(errno);
        return;
    }
    for (const char *dir : {"/sys/bus", "/sys/bus/pci", "/sys/bus/pci/drivers", kDriverDir}) {
        ASSERT_EQ(mkdir(dir, 0755), 0) << dir;
    }
    ASSERT_EQ(KeeperInfraLiteInstall(), 0);
    KeeperOsOps ops = KeeperInfraLiteOps();
    ops.sleep = GateSleep;
    KeeperOsInstall(ops);
    KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    HostClockBind(0);
    ASSERT_EQ(InitScheduleTask(), 0);
    ASSERT_EQ(InitHotPlugListener(), 0);
    ASSERT_EQ(InitHotPlugListener(), 114);
    g_host.agent = new UnixAgentServer();
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_SPDK, g_host.agent->Path().c_str()), 0);
    g_host.skip.clear();
}

bool WaitUntil(const std::function<bool()> &done)
{
    for (int i = 0; i < 1000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
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

class HotPlugListenerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        static bool entered = false;
        if (!std::exchange(entered, true)) {
            EnterNamespaces();
        }
        if (!g_host.skip.empty()) {
            GTEST_SKIP() << g_host.skip;
        }
        g_host.agent->ClearRequests();
        Gate(0, false);
        ApplyTakeOverDiskSwitch(true);
        ASSERT_TRUE(WaitUntil([] { return ListenerSockets() == 1; }));
    }

    // Every test waits for its tasks, so nothing posts to the agent any more.
    static void TearDownTestSuite()
    {
        delete g_host.agent;
        g_host.agent = nullptr;
    }

    static void Send(const std::string &msg)
    {
        int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl to = {AF_NETLINK, 0, 0, 1};
        EXPECT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)),
                  static_cast<ssize_t>(msg.size()));
        close(fd);
    }

    static int Rebinds(const std::string &pci)
    {
        int n = 0;
        for (const std::string &r : g_host.agent->Requests()) {
            n += r.find("\"method\":\"dca_rebind_nvme2uio\"") != std::string::npos &&
                 r.find("\"params\":{\"pci_address\":\"" + pci + "\"}") != std::string::npos;
        }
        return n;
    }

    // Sends the arrival of a bound device and waits for its hand-over: events
    // are handled in order, so every event sent before it was handled too.
    static void Flush(const std::string &pci)
    {
        Bind(pci);
        Send(NvmeAdd(pci));
        EXPECT_TRUE(WaitUntil([&] { return Rebinds(pci) == 1 && !ScheduleTaskRunning(pci.c_str()); }));
    }
};

// The second arrival comes while the first task waits in its first pause
// (its task exists: refused); the driver binds the device during the third.
TEST_F(HotPlugListenerTest, ArrivalIsHandedOverOnceWhenTheDriverHasBoundIt)
{
    Gate(3, true, "0000:3b:00.0");
    Send(NvmeAdd("0000:3b:00.0"));
    {
        std::unique_lock<std::mutex> lock(g_host.mu);
        ASSERT_TRUE(g_host.cv.wait_for(lock, std::chrono::seconds(5), [] { return g_host.pauses == 1; }));
    }
    Send(NvmeAdd("0000:3b:00.0"));
    Flush("0000:3c:00.0");
    Release();
    EXPECT_TRUE(WaitUntil([] { return !ScheduleTaskRunning("0000:3b:00.0"); }));
    EXPECT_EQ(Rebinds("0000:3b:00.0"), 1);
    EXPECT_EQ(g_host.agent->RequestCount(), 2u);
    EXPECT_EQ(Pauses(), 3u) << "checked before the driver bound it, or not again after";
}

// Switched off, arrivals are not handed over; other events never are; the
// listener is one thread whatever the switch did.
TEST_F(HotPlugListenerTest, SwitchedOffAndOtherEventsAreIgnoredByTheOneListener)
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
    Flush("0000:5f:00.0");
    EXPECT_EQ(Rebinds("0000:5e:00.0"), 0);
    EXPECT_EQ(ListenerSockets(), 1);
}

TEST_F(HotPlugListenerTest, NeverBoundDeviceIsGivenUpAfter600Checks)
{
    uint64_t before = qxax_get_jiffies();
    Send(NvmeAdd("0000:8d:00.0"));
    EXPECT_TRUE(WaitUntil([] { return Pauses() == HOT_PLUG_NOTIFY_CHECKS; }));
    EXPECT_TRUE(WaitUntil([] { return !ScheduleTaskRunning("0000:8d:00.0"); }));
    EXPECT_EQ(Rebinds("0000:8d:00.0"), 0);
    EXPECT_EQ(Pauses(), HOT_PLUG_NOTIFY_CHECKS);
    EXPECT_EQ(qxax_get_jiffies() - before, 100 + HOT_PLUG_NOTIFY_CHECKS * kPauseMs);  // on the host clock
}

}  // namespace
