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
};

void Record(void *data)
{
    auto *p = static_cast<Probe *>(data);
    p->log->emplace_back(p->name, qxax_get_jiffies());
    if (p->victim != nullptr) {
        EXPECT_EQ(qxax_timer_destroy(p->victim), 0);
    }
    if (p->rearmTimes > 0) {
        --p->rearmTimes;
        EXPECT_EQ(qxax_timer_modify(&p->timer, p->rearmMs), 0);
    }
}

void Arm(Probe *p, const char *name, uint64_t periodMs, std::vector<Firing> *log)
{
    p->name = name;
    p->log = log;
    ASSERT_EQ(qxax_timer_set_raw(&p->timer, periodMs, p, Record, name, __FILE__, __LINE__), 0);
    ASSERT_EQ(qxax_timer_add(&p->timer), 0);
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
    std::vector<Firing> log_;
};

TEST_F(ManualTimers, FireInDeadlineOrderThenArmingOrder)
{
    struct Row {
        const char *name;
        uint64_t period;
    } rows[] = {{"A", 300}, {"B", 100}, {"C", 200}, {"D", 100}, {"E", 0}};
    Probe probes[5];
    for (size_t i = 0; i < 5; ++i) {
        Arm(&probes[i], rows[i].name, rows[i].period, &log_);
    }
    EXPECT_EQ(HostTimersArmedCount(), 5u);
    EXPECT_EQ(HostTimersAdvance(250), 4u);
    std::vector<Firing> want = {{"E", 1000}, {"B", 1100}, {"D", 1100}, {"C", 1200}};
    EXPECT_EQ(log_, want);
    EXPECT_EQ(qxax_get_jiffies(), 1250u);
    EXPECT_TRUE(qxax_timer_pending(&probes[0].timer));
    EXPECT_FALSE(qxax_timer_pending(&probes[1].timer));  // one-shot: disarmed after firing

    EXPECT_EQ(HostTimersAdvance(49), 0u);
    EXPECT_EQ(HostTimersAdvance(1), 1u);
    EXPECT_EQ(log_.back(), Firing("A", 1300));
    EXPECT_EQ(HostTimersArmedCount(), 0u);
}

TEST_F(ManualTimers, CallbackRearmsItselfWithModify)
{
    Probe p;
    p.rearmMs = 100;
    p.rearmTimes = 1000;
    Arm(&p, "tick", 100, &log_);
    EXPECT_EQ(HostTimersAdvance(1000), 10u);
    ASSERT_EQ(log_.size(), 10u);
    for (size_t i = 0; i < log_.size(); ++i) {
        EXPECT_EQ(log_[i].second, 1100 + 100 * i);
    }
    EXPECT_TRUE(qxax_timer_pending(&p.timer));
    EXPECT_EQ(qxax_timer_destroy(&p.timer), 0);
    EXPECT_EQ(HostTimersAdvance(1000), 0u);
}

struct SelfFreeing {
    qxax_timer_t timer{};
    int *fired = nullptr;
};

void DestroyAndFree(void *data)
{
    auto *s = static_cast<SelfFreeing *>(data);
    ++*s->fired;
    EXPECT_EQ(qxax_timer_destroy(&s->timer), 0);
    delete s;  // the host must not touch the storage after this
}

TEST_F(ManualTimers, CallbackDestroysAndFreesItsOwnTimer)
{
    int fired = 0;
    for (int i = 0; i < 3; ++i) {
        auto *s = new SelfFreeing;
        s->fired = &fired;
        ASSERT_EQ(qxax_timer_set_raw(&s->timer, 10 * (i + 1), s, DestroyAndFree, "once", "f", 1),
                  0);
        ASSERT_EQ(qxax_timer_add(&s->timer), 0);
    }
    EXPECT_EQ(HostTimersAdvance(100), 3u);
    EXPECT_EQ(fired, 3);
    EXPECT_EQ(HostTimersArmedCount(), 0u);
}

TEST_F(ManualTimers, CallbackDestroysAnotherPendingTimer)
{
    Probe killer;
    Probe victim;
    killer.victim = &victim.timer;
    Arm(&killer, "killer", 10, &log_);
    Arm(&victim, "victim", 20, &log_);
    EXPECT_EQ(HostTimersAdvance(100), 1u);
    EXPECT_EQ(log_, std::vector<Firing>({{"killer", 1010}}));
    EXPECT_EQ(qxax_timer_destroy(&victim.timer), -EINVAL);  // already destroyed
}

TEST_F(ManualTimers, ModifyMovesAPendingTimerAndArmsAnIdleOne)
{
    Probe moved;
    Arm(&moved, "moved", 100, &log_);
    ASSERT_EQ(qxax_timer_modify(&moved.timer, 500), 0);
    EXPECT_EQ(HostTimersAdvance(200), 0u);
    EXPECT_EQ(HostTimersAdvance(300), 1u);
    EXPECT_EQ(log_.back(), Firing("moved", 1500));

    Probe idle;
    idle.name = "idle";
    idle.log = &log_;
    ASSERT_EQ(qxax_timer_set_raw(&idle.timer, 999, &idle, Record, "idle", "f", 1), 0);
    EXPECT_FALSE(qxax_timer_pending(&idle.timer));
    ASSERT_EQ(qxax_timer_modify(&idle.timer, 50), 0);
    EXPECT_EQ(HostTimersAdvance(50), 1u);
    EXPECT_EQ(log_.back(), Firing("idle", 1550));
}

