// Feeds arbitrary bytes to the configuration start-up load: as the
// configuration file, as the file plus an upgrade file, or as a lone WAL
// copy. A configuration that loaded once must load again after start-up
// rewrote it.
//
// Input: byte 0 picks the layout (0 file, 1 file and ".rpmnew", 2 WAL only);
// the split layout reads the file's length from bytes 1-2
// (little-endian); the rest is the content.
#include <sys/stat.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config.h"
#include "config/config_prefix.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

constexpr uint8_t kSplitLayout = 1;
std::string g_cfg;
std::string g_dir;

int RemoveEntry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

// The scratch directory goes when the fuzzer or the replay exits.
void RemoveScratch() { (void)nftw(g_dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS); }

void Setup()
{
    if (!g_cfg.empty()) {
        return;
    }
    (void)KeeperInfraLiteInstall();
    KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
    char tmpl[] = "/tmp/spk_fuzz_config_XXXXXX";
    if (mkdtemp(tmpl) == nullptr || SetConfigPrefix(tmpl) != 0) {
        abort();
    }
    g_dir = tmpl;
    (void)atexit(RemoveScratch);
    std::string dir = g_dir + "/config";
    (void)mkdir(dir.c_str(), 0750);  // no backup directory: nothing to recover from
    g_cfg = dir + "/spindlekeep_config.json";
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
    uint8_t layout = size > 0 ? data[0] % 3 : 0;
    size_t head = layout == kSplitLayout ? 3 : 1;
    const uint8_t *body = size >= head ? data + head : data;
    size_t bodySize = size >= head ? size - head : 0;
    size_t cut = size >= 3 ? (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) : 0;
    cut = cut < bodySize ? cut : bodySize;
    if (layout == 0) {
        Put(g_cfg, body, bodySize);
    } else if (layout == 1) {
        Put(g_cfg, body, cut);
        Put(upgrade, body + cut, bodySize - cut);
    } else {
        Put(wal, body, bodySize);
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
