// Scaffolding shared by the fuzz targets: a quiet OS adapter, a scratch
// directory removed at exit, and one input spread over several files.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace fuzzfiles {

// Installs the OS adapter once, logging only records as severe as `level`:
// the code under fuzz logs every refusal, which would slow the run down.
inline void Quiet(uint32_t level = KEEPER_LOG_CRITICAL)
{
    static const bool installed = (KeeperInfraLiteInstall(), KeeperOsSetLogLevel(level), true);
    (void)installed;
}

// Stops the run, so that the fuzzer keeps the input, when a property fails.
inline void Require(bool ok)
{
    if (!ok) {
        abort();
    }
}

// Quiet(), and a scratch directory "/tmp/spk_fuzz_<name>_XXXXXX" that goes
// when the process exits; later calls return the same directory.
inline std::string MakeScratch(const char *name)
{
    struct Scratch {
        std::string path;
        ~Scratch()
        {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    Quiet();
    static Scratch scratch{std::string("/tmp/spk_fuzz_") + name + "_XXXXXX"};
    static const bool made = mkdtemp(scratch.path.data()) != nullptr;
    Require(made);
    return scratch.path;
}

inline void Put(const std::string &path, const uint8_t *data, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    Require(out.write(reinterpret_cast<const char *>(data), size).good());
}

// Removes every file the layouts name, then writes the input as one of them.
// Byte 0 picks the layout (index modulo their number); a layout of two files
// takes the length of its first file from bytes 1-2 (little-endian, at most
// what there is); the rest of the input is the content.
inline void PutLayout(const uint8_t *data, size_t size,
                      const std::vector<std::vector<std::string>> &layouts)
{
    for (const auto &files : layouts) {
        for (const std::string &file : files) {
            (void)unlink(file.c_str());
        }
    }
    const auto &files = layouts[size > 0 ? data[0] % layouts.size() : 0];
    size_t head = files.size() == 2 ? 3 : 1;
    const uint8_t *body = size >= head ? data + head : data;
    size_t bodySize = size >= head ? size - head : 0;
    size_t cut = files.size() == 2 && size >= head ? std::min<size_t>(bodySize, data[1] | data[2] << 8)
                                                 : bodySize;
    Put(files[0], body, cut);
    if (files.size() == 2) {
        Put(files[1], body + cut, bodySize - cut);
    }
}

}  // namespace fuzzfiles
