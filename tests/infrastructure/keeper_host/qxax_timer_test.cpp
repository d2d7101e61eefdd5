// test-labels: concurrent
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxax.h"

namespace {

using Firing = std::pair<std::string, uint64_t>;  // timer name, jiffies when it fired
std::vector<Firing> g_log;

struct Probe {
    const char *name;
    uint64_t periodMs;
    qxax_timer_t timer{};
};

void Record(void *data)
{
    g_log.emplace_back(static_cast<Probe *>(data)->name, qxax_get_jiffies());
}

// Modify moves a pending timer and arms an idle one; timers due together fire
// in arming order.
TEST(ManualTimers, FireInDeadlineOrderThenArmingOrder)
{
    HostClockBind(1000);
    HostTimersManual(true);
    Probe probes[] = {{"A", 300}, {"B", 100}, {"C", 200}, {"D", 100}, {"E", 0}, {"moved", 100}};
    for (Probe &p : probes) {
        ASSERT_EQ(qxax_timer_set_raw(&p.timer, p.periodMs, &p, Record, p.name, "f", 1), 0);
        ASSERT_EQ(qxax_timer_add(&p.timer), 0);
    }
    ASSERT_EQ(qxax_timer_modify(&probes[5].timer, 400), 0);
    EXPECT_EQ(HostTimersAdvance(250), 4u);
    EXPECT_EQ(g_log, std::vector<Firing>({{"E", 1000}, {"B", 1100}, {"D", 1100}, {"C", 1200}}));
    EXPECT_FALSE(qxax_timer_pending(&probes[1].timer));  // one-shot: disarmed after firing
    EXPECT_EQ(HostTimersAdvance(49), 0u);
    EXPECT_EQ(HostTimersAdvance(1), 1u);
    EXPECT_EQ(HostTimersAdvance(100), 1u);
    EXPECT_EQ(g_log.back(), Firing("moved", 1400));
    ASSERT_EQ(qxax_timer_modify(&probes[1].timer, 50), 0);
    EXPECT_EQ(HostTimersAdvance(50), 1u);
    EXPECT_EQ(g_log.back(), Firing("B", 1450));
    HostTimersReset();
    HostTimersManual(false);
    HostClockUnbind();
}

// ---- the real timer thread ------------------------------------------------

struct Live {
    qxax_timer_t timer{};
    int limit = 0;  // re-arms until it has fired this often, then destroys itself
    int sleepMs = 0;
    std::atomic<int> fired{0};
    std::atomic<bool> finished{false};
    std::thread::id thread{};
    std::promise<void> done{};
};

void LiveCallback(void *data)
{
    auto *c = static_cast<Live *>(data);
    int n = ++c->fired;
    c->thread = std::this_thread::get_id();
    std::this_thread::sleep_for(std::chrono::milliseconds(c->sleepMs));
    c->finished = true;
    if (n < c->limit) {
        EXPECT_EQ(qxax_timer_modify(&c->timer, 2), 0);
    } else if (n == c->limit) {
        EXPECT_EQ(qxax_timer_destroy(&c->timer), 0);
        c->done.set_value();
    }
}

void Start(Live *c, uint64_t periodMs)
{
    ASSERT_EQ(qxax_timer_set_raw(&c->timer, periodMs, c, LiveCallback, "live", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&c->timer), 0);
}

TEST(RealTimerThread, FiresOnAHostThreadDestroyWaitsDestoryDisarms)
{
    ASSERT_EQ(qxax_Init() | qxax_Init(), 0);  // the second finds it running: harmless
    Live c{.limit = 5};
    Start(&c, 1);
    // Generous bound only so that a broken timer thread fails instead of hanging.
    ASSERT_EQ(c.done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(c.fired.load(), 5);
    EXPECT_NE(c.thread, std::this_thread::get_id());

    Live slow{.sleepMs = 100};
    Start(&slow, 0);
    while (slow.fired.load() == 0) {
        std::this_thread::yield();
    }
    // Back from destroy, the callback is over: its storage may now be freed.
    EXPECT_TRUE(qxax_timer_destroy(&slow.timer) == 0 && slow.finished.load());

    Live late;
    Start(&late, 3600 * 1000);
    EXPECT_TRUE(qxax_timer_pending(&late.timer));
    qxax_destory();
    EXPECT_EQ(std::pair(qxax_timer_pending(&late.timer), late.fired.load()), std::pair(false, 0));
}

}  // namespace
