// Scaffolding shared by the fuzz targets that feed bytes to file loaders:
// a quiet OS adapter, a scratch directory removed at exit, file writing and
// the common input layout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace fuzzfiles {

// Installs the adapter with only critical logging and makes a scratch
// directory "/tmp/spk_fuzz_<name>_XXXXXX" that goes when the process exits.
inline std::string MakeScratch(const char *name)
{
    (void)KeeperInfraLiteInstall();
    KeeperOsSetLogLevel(KEEPER_LOG_CRITICAL);
    std::string tmpl = std::string("/tmp/spk_fuzz_") + name + "_XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        abort();
    }
    static std::string scratch;
    scratch = tmpl;
    (void)atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
    });
    return tmpl;
}

inline void Put(const std::string &path, const uint8_t *data, size_t size)
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

// Input layout: byte 0 picks one of three layouts; the split layout takes the
// length of its first file from bytes 1-2 (little-endian); the rest is the body.
struct Layout {
    uint8_t kind;
    const uint8_t *body;
    size_t bodySize;
    size_t cut;  // split layout: bytes of the body that go to the first file
};

inline Layout ParseLayout(const uint8_t *data, size_t size, uint8_t splitKind)
{
    Layout l{};
    l.kind = size > 0 ? data[0] % 3 : 0;
    size_t head = l.kind == splitKind ? 3 : 1;
    l.body = size >= head ? data + head : data;
    l.bodySize = size >= head ? size - head : 0;
    l.cut = size >= 3 ? (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) : 0;
    if (l.cut > l.bodySize) {
        l.cut = l.bodySize;
    }
    return l;
}

}  // namespace fuzzfiles
