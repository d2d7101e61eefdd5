#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"

using namespace dcmtest;

namespace {

class DcmCopyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KeeperInfraLiteInstall(), 0);
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
    }
};

bool AllZero(const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(DcmCopyTest, BaseRecordOfEveryDiskType)
{
    const struct {
        const char *agentType;
        uint32_t type;
        uint32_t media;
    } cases[] = {
        {"SSD_NVMe", DISK_TYPE_SSD_NVME, MEDIA_TYPE_TLC},
        {"ssd_sas", DISK_TYPE_SSD_SAS, MEDIA_TYPE_TLC},
        {"SSD_SATA", DISK_TYPE_SSD_SATA, MEDIA_TYPE_TLC},
        {"HDD_SAS", DISK_TYPE_HDD_SAS, MEDIA_TYPE_MAGNET},
        {"HDD_SATA", DISK_TYPE_HDD_SATA, MEDIA_TYPE_MAGNET},
        {"hdd_nl_sas", DISK_TYPE_HDD_NL_SAS, MEDIA_TYPE_MAGNET},
    };
    for (const auto &c : cases) {
        TestDisk d = Disk(c.agentType, "KORVAN", "MODEL-1", "SN-1", "dev1");
        Json disk(BaseJson(d));
        if (std::string(c.agentType).rfind("hdd", 0) == 0) {
            cJSON_ReplaceItemInObject(disk.value, "disk_media_type", cJSON_CreateString("magnet"));
        }
        // A pci_address on a non-NVMe disk is not looked at; a slot id is
        // taken when the agent sends one.
        bool nvme = c.type == DISK_TYPE_SSD_NVME;
        cJSON_AddItemToObject(disk.value, nvme ? "slot_id" : "pci_address",
                              nvme ? cJSON_CreateNumber(7) : cJSON_CreateString("0000:99:00.0"));
        DiskBaseInfo info;
        memset(&info, 0, sizeof(info));
        ASSERT_EQ(CopyDiskBaseInfoFromJSON(disk.value, &info), 0) << c.agentType;
        EXPECT_EQ(info.diskType, c.type) << c.agentType;
        EXPECT_EQ(info.mediaType, c.media) << c.agentType;
        EXPECT_STREQ(info.sn, "SN-1");
        EXPECT_STREQ(info.deviceName, "dev1");
        EXPECT_STREQ(info.vendor, "KORVAN");
        EXPECT_STREQ(info.model, "MODEL-1");
        EXPECT_STREQ(info.firmware, "FW01");
        EXPECT_EQ(info.diskCapacity, 3840755982336ULL);
        EXPECT_EQ(info.sectorSize, 512U);
        EXPECT_EQ(info.diskState, static_cast<uint32_t>(DISK_STATE_UNSET));
        EXPECT_EQ(info.diskId, DISK_ID_INVALID);
        EXPECT_EQ(info.frameId, DISK_LOCATION_UNKNOWN);
        EXPECT_EQ(info.slotId, nvme ? 7U : DISK_LOCATION_UNKNOWN);
        if (nvme) {
            EXPECT_STREQ(info.pciAddr, "0000:81:00.0");
        } else {
            EXPECT_TRUE(AllZero(info.pciAddr, sizeof(info.pciAddr))) << c.agentType;
        }
    }
}

// A string of the field's size or longer fails with the bounded copy's own
// result; one character less fits.
TEST_F(DcmCopyTest, StringMembersAreBoundedByTheirFields)
{
    const struct {
        const char *member;
        size_t field;
        const char *type;
    } cases[] = {
        {"serial_number", DISK_SN_LEN, "HDD_SAS"},   {"device_name", DISK_DEVICE_NAME_LEN, "HDD_SAS"},
        {"vendor_id", DISK_VENDOR_LEN, "HDD_SAS"},   {"model_number", DISK_MODEL_LEN, "HDD_SAS"},
        {"firmware_revision", DISK_FIRMWARE_LEN, "HDD_SAS"},
        {"pci_address", DISK_PCI_ADDR_LEN, "SSD_NVMe"},
    };
    for (const auto &c : cases) {
        for (size_t len : {c.field - 1, c.field, c.field + 30}) {
            Json disk(BaseJson(Disk(c.type, "V", "M", "S", "d")));
            cJSON_ReplaceItemInObject(disk.value, c.member,
                                      cJSON_CreateString(std::string(len, 'x').c_str()));
            DiskBaseInfo info{};
            int ret = CopyDiskBaseInfoFromJSON(disk.value, &info);
            if (len < c.field) {
                EXPECT_EQ(ret, 0) << c.member << " of " << len;
            } else {
                EXPECT_NE(ret, 0) << c.member << " of " << len;
                EXPECT_NE(ret, EINVAL) << "a too long string is the copy's failure, not the check's";
            }
        }
    }
    Json brief(BriefJson(Disk("HDD_SAS", "V", "M", std::string(40, 's'), "d")));
    DiskBriefInfo rec{};
    EXPECT_NE(CopyDiskBriefInfoFromJSON(brief.value, &rec), 0);
}

TEST_F(DcmCopyTest, NumberConversions)
{
    const struct {
        const char *json;
        uint32_t u32;
    } numbers[] = {
        {"0", 0},          {"-1", 0},         {"3.99", 3},
        {"-0.5", 0},       {"4294967295", 4294967295U}, {"4294967296", 4294967295U},
        {"1e300", 4294967295U}, {"\"12\"", 0},
    };
    for (const auto &c : numbers) {
        Json v(c.json);
        EXPECT_EQ(ConvertJsonNumberToUint32(v.value), c.u32) << c.json;
    }
    const struct {
        const char *json;
        uint64_t u64;
    } digits[] = {
        {"\"0\"", 0},
        {"\"007\"", 7},
        {"\"18446744073709551615\"", UINT64_MAX},
        {"\"18446744073709551616\"", 0},  // wraps in 64-bit arithmetic
        {"12", 0},
    };
    for (const auto &c : digits) {
        Json v(c.json);
        EXPECT_EQ(ConvertDecimalStringToUint64(v.value), c.u64) << c.json;
    }
}

TEST_F(DcmCopyTest, HealthAreaByDiskTypeAndVendor)
{
    struct Case {
        TestDisk disk;
        std::vector<uint8_t> area;  // leading bytes; the rest must be zero
    };
    const Case cases[] = {
        {Disk("SSD_NVMe", "ANY", "M", "S1", "n"), {4}},
        {Disk("SSD_SAS", "korvan", "M", "S2", "a"), {7, 1}},
        {Disk("SSD_SAS", "OTHERVEND", "M", "S3", "b"), {0x5D, 0x10, 1}},
        {Disk("HDD_SAS", "SEAGATE", "M", "S4", "c"), {0x5D, 0x10, 1}},
        {Disk("HDD_NL_SAS", "SEAGATE", "M", "S5", "d"), {0x5D, 0x10, 1}},
    };
    for (const Case &c : cases) {
        Json disk(HealthJson(c.disk));
        DiskHealthInfoSnWrap wrap{};
        ASSERT_EQ(CopyDiskHealthInfoFromJSON(disk.value, &wrap), 0) << c.disk.type;
        EXPECT_STREQ(wrap.sn, c.disk.sn.c_str());
        EXPECT_EQ(wrap.health.powerOnHours, 12345U);
        EXPECT_EQ(wrap.health.wearInt, 12U);
        EXPECT_EQ(wrap.health.wearDec, 34U);
        for (size_t i = 0; i < c.area.size(); ++i) {
            EXPECT_EQ(wrap.health.area.raw[i], c.area[i]) << c.disk.type << " byte " << i;
        }
        EXPECT_TRUE(AllZero(wrap.health.area.raw + c.area.size(),
                            sizeof(wrap.health.area.raw) - c.area.size()))
            << c.disk.type;
    }
}

TEST_F(DcmCopyTest, SataSmartAttributesInArrayOrder)
{
    Json disk(HealthJson(Disk("SSD_SATA", "ATA", "KSSD-1", "S", "sda")));
    DiskHealthInfoSnWrap wrap{};
    ASSERT_EQ(CopyDiskHealthInfoFromJSON(disk.value, &wrap), 0);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(wrap.health.area.sata[i].id, i + 1) << i;
        EXPECT_EQ(wrap.health.area.sata[i].threshold, 10 + i) << i;
        EXPECT_EQ(wrap.health.area.sata[i].current, 100 - i) << i;
        EXPECT_EQ(wrap.health.area.sata[i].worst, 90 - i) << i;
    }
}

