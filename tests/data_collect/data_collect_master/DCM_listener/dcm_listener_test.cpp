// test-labels: concurrent
//
// The listener against kernel-style events in a private network namespace
// (a root sender may multicast on the uevent group there) and a private mount
// namespace with a tmpfs over /sys, so that the NVMe driver directory is the
// test's own. The 100-second pauses of the notification task go through the
// adapter's sleep, which here moves the host's fake clock and returns, or
// holds the task while a test needs it waiting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_task_scheduler/schedule_task.h"
#include "init/init_takeover.h"
#include "support/log_capture.h"
#include "support/unix_agent_server.h"

namespace {

constexpr const char *kDriverDir = "/sys/bus/pci/drivers/nvme";
constexpr uint64_t kPauseMs = HOT_PLUG_NOTIFY_PAUSE_S * 1000ull;

// The notification task's pauses: counted, optionally held, and the driver
// entry of `pci` appears on pause number `bindOnPause` (0: never).
struct PauseGate {
    std::mutex mu;
    std::condition_variable cv;
    uint32_t pauses = 0;
    uint32_t bindOnPause = 0;
    std::string pci;
    bool hold = false;
};
PauseGate g_gate;

void BindDriver(const std::string &pci) { ASSERT_EQ(mkdir((std::string(kDriverDir) + "/" + pci).c_str(), 0755), 0); }

void GateSleep(KeeperTime t)
{
    timespec ts = ConvertKeeperTime2Timespec(t);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    HostClockAdvance(ms);
    if (ms < kPauseMs) {
        return;  // the task's first delay
    }
    std::unique_lock<std::mutex> lock(g_gate.mu);
    if (++g_gate.pauses == g_gate.bindOnPause) {
        BindDriver(g_gate.pci);
    }
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return !g_gate.hold; });
}

bool WaitUntil(const std::function<bool()> &done)
{
    for (int i = 0; i < 1000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

struct Namespace {
    bool ready = false;
    std::string why;
    UnixAgentServer *agent = nullptr;  // lives as long as the process
    bool listenerStarted = false;
};
Namespace g_ns;

// Runs before the first thread of the test process exists: a mount
// namespace cannot be entered by a process that shares its file-system state.
void EnterNamespaces()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        g_ns.why = std::string("unshare: ") + strerror(errno) + " (needs root)";
        return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys", "tmpfs", 0, "mode=0755") != 0) {
        g_ns.why = std::string("mount: ") + strerror(errno);
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
    g_ns.agent = new UnixAgentServer();
    ASSERT_EQ(DcmWellKnownAgentSetSockFile(DCM_AGENT_SPDK, g_ns.agent->Path().c_str()), 0);
    g_ns.ready = true;
}

class HotPlugListenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool entered = false;
        if (!entered) {
            entered = true;
            EnterNamespaces();
        }
        if (!g_ns.ready) {
            GTEST_SKIP() << g_ns.why;
        }
        std::lock_guard<std::mutex> lock(g_gate.mu);
        g_gate.pauses = 0;
        g_gate.bindOnPause = 0;
        g_gate.hold = false;
        g_ns.agent->ClearRequests();
    }

    // Switches take-over on and waits until the listener's socket is bound.
    void SwitchOn()
    {
        ApplyTakeOverDiskSwitch(true);
        g_ns.listenerStarted = true;
        ASSERT_TRUE(WaitUntil(ListenerBound)) << log_.Dump();
    }

    // A socket subscribed to uevent groups: only the listener has one in
    // this network namespace.
    static bool ListenerBound()
    {
        std::ifstream in("/proc/net/netlink");
        std::string line;
        std::getline(in, line);
        std::string sk, groups;
        unsigned proto = 0;
        unsigned long pid = 0;
        while (in >> sk >> proto >> pid >> groups && std::getline(in, line)) {
            if (proto == NETLINK_KOBJECT_UEVENT && pid != 0 && groups != "00000000") {
                return true;
            }
        }
        return false;
    }

    // NUL-terminated entries, the first being the kernel's "action@path" header.
    static std::string Entries(std::initializer_list<std::string> entries)
    {
        std::string msg;
        for (const std::string &e : entries) {
            msg += e;
            msg.push_back('\0');
        }
        return msg;
    }

    static std::string Event(const std::string &action, const std::string &path, const std::string &subsystem)
    {
        return Entries({action + "@" + path, "ACTION=" + action, "DEVPATH=" + path, "SUBSYSTEM=" + subsystem,
                        "SEQNUM=1"});
    }

    static std::string NvmeAdd(const std::string &pci)
    {
        return Event("add", "/devices/pci0000:00/0000:00:01.0/" + pci + "/nvme/nvme3", "nvme");
    }

    // Multicasts `msg` on the uevent group, as the kernel does.
    static void Send(const std::string &msg)
    {
        int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        ASSERT_GE(fd, 0);
        sockaddr_nl to = {};
        to.nl_family = AF_NETLINK;
        to.nl_groups = 1;
        EXPECT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)),
                  static_cast<ssize_t>(msg.size()));
        close(fd);
    }

    // Rebind requests the agent received for `pci`.
    static int Rebinds(const std::string &pci)
    {
        int n = 0;
        for (const std::string &r : g_ns.agent->Requests()) {
            n += r.find("\"method\":\"dca_rebind_nvme2uio\"") != std::string::npos &&
                 r.find("\"params\":{\"pci_address\":\"" + pci + "\"}") != std::string::npos;
        }
        return n;
    }

    // Waits until the accepted arrival of `pci` has run its task to the end.
    void WaitTaskEnded(const std::string &pci)
    {
        EXPECT_TRUE(WaitUntil([&] { return log_.Contains("create task to rebind pci " + pci); })) << log_.Dump();
        EXPECT_TRUE(WaitUntil([&] { return !ScheduleTaskRunning(pci.c_str()); }));
    }

    LogCapture log_;
};

