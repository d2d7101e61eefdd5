// Crash safety of the registry and configuration files: a child process
// saves both in a loop and is killed with SIGKILL at seeded random moments;
// after every kill the next load (the daemon's own start-up loads) must give
// the document of the last save the child finished or of the one it was in,
// complete and unmixed, never nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/config_prefix.h"
#include "disk_mgr/disk_mgr.h"
#include "disk_mgr/disk_mgr_file.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/persist_files.h"

namespace {

constexpr uint32_t kDisks = 8;
constexpr int kRounds = 400;
constexpr int kMinRounds = 200;  // sanitizer builds fork slowly: stop here once over budget
constexpr auto kBudget = std::chrono::seconds(12);

struct Report {
    char kind;  // 'R' registry saved, 'C' configuration saved
    uint32_t gen;
};

std::string SnOf(uint32_t i) { return "ZBS" + std::to_string(10000 + i); }

// The child: load both files the way start-up does, then save generation
// after generation until killed. Every registry generation stamps all disks,
// so a document mixing two generations would show.
[[noreturn]] void SaveLoop(const std::string &registry, int reportFd)
{
    DiskMgrObj *objs[kDisks] = {};
    uint32_t cfgGen = 0;
    if (DiskMgrInit(registry.c_str()) != 0 || InitConfig() != 0 ||
        GetChildNodeConfigInt("disklife_prediction", "task_cycle", &cfgGen) != 0) {
        _exit(3);
    }
    for (uint32_t i = 0; i < kDisks; ++i) {
        if (DiskMgrGetObj(i, &objs[i]) != 0) {
            _exit(4);
        }
    }
    for (uint32_t regGen = objs[0]->frameId + 1;; ++regGen) {
        for (DiskMgrObj *obj : objs) {
            obj->frameId = obj->slotId = regGen;
        }
        Report r = {'R', regGen};
        if (DiskInfoSavetoConfig() == 0) {
            (void)!write(reportFd, &r, sizeof(r));
        }
        r = {'C', ++cfgGen};
        if (SetChildNodeConfigInt("disklife_prediction", "task_cycle", static_cast<int32_t>(cfgGen)) == 0) {
            (void)!write(reportFd, &r, sizeof(r));
        }
    }
}

class PersistCrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);  // thousands of saves: keep the host log quiet
        std::string prefix = ResetTestPrefix();
        ASSERT_EQ(rmdir((prefix + "/userconfig_bak").c_str()), 0);  // backups fail fast
        registry_ = prefix + "/config/disk_mgr.config";
        ASSERT_EQ(DiskMgrInit(registry_.c_str()), 0);
        for (uint32_t i = 0; i < kDisks; ++i) {
            DiskBaseInfo d{};
            strcpy(d.sn, SnOf(i).c_str());
            ASSERT_EQ(DiskInfoUpdate(i, &d), 0);
        }
        DiskMgrDestroy();
        WriteFileText(prefix + "/config/spindlekeep_config.json",
                      "{\"feature_switch\": 1, \"takeover_disk_switch\": 0, \"disklife_prediction\": "
                      "{\"task_cycle\": 0}, \"sas_hdd\": {\"task_cycle\": 20, "
                      "\"min_threshold_value\": 100, \"min_slow_cycle\": 50}}");
    }
    void TearDown() override { KeeperOsSetLogLevel(KEEPER_LOG_INFO); }

    // The registry and configuration generations found by fresh loads; fails
    // the test on a missing, mixed or torn document. A torn configuration
    // fails InitConfig; a lost one gives the defaults, which hold the
    // "nvme_disk" object that the saved document lacks.
    void LoadGens(const std::string &where, uint32_t gen[2])
    {
        EXPECT_EQ(DiskMgrInit(registry_.c_str()), 0);
        for (uint32_t i = 0; i < kDisks; ++i) {
            DiskMgrObj *obj = nullptr;
            if (DiskMgrGetObj(i, &obj) != 0) {
                ADD_FAILURE() << where << ": disk " << i << " lost";
                break;
            }
            gen[0] = i == 0 ? obj->frameId : gen[0];
            EXPECT_EQ(std::make_tuple(std::string(obj->sn), obj->frameId, obj->slotId),
                      std::make_tuple(SnOf(i), gen[0], gen[0]))
                << where << ": generations mixed or record torn";
        }
        DiskMgrDestroy();
        EXPECT_EQ(InitConfig(), 0) << where;
        EXPECT_EQ(GetChildNodeConfigInt("disklife_prediction", "task_cycle", &gen[1]), 0) << where;
        uint32_t unused = 0;
        EXPECT_EQ(GetChildNodeConfigInt("nvme_disk", "task_cycle", &unused), 1) << where << ": lost";
        ConfigUnload();
    }

    std::string registry_;
};

TEST_F(PersistCrashTest, KilledSaveLoopLeavesOldOrNewDocument)
{
    const char *env = getenv("SPK_CRASH_SEED");
    const uint32_t seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : 20240305;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delayUs(0, 4000);
    uint32_t gen[2] = {};  // registry, configuration: the generations loaded last
    const auto start = std::chrono::steady_clock::now();
    int round = 0;
    for (; round < kRounds && (round < kMinRounds || std::chrono::steady_clock::now() - start < kBudget);
         ++round) {
        const std::string where = "seed " + std::to_string(seed) + " round " + std::to_string(round);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            SaveLoop(registry_, fds[1]);
        }
        close(fds[1]);
        // A third of the kills land anywhere from the fork on (start-up loads
        // included); the others wait for the child's first registry or
        // configuration save, so that every round also kills saves.
        uint32_t last[2] = {gen[0], gen[1]};
        const char waitFor = "-RC"[round % 3];
        Report r{};
        while (waitFor != '-' && read(fds[0], &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r))) {
            last[r.kind == 'C'] = r.gen;
            if (r.kind == waitFor) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << where << ": child ended by itself, status " << status;
        while (read(fds[0], &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r))) {
            last[r.kind == 'C'] = r.gen;
        }
        close(fds[0]);
        LoadGens(where, gen);
        for (int k = 0; k < 2; ++k) {
            ASSERT_TRUE(gen[k] == last[k] || gen[k] == last[k] + 1)
                << where << ": " << "RC"[k] << " generation " << gen[k] << ", last finished " << last[k];
        }
    }
    // The loop must really have been saving when it was killed, or the test
    // proved nothing: two rounds in three wait for a save of one kind.
    EXPECT_GE(std::min(gen[0], gen[1]), static_cast<uint32_t>(round / 3));
}

}  // namespace
