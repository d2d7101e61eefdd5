#include "ma/drm/framework/debug/drm_debug.h"

#include <string>
#include <tuple>
#include <vector>

#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework/debug/diag_group.h"

namespace {

using drmtest::Diag;
using drmtest::Reply;

std::string g_ran;  // the rows run, A's answer success and B's failure
DrmDiagCmd g_arrA[] = {{"same", [](int, char **) { g_ran += "A"; return 0; }, "help of A\n"},
                       {"only_a", [](int, char **) { g_ran += "A"; return 0; }, nullptr}};
DrmDiagCmd g_arrB[] = {{"same", [](int, char **) { g_ran += "B"; return 1; }, "help of B\n"}};
DrmDiagCmd g_arrC[] = {{"c", [](int, char **) { return 0; }, nullptr}};

TEST(DrmDebugTest, ClusterRegistryLimitsAndReuse)
{
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("", g_arrA, 2), -1);
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("x", nullptr, 2), -1);
    for (DrmDiagCmd *arr : {g_arrA, g_arrB, g_arrC}) ASSERT_EQ(DrmDebugRegDiagCmdGroup("three", arr, 1), 0);
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("three", g_arrA + 1, 1), -1) << "three arrays per cluster";
    std::vector<std::string> names{"three"};
    for (uint32_t i = 1; i < DRM_DIAG_CLUSTER_NUM; ++i) {
        names.push_back("cluster" + std::to_string(i));
        ASSERT_EQ(DrmDebugRegDiagCmdGroup(names.back().c_str(), g_arrC, 1), 0) << i;
    }
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("one_too_many", g_arrC, 1), -1);
    DrmDebugUnRegDiagCmdGroup("three", g_arrA);  // another array keeps the cluster
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("one_too_many", g_arrC, 1), -1);
    DrmDebugUnRegDiagCmdGroup("cluster1", g_arrC);  // the only array: the name is free
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("one_too_many", g_arrC, 1), 0);
    names[1] = "one_too_many";
    for (const auto &n : names) {
        for (DrmDiagCmd *arr : {g_arrB, g_arrC}) DrmDebugUnRegDiagCmdGroup(n.c_str(), arr);
    }
}

TEST(DrmDebugTest, ExecRunsEveryMatchingRowAndPrintsHelpOnFailure)
{
    ASSERT_EQ(DrmDebugRegAgentGroup("u_drm_test", "test group"), 0);
    ASSERT_EQ(DrmDebugRegDiagCmdGroup("u_drm_test", g_arrA, 2), 0);
    ASSERT_EQ(DrmDebugRegDiagCmdGroup("u_drm_test", g_arrB, 1), 0);
    // Arguments, status, the rows run, a text in the output.
    const std::tuple<std::vector<std::string>, int32_t, std::string, std::string> cases[] = {
        {{"u_drm_test", "same"}, DBG_STATUS_OK, "AB", "help of B\n"},
        {{"u_drm_test", "only_a", "extra"}, DBG_STATUS_OK, "A", ""},
        {{"u_drm_test", "nosuchcmd"}, DBG_STATUS_FAILED, "", "Can't Find The Diagnose Cmd\n"},
        {{"u_drm_test"}, DBG_STATUS_OK, "", "SYNOPSIS\nhelp of A\nhelp of B\n"},
    };
    for (const auto &[args, status, ran, shows] : cases) {
        g_ran.clear();
        Reply r = Diag(args);
        EXPECT_EQ(std::make_tuple(r.status, g_ran, r.text.find(shows) != std::string::npos),
                  std::make_tuple(status, ran, true)) << args.back() << ": " << r.text;
    }
    DrmDebugUnRegDiagCmdGroup("u_drm_test", g_arrA);
    EXPECT_EQ(Diag({"u_drm_test", "same"}).text, "help of B\n") << "the other array still answers";
    DrmDebugUnRegDiagCmdGroup("u_drm_test", g_arrB);
    EXPECT_EQ(Diag({"u_drm_test", "same"}).status, DBG_STATUS_FAILED);
    DrmDebugUnRegAgentGroup("u_drm_test");
}