TEST_F(HotPlugListenerTest, NvmeAddIsHandedToTheAgentOnceTheDriverHasBoundIt)
{
    SwitchOn();
    {
        std::lock_guard<std::mutex> lock(g_gate.mu);
        g_gate.pci = "0000:3b:00.0";
        g_gate.bindOnPause = 3;
    }
    Send(NvmeAdd("0000:3b:00.0"));
    WaitTaskEnded("0000:3b:00.0");
    EXPECT_EQ(Rebinds("0000:3b:00.0"), 1);
    EXPECT_EQ(g_ns.agent->RequestCount(), 1u);
    std::lock_guard<std::mutex> lock(g_gate.mu);
    EXPECT_EQ(g_gate.pauses, 3u) << "checked before the driver bound it, or not again after";
}

// The kernel delivers events in order, so once the last (accepted) one has
// been handled every earlier one was handled too.
TEST_F(HotPlugListenerTest, OtherEventsAreIgnored)
{
    SwitchOn();
    BindDriver("0000:5e:00.0");
    BindDriver("0000:5f:00.0");
    std::string ctrl = "/devices/pci0000:00/0000:00:01.0/0000:5e:00.0/nvme/nvme4";
    const std::string ignored[] = {
        Event("add", ctrl + "/nvme4n1", "block"),
        Event("remove", ctrl, "nvme"),
        std::string("ACTION=ad"),
        Entries({"add@" + ctrl, "ACTION=add", "SUBSYSTEM=nvme"}),
        std::string(8192, 'A'),
    };
    for (const std::string &msg : ignored) {
        Send(msg);
    }
    Send(NvmeAdd("0000:5f:00.0"));
    WaitTaskEnded("0000:5f:00.0");
    EXPECT_EQ(log_.Count("find nvme add msg"), 1) << log_.Dump();
    EXPECT_EQ(Rebinds("0000:5e:00.0"), 0);
    EXPECT_EQ(Rebinds("0000:5f:00.0"), 1);
}

TEST_F(HotPlugListenerTest, SwitchedOffEventsAreDroppedAndStartStopStartKeepsOneThread)
{
    bool hadThread = g_ns.listenerStarted;
    SwitchOn();
    if (!hadThread) {
        // The first receive has no socket yet; its error path opens one.
        EXPECT_TRUE(log_.Contains("recvmsg error: 9 - Bad file descriptor", KEEPER_LOG_ERROR));
        EXPECT_TRUE(log_.Contains("close sockopt error: 9", KEEPER_LOG_ERROR));
    }
    BindDriver("0000:6a:00.0");
    BindDriver("0000:6b:00.0");
    ApplyTakeOverDiskSwitch(false);
    Send(NvmeAdd("0000:6a:00.0"));
    EXPECT_TRUE(WaitUntil([&] { return log_.Contains(" HotPlugSocketListerHandler get msg,but not parse"); }));
    ApplyTakeOverDiskSwitch(true);
    Send(NvmeAdd("0000:6b:00.0"));
    WaitTaskEnded("0000:6b:00.0");
    // A second listener thread would handle the event a second time.
    EXPECT_EQ(log_.Count("find nvme add msg"), 1) << log_.Dump();
    EXPECT_EQ(log_.Count(" HotPlugSocketListerHandler thread start"), hadThread ? 0 : 1);
    EXPECT_EQ(Rebinds("0000:6a:00.0"), 0);
    EXPECT_EQ(Rebinds("0000:6b:00.0"), 1);
}

TEST_F(HotPlugListenerTest, SecondArrivalWithinTheWaitGivesOneNotification)
{
    SwitchOn();
    {
        std::lock_guard<std::mutex> lock(g_gate.mu);
        g_gate.hold = true;
    }
    Send(NvmeAdd("0000:7c:00.0"));
    {
        std::unique_lock<std::mutex> lock(g_gate.mu);
        ASSERT_TRUE(g_gate.cv.wait_for(lock, std::chrono::seconds(5), [] { return g_gate.pauses == 1; }));
    }
    Send(NvmeAdd("0000:7c:00.0"));
    EXPECT_TRUE(WaitUntil([&] { return log_.Contains("create task fail,ret = 114"); })) << log_.Dump();
    BindDriver("0000:7c:00.0");
    {
        std::lock_guard<std::mutex> lock(g_gate.mu);
        g_gate.hold = false;
    }
    g_gate.cv.notify_all();
    WaitTaskEnded("0000:7c:00.0");
    EXPECT_EQ(Rebinds("0000:7c:00.0"), 1);
}

TEST_F(HotPlugListenerTest, NeverBoundDeviceIsGivenUpAfter600Checks)
{
    SwitchOn();
    uint64_t before = qxax_get_jiffies();
    Send(NvmeAdd("0000:8d:00.0"));
    WaitTaskEnded("0000:8d:00.0");
    EXPECT_EQ(log_.Count("Failed to detect nvme device,pci=0000:8d:00.0", KEEPER_LOG_ERROR), 1);
    EXPECT_EQ(Rebinds("0000:8d:00.0"), 0);
    std::lock_guard<std::mutex> lock(g_gate.mu);
    EXPECT_EQ(g_gate.pauses, HOT_PLUG_NOTIFY_CHECKS);
    // 100 ms first delay, then 600 pauses of 100 s on the host clock.
    EXPECT_EQ(qxax_get_jiffies() - before, 100 + HOT_PLUG_NOTIFY_CHECKS * kPauseMs);
}

}  // namespace
