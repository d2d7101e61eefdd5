// test-labels: concurrent
#include "ma/drm/framework/drm_task_scheduler/drm_task_scheduler.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework/drm_task_scheduler/drm_framework.h"
#include "ma/drm/framework/utils/drm_log.h"
#include "support/log_capture.h"
#include "support/wait_until.h"

namespace {

using drmtest::RunWorkers;
using Ticks = std::vector<uint64_t>;

constexpr uint32_t kFeature = 0;  // the first row: loops must start there

// Runs of each slot: their keys ("keyHigh:key" in slot 0), ticks since g_base.
struct Runs {
    std::vector<std::string> keys[2];
    Ticks ticks[2];
} g_runs;
uint64_t g_base = 0;
int g_retriggers = 0;  // triggers the next slot-1 run issues while it runs

void Record(int slot, const std::string &key)
{
    g_runs.keys[slot].push_back(key);
    g_runs.ticks[slot].push_back(DrmTaskSchedulerTickCount() - g_base);
}

void Slot0(uint32_t keyHigh, uint32_t key) { Record(0, std::to_string(keyHigh) + ":" + std::to_string(key)); }

void Slot1(uint32_t key)
{
    Record(1, std::to_string(key));
    for (; g_retriggers > 0; --g_retriggers) EXPECT_EQ(DrmTriggerAnalyser1(kFeature, DRM_EVENT_TRIGGER_KEY), 0);
}

class DrmSchedTest : public drmtest::DrmFrameworkFixture {
protected:
    void SetUp() override
    {
        DrmFrameworkFixture::SetUp();
        g_runs = {};
    }

    // Fires `n` scheduler ticks, running the workers each one starts.
    static void Tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            HostTimersAdvance(DRM_SCHED_TICK_MS);
            RunWorkers();
        }
    }
};

TEST_F(DrmSchedTest, SlotsFireOnTheirTicks)
{
    for (uint32_t p : {1, 0}) {  // a restart must forget the first registration
        (void)DrmTaskSchedulerFin();
        ASSERT_EQ(DrmTaskSchedulerInit(), 0);
        while (DrmTaskSchedulerTickCount() % 60 != 0) Tick();
        g_base = DrmTaskSchedulerTickCount();
        g_runs = {};
        ASSERT_EQ(DrmRegisterAnalyser(kFeature, Slot1, 3 * p, Slot0, 5 * p, DRM_SCHED_MODE_SEPERATE), 0);
        int64_t before = drmtest::LvInUse();
        Tick(15);
        EXPECT_EQ(g_runs.ticks[0], (p ? Ticks{5, 10, 15} : Ticks{}));        // the prefail/life period
        EXPECT_EQ(g_runs.ticks[1], (p ? Ticks{1, 4, 7, 10, 13} : Ticks{}));  // the slow-disk period
        EXPECT_EQ(drmtest::LvInUse(), before) << "trigger nodes are freed";
    }
}

// Triggers of one key coalesce, also those arriving while it is drained;
// slot 0 gets key >> 16 as its first argument.
TEST_F(DrmSchedTest, BurstWhileDrainingLeavesOneMoreRun)
{
    ASSERT_EQ(DrmRegisterAnalyser(kFeature, Slot1, DRM_PERIOD_NONE, Slot0, DRM_PERIOD_NONE, 0), 0);
    g_retriggers = 10;
    for (int i = 0; i < 2; ++i) ASSERT_EQ(DrmTriggerAnalyser1(kFeature, DRM_EVENT_TRIGGER_KEY), 0);
    EXPECT_EQ(DrmSchedPendingCount(kFeature, 1), 1u);
    EXPECT_EQ(RunWorkers(), 1) << "one worker for the whole burst";
    EXPECT_EQ(g_runs.keys[1], std::vector<std::string>(2, std::to_string(DRM_EVENT_TRIGGER_KEY)));
    EXPECT_EQ(DrmSchedPendingCount(kFeature, 1), 0u);
    for (uint32_t key : {0x30040u, 64u}) ASSERT_EQ(DrmTriggerAnalyser0(kFeature, key), 0);
    EXPECT_EQ(DrmSchedPendingCount(kFeature, 0), 2u) << "distinct keys are not coalesced";
    RunWorkers();
    EXPECT_EQ(g_runs.keys[0], (std::vector<std::string>{"3:196672", "0:64"}));
}