TEST_F(DcmCopyTest, WearKeepsLowSixteenBitsAndBytesKeepLowEight)
{
    const struct {
        double wear;
        uint32_t wearInt;
        uint32_t wearDec;
    } cases[] = {{1234, 12, 34}, {70000, 44, 64}, {-5, 0, 0}, {99, 0, 99}};
    for (const auto &c : cases) {
        Json disk(HealthJson(Disk("HDD_SAS", "WD", "M", "S", "sda")));
        cJSON_ReplaceItemInObject(disk.value, "wear", cJSON_CreateNumber(c.wear));
        cJSON_ReplaceItemInObject(disk.value, "ASC", cJSON_CreateNumber(300));
        cJSON_ReplaceItemInObject(disk.value, "is_support_ie_log", cJSON_CreateFalse());
        DiskHealthInfoSnWrap wrap{};
        ASSERT_EQ(CopyDiskHealthInfoFromJSON(disk.value, &wrap), 0);
        EXPECT_EQ(wrap.health.wearInt, c.wearInt) << c.wear;
        EXPECT_EQ(wrap.health.wearDec, c.wearDec) << c.wear;
        EXPECT_EQ(wrap.health.area.sasIe.asc, 300 & 0xFF);
        EXPECT_EQ(wrap.health.area.sasIe.ieLogSupported, 0);
    }
}

