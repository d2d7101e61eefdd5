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
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_prefix.h"
#include "support/log_capture.h"

namespace {

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

// The daemon's own rows with recording operations in place of the real ones.
// The first row gets a finalise too, so that the rollback is seen reaching it.
template <size_t... I>
std::vector<StartupStep> InstrumentedTable(std::index_sequence<I...>)
{
    const StartupOp inits[] = {FakeInit<I>...};
    const StartupOp finis[] = {FakeFini<I>...};
    size_t n = 0;
    g_real = InitStepTable(&n);
    std::vector<StartupStep> out(g_real, g_real + n);
    for (size_t i = 0; i < n; ++i) {
        out[i].init = inits[i];
        out[i].fini = (i == 0 || g_real[i].fini != nullptr) ? finis[i] : nullptr;
    }
    out.push_back(StartupStep{"absent", nullptr, nullptr});
    return out;
}

// Failing each step in turn (and none: the last round) runs the steps up to it
// and finalises the earlier ones that have a finalise, newest first.
TEST(InitTest, FailureFinalisesEarlierStepsInReverseOrder)
{
    std::vector<StartupStep> table = InstrumentedTable(std::make_index_sequence<kMaxRows>{});
    ASSERT_LE(table.size(), kMaxRows + 1);
    for (size_t fail = 0; fail < table.size(); ++fail) {
        g_calls.clear();
        g_failAt = fail;
        bool fails = table[fail].init != nullptr;
        EXPECT_EQ(InitRunSteps(table.data(), table.size()), fails ? -(100 + int(fail)) : 0);
        std::vector<std::string> want;
        for (size_t i = 0; i <= fail && table[i].init != nullptr; ++i) {
            want.push_back(std::string("init:") + table[i].name);
        }
        for (size_t i = fail; fails && i-- > 0;) {
            if (table[i].fini != nullptr) {
                want.push_back(std::string("fini:") + table[i].name);
            }
        }
        EXPECT_EQ(g_calls, want) << "failing step " << table[fail].name;
    }
    g_failAt = kMaxRows;
}

TEST(InitTest, StartModeTwoOrMoreIsRefusedBeforeAnyStep)
{
    LogCapture log;
    for (uint32_t mode : {2u, 0xffffffffu}) {
        EXPECT_EQ(InitSpindleKeep(mode), -1);
    }
    EXPECT_FALSE(log.Contains("initialize start")) << log.Dump();
}

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/spk-lock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        path_ = root_ + "/config/spindlekeep_master_process_lockfile";
        ASSERT_EQ(mkdir((root_ + "/config").c_str(), 0750), 0);
        ASSERT_EQ(SetConfigPrefix(root_.c_str()), 0);
    }
    void TearDown() override { (void)system(("rm -rf " + root_).c_str()); }
    std::string root_;
    std::string path_;
};

// The lock belongs to the process, so a conflict needs a second process: runs
// `fn` in a child and gives its exit status.
int InChild(const std::function<int()> &fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LockFileTest, SecondMasterFindsTheLockHeld)
{
    auto lock = [] { return KeeperTryLockFile(F_WRLCK); };
    auto held = [] { return KeeperProcessLockHeld() ? 1 : 0; };
    EXPECT_EQ(InChild(held), 0) << "no lock file yet";
    EXPECT_EQ(InChild(lock), 0) << "no holder yet";
    EXPECT_EQ(InChild(held), 0) << "the holder has gone";
    ASSERT_EQ(ProcessCheckInit(), 0);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(InChild(lock), EAGAIN);
    EXPECT_EQ(InChild(held), 1);

    ASSERT_EQ(SetConfigPrefix((root_ + "/nowhere").c_str()), 0);
    EXPECT_EQ(KeeperTryLockFile(F_WRLCK), ENOENT);
}

// Drops to uid:gid in a child and opens `path`; 0 or the errno.
int OpenAs(const std::string &path, uid_t uid, gid_t gid, int flags)
{
    return InChild([&] {
        bool dropped = setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
        return !dropped ? 255 : open(path.c_str(), flags) >= 0 ? 0 : errno;
    });
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
    ASSERT_EQ(chmod(root_.c_str(), 0755) | chmod((root_ + "/config").c_str(), 0755), 0);
    int fd = open(path_.c_str(), O_CREAT | O_RDWR, 0666);
    ASSERT_TRUE(fd >= 0 && fchmod(fd, 0666) == 0 && close(fd) == 0);
    ASSERT_EQ(KeeperTryLockFile(F_WRLCK), 0);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, pw->pw_uid);
    EXPECT_EQ(OpenAs(path_, pw->pw_uid, gr->gr_gid, O_RDWR), 0) << "the service user after a root run";
    EXPECT_EQ(OpenAs(path_, 65534, gr->gr_gid, O_RDONLY), EACCES) << "a group member";
}

}  // namespace
