// Diagnose requests come from any local client; their parser must hold up
// against every byte string.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "infrastructure/keeper_host/dbg_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DbgArgs args;
    int32_t st = DbgRequestParse(data, size, &args);
    if (st != DBG_STATUS_OK) {
        return args.argc != 0 ? (__builtin_trap(), 0) : 0;  // a refused request leaves no arguments
    }
    // A parsed request re-encodes to the very same bytes.
    static uint8_t again[DBG_HEADER_SIZE + DBG_MAX_PAYLOAD];
    size_t n = DbgRequestEncode(args.argc, args.argv, again, sizeof(again));
    if (n != size || memcmp(again, data, size) != 0) {
        __builtin_trap();
    }
    return 0;
}
