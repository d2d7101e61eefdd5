// Feeds arbitrary bytes to the configuration start-up load: as the
// configuration file, as the file plus an upgrade file, or as a lone WAL
// copy. A configuration that loaded once must load again after start-up
// rewrote it.
//
// Input: byte 0 picks the layout (0 file, 1 file and ".rpmnew", 2 WAL only);
// the split layout reads the file's length from bytes 1-2
// (little-endian); the rest is the content.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "config/config.h"
#include "config/config_prefix.h"
#include "fuzz/fuzz_files.h"

namespace {

using fuzzfiles::Put;

constexpr uint8_t kSplitLayout = 1;
std::string g_cfg;

void Setup()
{
    if (!g_cfg.empty()) {
        return;
    }
    std::string root = fuzzfiles::MakeScratch("config");
    if (SetConfigPrefix(root.c_str()) != 0) {
        abort();
    }
    std::string dir = root + "/config";
    (void)mkdir(dir.c_str(), 0750);  // no backup directory: nothing to recover from
    g_cfg = dir + "/spindlekeep_config.json";
}

void ReadEverything()
{
    static const char *const kTop[] = {"feature_switch", "takeover_disk_switch"};
    uint32_t v = 0;
    for (const char *key : kTop) {
        (void)GetSwitchConfig(key, &v);
    }
    (void)GetChildNodeConfigInt("disklife_prediction", "task_cycle", &v);
    for (const char *type : g_configDiskTypeKeys) {
        (void)GetChildNodeConfigInt(type, "min_slow_cycle", &v);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Setup();
    const std::string upgrade = g_cfg + ".rpmnew";
    const std::string wal = g_cfg + ".wal";
    (void)unlink(g_cfg.c_str());
    (void)unlink(upgrade.c_str());
    (void)unlink(wal.c_str());
    fuzzfiles::Layout l = fuzzfiles::ParseLayout(data, size, kSplitLayout);
    if (l.kind == 0) {
        Put(g_cfg, l.body, l.bodySize);
    } else if (l.kind == kSplitLayout) {
        Put(g_cfg, l.body, l.cut);
        Put(upgrade, l.body + l.cut, l.bodySize - l.cut);
    } else {
        Put(wal, l.body, l.bodySize);
    }

    int first = InitConfig();
    if (first == 0) {
        ReadEverything();
    }
    ConfigUnload();
    if (first == 0 && access(g_cfg.c_str(), F_OK) == 0) {
        if (InitConfig() != 0) {
            abort();  // start-up wrote a file it cannot read back
        }
        ConfigUnload();
    }
    return 0;
}
