// smartctl output is whatever the installed smartmontools prints.
#include <cstddef>
#include <cstdint>

#include "smartctl_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SmartctlInfo info;
    std::string error;
    if (SmartctlParse(reinterpret_cast<const char *>(data), size, &info, &error) &&
        info.attributeCount > kSmartAttrCount) {
        __builtin_trap();
    }
    return 0;
}
