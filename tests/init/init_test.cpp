#include "init/init.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config/config_prefix.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/log_capture.h"

namespace {

// The rows every build must have, in this order, and whether each has a
// finalise operation. Rows of subsystems not built yet may be missing, but
// those present keep this order.
const std::vector<std::pair<std::string, bool>> kExpectedRows = {
    {"Process_Check", false}, {"qxax", true},         {"qxlog", true},
    {"DBG_DiagnoseAgent", true}, {"qx_mm_pool", true}, {"InfraAdapter_KORVAN-Lite", false},
    {"schedule_task_frame", true}, {"CONFIG", false}, {"DISK_MGR", false},
    {"DRM", true},            {"DATA_MGR", false},    {"HOT_PLUG", false},
    {"Cli-Server", false},    {"DCM", false},         {"TracePoint", false},
    {"diagnose", false},
};

constexpr size_t kMaxRows = 16;
std::vector<std::string> g_calls;
size_t g_failAt = kMaxRows;
const StartupStep *g_real = nullptr;

template <size_t I>
int FakeInit()
{
    g_calls.push_back(std::string("init:") + g_real[I].name);
    return I == g_failAt ? -(100 + static_cast<int>(I)) : 0;
}

template <size_t I>
int FakeFini()
{
    g_calls.push_back(std::string("fini:") + g_real[I].name);
    return 0;
}

template <size_t... I>
std::vector<StartupStep> Instrument(const StartupStep *real, size_t n, std::index_sequence<I...>)
{
    const StartupOp inits[] = {FakeInit<I>...};
    const StartupOp finis[] = {FakeFini<I>...};
    std::vector<StartupStep> out(real, real + n);
    for (size_t i = 0; i < n; ++i) {
        out[i].init = real[i].init ? inits[i] : nullptr;
        out[i].fini = real[i].fini ? finis[i] : nullptr;
    }
    return out;
}

std::vector<StartupStep> InstrumentedTable()
{
    size_t n = 0;
    g_real = InitStepTable(&n);
    return Instrument(g_real, n, std::make_index_sequence<kMaxRows>{});
}

TEST(InitTest, TableRowsFollowTheFixedOrder)
{
    size_t n = 0;
    const StartupStep *rows = InitStepTable(&n);
    ASSERT_LE(n, kMaxRows);
    size_t next = 0;
    for (size_t i = 0; i < n; ++i) {
        while (next < kExpectedRows.size() && kExpectedRows[next].first != rows[i].name) {
            ++next;
        }
        ASSERT_LT(next, kExpectedRows.size()) << rows[i].name << " is out of order or unknown";
        EXPECT_EQ(rows[i].fini != nullptr, kExpectedRows[next].second) << rows[i].name;
        EXPECT_NE(rows[i].init, nullptr) << rows[i].name;
        ++next;
    }
    EXPECT_STREQ(rows[0].name, "Process_Check");
}

TEST(InitTest, FailureFinalisesEarlierStepsInReverseOrder)
{
    std::vector<StartupStep> table = InstrumentedTable();
    for (size_t fail = 0; fail < table.size(); ++fail) {
        g_calls.clear();
        g_failAt = fail;
        LogCapture log;
        EXPECT_EQ(InitRunSteps(table.data(), table.size()), -(100 + static_cast<int>(fail)));
        std::vector<std::string> want;
        for (size_t i = 0; i <= fail; ++i) {
            want.push_back(std::string("init:") + table[i].name);
        }
        for (size_t i = fail; i-- > 0;) {
            if (table[i].fini != nullptr) {
                want.push_back(std::string("fini:") + table[i].name);
            }
        }
        EXPECT_EQ(g_calls, want) << "failing step " << table[fail].name;
        std::string failed = std::string("SpindleKeep step(") + table[fail].name +
                             ") initialize failed(ret:" + std::to_string(-(100 + int(fail))) + ").";
        EXPECT_TRUE(log.Contains(failed, KEEPER_LOG_ERROR)) << log.Dump();
    }
    g_failAt = kMaxRows;
}

TEST(InitTest, FailureOfConfigFinalisesTheFrameworkStepsOnly)
{
    std::vector<StartupStep> table = InstrumentedTable();
    size_t config = 0;
    while (config < table.size() && strcmp(table[config].name, "CONFIG") != 0) {
        ++config;
    }
    if (config == table.size()) {
        GTEST_SKIP() << "the configuration step is not in this build";
    }
    g_calls.clear();
    g_failAt = config;
    EXPECT_NE(InitRunSteps(table.data(), table.size()), 0);
    g_failAt = kMaxRows;
    std::vector<std::string> finis;
    for (const auto &c : g_calls) {
        if (c.rfind("fini:", 0) == 0) {
            finis.push_back(c.substr(5));
        }
    }
    const std::vector<std::string> want = {"schedule_task_frame", "qx_mm_pool",
                                           "DBG_DiagnoseAgent", "qxlog", "qxax"};
    EXPECT_EQ(finis, want);
}

TEST(InitTest, SuccessRunsEveryStepAndNoFini)
{
    std::vector<StartupStep> table = InstrumentedTable();
    table.push_back(StartupStep{"absent", nullptr, nullptr});
    g_calls.clear();
    g_failAt = kMaxRows;
    EXPECT_EQ(InitRunSteps(table.data(), table.size()), 0);
    EXPECT_EQ(g_calls.size(), table.size() - 1);
    for (const auto &c : g_calls) {
        EXPECT_EQ(c.rfind("init:", 0), 0u) << c;
    }
}

std::vector<std::string> g_featureCalls;

TEST(InitTest, FeatureStartRunsEveryOperationInOrder)
{
    g_featureCalls.clear();
    const FeatureStartOp ops[] = {
        {"a", [] { g_featureCalls.push_back("a"); }},
        {"b", [] { g_featureCalls.push_back("b-failed"); }},
        {"c", [] { g_featureCalls.push_back("c"); }},
    };
    InitRunFeatureStart(ops, 3);
    EXPECT_EQ(g_featureCalls, (std::vector<std::string>{"a", "b-failed", "c"}));
}

TEST(InitTest, StartModeTwoOrMoreIsRefusedBeforeAnyStep)
{
    LogCapture log;
    for (uint32_t mode : {2u, 3u, 0xffffffffu}) {
        EXPECT_EQ(InitSpindleKeep(mode), -1);
    }
    EXPECT_TRUE(log.Contains("Error start mode (2)")) << log.Dump();
    EXPECT_FALSE(log.Contains("initialize start"));
}

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/spk-lock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ASSERT_EQ(mkdir((root_ + "/config").c_str(), 0750), 0);
        ASSERT_EQ(SetConfigPrefix(root_.c_str()), 0);
    }
    void TearDown() override { (void)system(("rm -rf " + root_).c_str()); }
    std::string root_;
};

