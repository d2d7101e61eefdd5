#include "data_collect/data_collect_master/DCM_query/dcm_query.h"

#include <cerrno>
#include <cstring>

#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"
#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "data_mgr/data_mgr_master/data_mgr_online.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DCM";
constexpr int kErrIo = EIO;          // 5
constexpr int kErrNoMem = ENOMEM;    // 12
constexpr int kErrAccess = EACCES;   // 13
constexpr int kErrInval = EINVAL;    // 22
constexpr int kErrBadMsg = EBADMSG;  // 74
constexpr const char *kSlotMethod = "dca_get_disks_slotid";

constexpr DcmMessageInfo kMessageTable[MESSAGE_TYPE_BUTT] = {
    {"dca_get_disks_brief_info", 0, sizeof(DiskBriefInfo)},
    {"dca_get_disks_base_info", 13, sizeof(DiskBaseInfo)},
    {"dca_get_disks_health_info", 4, sizeof(DiskHealthInfoSnWrap)},
    {"dca_get_disks_iostat", 20, sizeof(DiskIoInfoFrameSnWrap)},
};

// A serial-number field as the data manager takes it.
KeeperStr SnStr(char *sn) { return KeeperStr{static_cast<uint32_t>(DISK_SN_LEN), sn}; }

bool IsAcceptedSetResult(int32_t ret) { return ret == 0 || ret == DATA_MGR_ERR_WHITELIST; }

// {"devices": [device names...]} added to `request` as "params"; false on
// allocation failure.
cJSON *AddDeviceParams(cJSON *request, DiskBriefInfo *const *devices, uint16_t count)
{
    cJSON *params = cJSON_AddObjectToObject(request, "params");
    cJSON *names = params == nullptr ? nullptr : cJSON_AddArrayToObject(params, "devices");
    if (names == nullptr) {
        return nullptr;
    }
    for (uint16_t i = 0; i < count; ++i) {
        cJSON *name = cJSON_CreateString(devices[i]->deviceName);
        if (name == nullptr || !cJSON_AddItemToArray(names, name)) {
            cJSON_Delete(name);
            return nullptr;
        }
    }
    return params;
}

cJSON *BuildBareRequest(const char *method, DiskBriefInfo *const * /*devices*/,
                        uint16_t /*count*/, uint64_t /*period*/)
{
    return CreateBaseRequest(method);
}

cJSON *BuildDevicesRequest(const char *method, DiskBriefInfo *const *devices, uint16_t count,
                           uint64_t /*period*/)
{
    cJSON *request = CreateBaseRequest(method);
    if (request != nullptr && AddDeviceParams(request, devices, count) == nullptr) {
        cJSON_Delete(request);
        return nullptr;
    }
    return request;
}

cJSON *BuildIostatRequest(const char *method, DiskBriefInfo *const *devices, uint16_t count,
                          uint64_t period)
{
    KeeperStr text{0, nullptr};
    int ret = ConvertUint2DecimalString(period, &text);
    if (ret != 0) {
        KLOG_ERR(kTag, "Convert uint to string failed(ret%d).", ret);
        return nullptr;
    }
    cJSON *request = CreateBaseRequest(method);
    cJSON *params = request == nullptr ? nullptr : AddDeviceParams(request, devices, count);
    if (params == nullptr || cJSON_AddStringToObject(params, "period", text.buf) == nullptr) {
        cJSON_Delete(request);
        request = nullptr;
    }
    KeeperFree(text.buf);
    return request;
}

int SaveBriefGuard(cJSON * /*result*/, void *const * /*records*/, uint32_t /*count*/)
{
    KLOG_CRIT(kTag,
              "Access g_copyStructFromJsonStrategyMap MESSAGE_DISK_BRIEF_INFO config item. "
              "MESSAGE_DISK_BRIEF_INFO should not invoke in g_saveMessageStrategyMap. Check why "
              "invoked. In normal cases, correct func SaveDiskBriefInfo should invoked "
              "independently.");
    return kErrAccess;
}

