// test-labels: concurrent
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework/drm_task_scheduler/drm_framework.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "support/log_capture.h"

namespace {

using drmtest::DrmFrameworkFixture;
using drmtest::RunWorkers;

constexpr uint32_t kFeature = 0;  // the first row: loops must start there

struct Run {
    uint32_t slot, keyHigh, key;
    uint64_t tick;
};
std::vector<Run> g_runs;
int g_retriggers = 0;  // triggers the next slot-1 run issues while it runs

void Slot0(uint32_t keyHigh, uint32_t key)
{
    g_runs.push_back({0, keyHigh, key, DrmTaskSchedulerTickCount()});
}

void Slot1(uint32_t key)
{
    g_runs.push_back({1, 0, key, DrmTaskSchedulerTickCount()});
    for (; g_retriggers > 0; --g_retriggers) {
        EXPECT_EQ(DrmTriggerAnalyser1(kFeature, DRM_EVENT_TRIGGER_KEY), 0);
    }
}

std::vector<uint64_t> TicksOf(uint32_t slot, uint64_t base)
{
    std::vector<uint64_t> out;
    for (const auto &r : g_runs) {
        if (r.slot == slot) out.push_back(r.tick - base);
    }
    return out;
}

class DrmSchedTest : public DrmFrameworkFixture {
protected:
    void SetUp() override
    {
        DrmFrameworkFixture::SetUp();
        g_runs.clear();
        g_retriggers = 0;
    }

    // Ticks until the counter is a multiple of 60, so every period in the
    // tables below starts its cycle at the returned base.
    static uint64_t AlignTicks()
    {
        while (DrmTaskSchedulerTickCount() % 60 != 0) Tick();
        return DrmTaskSchedulerTickCount();
    }
};

TEST_F(DrmSchedTest, SlotsFireOnTheirTicks)
{
    struct Case {
        uint32_t period0, period1;
        bool withAnalyser1;
        std::vector<uint64_t> slot0, slot1;
    };
    const Case cases[] = {
        {5, 3, true, {5, 10, 15}, {1, 4, 7, 10, 13}},  // the prefail/life and slow-disk periods
        {0, 0, true, {}, {}},  // period 0 never fires
    };
    for (const auto &c : cases) {
        (void)DrmTaskSchedulerFin();
        ASSERT_EQ(DrmTaskSchedulerInit(), 0);
        g_runs.clear();
        uint64_t base = AlignTicks();
        ASSERT_EQ(DrmRegisterAnalyser(kFeature, c.withAnalyser1 ? Slot1 : nullptr, c.period1, Slot0,
                                      c.period0, DRM_SCHED_MODE_SEPERATE),
                  0);
        int64_t before = drmtest::LvInUse();
        Tick(15);
        EXPECT_EQ(TicksOf(0, base), c.slot0) << "period0 " << c.period0;
        EXPECT_EQ(TicksOf(1, base), c.slot1) << "period1 " << c.period1;
        EXPECT_EQ(drmtest::LvInUse(), before) << "trigger nodes are freed";
    }
}

TEST_F(DrmSchedTest, BurstWhileDrainingLeavesOneMoreRun)
{
    ASSERT_EQ(DrmRegisterAnalyser(kFeature, Slot1, DRM_PERIOD_NONE, nullptr, DRM_PERIOD_NONE, 0),
              0);
    g_retriggers = 10;
    ASSERT_EQ(DrmTriggerAnalyser1(kFeature, DRM_EVENT_TRIGGER_KEY), 0);
    ASSERT_EQ(DrmTriggerAnalyser1(kFeature, DRM_EVENT_TRIGGER_KEY), 0);  // coalesced
    EXPECT_EQ(DrmSchedPendingCount(kFeature, 1), 1u);
    EXPECT_EQ(RunWorkers(), 1) << "one worker for the whole burst";
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_EQ(g_runs[1].key, DRM_EVENT_TRIGGER_KEY);
    EXPECT_EQ(DrmSchedPendingCount(kFeature, 1), 0u);
    // Slot 0 gets key >> 16 as its first argument; distinct keys are not coalesced.
    ASSERT_EQ(DrmRegisterAnalyser(kFeature, nullptr, 0, Slot0, DRM_PERIOD_NONE, 0), 0);
    ASSERT_EQ(DrmTriggerAnalyser0(kFeature, 0x30040), 0);
    ASSERT_EQ(DrmTriggerAnalyser0(kFeature, 64), 0);
    EXPECT_EQ(DrmSchedPendingCount(kFeature, 0), 2u);
    RunWorkers();
    ASSERT_EQ(g_runs.size(), 4u);
    EXPECT_EQ(g_runs[2].keyHigh, 3u);
    EXPECT_EQ(g_runs[2].key, 0x30040u);
    EXPECT_EQ(g_runs[3].key, 64u);
}

TEST_F(DrmSchedTest, BadRegistrationsAndTriggersChangeNothing)
{
    ASSERT_EQ(DrmRegisterAnalyser(kFeature, Slot1, 3, Slot0, 5, 0), 0);
    // A second registration keeps the first analysers; another mode fails.
    EXPECT_EQ(DrmRegisterAnalyser(kFeature, nullptr, 1, nullptr, 1, 0), 0);
    EXPECT_EQ(DrmRegisterAnalyser(kFeature, Slot1, 3, Slot0, 5, 1), -1);
    EXPECT_EQ(DrmRegisterAnalyser(32, Slot1, 3, Slot0, 5, 0), -1);
    EXPECT_EQ(DrmRegisterAnalyser(kFeature + 1, Slot1, 3, Slot0, 5, 3), -1);
    EXPECT_EQ(DrmTriggerAnalyser0(kFeature + 1, 0), -1) << "unregistered feature";
    EXPECT_EQ(DrmTriggerSeperateSchedAnalysis(32, 0, 0), -1);
    // Only a registered feature gets a preprocessor.
    EXPECT_EQ(DrmRegisterPreprocessor(kFeature + 1, [](uint32_t) {}), -1);
    Tick(5);
    EXPECT_EQ(TicksOf(0, 0).size(), 1u) << "first slot-0 analyser kept";
    EXPECT_EQ(TicksOf(1, 0).size(), 2u) << "first slot-1 analyser kept";
}

TEST(DrmRateLimitTest, OneMessagePerWindowAndASummaryOfTheDropped)
{
    HostClockBind(0);
    LogCapture log;
    DrmRateLimitState st{};
    constexpr uint64_t kW = 100, kS = 1000;
    struct Step {
        uint64_t advance;
        bool print;
        int summaries;  // summary records so far
    };
    const Step steps[] = {
        {0, true, 0},   {99, false, 0},   // within the first window
        {1, true, 0},                     // window over, summary interval not
        {1, false, 0},  {1000, true, 1},  // both over: the summary counts the two dropped
    };
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        HostClockAdvance(steps[i].advance);
        EXPECT_EQ(DrmRateLimit(&st, kW, kS, DRM_MODULE_ID, 4, "Site", 42), steps[i].print) << i;
        EXPECT_EQ(log.Count("messages suppressed."), steps[i].summaries) << i;
    }
    EXPECT_TRUE(log.Contains("print: 2 messages suppressed.Site,line=42.", 4)) << log.Dump();
    HostClockUnbind();
}

