// test-labels: concurrent
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
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

struct Probe {
    qxax_timer_t timer{};
    std::string name;
    std::vector<Firing> *log = nullptr;
    uint64_t rearmMs = 0;  // re-arm from the callback with this period
    int rearmTimes = 0;    // ... this many times
    qxax_timer_t *victim = nullptr;  // destroyed from the callback
    bool freeSelf = false;           // deleted from the callback, after the destroy
};

void Record(void *data)
{
    auto *p = static_cast<Probe *>(data);
    p->log->emplace_back(p->name, qxax_get_jiffies());
    if (p->victim != nullptr) {
        EXPECT_EQ(qxax_timer_destroy(p->victim), 0);
    }
    if (p->freeSelf) {
        delete p;  // the host must not touch the storage after this
    } else if (p->rearmTimes > 0) {
        --p->rearmTimes;
        EXPECT_EQ(qxax_timer_modify(&p->timer, p->rearmMs), 0);
    }
}

class ManualTimers : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostClockBind(1000);
        HostTimersManual(true);
    }
    void TearDown() override
    {
        HostTimersReset();
        HostTimersManual(false);
        HostClockUnbind();
    }
    void Arm(Probe *p, const char *name, uint64_t periodMs)
    {
        p->name = name;
        p->log = &log_;
        ASSERT_EQ(qxax_timer_set_raw(&p->timer, periodMs, p, Record, name, __FILE__, __LINE__), 0);
        ASSERT_EQ(qxax_timer_add(&p->timer), 0);
    }
    std::vector<Firing> log_;
};

// Modify moves a pending timer and arms an idle one.
TEST_F(ManualTimers, FireInDeadlineOrderThenArmingOrder)
{
    Probe probes[6];
    const std::pair<const char *, uint64_t> rows[] = {
        {"A", 300}, {"B", 100}, {"C", 200}, {"D", 100}, {"E", 0}, {"moved", 100}};
    for (size_t i = 0; i < 6; ++i) {
        Arm(&probes[i], rows[i].first, rows[i].second);
    }
    ASSERT_EQ(qxax_timer_modify(&probes[5].timer, 400), 0);
    EXPECT_EQ(HostTimersAdvance(250), 4u);
    EXPECT_EQ(log_, std::vector<Firing>({{"E", 1000}, {"B", 1100}, {"D", 1100}, {"C", 1200}}));
    EXPECT_EQ(qxax_get_jiffies(), 1250u);
    EXPECT_FALSE(qxax_timer_pending(&probes[1].timer));  // one-shot: disarmed after firing
    EXPECT_EQ(HostTimersAdvance(49), 0u);
    EXPECT_EQ(HostTimersAdvance(1), 1u);
    EXPECT_EQ(log_.back(), Firing("A", 1300));
    EXPECT_EQ(HostTimersAdvance(100), 1u);
    EXPECT_EQ(log_.back(), Firing("moved", 1400));
    EXPECT_EQ(HostTimersArmedCount(), 0u);
    ASSERT_EQ(qxax_timer_modify(&probes[1].timer, 50), 0);
    EXPECT_EQ(HostTimersAdvance(50), 1u);
    EXPECT_EQ(log_.back(), Firing("B", 1450));
}

// A callback may re-arm itself (a zero period is bounded per advance), destroy
// and free its own timer, or destroy another one.
TEST_F(ManualTimers, CallbacksRearmOrDestroyTimers)
{
    Probe p;
    p.rearmMs = 100;
    p.rearmTimes = 1000;
    Arm(&p, "tick", 100);
    EXPECT_EQ(HostTimersAdvance(1000), 10u);
    for (size_t i = 0; i < log_.size(); ++i) {
        EXPECT_EQ(log_[i].second, 1100 + 100 * i);
    }
    EXPECT_EQ(qxax_timer_destroy(&p.timer), 0);
    Probe spin;
    spin.rearmTimes = 1 << 30;
    Arm(&spin, "spin", 0);
    EXPECT_EQ(HostTimersAdvance(1), HOST_TIMERS_MAX_FIRES);
    EXPECT_EQ(qxax_timer_destroy(&spin.timer), 0);

    for (uint64_t period : {10, 20, 30}) {
        auto *self = new Probe;
        self->victim = &self->timer;
        self->freeSelf = true;
        Arm(self, "once", period);
    }
    Probe killer;
    Probe victim;
    killer.victim = &victim.timer;
    const uint64_t armedAt = qxax_get_jiffies();
    Arm(&killer, "killer", 40);
    Arm(&victim, "victim", 50);
    log_.clear();
    EXPECT_EQ(HostTimersAdvance(100), 4u);
    EXPECT_EQ(log_.back(), Firing("killer", armedAt + 40));
    EXPECT_EQ(HostTimersArmedCount(), 0u);
    EXPECT_EQ(qxax_timer_destroy(&victim.timer), -EINVAL);  // already destroyed
}