// {"device_name", "pci_address"} of every NVMe element of the base "disks".
cJSON *BuildSlotRequest(const cJSON *baseDisks)
{
    cJSON *request = CreateBaseRequest(kSlotMethod);
    cJSON *params = request == nullptr ? nullptr : cJSON_AddObjectToObject(request, "params");
    cJSON *devices = params == nullptr ? nullptr : cJSON_AddArrayToObject(params, "devices");
    if (devices == nullptr) {
        cJSON_Delete(request);
        return nullptr;
    }
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, baseDisks)
    {
        const cJSON *name = cJSON_GetObjectItem(disk, "device_name");
        const cJSON *pci = cJSON_GetObjectItem(disk, "pci_address");
        if (!IsJsonString(name) || !IsJsonString(pci) ||
            !IsNvmeDiskTypeJson(cJSON_GetObjectItem(disk, "disk_type"))) {
            continue;
        }
        // Once in the array the item belongs to the request, so one delete
        // of the request releases everything on any failure.
        cJSON *item = cJSON_CreateObject();
        if (item == nullptr || !cJSON_AddItemToArray(devices, item) ||
            cJSON_AddStringToObject(item, "device_name", name->valuestring) == nullptr ||
            cJSON_AddStringToObject(item, "pci_address", pci->valuestring) == nullptr) {
            cJSON_Delete(request);
            return nullptr;
        }
    }
    return request;
}

// Adds "slot_id" from the first slot element of the same device name to
// every base element; 1 when either "disks" holder is missing.
int MergeSlotIds(cJSON *baseResult, const cJSON *slotResult)
{
    if (baseResult == nullptr || slotResult == nullptr) {
        return 1;
    }
    cJSON *baseDisks = cJSON_GetObjectItem(baseResult, "disks");
    const cJSON *slotDisks = cJSON_GetObjectItem(slotResult, "disks");
    cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, baseDisks)
    {
        const cJSON *name = cJSON_GetObjectItem(disk, "device_name");
        if (!IsJsonString(name) || !cJSON_IsObject(disk)) {
            continue;
        }
        const cJSON *slot = nullptr;
        cJSON_ArrayForEach(slot, slotDisks)
        {
            const cJSON *slotName = cJSON_GetObjectItem(slot, "device_name");
            if (IsJsonString(slotName) && strcmp(slotName->valuestring, name->valuestring) == 0) {
                break;
            }
        }
        const cJSON *slotId = slot == nullptr ? nullptr : cJSON_GetObjectItem(slot, "slot_id");
        if (!cJSON_IsNumber(slotId)) {
            continue;
        }
        // The kernel agent's slot wins over one the base answer may carry.
        cJSON_DeleteItemFromObject(disk, "slot_id");
        if (cJSON_AddNumberToObject(disk, "slot_id", slotId->valuedouble) == nullptr) {
            return kErrNoMem;
        }
    }
    return 0;
}

}  // namespace

const ConstructRequestFn g_constructRequestStrategyMap[MESSAGE_TYPE_BUTT] = {
    BuildBareRequest,     // MESSAGE_DISK_BRIEF_INFO
    BuildDevicesRequest,  // MESSAGE_DISK_BASE_INFO
    BuildDevicesRequest,  // MESSAGE_DISK_HEALTH_INFO
    BuildIostatRequest,   // MESSAGE_DISK_IOSTAT
};

const SaveMessageFn g_saveMessageStrategyMap[MESSAGE_TYPE_BUTT] = {
    SaveBriefGuard,       // MESSAGE_DISK_BRIEF_INFO: only through SaveDiskBriefInfo
    SaveDiskBaseInfo,     // MESSAGE_DISK_BASE_INFO
    SaveDiskHealthInfo,   // MESSAGE_DISK_HEALTH_INFO
    SaveDiskIoInfoFrame,  // MESSAGE_DISK_IOSTAT
};

const DcmMessageInfo *DcmMessageInfoGet(uint32_t type)
{
    return type < MESSAGE_TYPE_BUTT ? &kMessageTable[type] : nullptr;
}

void **AllocSeparateMemoryList(uint32_t count, uint32_t size)
{
    auto **elements = static_cast<void **>(KeeperAlloc(sizeof(void *) * count));
    if (elements == nullptr) {
        KLOG_ERR(kTag, "malloc failed");
        return nullptr;
    }
    memset(elements, 0, sizeof(void *) * count);
    for (uint32_t i = 0; i < count; ++i) {
        elements[i] = KeeperAlloc(size);
        if (elements[i] == nullptr) {
            KLOG_ERR(kTag, "malloc failed");
            for (uint32_t j = 0; j < i; ++j) {
                KeeperFree(elements[j]);
            }
            KeeperFree(elements);
            return nullptr;
        }
        memset(elements[i], 0, size);
    }
    return elements;
}