TEST_F(DcmCopyTest, IoFrameFields)
{
    Json disk(IoJson(Disk("HDD_SAS", "WD", "M", "SN-IO", "sda"), 1000));
    DiskIoInfoFrameSnWrap wrap{};
    ASSERT_EQ(CopyDiskIoInfoFromJSON(disk.value, &wrap), 0);
    EXPECT_STREQ(wrap.sn, "SN-IO");
    EXPECT_EQ(wrap.frame.io_time, 1000U);
    EXPECT_EQ(wrap.frame.bytes_read, 2000U);
    EXPECT_EQ(wrap.frame.bytes_written, 3000U);
    EXPECT_EQ(wrap.frame.num_read_ops, 4000U);
    EXPECT_EQ(wrap.frame.num_write_ops, 5000U);
    EXPECT_EQ(wrap.frame.read_latency_ticks, 6000U);
    EXPECT_EQ(wrap.frame.write_latency_ticks, 7000U);
    EXPECT_EQ(wrap.frame.queue_depth, 32U);
    EXPECT_EQ(wrap.frame.io_busy_num, 3U);
    EXPECT_EQ(wrap.frame.ticks, 0U) << "the instant is set by the save, not the copier";
}

struct Batch {
    explicit Batch(uint32_t type, uint32_t count)
    {
        list.count = count;
        list.elementSize = DcmMessageInfoGet(type)->recordSize;
        EXPECT_EQ(ArrayListCreate(&list), 0);
    }
    ~Batch() { ArrayListRelease(&list); }
    ArrayList list{nullptr, 0, 0};
};

TEST_F(DcmCopyTest, BatchCopyFillsInOrderAndStopsAtTheFirstFailure)
{
    std::vector<TestDisk> disks = {Disk("HDD_SAS", "WD", "M", "A", "sda"),
                                   Disk("HDD_SAS", "WD", "M", "B", "sdb"),
                                   Disk("HDD_SAS", "WD", "M", "C", "sdc")};
    {
        Json arr(DisksArray(disks, BaseJson));
        Batch batch(MESSAGE_DISK_BASE_INFO, 5);
        ASSERT_EQ(CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, arr.value, &batch.list), 0);
        EXPECT_STREQ(static_cast<DiskBaseInfo *>(batch.list.elements[2])->sn, "C");
        EXPECT_TRUE(AllZero(batch.list.elements[3], sizeof(DiskBaseInfo))) << "behind the answer";
        EXPECT_TRUE(AllZero(batch.list.elements[4], sizeof(DiskBaseInfo)));
    }
    {
        Json arr(DisksArray(disks, BaseJson));
        cJSON_DeleteItemFromObject(cJSON_GetArrayItem(arr.value, 1), "vendor_id");
        Batch batch(MESSAGE_DISK_BASE_INFO, 3);
        EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, arr.value, &batch.list), EINVAL);
        EXPECT_TRUE(AllZero(batch.list.elements[2], sizeof(DiskBaseInfo))) << "walk stopped";
    }
    {
        Json arr(DisksArray(disks, BaseJson));
        Batch batch(MESSAGE_DISK_BASE_INFO, 2);
        EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, arr.value, &batch.list), EINVAL)
            << "more elements than records must never write past the list";
    }
    Batch batch(MESSAGE_DISK_IOSTAT, 1);
    Json object("{}");
    EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_IOSTAT, object.value, &batch.list), EINVAL);
    EXPECT_EQ(CopyBatchFromJSON(MESSAGE_TYPE_BUTT, object.value, &batch.list), EINVAL);
}

TEST_F(DcmCopyTest, ClockInstantNeedsBothMembers)
{
    uint64_t rate = 0;
    uint64_t ticks = 0;
    Json good(R"({"tick_rate":"1000","TICKS":"99999999999"})");
    ASSERT_EQ(CopyClockTicksInstantFromJSON(good.value, &rate, &ticks), 0);
    EXPECT_EQ(rate, 1000U);
    EXPECT_EQ(ticks, 99999999999ULL);
    Json noRate(R"({"ticks":"1"})");
    Json numbers(R"({"tick_rate":1000,"ticks":1})");
    EXPECT_EQ(CopyClockTicksInstantFromJSON(noRate.value, &rate, &ticks), ENOMEM);
    EXPECT_EQ(CopyClockTicksInstantFromJSON(numbers.value, &rate, &ticks), ENOMEM);
    EXPECT_EQ(CopyClockTicksInstantFromJSON(nullptr, &rate, &ticks), ENOMEM);
}

}  // namespace
