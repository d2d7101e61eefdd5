// Feeds arbitrary bytes to the registry loader as the registry file, as its
// WAL copy, or as both. Whatever loads must save and load back unchanged.
//
// Input: byte 0 picks the layout (0 file, 1 WAL only, 2 WAL and file); the
// split layout reads the WAL's length from bytes 1-2 (little-endian); the
// rest is the content.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "disk_mgr/disk_mgr.h"
#include "fuzz/fuzz_files.h"

namespace {

using fuzzfiles::Put;

constexpr uint8_t kSplitLayout = 2;
std::string g_path;

void Setup()
{
    if (g_path.empty()) {
        g_path = fuzzfiles::MakeScratch("registry") + "/disk_mgr.config";
    }
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
    fuzzfiles::Layout l = fuzzfiles::ParseLayout(data, size, kSplitLayout);
    if (l.kind == 0) {
        Put(g_path, l.body, l.bodySize);
    } else if (l.kind == 1) {
        Put(wal, l.body, l.bodySize);
    } else {
        Put(wal, l.body, l.cut);
        Put(g_path, l.body + l.cut, l.bodySize - l.cut);
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
