// Agent answers through the answer checks and the copiers. The first byte
// picks the message type and the number of devices asked; the rest is the
// answer as the transport leaves it (at most 8191 bytes, NUL added). Every
// copier also runs on every element directly, whatever the result check
// said, and the records must come out NUL-terminated within their fields.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"
#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "data_collect/data_collect_master/dcm_rpc.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

namespace {

bool Terminated(const char *field, size_t size) { return memchr(field, '\0', size) != nullptr; }

void CheckRecord(uint32_t type, const void *record)
{
    bool ok = true;
    switch (type) {
        case MESSAGE_DISK_BRIEF_INFO: {
            const auto *b = static_cast<const DiskBriefInfo *>(record);
            ok = Terminated(b->sn, sizeof(b->sn)) && Terminated(b->deviceName, sizeof(b->deviceName));
            break;
        }
        case MESSAGE_DISK_BASE_INFO: {
            const auto *b = static_cast<const DiskBaseInfo *>(record);
            ok = Terminated(b->sn, sizeof(b->sn)) && Terminated(b->vendor, sizeof(b->vendor)) &&
                 Terminated(b->model, sizeof(b->model)) &&
                 Terminated(b->firmware, sizeof(b->firmware)) &&
                 Terminated(b->deviceName, sizeof(b->deviceName)) &&
                 Terminated(b->pciAddr, sizeof(b->pciAddr)) && b->diskType <= DISK_TYPE_UNKNOWN &&
                 b->mediaType <= MEDIA_TYPE_UNKNOWN;
            break;
        }
        case MESSAGE_DISK_HEALTH_INFO:
            ok = Terminated(static_cast<const DiskHealthInfoSnWrap *>(record)->sn, DISK_SN_LEN);
            break;
        default:
            ok = Terminated(static_cast<const DiskIoInfoFrameSnWrap *>(record)->sn, DISK_SN_LEN);
            break;
    }
    if (!ok) {
        abort();
    }
}

void CopyEveryElement(uint32_t type, const cJSON *disks, uint32_t recordSize)
{
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, disks)
    {
        void *record = calloc(1, recordSize);
        if (g_copyStructFromJsonStrategyMap[type](disk, record) == 0) {
            CheckRecord(type, record);
        }
        free(record);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool installed = [] {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(0);  // the checks log every refusal; keep the run fast
        return true;
    }();
    (void)installed;
    if (size == 0) {
        return 0;
    }
    uint32_t type = data[0] % MESSAGE_TYPE_BUTT;
    uint32_t asked = (data[0] >> 2) % 70;
    static char answer[AGENT_RSP_BUF_LEN];
    size_t n = size - 1 < sizeof(answer) - 1 ? size - 1 : sizeof(answer) - 1;
    memcpy(answer, data + 1, n);
    answer[n] = '\0';
    cJSON *rsp = cJSON_Parse(answer);
    cJSON *result = cJSON_GetObjectItem(rsp, "result");
    (void)IsValidJsonResponse(rsp);
    (void)g_validateResultStrategyMap[type](result, asked);
    const cJSON *disks = cJSON_GetObjectItem(result, "disks");
    uint32_t recordSize = DcmMessageInfoGet(type)->recordSize;
    CopyEveryElement(type, disks, recordSize);

    ArrayList list{nullptr, asked == 0 ? 1 : asked, recordSize};
    if (ArrayListCreate(&list) == 0) {
        int ret = CopyBatchFromJSON(type, disks, &list);
        for (uint32_t i = 0; ret == 0 && i < list.count; ++i) {
            CheckRecord(type, list.elements[i]);
        }
        ArrayListRelease(&list);
    }
    uint64_t rate = 0;
    uint64_t ticks = 0;
    (void)CopyClockTicksInstantFromJSON(result, &rate, &ticks);
    cJSON_Delete(rsp);
    return 0;
}
