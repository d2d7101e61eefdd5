// Feeds arbitrary bytes to the configuration start-up load: as the
// configuration file, as the file plus an upgrade file, or as a lone WAL
// copy (layouts 0, 1 and 2 of fuzzfiles::PutLayout). A configuration that
// loaded once must load again after start-up rewrote it.
#include <sys/stat.h>

#include "config/config.h"
#include "config/config_prefix.h"
#include "fuzz/fuzz_files.h"

namespace {

// Reads every kind of value the daemon reads at start-up.
void ReadEverything()
{
    uint32_t v = 0;
    for (const char *key : {"feature_switch", "takeover_disk_switch"}) {
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
    static const std::string cfg = [] {
        std::string root = fuzzfiles::MakeScratch("config");
        fuzzfiles::Require(SetConfigPrefix(root.c_str()) == 0);
        (void)mkdir((root + "/config").c_str(), 0750);  // no backup directory: nothing to recover from
        return root + "/config/spindlekeep_config.json";
    }();
    fuzzfiles::PutLayout(data, size, {{cfg}, {cfg, cfg + ".rpmnew"}, {cfg + ".wal"}});
    int first = InitConfig();
    if (first == 0) {
        ReadEverything();
    }
    ConfigUnload();
    if (first == 0 && access(cfg.c_str(), F_OK) == 0) {
        fuzzfiles::Require(InitConfig() == 0);  // start-up wrote a file it cannot read back
        ConfigUnload();
    }
    return 0;
}
