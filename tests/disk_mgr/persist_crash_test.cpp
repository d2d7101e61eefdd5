// Crash safety of the registry and configuration files: a child process
// saves both in a loop and is killed with SIGKILL at seeded random moments;
// after every kill the next load (the daemon's own start-up loads) must give
// the document of the last save the child finished or of the one it was in,
// complete and unmixed, never nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

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
constexpr int kMaxDelayUs = 4000;
constexpr uint32_t kDefaultSeed = 20240305;

struct Report {
    char kind;  // 'R' registry saved, 'C' configuration saved
    uint32_t gen;
};

std::string ConfigText(uint32_t gen)
{
    return "{\"feature_switch\": 1, \"takeover_disk_switch\": 0, \"disklife_prediction\": "
           "{\"task_cycle\": " +
           std::to_string(gen) +
           "}, \"sas_hdd\": {\"task_cycle\": 20, \"min_threshold_value\": 100, "
           "\"min_slow_cycle\": 50}}";
}

DiskBaseInfo Disk(uint32_t i)
{
    DiskBaseInfo d{};
    snprintf(d.sn, sizeof(d.sn), "ZBS%05u", i);
    return d;
}

void SendReport(int fd, char kind, uint32_t gen)
{
    const Report r = {kind, gen};
    (void)!write(fd, &r, sizeof(r));
}

// The child: load both files the way start-up does, then save generation
// after generation until killed. Every registry generation stamps all disks,
// so a document mixing two generations would show.
[[noreturn]] void SaveLoop(const std::string &registry, int reportFd)
{
    if (DiskMgrInit(registry.c_str()) != 0 || InitConfig() != 0) {
        _exit(3);
    }
    DiskMgrObj *objs[kDisks] = {};
    for (uint32_t i = 0; i < kDisks; ++i) {
        if (DiskMgrGetObj(i, &objs[i]) != 0) {
            _exit(4);
        }
    }
    uint32_t regGen = objs[0]->frameId;
    uint32_t cfgGen = 0;
    if (GetChildNodeConfigInt("disklife_prediction", "task_cycle", &cfgGen) != 0) {
        _exit(5);
    }
    for (;;) {
        ++regGen;
        for (DiskMgrObj *obj : objs) {
            obj->frameId = regGen;
            obj->slotId = regGen;
        }
        if (DiskInfoSavetoConfig() == 0) {
            SendReport(reportFd, 'R', regGen);
        }
        ++cfgGen;
        if (SetChildNodeConfigInt("disklife_prediction", "task_cycle",
                                  static_cast<int32_t>(cfgGen)) == 0) {
            SendReport(reportFd, 'C', cfgGen);
        }
    }
}

class PersistCrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        // Thousands of saves: keep the host log quiet.
        KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
        std::string prefix = ResetTestPrefix();
        ASSERT_EQ(rmdir((prefix + "/userconfig_bak").c_str()), 0);  // backups fail fast
        registry_ = prefix + "/config/disk_mgr.config";
        config_ = prefix + "/config/spindlekeep_config.json";
    }
    void TearDown() override { KeeperOsSetLogLevel(KEEPER_LOG_INFO); }

    void Seed()
    {
        ASSERT_EQ(DiskMgrInit(registry_.c_str()), 0);
        for (uint32_t i = 0; i < kDisks; ++i) {
            DiskBaseInfo d = Disk(i);
            ASSERT_EQ(DiskInfoUpdate(i, &d), 0);
        }
        DiskMgrDestroy();
        WriteFileText(config_, ConfigText(0));
    }

    // The registry generation found by a fresh load; fails the test on a
    // missing or mixed document.
    uint32_t LoadRegistryGen(const std::string &where)
    {
        EXPECT_EQ(DiskMgrInit(registry_.c_str()), 0);
        uint32_t count = 0;
        (void)DiskMgrListAllDisk(nullptr, nullptr, 0, &count);  // writes the count first
        EXPECT_EQ(count, kDisks) << where << ": registry lost";
        uint32_t gen = 0;
        for (uint32_t i = 0; i < kDisks; ++i) {
            DiskMgrObj *obj = nullptr;
            if (DiskMgrGetObj(i, &obj) != 0) {
                ADD_FAILURE() << where << ": disk " << i << " lost";
                break;
            }
            EXPECT_STREQ(obj->sn, Disk(i).sn) << where;
            gen = i == 0 ? obj->frameId : gen;
            EXPECT_EQ(obj->frameId, gen) << where << ": generations mixed";
            EXPECT_EQ(obj->slotId, gen) << where << ": record torn";
        }
        DiskMgrDestroy();
        return gen;
    }

    // A torn file fails InitConfig; a lost one gives the defaults, which
    // hold the "nvme_disk" object that the saved document lacks.
    uint32_t LoadConfigGen(const std::string &where)
    {
        EXPECT_EQ(InitConfig(), 0) << where;
        uint32_t gen = 0;
        EXPECT_EQ(GetChildNodeConfigInt("disklife_prediction", "task_cycle", &gen), 0) << where;
        EXPECT_EQ(GetChildNodeConfigInt("nvme_disk", "task_cycle", &gen), 1) << where << ": lost";
        ConfigUnload();
        return gen;
    }

    std::string registry_;
    std::string config_;
};

TEST_F(PersistCrashTest, KilledSaveLoopLeavesOldOrNewDocument)
{
    const char *env = getenv("SPK_CRASH_SEED");
    const uint32_t seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : kDefaultSeed;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay(0, kMaxDelayUs);
    Seed();

    uint32_t regGen = 0;
    uint32_t cfgGen = 0;
    int caughtInFlight = 0;  // kills whose in-progress save had already landed
    const auto start = std::chrono::steady_clock::now();
    int rounds = 0;
    for (int round = 0; round < kRounds; ++round, rounds = round) {
        if (round >= kMinRounds && std::chrono::steady_clock::now() - start > kBudget) {
            break;
        }
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
        uint32_t lastReg = regGen;
        uint32_t lastCfg = cfgGen;
        const char waitFor = "-RC"[round % 3];
        struct Report r {};
        while (waitFor != '-' && read(fds[0], &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r))) {
            (r.kind == 'R' ? lastReg : lastCfg) = r.gen;
            if (r.kind == waitFor) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << where << ": child ended by itself, status " << status;
        while (read(fds[0], &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r))) {
            (r.kind == 'R' ? lastReg : lastCfg) = r.gen;
        }
        close(fds[0]);

        uint32_t loadedReg = LoadRegistryGen(where);
        uint32_t loadedCfg = LoadConfigGen(where);
        ASSERT_TRUE(loadedReg == lastReg || loadedReg == lastReg + 1)
            << where << ": registry generation " << loadedReg << ", last finished " << lastReg;
        ASSERT_TRUE(loadedCfg == lastCfg || loadedCfg == lastCfg + 1)
            << where << ": configuration generation " << loadedCfg << ", last finished " << lastCfg;
        caughtInFlight += (loadedReg == lastReg + 1) + (loadedCfg == lastCfg + 1);
        regGen = loadedReg;
        cfgGen = loadedCfg;
    }
    // The loop must really have been saving when it was killed, or the test
    // proved nothing: two rounds in three wait for a save of one kind.
    EXPECT_GE(regGen, static_cast<uint32_t>(rounds / 3));
    EXPECT_GE(cfgGen, static_cast<uint32_t>(rounds / 3));
    printf("seed %u: %u registry and %u configuration saves survived %d kills, %d in flight\n", seed,
           regGen, cfgGen, rounds, caughtInFlight);
}

}  // namespace
