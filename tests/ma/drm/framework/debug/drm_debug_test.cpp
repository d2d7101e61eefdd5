#include "ma/drm/framework/debug/drm_debug.h"

#include <string>
#include <vector>

#include "ma/drm/drm_test_env.h"
#include "ma/drm/framework/debug/diag_group.h"

namespace {

using drmtest::DrmFrameworkFixture;

using drmtest::Diag;
using drmtest::Reply;

std::vector<std::string> g_ran;
int RunA(int, char **)
{
    g_ran.push_back("A");
    return 0;
}
int RunB(int, char **)
{
    g_ran.push_back("B");
    return 1;
}

DrmDiagCmd g_arrA[] = {{"same", RunA, "help of A\n"}, {"only_a", RunA, nullptr}};
DrmDiagCmd g_arrB[] = {{"same", RunB, "help of B\n"}};
DrmDiagCmd g_arrC[] = {{"c", RunA, nullptr}};
DrmDiagCmd g_arrD[] = {{"d", RunA, nullptr}};

TEST(DrmDebugTest, ClusterRegistryLimitsAndReuse)
{
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("", g_arrA, 2), -1);
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("x", nullptr, 2), -1);
    for (DrmDiagCmd *arr : {g_arrA, g_arrB, g_arrC}) {
        ASSERT_EQ(DrmDebugRegDiagCmdGroup("three", arr, 1), 0);
    }
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("three", g_arrD, 1), -1);
    std::vector<std::string> names;
    for (uint32_t i = 1; i < DRM_DIAG_CLUSTER_NUM; ++i) {
        names.push_back("cluster" + std::to_string(i));
        ASSERT_EQ(DrmDebugRegDiagCmdGroup(names.back().c_str(), g_arrD, 1), 0) << i;
    }
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("one_too_many", g_arrD, 1), -1);
    // Unregistering the only array frees the cluster for a new name.
    DrmDebugUnRegDiagCmdGroup("cluster1", g_arrD);
    EXPECT_EQ(DrmDebugRegDiagCmdGroup("one_too_many", g_arrD, 1), 0);
    DrmDebugUnRegDiagCmdGroup("one_too_many", g_arrD);
    for (size_t i = 1; i < names.size(); ++i) DrmDebugUnRegDiagCmdGroup(names[i].c_str(), g_arrD);
    for (DrmDiagCmd *arr : {g_arrA, g_arrB, g_arrC}) DrmDebugUnRegDiagCmdGroup("three", arr);
}

TEST(DrmDebugTest, ExecRunsEveryMatchingRowAndPrintsHelpOnFailure)
{
    ASSERT_EQ(DrmDebugRegAgentGroup("u_drm_test", "test group"), 0);
    ASSERT_EQ(DrmDebugRegDiagCmdGroup("u_drm_test", g_arrA, 2), 0);
    ASSERT_EQ(DrmDebugRegDiagCmdGroup("u_drm_test", g_arrB, 1), 0);
    struct Case {
        std::vector<std::string> args;
        int32_t status;
        std::vector<std::string> ran;
        std::string shows;
    };
    const Case cases[] = {
        {{"u_drm_test", "same"}, DBG_STATUS_OK, {"A", "B"}, "help of B\n"},
        {{"u_drm_test", "only_a", "extra"}, DBG_STATUS_OK, {"A"}, ""},
        {{"u_drm_test", "nosuchcmd"}, DBG_STATUS_FAILED, {}, "Can't Find The Diagnose Cmd\n"},
        {{"u_drm_test"}, DBG_STATUS_OK, {}, "SYNOPSIS\nhelp of A\nhelp of B\n"},
    };
    for (const auto &c : cases) {
        g_ran.clear();
        Reply r = Diag(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back();
        EXPECT_EQ(g_ran, c.ran) << c.args.back();
        EXPECT_NE(r.text.find(c.shows), std::string::npos) << c.args.back() << ": " << r.text;
    }
    DrmDebugUnRegDiagCmdGroup("u_drm_test", g_arrA);
    Reply gone = Diag({"u_drm_test", "same"});
    EXPECT_EQ(gone.text, "help of B\n") << "the other array still answers";
    DrmDebugUnRegDiagCmdGroup("u_drm_test", g_arrB);
    EXPECT_EQ(Diag({"u_drm_test", "same"}).status, DBG_STATUS_FAILED);
    DrmDebugUnRegAgentGroup("u_drm_test");
}

class DrmDiagGroupTest : public DrmFrameworkFixture {
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
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    // Name in 40 columns, then allocations, in use and burst maximum in 10 each.
    auto row = [](const char *name, const char *a, const char *u, const char *m) {
        auto pad = [](std::string v, size_t w) { return v + std::string(w - v.size(), ' '); };
        return pad(name, 40) + " " + pad(a, 10) + " " + pad(u, 10) + " " + pad(m, 10) + "\n";
    };
    EXPECT_EQ(r.text.find(row("cm_size_32", "2", "1", "2")), 0u) << r.text;
    DRM_FREE_LV(b, 24);
    EXPECT_EQ(DrmFrameworkDebugInit(), -1) << "\"drm\" is taken";
}

uint32_t g_setSeconds = 0;

TEST_F(DrmDiagGroupTest, ProductCommandsRefuseBadInput)
{
    struct Case {
        std::vector<std::string> args;
        int32_t status;
        std::string shows;
    };
    const Case cases[] = {
        {{"spindlekeep"}, DBG_STATUS_FAILED, "Please input valid command."},
        {{"spindlekeep", "set_disk_life_monitor_schedule_time"}, DBG_STATUS_FAILED, "need param[cycle_time]"},
        {{"spindlekeep", "set_disk_life_monitor_schedule_time", "4294967296"}, DBG_STATUS_FAILED, "Invalid param"},
        {{"spindlekeep", "set_disk_life_monitor_schedule_time", "60"}, DBG_STATUS_FAILED, "monitor is not running"},
        {{"spindlekeep", "test_mem", "set_malloc_size", "-1"}, DBG_STATUS_FAILED, "Invalid malloc size"},
    };
    uint32_t size = DiagTestMemBlockMiB();
    for (const auto &c : cases) {
        Reply r = Diag(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.text;
        EXPECT_NE(r.text.find(c.shows), std::string::npos) << c.args.back() << ": " << r.text;
    }
    EXPECT_EQ(DiagTestMemBlockMiB(), size) << "refused input changed the block size";
    DiagRegisterLifeMonitorSetter([](uint32_t s) { g_setSeconds = s; });
    Reply r = Diag({"spindlekeep", "set_disk_life_monitor_schedule_time", "600"});
    EXPECT_EQ(r.status, DBG_STATUS_OK);
    EXPECT_EQ(r.text, "Set disk life monitor schedule time 600s\n");
    EXPECT_EQ(g_setSeconds, 600u);
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
    Reply r = Diag({"spindlekeep", "test_mem", "malloc"});
    HostMmFailAlloc(0, false);
    EXPECT_EQ(r.text, "ERROR creating thread");
    EXPECT_EQ(drmtest::RunWorkers(), 0);
}

}  // namespace