// The lock belongs to the process, so a conflict needs a second process.
int LockInChild()
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(KeeperTryLockFile(F_WRLCK));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LockFileTest, SecondMasterFindsTheLockHeld)
{
    EXPECT_EQ(LockInChild(), 0) << "no holder yet";
    LogCapture log;
    ASSERT_EQ(ProcessCheckInit(), 0);
    struct stat st {};
    ASSERT_EQ(stat((root_ + "/config/spindlekeep_master_process_lockfile").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(LockInChild(), EAGAIN);
}

// Opens `path` in a child running as uid:gid; 0 or the errno.
int OpenAs(const std::string &path, uid_t uid, gid_t gid, int flags)
{
    pid_t pid = fork();
    if (pid == 0) {
        bool dropped = setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
        _exit(!dropped ? 255 : open(path.c_str(), flags) >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A lock file left 0666 by root: after a start it is the service user's and
// nobody else, not even a member of the service group, can open it to hold a
// read lock that would block every later start.
TEST_F(LockFileTest, LockFileBelongsToTheServiceUserAlone)
{
    const passwd *pw = getpwnam("spindlekeep_user");
    const group *gr = getgrnam("spindlekeep_group");
    if (geteuid() != 0 || pw == nullptr || gr == nullptr) {
        GTEST_SKIP() << "needs root and the service user";
    }
    std::string path = root_ + "/config/spindlekeep_master_process_lockfile";
    ASSERT_EQ(chmod(root_.c_str(), 0755) | chmod((root_ + "/config").c_str(), 0755), 0);
    int fd = open(path.c_str(), O_CREAT | O_RDWR, 0666);
    ASSERT_TRUE(fd >= 0 && fchmod(fd, 0666) == 0 && close(fd) == 0);
    ASSERT_EQ(KeeperTryLockFile(F_WRLCK), 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, pw->pw_uid);
    EXPECT_EQ(OpenAs(path, pw->pw_uid, gr->gr_gid, O_RDWR), 0) << "the service user after a root run";
    EXPECT_EQ(OpenAs(path, 65534, gr->gr_gid, O_RDONLY), EACCES) << "a group member";
}

TEST_F(LockFileTest, MissingDirectoryGivesTheOpenErrno)
{
    ASSERT_EQ(SetConfigPrefix((root_ + "/nowhere").c_str()), 0);
    LogCapture log;
    EXPECT_EQ(KeeperTryLockFile(F_WRLCK), ENOENT);
    EXPECT_TRUE(log.Contains("fail open process lock file", KEEPER_LOG_ERROR));
}

}  // namespace