TEST_F(ManualTimers, MisuseGivesErrorCodes)
{
    Probe p;
    qxax_timer_t zeroed{};
    EXPECT_EQ(qxax_timer_set_raw(nullptr, 1, &p, Record, "x", "f", 1), -EINVAL);
    EXPECT_EQ(qxax_timer_set_raw(&p.timer, 1, &p, nullptr, "x", "f", 1), -EINVAL);
    EXPECT_EQ(qxax_timer_add(&zeroed), -EINVAL);
    EXPECT_EQ(qxax_timer_add(nullptr), -EINVAL);
    EXPECT_EQ(qxax_timer_modify(&zeroed, 5), -EINVAL);
    EXPECT_EQ(qxax_timer_destroy(&zeroed), -EINVAL);
    Arm(&p, "p", 10);
    EXPECT_EQ(qxax_timer_add(&p.timer), -EBUSY);
    EXPECT_EQ(qxax_timer_set_raw(&p.timer, 10, &p, Record, "p", "f", 1), -EBUSY);
    EXPECT_EQ(qxax_timer_destroy(&p.timer), 0);
    EXPECT_EQ(qxax_timer_destroy(&p.timer), -EINVAL);
    EXPECT_EQ(qxax_timer_modify(&p.timer, 5), -EINVAL);
    EXPECT_EQ(HostTimersAdvance(100), 0u);  // a destroyed timer never fires
}

// ---- the real timer thread ------------------------------------------------

struct Live {
    qxax_timer_t timer{};
    int limit = 0;  // re-arms until it has fired this often, then destroys itself
    int sleepMs = 0;
    std::atomic<int> fired{0};
    std::atomic<bool> finished{false};
    std::thread::id thread;
    std::promise<void> done;
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

TEST(RealTimerThread, FiresOnAHostThreadDestroyWaitsDestoryDisarms)
{
    ASSERT_EQ(qxax_Init(), 0);
    EXPECT_EQ(qxax_Init(), 0);  // already running: harmless
    Live c;
    c.limit = 5;
    ASSERT_EQ(qxax_timer_set_raw(&c.timer, 1, &c, LiveCallback, "count", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&c.timer), 0);
    // Generous bound only so that a broken timer thread fails instead of hanging.
    ASSERT_EQ(c.done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(c.fired.load(), 5);
    EXPECT_NE(c.thread, std::this_thread::get_id());

    Live slow;
    slow.sleepMs = 100;
    ASSERT_EQ(qxax_timer_set_raw(&slow.timer, 0, &slow, LiveCallback, "slow", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&slow.timer), 0);
    while (slow.fired.load() == 0) {
        std::this_thread::yield();
    }
    ASSERT_EQ(qxax_timer_destroy(&slow.timer), 0);
    EXPECT_TRUE(slow.finished.load());  // storage may now be freed safely

    Live late;
    ASSERT_EQ(qxax_timer_set_raw(&late.timer, 3600 * 1000, &late, LiveCallback, "late", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&late.timer), 0);
    EXPECT_TRUE(qxax_timer_pending(&late.timer));
    qxax_destory();
    EXPECT_FALSE(qxax_timer_pending(&late.timer));
    EXPECT_EQ(late.fired.load(), 0);
}

}  // namespace