class DrmDiagGroupTest : public drmtest::DrmFrameworkFixture {
protected:
    void SetUp() override
    {
        DrmFrameworkFixture::SetUp();
        ASSERT_EQ(DrmFrameworkDebugInit(), 0);
        ASSERT_EQ(DiagGroupInit(), 0);
    }
    void TearDown() override
    {
        DiagRegisterLifeMonitorSetter(nullptr);
        (void)DiagGroupFin();
        (void)DrmFrameworkDebugFin();
        DrmFrameworkFixture::TearDown();
    }
};

TEST_F(DrmDiagGroupTest, ShowMemAllocPrintsLiveCounts)
{
    void *a = DRM_MALLOC_LV(24);
    void *b = DRM_MALLOC_LV(24);
    DRM_FREE_LV(a, 24);
    Reply r = Diag({"drm", "showmemalloc"});
    // Name in 40 columns, then allocations, in use and burst maximum in 10 each.
    std::string row = "cm_size_32" + std::string(31, ' ') + "2          1          2         \n";
    EXPECT_EQ(std::tuple(r.status, r.text.find(row)), std::tuple(DBG_STATUS_OK, 0ul)) << r.text;
    DRM_FREE_LV(b, 24);
    EXPECT_EQ(DrmFrameworkDebugInit(), -1) << "\"drm\" is taken";
}

uint32_t g_setSeconds = 0;

TEST_F(DrmDiagGroupTest, ProductCommandsRefuseBadInput)
{
    const std::string set = "set_disk_life_monitor_schedule_time";
    const std::pair<std::vector<std::string>, const char *> bad[] = {
        {{"spindlekeep"}, "Please input valid command."},
        {{"spindlekeep", set}, "need param[cycle_time]"},
        {{"spindlekeep", set, "4294967296"}, "Invalid param"},
        {{"spindlekeep", set, "60"}, "monitor is not running"},
        {{"spindlekeep", "test_mem", "set_malloc_size", "-1"}, "Invalid malloc size"},
    };
    uint32_t size = DiagTestMemBlockMiB();
    for (const auto &[args, shows] : bad) {
        Reply r = Diag(args);
        EXPECT_EQ(r.status, DBG_STATUS_FAILED) << args.back() << ": " << r.text;
        EXPECT_NE(r.text.find(shows), std::string::npos) << args.back() << ": " << r.text;
    }
    EXPECT_EQ(DiagTestMemBlockMiB(), size) << "refused input changed the block size";
    DiagRegisterLifeMonitorSetter([](uint32_t s) { g_setSeconds = s; });
    Reply r = Diag({"spindlekeep", set, "600"});
    EXPECT_EQ(std::make_tuple(r.status, r.text, g_setSeconds),
              std::make_tuple(DBG_STATUS_OK, "Set disk life monitor schedule time 600s\n", 600u));
}

TEST_F(DrmDiagGroupTest, TestMemMallocHoldsBlocksUntilFree)
{
    ASSERT_EQ(Diag({"spindlekeep", "test_mem", "set_malloc_size", "1"}).status, DBG_STATUS_OK);
    EXPECT_EQ(DiagTestMemBlockMiB(), 1u);
    HostMmFailAlloc(4, false);  // worker context, two blocks, then a refusal
    EXPECT_EQ(Diag({"spindlekeep", "test_mem", "malloc"}).text, "");
    EXPECT_EQ(drmtest::RunWorkers(), 1);
    HostMmFailAlloc(0, false);
    EXPECT_EQ(DiagTestMemBlocksHeld(), 2u);
    EXPECT_EQ(Diag({"spindlekeep", "test_mem", "free"}).text, "free mem ok\n");
    EXPECT_EQ(DiagTestMemBlocksHeld(), 0u);
    HostMmFailAlloc(1, false);  // no room for the worker's context
    EXPECT_EQ(Diag({"spindlekeep", "test_mem", "malloc"}).text, "ERROR creating thread");
    HostMmFailAlloc(0, false);
    EXPECT_EQ(drmtest::RunWorkers(), 0);
}

}  // namespace
