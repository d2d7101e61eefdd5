#include "disk_model.h"

#include <strings.h>

namespace {

constexpr const char *kDiskTypeNames[] = {"SSD_NVMe", "SSD_SAS",  "SSD_SATA",
                                          "HDD_SAS",  "HDD_SATA", "HDD_NL_SAS"};
static_assert(sizeof(kDiskTypeNames) / sizeof(kDiskTypeNames[0]) ==
              static_cast<size_t>(DiskType::kCount));

constexpr const char *kMediaNames[] = {"SLC", "MLC", "TLC", "QLC", "PLC", "MAGNET"};
constexpr const char *kPlatformVendors[] = {"KORVAN", "TELMAR", "OSKEN", "0x1c7f"};

bool EqualNoCase(std::string_view a, const char *b)
{
    std::string_view bv(b);
    return a.size() == bv.size() && strncasecmp(a.data(), b, a.size()) == 0;
}

}  // namespace

const char *DiskTypeName(DiskType type)
{
    size_t index = static_cast<size_t>(type);
    return index < static_cast<size_t>(DiskType::kCount) ? kDiskTypeNames[index] : "UNKNOWN";
}

bool DiskTypeFromName(std::string_view name, DiskType *type)
{
    for (size_t i = 0; i < static_cast<size_t>(DiskType::kCount); ++i) {
        if (EqualNoCase(name, kDiskTypeNames[i])) {
            *type = static_cast<DiskType>(i);
            return true;
        }
    }
    return false;
}

bool IsKnownMediaType(std::string_view media)
{
    for (const char *name : kMediaNames) {
        if (EqualNoCase(media, name)) {
            return true;
        }
    }
    return false;
}

bool IsPlatformVendor(std::string_view vendor)
{
    for (const char *name : kPlatformVendors) {
        if (EqualNoCase(vendor, name)) {
            return true;
        }
    }
    return false;
}