int ArrayListCreate(ArrayList *list)
{
    if (list == nullptr || list->count == 0 || list->elementSize == 0) {
        KLOG_DEBUG(kTag, "Check whether the value of ArrayList is initialized.");
        return kErrInval;
    }
    list->elements = AllocSeparateMemoryList(list->count, list->elementSize);
    return list->elements == nullptr ? kErrNoMem : 0;
}

void ArrayListRelease(ArrayList *list)
{
    if (list == nullptr || list->elements == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < list->count; ++i) {
        if (list->elements[i] != nullptr) {
            KeeperFree(list->elements[i]);
        }
    }
    KeeperFree(list->elements);
    list->elements = nullptr;
}

int ConvertUint2DecimalString(uint64_t value, KeeperStr *out)
{
    if (out == nullptr || out->buf != nullptr) {
        KLOG_ERR(kTag,
                 "input out KeeperStr buf must be NULL, memory will alloc by "
                 "ConvertUint2DecimalString.");
        return kErrInval;
    }
    uint32_t digits = 1;
    for (uint64_t v = value / 10U; v != 0; v /= 10U) {
        ++digits;
    }
    out->buf = static_cast<char *>(KeeperAlloc(digits + 1U));
    if (out->buf == nullptr) {
        out->len = 0;
        KLOG_ERR(kTag, "malloc failed");
        return kErrNoMem;
    }
    memset(out->buf, 0, digits + 1U);
    out->len = digits + 1U;
    for (uint32_t i = digits; i > 0; --i) {
        out->buf[i - 1U] = static_cast<char>('0' + value % 10U);
        value /= 10U;
    }
    return 0;
}

int QueryMessage(uint32_t type, const AgentInfo *agent, DiskBriefInfo *const *devices,
                 uint16_t count, ArrayList *list, cJSON **response)
{
    if (type >= MESSAGE_TYPE_BUTT || agent == nullptr || list == nullptr || response == nullptr ||
        (devices == nullptr && count != 0)) {
        return kErrInval;
    }
    *response = nullptr;
    const char *method = kMessageTable[type].method;
    cJSON *request = g_constructRequestStrategyMap[type](method, devices, count, DCM_IOSTAT_PERIOD);
    if (request == nullptr) {
        KLOG_ERR(kTag, "Create Request failed, no memory.");
        return kErrNoMem;
    }
    cJSON *answer = PostRequestWithJSON(agent, request);
    cJSON_Delete(request);
    if (answer == nullptr) {
        KLOG_ERR(kTag, "PostRequestWithJSON failed");
        return kErrIo;
    }
    cJSON *result = cJSON_GetObjectItem(answer, "result");
    if (!IsValidJsonResponse(answer) || !g_validateResultStrategyMap[type](result, count)) {
        KLOG_DEBUG(kTag, "agent(%s) answered %s with a bad envelope or result.", agent->agentName,
                   method);
        cJSON_Delete(answer);
        KLOG_ERR(kTag, "Response(see in debug log) not IsValidJsonResponse.");
        return kErrBadMsg;
    }
    int ret = CopyBatchFromJSON(type, cJSON_GetObjectItem(result, "disks"), list);
    if (ret != 0) {
        cJSON_Delete(answer);
        KLOG_ERR(kTag, "Query Agent(%s) message(%s) Batch Copy Failed(%d).", agent->agentName,
                 method, ret);
        return ret;
    }
    *response = answer;
    return 0;
}

int QueryMessageAndSave(uint32_t type, const AgentInfo *agent, DiskBriefInfo *const *devices,
                        uint16_t count)
{
    const DcmMessageInfo *info = DcmMessageInfoGet(type);
    if (info == nullptr || agent == nullptr) {
        return kErrInval;
    }
    ArrayList list{nullptr, count, info->recordSize};
    int ret = ArrayListCreate(&list);
    if (ret != 0) {
        KLOG_ERR(kTag, "ArrayListCreate Failed(%d).", ret);
        return ret;
    }
    cJSON *response = nullptr;
    ret = QueryMessage(type, agent, devices, count, &list, &response);
    if (ret != 0) {
        ArrayListRelease(&list);
        KLOG_ERR(kTag, "query agent(%s) message(%s) failed(ret:%d).", agent->agentName,
                 info->method, ret);
        return ret;
    }
    ret = g_saveMessageStrategyMap[type](cJSON_GetObjectItem(response, "result"), list.elements,
                                         list.count);
    cJSON_Delete(response);
    ArrayListRelease(&list);
    if (ret != 0) {
        KLOG_ERR(kTag, "save agent(%s) message(%s) failed(ret:%d).", agent->agentName,
                 info->method, ret);
    }
    return ret;
}

