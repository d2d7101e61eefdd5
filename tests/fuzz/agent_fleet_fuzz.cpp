// Fleet files are written by hand; a parsed fleet must also run, and a
// refused one must say why.
#include <cstdint>

#include "fleet_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fleet fleet;
    std::vector<FaultRule> faults;
    std::string error;
    std::string text(reinterpret_cast<const char *>(data), size);
    if (FleetParse(text, &fleet, &faults, &error) != 0) {
        return error.empty() ? (__builtin_trap(), 0) : 0;
    }
    FleetAdvanceTo(&fleet, 3600.0);
    for (const FleetDisk &disk : fleet.disks) {
        (void)FleetDiskView(fleet, disk);
    }
    return 0;
}
