// test-labels: concurrent
#include "infrastructure/keeper_task_scheduler/schedule_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "support/wait_until.h"

namespace {

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<int> runsAtEnd{-1};  // the run count when the end callback came
    std::atomic<bool> block{false};  // entry sleeps while set
};

ScheduleTaskInfo Info(const char *name, Probe *p, uint8_t forever, uint32_t runs)
{
    auto entry = [](void *arg) {
        auto *q = static_cast<Probe *>(arg);
        for (q->runs.fetch_add(1); q->block.load();) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    auto end = [](void *arg) {
        auto *q = static_cast<Probe *>(arg);
        q->runsAtEnd.store(q->runs.load());
    };
    return ScheduleTaskInfo{name, forever, runs, 0, 1, entry, p, end, p};
}

// The scheduler starts once for all tests. Its start-up is checked in SetUp,
// not in a suite set-up: a failed suite set-up only marks the tests skipped,
// which the test run counts as passed.
class ScheduleTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const int startup = [] {
            ScheduleTaskInfo ok = Info("x", nullptr, 1, 0);
            bool early = KeeperInfraLiteInstall() == 0 &&
                         CancelScheduleTask("x") == SCHEDULE_TASK_NOT_INIT &&
                         SubmitScheduleTask(&ok) == SCHEDULE_TASK_NOT_INIT;
            return !early ? 1 : InitScheduleTask() != 0 ? 2 : InitScheduleTask() != 0 ? 3 : 0;
        }();
        ASSERT_EQ(startup, 0) << "1: refused before init, 2: init, 3: a second init";
    }
};

// The scheduler keeps its own copy of the descriptor and the name.
TEST_F(ScheduleTaskTest, FiniteTasksRunExactlyTheirCountFromTheirOwnCopy)
{
    for (uint32_t runs : {1u, 3u}) {
        Probe p;
        std::string name = "finite-" + std::to_string(runs);
        ScheduleTaskInfo info = Info(name.c_str(), &p, 0, runs);
        ASSERT_EQ(SubmitScheduleTask(&info), SCHEDULE_TASK_OK);
        std::string copy = name;
        name.assign(name.size(), 'Z');
        info.runTimes = 1000;
        ASSERT_TRUE(WaitUntil([&] { return p.runsAtEnd.load() >= 0; }));
        EXPECT_EQ(std::pair(p.runs.load(), p.runsAtEnd.load()), (std::pair<int, int>(runs, runs)));
        EXPECT_FALSE(ScheduleTaskRunning(copy.c_str()));
    }
}

// A cancel during a run ends the task after that run and frees its name at
// once: a new task of that name starts, and the next cancel reaches it.
TEST_F(ScheduleTaskTest, DuplicateNamesAreRefusedUntilCancelFreesThem)
{
    Probe p, q;
    p.block = true;
    ScheduleTaskInfo info = Info("dup", &p, 1, 0);
    ASSERT_EQ(SubmitScheduleTask(&info), SCHEDULE_TASK_OK);
    ASSERT_TRUE(WaitUntil([&] { return p.runs.load() == 1; }));
    ScheduleTaskInfo again = Info("dup", &q, 1, 0);
    EXPECT_EQ(SubmitScheduleTask(&again), SCHEDULE_TASK_ALREADY_RUNNING);
    EXPECT_EQ(CancelScheduleTask("dup"), SCHEDULE_TASK_OK);
    ASSERT_EQ(SubmitScheduleTask(&again), SCHEDULE_TASK_OK);
    ASSERT_TRUE(WaitUntil([&] { return q.runs.load() > 2; }));
    EXPECT_EQ(CancelScheduleTask("dup"), SCHEDULE_TASK_OK);
    ASSERT_TRUE(WaitUntil([&] { return q.runsAtEnd.load() >= 0; }));
    p.block = false;
    ASSERT_TRUE(WaitUntil([&] { return p.runsAtEnd.load() == 1; }));
    EXPECT_EQ(CancelScheduleTask("dup"), SCHEDULE_TASK_NOT_FOUND);
}

TEST_F(ScheduleTaskTest, FirstDelayHoldsTheFirstRunAndFiniCancelsEveryTask)
{
    // The task thread outlives the test while it sleeps, so its probe is
    // deliberately leaked rather than left dangling.
    auto *delayed = new Probe;
    ScheduleTaskInfo info = Info("delayed", delayed, 0, 1);
    info.firstDelayMs = 60000;
    ASSERT_EQ(SubmitScheduleTask(&info), SCHEDULE_TASK_OK);
    Probe a;
    ScheduleTaskInfo ia = Info("all-a", &a, 1, 0);
    ASSERT_EQ(SubmitScheduleTask(&ia), SCHEDULE_TASK_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(std::pair(delayed->runs.load(), ScheduleTaskRunning("delayed")), std::pair(0, true));
    EXPECT_EQ(FiniScheduleTask(), 0);
    ASSERT_TRUE(WaitUntil([&] { return a.runsAtEnd.load() > 0; }));
}

}  // namespace