TEST_F(ManualTimers, MisuseGivesErrorCodes)
{
    Probe p;
    p.name = "p";
    p.log = &log_;
    qxax_timer_t zeroed{};
    EXPECT_EQ(qxax_timer_set_raw(nullptr, 1, &p, Record, "x", "f", 1), -EINVAL);
    EXPECT_EQ(qxax_timer_set_raw(&p.timer, 1, &p, nullptr, "x", "f", 1), -EINVAL);
    EXPECT_EQ(qxax_timer_add(&zeroed), -EINVAL);
    EXPECT_EQ(qxax_timer_add(nullptr), -EINVAL);
    EXPECT_EQ(qxax_timer_modify(&zeroed, 5), -EINVAL);
    EXPECT_EQ(qxax_timer_destroy(&zeroed), -EINVAL);

    ASSERT_EQ(qxax_timer_set_raw(&p.timer, 10, &p, Record, "p", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&p.timer), 0);
    EXPECT_EQ(qxax_timer_add(&p.timer), -EBUSY);
    EXPECT_EQ(qxax_timer_set_raw(&p.timer, 10, &p, Record, "p", "f", 1), -EBUSY);
    EXPECT_EQ(qxax_timer_destroy(&p.timer), 0);
    EXPECT_EQ(qxax_timer_destroy(&p.timer), -EINVAL);
    EXPECT_EQ(qxax_timer_modify(&p.timer, 5), -EINVAL);
    EXPECT_EQ(HostTimersAdvance(100), 0u);  // a destroyed timer never fires
    EXPECT_TRUE(log_.empty());
}

TEST_F(ManualTimers, ZeroPeriodSelfRearmIsBoundedPerAdvance)
{
    Probe p;
    p.rearmMs = 0;
    p.rearmTimes = 1 << 30;
    Arm(&p, "spin", 0, &log_);
    EXPECT_EQ(HostTimersAdvance(1), HOST_TIMERS_MAX_FIRES);
    EXPECT_EQ(qxax_timer_destroy(&p.timer), 0);
}

TEST(HostTimers, AdvanceDoesNothingOutsideManualMode)
{
    EXPECT_EQ(HostTimersAdvance(1000), 0u);
}

// ---- the real timer thread ------------------------------------------------

struct Counting {
    qxax_timer_t timer{};
    std::atomic<int> fired{0};
    int limit = 0;
    std::thread::id firstThread;
    std::atomic<bool> sameThread{true};
    std::promise<void> done;
};

void CountAndRearm(void *data)
{
    auto *c = static_cast<Counting *>(data);
    int n = ++c->fired;
    if (n == 1) {
        c->firstThread = std::this_thread::get_id();
    } else if (c->firstThread != std::this_thread::get_id()) {
        c->sameThread = false;
    }
    if (n < c->limit) {
        EXPECT_EQ(qxax_timer_modify(&c->timer, 2), 0);
        return;
    }
    EXPECT_EQ(qxax_timer_destroy(&c->timer), 0);
    c->done.set_value();
}

TEST(RealTimerThread, FiresOnOneHostThreadAndRearmsFromTheCallback)
{
    ASSERT_EQ(qxax_Init(), 0);
    Counting c;
    c.limit = 5;
    ASSERT_EQ(qxax_timer_set_raw(&c.timer, 1, &c, CountAndRearm, "count", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&c.timer), 0);
    // Generous bound only so that a broken timer thread fails instead of hanging.
    ASSERT_EQ(c.done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(c.fired.load(), 5);
    EXPECT_TRUE(c.sameThread.load());
    EXPECT_NE(c.firstThread, std::this_thread::get_id());
    qxax_destory();
}

struct Slow {
    qxax_timer_t timer{};
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};

void SlowCallback(void *data)
{
    auto *s = static_cast<Slow *>(data);
    s->started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s->finished = true;
}

TEST(RealTimerThread, DestroyWaitsForARunningCallback)
{
    ASSERT_EQ(qxax_Init(), 0);
    Slow s;
    ASSERT_EQ(qxax_timer_set_raw(&s.timer, 0, &s, SlowCallback, "slow", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&s.timer), 0);
    while (!s.started) {
        std::this_thread::yield();
    }
    ASSERT_EQ(qxax_timer_destroy(&s.timer), 0);
    EXPECT_TRUE(s.finished.load());  // storage may now be freed safely
    qxax_destory();
}

TEST(RealTimerThread, DestoryDisarmsWhatIsLeft)
{
    ASSERT_EQ(qxax_Init(), 0);
    EXPECT_EQ(qxax_Init(), 0);  // already running: harmless
    Slow s;
    ASSERT_EQ(qxax_timer_set_raw(&s.timer, 3600 * 1000, &s, SlowCallback, "late", "f", 1), 0);
    ASSERT_EQ(qxax_timer_add(&s.timer), 0);
    EXPECT_TRUE(qxax_timer_pending(&s.timer));
    qxax_destory();
    EXPECT_FALSE(qxax_timer_pending(&s.timer));
    EXPECT_FALSE(s.started.load());
}

}  // namespace
