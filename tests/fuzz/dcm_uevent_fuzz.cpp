// Any datagram of the uevent socket, of any length and content, through the
// event parser and the PCI-address extraction. The input is copied into a
// block of exactly its size, so a read past the received bytes is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> msg(data, data + size);
    HotPlugEvent ev = {};
    if (HotPlugEventParse(size == 0 ? nullptr : msg.data(), size, &ev) != 0) {
        return 0;
    }
    for (const char *field : {ev.action, ev.devPath, ev.subsystem}) {
        if (strnlen(field, HOT_PLUG_FIELD_LEN) >= HOT_PLUG_FIELD_LEN) {
            __builtin_trap();  // a field lost its NUL
        }
    }
    char pci[HOT_PLUG_FIELD_LEN];
    (void)HotPlugEventNvmePci(&ev, pci, sizeof(pci));
    return 0;
}