TEST_F(DrmSchedTest, BadRegistrationsAndTriggersChangeNothing)
{
    ASSERT_EQ(DrmRegisterAnalyser(kFeature, Slot1, 3, Slot0, 5, 0), 0);
    // A second registration keeps the first analysers; another mode fails.
    EXPECT_EQ(DrmRegisterAnalyser(kFeature, nullptr, 1, nullptr, 1, 0), 0);
    EXPECT_EQ(DrmRegisterAnalyser(kFeature, Slot1, 3, Slot0, 5, 1), -1);
    EXPECT_EQ(DrmRegisterAnalyser(32, Slot1, 3, Slot0, 5, 0), -1);
    EXPECT_EQ(DrmTriggerSeperateSchedAnalysis(32, 0, 0), -1);
    EXPECT_EQ(DrmRegisterPreprocessor(kFeature + 1, [](uint32_t) {}), -1) << "only a registered feature";
    Tick(5);
    EXPECT_EQ(std::make_pair(g_runs.ticks[0].size(), g_runs.ticks[1].size()), std::make_pair(size_t{1}, size_t{2}))
        << "the first analysers are kept";
}

TEST(DrmRateLimitTest, OneMessagePerWindowAndASummaryOfTheDropped)
{
    HostClockBind(0);
    LogCapture log;
    DrmRateLimitState st{};
    // Within the first window, the window over but not the summary interval,
    // both over: the summary counts the two dropped.
    const std::pair<uint64_t, bool> steps[] = {{0, true}, {99, false}, {1, true}, {1, false}, {1000, true}};
    for (const auto &[advance, print] : steps) {
        HostClockAdvance(advance);
        EXPECT_EQ(DrmRateLimit(&st, 100, 1000, DRM_MODULE_ID, 4, "Site", 42), print) << advance;
    }
    EXPECT_EQ(log.Count("messages suppressed."), 1);
    EXPECT_TRUE(log.Contains("print: 2 messages suppressed.Site,line=42.", 4)) << log.Dump();
    HostClockUnbind();
}

std::string g_moduleCalls;
template <int I, int Ret>
int ModuleOp()
{
    g_moduleCalls += std::to_string(I) + " ";
    return Ret;
}

TEST(DrmFrameworkTest, FailedModuleUnloadsTheEarlierOnesInReverse)
{
    LogCapture log;  // an unload failure has no other trace
    const DrmSubModule table[] = {{"A", ModuleOp<0, 0>, ModuleOp<10, 0>},
                                  {"B", ModuleOp<1, 0>, ModuleOp<11, 1>},
                                  {"C", ModuleOp<2, 5>, ModuleOp<12, 0>},
                                  {"D", ModuleOp<3, 0>, nullptr}};
    EXPECT_EQ(DrmloadSubModule(table, 4), -1);
    EXPECT_EQ(g_moduleCalls, "0 1 2 11 10 ");
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
    HostTimersAdvance(10);
    // One-shot timers free their slots.
    EXPECT_EQ(std::make_pair(g_fired.load(), DrmTimerCount()), std::make_pair(63, 1u));
    ASSERT_EQ(DrmRegTimer("p", 10, CountFire, nullptr, DRM_TIMER_PERIODIC), 0);
    HostTimersAdvance(30);
    EXPECT_EQ(g_fired.load(), 66) << "a periodic timer re-arms itself";
}

// Real threads: however triggers and extra workers interleave, one queue is
// drained by one worker at a time and every key is analysed.
std::atomic<int> g_inside{0}, g_overlap{0}, g_seen{0};
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
    constexpr int kThreads = 3, kKeys = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const uint32_t param[2] = {kFeature, 1};
            for (int k = 0; k < kKeys; ++k) {
                EXPECT_EQ(DrmTriggerAnalyser1(kFeature, static_cast<uint32_t>(t * 1000 + k)), 0);
                DrmSeperateSchedAnalysis(param, sizeof(param));  // a second would-be drainer
            }
        });
    }
    for (auto &th : threads) th.join();
    // Every key analysed and the last worker gone (before the pools go away).
    WaitUntil([] { return g_seen.load() >= kThreads * kKeys && DrmSchedQueueIdle(kFeature, 1); }, 20000);
    EXPECT_EQ(std::make_tuple(g_seen.load(), g_overlap.load(), DrmSchedQueueIdle(kFeature, 1)),
              std::make_tuple(kThreads * kKeys, 0, true));
}

}  // namespace
