// Feeds arbitrary bytes to the registry loader as the registry file, as its
// WAL copy, or as both. Whatever loads must save and load back unchanged.
//
// Input: byte 0 picks the layout (0 file, 1 WAL only, 2 WAL and file); the
// split layout reads the WAL's length from bytes 1-2 (little-endian); the
// rest is the content.
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk_mgr/disk_mgr.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

constexpr uint8_t kSplitLayout = 2;
std::string g_path;
std::string g_dir;

int RemoveEntry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

// The scratch directory goes when the fuzzer or the replay exits.
void RemoveScratch() { (void)nftw(g_dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS); }

void Setup()
{
    if (!g_path.empty()) {
        return;
    }
    (void)KeeperInfraLiteInstall();
    KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
    char tmpl[] = "/tmp/spk_fuzz_registry_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        abort();
    }
    g_dir = tmpl;
    (void)atexit(RemoveScratch);
    g_path = g_dir + "/disk_mgr.config";
}

void Put(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        abort();
    }
    if (size > 0 && fwrite(data, 1, size, f) != size) {
        abort();
    }
    fclose(f);
}

// Snapshot of the loaded registry for the round-trip check. A capacity text
// beyond the signed 64-bit range ("-1" reads as 2^64-1 and is written so) is
// clamped on the way back in, by design of the file format; leave it out.
std::string Snapshot()
{
    std::string out;
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM; ++id) {
        DiskMgrObj *obj = nullptr;
        if (DiskMgrGetObj(id, &obj) == 0) {
            DiskMgrObj copy = *obj;
            if (copy.diskCapacity >= static_cast<uint64_t>(INT64_MAX)) {
                copy.diskCapacity = 0;
            }
            out.append(reinterpret_cast<const char *>(&copy), sizeof(copy));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Setup();
    const std::string wal = g_path + ".wal";
    (void)unlink(g_path.c_str());
    (void)unlink(wal.c_str());
    uint8_t layout = size > 0 ? data[0] % 3 : 0;
    size_t head = layout == kSplitLayout ? 3 : 1;
    const uint8_t *body = size >= head ? data + head : data;
    size_t bodySize = size >= head ? size - head : 0;
    size_t cut = size >= 3 ? (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) : 0;
    cut = cut < bodySize ? cut : bodySize;
    if (layout == 0) {
        Put(g_path, body, bodySize);
    } else if (layout == 1) {
        Put(wal, body, bodySize);
    } else {
        Put(wal, body, cut);
        Put(g_path, body + cut, bodySize - cut);
    }

    if (DiskMgrInit(g_path.c_str()) != 0) {
        abort();  // a bad file never fails initialisation
    }
    std::string loaded = Snapshot();
    if (!loaded.empty()) {
        if (DiskInfoSavetoConfig() != 0) {
            abort();
        }
        DiskMgrDestroy();
        if (DiskMgrInit(g_path.c_str()) != 0 || Snapshot() != loaded) {
            abort();  // what loaded did not survive its own save
        }
    }
    DiskMgrDestroy();
    return 0;
}
