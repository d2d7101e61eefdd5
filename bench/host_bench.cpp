// Costs of the host services on the daemon's hot paths: a log record that is
// written, one that is filtered out, a pool structure round trip (DRM trigger
// nodes), a heap round trip with accounting, and one diagnose request run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_host/qxlog.h"
#include "infrastructure/keeper_host/qxmm.h"

namespace {

void BM_LogRecordWritten(benchmark::State &state)
{
    char tmpl[] = "/tmp/host_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr || qxlog_set_file_path_ext(tmpl, tmpl) != 0 ||
        qxlog_set_backup_num(1) != 0 || qxlog_init() != 0) {
        state.SkipWithError("cannot open a log file");
        return;
    }
    for (auto _ : state) {
        qxlog(999, 6, "host_bench.cpp", __LINE__, __func__, 0, "[%s]disk %u io %llu", "DCM", 7u,
              1234567ULL);
    }
    qxlog_destroy();
    std::string cmd = std::string("rm -rf ") + tmpl;
    benchmark::DoNotOptimize(system(cmd.c_str()));
}
BENCHMARK(BM_LogRecordWritten);

void BM_LogRecordFiltered(benchmark::State &state)
{
    for (auto _ : state) {
        qxlog(999, 7, "host_bench.cpp", __LINE__, __func__, 0, "[%s]dropped %d", "DCM", 1);
    }
}
BENCHMARK(BM_LogRecordFiltered);

void BM_PoolStructureRoundTrip(benchmark::State &state)
{
    uint32_t id = 0;
    if (createExpStructurePartition(64, 30000, "cm_size_32", 481, 0, 40, &id, 0, 0, 1) != 0) {
        state.SkipWithError("pool creation failed");
        return;
    }
    for (auto _ : state) {
        void *b = nullptr;
        benchmark::DoNotOptimize(allocStructure(id, &b, 481, "bench"));
        benchmark::DoNotOptimize(freeStructure(id, b, 481, "bench"));
    }
    benchmark::DoNotOptimize(deletePartitionByID(id));
}
BENCHMARK(BM_PoolStructureRoundTrip)->Threads(1)->Threads(2);

void BM_HeapRoundTrip(benchmark::State &state)
{
    for (auto _ : state) {
        void *p = qxmm_malloc(256, 481, "bench");
        benchmark::DoNotOptimize(p);
        qxmm_free(p, 481, "bench");
    }
}
BENCHMARK(BM_HeapRoundTrip);

void BM_SpinlockUncontended(benchmark::State &state)
{
    qxax_spinlock_t lock{};
    for (auto _ : state) {
        qxax_spin_lock(&lock);
        qxax_spin_unlock(&lock);
    }
}
BENCHMARK(BM_SpinlockUncontended);

int BenchExec(int argc, char **)
{
    for (int i = 0; i < 16; ++i) {
        DBG_Print("%-40s %-10d %-10d %-10d\n", "cm_size_32", argc, i, i * 2);
    }
    return 0;
}

void BM_DiagnoseRequestRun(benchmark::State &state)
{
    DBG_CmdGroup g{"benchgrp", "bench", BenchExec, nullptr};
    if (DBG_RegCmd(&g) != 0) {
        state.SkipWithError("register failed");
        return;
    }
    static char out[DBG_MAX_OUTPUT + 1];
    char group[] = "benchgrp";
    char cmd[] = "show";
    char *argv[] = {group, cmd, nullptr};
    uint32_t len = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(DbgAgentRun(2, argv, out, sizeof(out), &len));
    }
    DBG_UnRegCmd("benchgrp");
}
BENCHMARK(BM_DiagnoseRequestRun);

}  // namespace
