// Agent answers through the answer checks and the copiers. The first byte
// picks the message type and the number of devices asked; the rest is the
// answer as the transport leaves it (at most 8191 bytes, NUL added). Every
// copier also runs on every element directly, whatever the result check
// said, and the records must come out NUL-terminated within their fields.
#include <cjson/cJSON.h>

#include <cstring>

#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "data_collect/data_collect_master/dcm_rpc.h"
#include "fuzz/fuzz_files.h"

namespace {

template <size_t... N>
bool Terminated(const char (&...field)[N])
{
    return (... && (memchr(field, '\0', N) != nullptr));
}

// Every record starts with its serial number; the device list entry and the
// base record carry more text, the base record two enumerations.
bool RecordOk(uint32_t type, const void *record)
{
    const auto *brief = static_cast<const DiskBriefInfo *>(record);
    const auto *base = static_cast<const DiskBaseInfo *>(record);
    switch (type) {
        case MESSAGE_DISK_BRIEF_INFO:
            return Terminated(brief->sn, brief->deviceName);
        case MESSAGE_DISK_BASE_INFO:
            return Terminated(base->sn, base->vendor, base->model, base->firmware,
                              base->deviceName, base->pciAddr) &&
                   base->diskType <= DISK_TYPE_UNKNOWN && base->mediaType <= MEDIA_TYPE_UNKNOWN;
        case MESSAGE_DISK_HEALTH_INFO:
            return Terminated(static_cast<const DiskHealthInfoSnWrap *>(record)->sn);
        default:
            return Terminated(static_cast<const DiskIoInfoFrameSnWrap *>(record)->sn);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzfiles::Quiet(0);  // not even critical records: this runs hot
    if (size == 0) {
        return 0;
    }
    uint32_t type = data[0] % MESSAGE_TYPE_BUTT;
    uint32_t asked = (data[0] >> 2) % 70;
    static char answer[AGENT_RSP_BUF_LEN];
    size_t n = std::min(size - 1, sizeof(answer) - 1);
    memcpy(answer, data + 1, n);
    answer[n] = '\0';
    cJSON *rsp = cJSON_Parse(answer);
    cJSON *result = cJSON_GetObjectItem(rsp, "result");
    (void)IsValidJsonResponse(rsp);
    (void)g_validateResultStrategyMap[type](result, asked);
    const cJSON *disks = cJSON_GetObjectItem(result, "disks");
    uint32_t recordSize = DcmMessageInfoGet(type)->recordSize;
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, disks)
    {
        void *record = calloc(1, recordSize);
        int ret = g_copyStructFromJsonStrategyMap[type](disk, record);
        fuzzfiles::Require(ret != 0 || RecordOk(type, record));
        free(record);
    }
    ArrayList list{nullptr, asked == 0 ? 1 : asked, recordSize};
    if (ArrayListCreate(&list) == 0) {
        int ret = CopyBatchFromJSON(type, disks, &list);
        for (uint32_t i = 0; ret == 0 && i < list.count; ++i) {
            fuzzfiles::Require(RecordOk(type, list.elements[i]));
        }
        ArrayListRelease(&list);
    }
    uint64_t rate = 0;
    uint64_t ticks = 0;
    (void)CopyClockTicksInstantFromJSON(result, &rate, &ticks);
    cJSON_Delete(rsp);
    return 0;
}
