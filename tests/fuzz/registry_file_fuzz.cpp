// Feeds arbitrary bytes to the registry loader as the registry file, as its
// WAL copy, or as both (layouts 0, 1 and 2 of fuzzfiles::PutLayout).
// Whatever loads must save and load back unchanged.
#include "disk_mgr/disk_mgr.h"
#include "fuzz/fuzz_files.h"

namespace {

// Snapshot of the loaded registry for the round-trip check. A capacity text
// beyond the signed 64-bit range ("-1" reads as 2^64-1 and is written so) is
// clamped on the way back in, by design of the file format; leave it out.
std::string Snapshot()
{
    std::string out;
    DiskMgrObj *obj = nullptr;
    for (uint32_t id = 0; id < MAX_DISK_ID_NUM; ++id) {
        if (DiskMgrGetObj(id, &obj) == 0) {
            DiskMgrObj copy = *obj;
            copy.diskCapacity = copy.diskCapacity >= uint64_t{INT64_MAX} ? 0 : copy.diskCapacity;
            out.append(reinterpret_cast<const char *>(&copy), sizeof(copy));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = fuzzfiles::MakeScratch("registry") + "/disk_mgr.config";
    fuzzfiles::PutLayout(data, size, {{path}, {path + ".wal"}, {path + ".wal", path}});
    fuzzfiles::Require(DiskMgrInit(path.c_str()) == 0);  // a bad file never fails initialisation
    std::string loaded = Snapshot();
    if (!loaded.empty()) {
        fuzzfiles::Require(DiskInfoSavetoConfig() == 0);
        DiskMgrDestroy();
        // What loaded must survive its own save.
        fuzzfiles::Require(DiskMgrInit(path.c_str()) == 0 && Snapshot() == loaded);
    }
    DiskMgrDestroy();
    return 0;
}
