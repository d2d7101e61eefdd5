#include "init/init.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "config/config_prefix.h"
#include "support/persist_files.h"

namespace {

std::vector<std::string> g_calls;
int g_failAt = -1;

template <int I, bool Init>
int Fake()
{
    g_calls.push_back((Init ? "init" : "fini") + std::to_string(I));
    return Init && I == g_failAt ? -100 - I : 0;
}

// Failing each step in turn (and none: the last round) runs the steps up to it
// and finalises the earlier ones that have a finalise, newest first; absent
// rows are skipped.
TEST(InitTest, FailureFinalisesEarlierStepsInReverseOrder)
{
    const StartupStep table[] = {
        {"0", Fake<0, true>, Fake<0, false>}, {"1", Fake<1, true>, nullptr},
        {"2", nullptr, nullptr},              {"3", Fake<3, true>, Fake<3, false>},
        {"4", Fake<4, true>, Fake<4, false>}, {"5", Fake<5, true>, nullptr}};
    const int n = static_cast<int>(std::size(table));
    for (int fail = 0; fail <= n; ++fail) {
        g_calls.clear();
        g_failAt = fail;
        bool fails = fail < n && table[fail].init != nullptr;
        EXPECT_EQ(InitRunSteps(table, std::size(table)), fails ? -100 - fail : 0);
        std::vector<std::string> want;
        for (int i = 0; i <= (fails ? fail : n - 1); ++i) {
            want.insert(want.end(), table[i].init ? 1 : 0, "init" + std::to_string(i));
        }
        for (int i = fail; fails && i-- > 0;) {
            want.insert(want.end(), table[i].fini ? 1 : 0, "fini" + std::to_string(i));
        }
        EXPECT_EQ(g_calls, want) << "failing step " << fail;
    }
}

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

TEST(LockFileTest, SecondMasterFindsTheLockHeld)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.Join("config").c_str(), 0750), 0);
    ASSERT_EQ(SetConfigPrefix(dir.Path().c_str()), 0);
    auto lock = [] { return KeeperTryLockFile(F_WRLCK); };
    auto held = [] { return KeeperProcessLockHeld() ? 1 : 0; };
    EXPECT_EQ(InChild(held), 0) << "no lock file yet";
    EXPECT_EQ(InChild(lock), 0) << "no holder yet";
    EXPECT_EQ(InChild(held), 0) << "the holder has gone";
    ASSERT_EQ(ProcessCheckInit(), 0);
    EXPECT_EQ(StatFile(dir.Join("config/spindlekeep_master_process_lockfile")).st_mode & 0777,
              0600u);
    EXPECT_EQ(InChild(lock), EAGAIN);
    EXPECT_EQ(InChild(held), 1);

    ASSERT_EQ(SetConfigPrefix(dir.Join("nowhere").c_str()), 0);
    EXPECT_EQ(KeeperTryLockFile(F_WRLCK), ENOENT);
}

}  // namespace
