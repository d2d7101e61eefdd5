// Cost of the persistence paths: a full registry save (64 disks, WAL and
// rename), its load and validation, a registry update (which saves), and a
// configuration read under the read-write lock.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "config/config.h"
#include "config/config_prefix.h"
#include "disk_mgr/disk_mgr.h"
#include "disk_mgr/disk_mgr_file.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

std::string g_dir;

int RemoveEntry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

void RemoveScratch() { (void)nftw(g_dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS); }

std::string Dir()
{
    static std::string dir;
    if (dir.empty()) {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
        char tmpl[] = "/tmp/spk_bench_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            abort();
        }
        dir = tmpl;
        g_dir = dir;
        (void)atexit(RemoveScratch);
        (void)mkdir((dir + "/config").c_str(), 0750);
        (void)mkdir((dir + "/userconfig_bak").c_str(), 0750);
        if (SetConfigPrefix(dir.c_str()) != 0) {
            abort();
        }
    }
    return dir;
}

DiskBaseInfo Disk(uint32_t i)
{
    DiskBaseInfo d{};
    d.frameId = 1;
    d.slotId = i;
    d.diskCapacity = 7681501126656ULL;
    d.sectorSize = 4096;
    strcpy(d.vendor, "SAMSUNG");
    strcpy(d.model, "MZWLR7T6HALA-00007");
    strcpy(d.firmware, "MPK7525Q");
    snprintf(d.sn, sizeof(d.sn), "S6EWNE0R%06u", i);
    strcpy(d.pciAddr, "0000:3b:00.0");
    d.diskType = DISK_TYPE_SSD_NVME;
    d.mediaType = MEDIA_TYPE_TLC;
    return d;
}

// A registry of `n` disks in a fresh file.
std::string FillRegistry(uint32_t n)
{
    std::string path = Dir() + "/config/bench_registry_" + std::to_string(n);
    (void)unlink(path.c_str());
    DiskMgrDestroy();
    if (DiskMgrInit(path.c_str()) != 0) {
        abort();
    }
    for (uint32_t i = 0; i < n; ++i) {
        DiskBaseInfo d = Disk(i);
        uint32_t id = 0;
        if (GetNewDiskId(DISK_SN_LEN, d.sn, &id) != 0 || DiskInfoUpdate(id, &d) != 0) {
            abort();
        }
    }
    return path;
}

void BM_RegistrySave(benchmark::State &state)
{
    FillRegistry(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        if (DiskInfoSavetoConfig() != 0) {
            state.SkipWithError("save failed");
        }
    }
    DiskMgrDestroy();
}
BENCHMARK(BM_RegistrySave)->Arg(1)->Arg(16)->Arg(64);

void BM_RegistryLoad(benchmark::State &state)
{
    std::string path = FillRegistry(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        DiskMgrFreeAllObj();
        if (DiskInfoLoadConfig() != 0) {
            state.SkipWithError("load failed");
        }
    }
    DiskMgrDestroy();
}
BENCHMARK(BM_RegistryLoad)->Arg(1)->Arg(16)->Arg(64);

// A state change of one disk among 64, as the data manager makes it.
void BM_RegistryUpdate(benchmark::State &state)
{
    FillRegistry(64);
    DiskMgrObj *obj = nullptr;
    if (DiskMgrGetObj(10, &obj) != 0) {
        abort();
    }
    DiskBaseInfo d = *obj;
    uint32_t flip = 0;
    for (auto _ : state) {
        d.diskState = (++flip & 1) ? DISK_STATE_SLOW : DISK_STATE_NORMAL;
        if (DiskInfoUpdate(10, &d) != 0) {
            state.SkipWithError("update failed");
        }
    }
    DiskMgrDestroy();
}
BENCHMARK(BM_RegistryUpdate);

void BM_ConfigChildRead(benchmark::State &state)
{
    (void)Dir();
    ConfigUnload();
    if (InitConfig() != 0) {
        abort();
    }
    uint32_t v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetChildNodeConfigInt("sas_hdd", "min_slow_cycle", &v));
    }
    ConfigUnload();
}
BENCHMARK(BM_ConfigChildRead);

}  // namespace
