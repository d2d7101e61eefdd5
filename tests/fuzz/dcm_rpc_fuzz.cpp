// Agent answers as the transport leaves them (at most 8191 bytes, NUL added)
// through parsing and the envelope check, and arbitrary disk records through
// the data-agent request builders, whose text fields may lack their NUL.
#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_mgr/data_mgr_master/data_mgr_dma.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    static char answer[AGENT_RSP_BUF_LEN];
    size_t n = std::min(size, sizeof(answer) - 1);
    memcpy(answer, data, n);
    answer[n] = '\0';
    cJSON *rsp = cJSON_Parse(answer);
    (void)IsValidJsonResponse(rsp);
    cJSON_Delete(rsp);

    DiskBaseInfo info{};
    memcpy(&info, data, std::min(size, sizeof(info)));
    char sn[48];
    memset(sn, 'S', sizeof(sn));
    memcpy(sn, data, std::min(size, sizeof(sn)));
    for (uint32_t type = 0; type < DMA_MSG_BUTT; ++type) {
        const void *payload =
            type == DMA_MSG_SET_HANDLE_STRATEGY ? static_cast<const void *>(answer) : &info;
        char *text = nullptr;
        if (DataMgrMasterConstructRpcJsonParam(type, KeeperStr{data[0] % 48u, sn}, payload, &text) == 0) {
            cJSON_free(text);
        }
    }
    return 0;
}