DiskBriefInfo **QueryDeviceList(const AgentInfo *agent, uint16_t *count)
{
    if (count == nullptr) {
        return nullptr;
    }
    *count = DCM_DEVICE_COUNT_FAILED;
    cJSON *request = agent == nullptr ? nullptr
                                      : CreateBaseRequest(kMessageTable[MESSAGE_DISK_BRIEF_INFO].method);
    if (request == nullptr) {
        KLOG_ERR(kTag, "Create Base Request failed. maybe malloc fail?");
        return nullptr;
    }
    cJSON *answer = PostRequestWithJSON(agent, request);
    cJSON_Delete(request);
    if (answer == nullptr) {
        KLOG_ERR(kTag, "PostRequestWithJSON failed, maybe Offline response parse");
        return nullptr;
    }
    const cJSON *result = cJSON_GetObjectItem(answer, "result");
    if (!IsValidJsonResponse(answer) || !IsValidDiskBriefInfoResultJson(result)) {
        cJSON_Delete(answer);
        KLOG_ERR(kTag, "Response(see in debug log) not IsValidJsonResponse.");
        return nullptr;
    }
    const cJSON *disks = cJSON_GetObjectItem(result, "disks");
    uint32_t n = static_cast<uint32_t>(cJSON_GetArraySize(disks));
    if (n == 0) {
        KLOG_DEBUG(kTag, "query answer: empty device list.");
        cJSON_Delete(answer);
        *count = 0;
        return nullptr;
    }
    ArrayList list{nullptr, n, sizeof(DiskBriefInfo)};
    int ret = ArrayListCreate(&list);
    if (ret != 0) {
        KLOG_ERR(kTag, "ArrayListCreate Failed(%d).", ret);
        cJSON_Delete(answer);
        return nullptr;
    }
    ret = CopyBatchFromJSON(MESSAGE_DISK_BRIEF_INFO, disks, &list);
    cJSON_Delete(answer);
    if (ret != 0) {
        ArrayListRelease(&list);
        KLOG_ERR(kTag, "Batch Copy Failed(%d).", ret);
        return nullptr;
    }
    if (n > UINT16_MAX) {
        KLOG_DEBUG(kTag, "uint32(%u) cast to uint16 overflow", n);
    }
    *count = n > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(n);
    return reinterpret_cast<DiskBriefInfo **>(list.elements);
}

int QueryDiskSlotInfo(cJSON *baseResult, const ArrayList *list)
{
    cJSON *request = BuildSlotRequest(cJSON_GetObjectItem(baseResult, "disks"));
    if (request == nullptr) {
        KLOG_ERR(kTag, "Create Request failed, no memory.");
        return kErrNoMem;
    }
    AgentInfo kernel = DcmWellKnownAgentGet(DCM_AGENT_DCAK);
    cJSON *answer = PostRequestWithJSON(&kernel, request);
    cJSON_Delete(request);
    if (answer == nullptr) {
        KLOG_ERR(kTag, "PostRequestWithJSON failed");
        return kErrIo;
    }
    if (!IsValidJsonResponse(answer)) {
        cJSON_Delete(answer);
        KLOG_ERR(kTag, "Response(see in debug log) not IsValidJsonResponse.");
        return kErrBadMsg;
    }
    int ret = MergeSlotIds(baseResult, cJSON_GetObjectItem(answer, "result"));
    if (ret != 0) {
        cJSON_Delete(answer);
        KLOG_ERR(kTag, "Merge slot id json into disk base info json Failed(%d).", ret);
        return kErrBadMsg;
    }
    ret = CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, cJSON_GetObjectItem(baseResult, "disks"), list);
    if (ret != 0) {
        KLOG_ERR(kTag,
                 "Query Agent(unique_DCAK_agent) message(dca_get_disks_slotid) Batch Copy "
                 "Failed(%d).",
                 ret);
    }
    cJSON_Delete(answer);
    return ret;
}