std::vector<std::string> g_moduleCalls;
template <int I, int Ret>
int ModuleOp()
{
    g_moduleCalls.push_back(std::to_string(I));
    return Ret;
}

TEST(DrmFrameworkTest, FailedModuleUnloadsTheEarlierOnesInReverse)
{
    LogCapture log;  // an unload failure has no other trace
    const DrmSubModule table[] = {
        {"A", ModuleOp<0, 0>, ModuleOp<10, 0>},
        {"B", ModuleOp<1, 0>, ModuleOp<11, 1>},
        {"C", ModuleOp<2, 5>, ModuleOp<12, 0>},
        {"D", ModuleOp<3, 0>, nullptr},
    };
    EXPECT_EQ(DrmloadSubModule(table, 4), -1);
    EXPECT_EQ(g_moduleCalls, (std::vector<std::string>{"0", "1", "2", "11", "10"}));
    EXPECT_TRUE(log.Contains("UnloadSubModule B failed.", 3));
}

std::atomic<int> g_fired{0};
void CountFire(void *) { g_fired.fetch_add(1); }

TEST_F(DrmSchedTest, TimerRegistryLimitsAndOneShotRelease)
{
    ASSERT_EQ(DrmTimerCount(), 1u) << "the scheduler's own timer";
    EXPECT_EQ(DrmRegTimer("t", 10, CountFire, nullptr, 2), -1);
    for (uint32_t i = 1; i < DRM_MAX_TIMER_NUM; ++i) {
        ASSERT_EQ(DrmRegTimer("one", 10, CountFire, nullptr, DRM_TIMER_ONESHOT), 0) << i;
    }
    EXPECT_EQ(DrmRegTimer("65th", 10, CountFire, nullptr, DRM_TIMER_PERIODIC), -1);
    g_fired = 0;
    HostTimersAdvance(10);
    EXPECT_EQ(g_fired.load(), 63);
    EXPECT_EQ(DrmTimerCount(), 1u) << "one-shot timers free their slots";
    ASSERT_EQ(DrmRegTimer("p", 10, CountFire, nullptr, DRM_TIMER_PERIODIC), 0);
    HostTimersAdvance(30);
    EXPECT_EQ(g_fired.load(), 66) << "a periodic timer re-arms itself";
}

// Real threads: however triggers and extra workers interleave, one queue is
// drained by one worker at a time and every key is analysed.
std::atomic<int> g_inside{0};
std::atomic<int> g_overlap{0};
std::atomic<int> g_seen{0};
void Exclusive(uint32_t)
{
    if (g_inside.fetch_add(1) != 0) g_overlap.fetch_add(1);
    std::this_thread::yield();
    g_inside.fetch_sub(1);
    g_seen.fetch_add(1);
}

TEST_F(DrmSchedTest, TwoWorkersNeverDrainOneQueueAtOnce)
{
    DrmSetThreadStarter(nullptr);  // detached POSIX workers
    ASSERT_EQ(DrmRegisterAnalyser(kFeature, Exclusive, DRM_PERIOD_NONE, nullptr, 0, 0), 0);
    constexpr int kThreads = 3, kKeysPerThread = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const uint32_t param[2] = {kFeature, 1};
            for (int k = 0; k < kKeysPerThread; ++k) {
                EXPECT_EQ(DrmTriggerAnalyser1(kFeature, static_cast<uint32_t>(t * 1000 + k)), 0);
                DrmSeperateSchedAnalysis(param, sizeof(param));  // a second would-be drainer
            }
        });
    }
    for (auto &th : threads) th.join();
    // Every key analysed and the last worker gone (before the pools go away).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((g_seen.load() < kThreads * kKeysPerThread || !DrmSchedQueueIdle(kFeature, 1)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(g_seen.load(), kThreads * kKeysPerThread);
    EXPECT_EQ(g_overlap.load(), 0);
    EXPECT_TRUE(DrmSchedQueueIdle(kFeature, 1));
}

}  // namespace
