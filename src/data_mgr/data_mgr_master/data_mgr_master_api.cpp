// Convenience forms of DataMgrDiskInfoSet/DataMgrDiskInfoGet, one per caller
// need: serial-number keyed sets for data collection, id keyed ones for DRM,
// id-only gets for the CLI.
#include "data_mgr/data_mgr_master/data_mgr_master.h"

namespace {

constexpr KeeperStr kNoSnCheck = {0, const_cast<char *>("")};

template <typename T>
int32_t GetRecord(uint32_t diskId, KeeperStr sn, T *out, uint32_t infoType)
{
    return DataMgrDiskInfoGet(diskId, sn, out, sizeof(T), infoType);
}

}  // namespace

int32_t DiskBaseInfoSet(KeeperStr sn, const DiskBaseInfo *info)
{
    return DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, sn, info, DATA_INFO_BASE);
}

int32_t DiskIoStatInfoSet(KeeperStr sn, const DiskIoInfoFrame *frame)
{
    return DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, sn, frame, DATA_INFO_IOSTAT);
}

int32_t DiskHealthInfoSet(KeeperStr sn, const DiskHealthInfo *info)
{
    return DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, sn, info, DATA_INFO_HEALTH);
}

int32_t DiskDrmInfoSet(uint32_t diskId, KeeperStr sn, const DiskDrmInfo *info)
{
    return DataMgrDiskInfoSet(diskId, sn, info, DATA_INFO_DRM);
}

int32_t DiskNodeInfoSet(KeeperStr sn, const DiskNodeInfo *info)
{
    return DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, sn, info, DATA_INFO_NODE);
}

int32_t DiskHandleStrategySet(uint32_t diskId, KeeperStr sn, uint32_t strategy)
{
    return DataMgrDiskInfoSet(diskId, sn, &strategy, DATA_INFO_STRATEGY);
}

int32_t DiskStateSet(uint32_t diskId, KeeperStr sn, uint32_t state)
{
    return DataMgrDiskInfoSet(diskId, sn, &state, DATA_INFO_DISK_STATE);
}

int32_t DiskBaseInfoGet(uint32_t diskId, DiskBaseInfo *info)
{
    return GetRecord(diskId, kNoSnCheck, info, DATA_INFO_BASE);
}

int32_t DiskIoStatInfoGet(uint32_t diskId, DiskIoStatInfo *info)
{
    return GetRecord(diskId, kNoSnCheck, info, DATA_INFO_IOSTAT);
}

int32_t DiskHealthInfoGet(uint32_t diskId, DiskHealthInfo *info)
{
    return GetRecord(diskId, kNoSnCheck, info, DATA_INFO_HEALTH);
}

int32_t DiskDrmInfoGet(uint32_t diskId, DiskDrmInfo *info)
{
    return GetRecord(diskId, kNoSnCheck, info, DATA_INFO_DRM);
}

const char *DiskStrategyStrGet(uint32_t diskId)
{
    const char *text = nullptr;
    if (GetRecord(diskId, kNoSnCheck, &text, DATA_INFO_STRATEGY_STR) != 0) {
        return nullptr;
    }
    return text;
}

int32_t DiskBaseInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskBaseInfo *info)
{
    return GetRecord(diskId, sn, info, DATA_INFO_BASE);
}

int32_t DiskIoStatInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskIoStatInfo *info)
{
    return GetRecord(diskId, sn, info, DATA_INFO_IOSTAT);
}

int32_t DiskHealthInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskHealthInfo *info)
{
    return GetRecord(diskId, sn, info, DATA_INFO_HEALTH);
}

int32_t DiskDrmInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskDrmInfo *info)
{
    return GetRecord(diskId, sn, info, DATA_INFO_DRM);
}

int32_t DiskNodeInfoGetWithSn(uint32_t diskId, KeeperStr sn, DiskNodeInfo *info)
{
    return GetRecord(diskId, sn, info, DATA_INFO_NODE);
}

int32_t DiskHandleStrategyGetWithSn(uint32_t diskId, KeeperStr sn, uint32_t *strategy)
{
    return GetRecord(diskId, sn, strategy, DATA_INFO_STRATEGY);
}

int32_t DiskStateGetWithSn(uint32_t diskId, KeeperStr sn, uint32_t *state)
{
    return GetRecord(diskId, sn, state, DATA_INFO_DISK_STATE);
}
