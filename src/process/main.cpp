// The daemon. It reads no arguments: everything tunable lives in its
// configuration file.
#include <malloc.h>

#include "process/process.h"

int main()
{
    // Dozens of short-lived workers allocate small records; with one malloc
    // arena per thread (glibc's default, up to eight per core) each arena's
    // touched pages stay resident. Two arenas keep the footprint flat.
    (void)mallopt(M_ARENA_MAX, 2);
    return KeeperMain();
}