int SaveDiskBaseInfo(cJSON *result, void *const *records, uint32_t count)
{
    ArrayList view{const_cast<void **>(records), count, sizeof(DiskBaseInfo)};
    int ret = QueryDiskSlotInfo(result, &view);
    if (ret != 0) {
        KLOG_ERR(kTag, "Query disk slot info failed, ret<%d>", ret);
    }
    int last = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto *info = static_cast<DiskBaseInfo *>(records[i]);
        int32_t set = DiskBaseInfoSet(SnStr(info->sn), info);
        if (!IsAcceptedSetResult(set)) {
            KLOG_ERR(kTag, "DiskBaseInfo Set(sn:%s) failed(ret:%d).", info->sn, set);
            last = set;
        }
    }
    return last;
}

int SaveDiskHealthInfo(cJSON * /*result*/, void *const *records, uint32_t count)
{
    int last = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto *wrap = static_cast<DiskHealthInfoSnWrap *>(records[i]);
        int32_t set = DiskHealthInfoSet(SnStr(wrap->sn), &wrap->health);
        if (!IsAcceptedSetResult(set)) {
            KLOG_ERR(kTag, "DiskHealthInfo Set(sn:%s) failed(ret:%d).", wrap->sn, set);
            last = set;
        }
    }
    return last;
}

int SaveDiskIoInfoFrame(cJSON *result, void *const *records, uint32_t count)
{
    uint64_t tickRate = 0;
    uint64_t ticks = 0;
    int ret = CopyClockTicksInstantFromJSON(result, &tickRate, &ticks);
    if (ret != 0) {
        KLOG_ERR(kTag, "Copy clock ticks instant failed(%d)", ret);
        return ret;
    }
    int last = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto *wrap = static_cast<DiskIoInfoFrameSnWrap *>(records[i]);
        wrap->frame.ticks = ticks;
        wrap->frame.tick_rate = tickRate;
        int32_t set = DiskIoStatInfoSet(SnStr(wrap->sn), &wrap->frame);
        if (!IsAcceptedSetResult(set)) {
            KLOG_ERR(kTag, "DiskIoStatInfo Set(sn:%s) failed(ret:%d).", wrap->sn, set);
            last = set;
        }
    }
    return last;
}

int SaveDiskBriefInfo(DiskBriefInfo *const *records, uint32_t count)
{
    // One entry at least, so that an empty list (every disk gone) still reaches the refresh.
    auto *sns = static_cast<KeeperStr *>(KeeperAlloc(sizeof(KeeperStr) * (count == 0 ? 1 : count)));
    if (sns == nullptr) {
        KLOG_ERR(kTag, "malloc snStrArray failed.");
        return kErrNoMem;
    }
    for (uint32_t i = 0; i < count; ++i) {
        sns[i] = SnStr(records[i]->sn);
    }
    int ret = DiskSerialNumberRefresh(sns, count);
    KeeperFree(sns);
    return ret;
}

int FetchDiskBaseInfoFromAgent(const AgentInfo *agent, const DiskBriefInfo *brief,
                               DiskBaseInfo *out)
{
    if (agent == nullptr || brief == nullptr || out == nullptr) {
        return kErrInval;
    }
    ArrayList list{nullptr, 1, sizeof(DiskBaseInfo)};
    int ret = ArrayListCreate(&list);
    if (ret != 0) {
        KLOG_ERR(kTag, "ArrayListCreate Failed(%d).", ret);
        return ret;
    }
    DiskBriefInfo one = *brief;
    DiskBriefInfo *devices[1] = {&one};
    cJSON *response = nullptr;
    ret = QueryMessage(MESSAGE_DISK_BASE_INFO, agent, devices, 1, &list, &response);
    if (ret != 0) {
        ArrayListRelease(&list);
        KLOG_ERR(kTag, "query agent(%s) message(%s) failed(ret:%d).", agent->agentName,
                 kMessageTable[MESSAGE_DISK_BASE_INFO].method, ret);
        return ret;
    }
    int slot = QueryDiskSlotInfo(cJSON_GetObjectItem(response, "result"), &list);
    if (slot != 0) {
        KLOG_ERR(kTag, "Query disk slot info failed, ret<%d>", slot);
    }
    ret = memcpy_s(out, sizeof(*out), list.elements[0], sizeof(DiskBaseInfo));
    cJSON_Delete(response);
    ArrayListRelease(&list);
    return ret;
}
