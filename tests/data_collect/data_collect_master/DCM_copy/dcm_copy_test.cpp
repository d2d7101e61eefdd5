#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/DCM_query/dcm_query.h"
#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

using namespace dcmtest;

namespace {

class DcmCopyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(KeeperInfraLiteInstall(), 0); }
};

bool AllZero(const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// The whole record on one line; the PCI address shows as "-" when all zero.
std::string Fmt(const DiskBaseInfo &i)
{
    std::ostringstream o;
    o << i.diskType << " " << i.mediaType << " " << i.sn << " " << i.deviceName << " " << i.vendor
      << " " << i.model << " " << i.firmware << " " << i.diskCapacity << " " << i.sectorSize << " "
      << i.diskState << " " << i.diskId << " " << i.frameId << " " << i.slotId << " "
      << (AllZero(i.pciAddr, sizeof(i.pciAddr)) ? "-" : i.pciAddr);
    return o.str();
}

// A pci_address on a non-NVMe disk is not looked at; a slot id is taken
// when the agent sends one.
TEST_F(DcmCopyTest, BaseRecordOfEveryDiskType)
{
    const struct {
        const char *agentType, *media;
        uint32_t type, mediaType;
    } cases[] = {
        {"SSD_NVMe", "TLC", DISK_TYPE_SSD_NVME, MEDIA_TYPE_TLC},
        {"ssd_sas", "tlc", DISK_TYPE_SSD_SAS, MEDIA_TYPE_TLC},
        {"SSD_SATA", "TLC", DISK_TYPE_SSD_SATA, MEDIA_TYPE_TLC},
        {"HDD_SAS", "MAGNET", DISK_TYPE_HDD_SAS, MEDIA_TYPE_MAGNET},
        {"HDD_SATA", "MAGNET", DISK_TYPE_HDD_SATA, MEDIA_TYPE_MAGNET},
        {"hdd_nl_sas", "magnet", DISK_TYPE_HDD_NL_SAS, MEDIA_TYPE_MAGNET},
    };
    for (const auto &c : cases) {
        Json disk(BaseJson(Disk(c.agentType, "KORVAN", "MODEL-1", "SN-1", "dev1")));
        cJSON_ReplaceItemInObject(disk.value, "disk_media_type", cJSON_CreateString(c.media));
        bool nvme = c.type == DISK_TYPE_SSD_NVME;
        cJSON_AddItemToObject(disk.value, nvme ? "slot_id" : "pci_address",
                              nvme ? cJSON_CreateNumber(7) : cJSON_CreateString("0000:99:00.0"));
        DiskBaseInfo info;
        memset(&info, 0, sizeof(info));
        ASSERT_EQ(CopyDiskBaseInfoFromJSON(disk.value, &info), 0) << c.agentType;
        std::ostringstream want;
        want << c.type << " " << c.mediaType << " SN-1 dev1 KORVAN MODEL-1 FW01 3840755982336 512 "
             << DISK_STATE_UNSET << " " << DISK_ID_INVALID << " " << DISK_LOCATION_UNKNOWN << " "
             << (nvme ? 7 : DISK_LOCATION_UNKNOWN) << (nvme ? " 0000:81:00.0" : " -");
        EXPECT_EQ(Fmt(info), want.str());
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
            EXPECT_TRUE(len < c.field ? ret == 0 : ret != 0 && ret != EINVAL) << c.member << len;
        }
    }
    Json brief(BriefJson(Disk("HDD_SAS", "V", "M", std::string(40, 's'), "d")));
    DiskBriefInfo rec{};
    EXPECT_NE(CopyDiskBriefInfoFromJSON(brief.value, &rec), 0);
}

TEST_F(DcmCopyTest, NumberConversions)
{
    const std::pair<const char *, uint32_t> numbers[] = {
        {"0", 0}, {"-1", 0}, {"3.99", 3}, {"-0.5", 0}, {"4294967295", 4294967295U},
        {"4294967296", 4294967295U}, {"1e300", 4294967295U}, {"\"12\"", 0}};
    for (const auto &[json, u32] : numbers) {
        Json v(json);
        EXPECT_EQ(ConvertJsonNumberToUint32(v.value), u32) << json;
    }
    const std::pair<const char *, uint64_t> digits[] = {
        {"\"0\"", 0}, {"\"007\"", 7}, {"\"18446744073709551615\"", UINT64_MAX},
        {"\"18446744073709551616\"", 0} /* wraps in 64-bit arithmetic */, {"12", 0}};
    for (const auto &[json, u64] : digits) {
        Json v(json);
        EXPECT_EQ(ConvertDecimalStringToUint64(v.value), u64) << json;
    }
}

// The health area by disk type and vendor class: its leading bytes, the
// rest zero. SATA attribute i is {i+1, 10+i, 100-i, 90-i}, in array order.
TEST_F(DcmCopyTest, HealthAreaByDiskTypeAndVendor)
{
    std::vector<uint8_t> sata;
    for (int i = 0; i < 30; ++i) {
        sata.insert(sata.end(), {uint8_t(i + 1), uint8_t(10 + i), uint8_t(100 - i), uint8_t(90 - i)});
    }
    const std::pair<TestDisk, std::vector<uint8_t>> cases[] = {
        {Disk("SSD_NVMe", "ANY", "M", "S1", "n"), {4}},
        {Disk("SSD_SAS", "korvan", "M", "S2", "a"), {7, 1}},
        {Disk("SSD_SAS", "OTHERVEND", "M", "S3", "b"), {0x5D, 0x10, 1}},
        {Disk("HDD_SAS", "SEAGATE", "M", "S4", "c"), {0x5D, 0x10, 1}},
        {Disk("HDD_NL_SAS", "SEAGATE", "M", "S5", "d"), {0x5D, 0x10, 1}},
        {Disk("SSD_SATA", "ATA", "M", "S6", "e"), sata},
    };
    for (const auto &[disk, area] : cases) {
        Json json(HealthJson(disk));
        DiskHealthInfoSnWrap wrap{};
        ASSERT_EQ(CopyDiskHealthInfoFromJSON(json.value, &wrap), 0) << disk.type;
        EXPECT_STREQ(wrap.sn, disk.sn.c_str());
        EXPECT_EQ(wrap.health.powerOnHours, 12345U);
        std::vector<uint8_t> raw(std::begin(wrap.health.area.raw), std::end(wrap.health.area.raw));
        std::vector<uint8_t> want = area;
        want.resize(raw.size(), 0);
        EXPECT_EQ(raw, want) << disk.type;
    }
}

TEST_F(DcmCopyTest, WearKeepsLowSixteenBitsAndBytesKeepLowEight)
{
    const struct {
        double wear;
        uint32_t wearInt, wearDec;
    } cases[] = {{1234, 12, 34}, {70000, 44, 64}, {-5, 0, 0}, {99, 0, 99}};
    for (const auto &c : cases) {
        Json disk(HealthJson(Disk("HDD_SAS", "WD", "M", "S", "sda")));
        cJSON_ReplaceItemInObject(disk.value, "wear", cJSON_CreateNumber(c.wear));
        cJSON_ReplaceItemInObject(disk.value, "ASC", cJSON_CreateNumber(300));
        cJSON_ReplaceItemInObject(disk.value, "is_support_ie_log", cJSON_CreateFalse());
        DiskHealthInfoSnWrap wrap{};
        ASSERT_EQ(CopyDiskHealthInfoFromJSON(disk.value, &wrap), 0);
        EXPECT_EQ(wrap.health.wearInt * 100 + wrap.health.wearDec, c.wearInt * 100 + c.wearDec) << c.wear;
        EXPECT_EQ(wrap.health.area.sasIe.asc, 300 & 0xFF);
        EXPECT_EQ(wrap.health.area.sasIe.ieLogSupported, 0);
    }
}

// The counters in the order of the builder's keys; the instant is set by the
// save, not the copier.
TEST_F(DcmCopyTest, IoFrameFields)
{
    Json disk(IoJson(Disk("HDD_SAS", "WD", "M", "SN-IO", "sda"), 1000));
    DiskIoInfoFrameSnWrap wrap{};
    ASSERT_EQ(CopyDiskIoInfoFromJSON(disk.value, &wrap), 0);
    const DiskIoInfoFrame &f = wrap.frame;
    EXPECT_STREQ(wrap.sn, "SN-IO");
    EXPECT_EQ((std::vector<uint64_t>{f.io_time, f.bytes_read, f.bytes_written, f.num_read_ops,
                                     f.num_write_ops, f.read_latency_ticks, f.write_latency_ticks,
                                     f.queue_depth, f.io_busy_num, f.ticks}),
              (std::vector<uint64_t>{1000, 2000, 3000, 4000, 5000, 6000, 7000, 32, 3, 0}));
}

TEST_F(DcmCopyTest, BatchCopyFillsInOrderAndStopsAtTheFirstFailure)
{
    std::vector<TestDisk> disks = {Disk("HDD_SAS", "WD", "M", "A", "sda"),
                                   Disk("HDD_SAS", "WD", "M", "B", "sdb"),
                                   Disk("HDD_SAS", "WD", "M", "C", "sdc")};
    // Records, a member broken in disk 1, the result, and the first record
    // that must stay zero.
    const struct {
        uint32_t records;
        bool broken;
        int ret;
        uint32_t zeroFrom;
    } cases[] = {{5, false, 0, 3}, {3, true, EINVAL, 2}, {2, false, EINVAL, 2}};
    for (const auto &c : cases) {
        Json arr(DisksArray(disks, BaseJson));
        if (c.broken) {
            cJSON_DeleteItemFromObject(cJSON_GetArrayItem(arr.value, 1), "vendor_id");
        }
        ArrayList list{nullptr, c.records, sizeof(DiskBaseInfo)};
        ASSERT_EQ(ArrayListCreate(&list), 0);
        EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, arr.value, &list), c.ret);
        EXPECT_STREQ(static_cast<DiskBaseInfo *>(list.elements[0])->sn, "A");
        for (uint32_t i = c.zeroFrom; i < c.records; ++i) {
            EXPECT_TRUE(AllZero(list.elements[i], sizeof(DiskBaseInfo))) << c.records << "/" << i;
        }
        ArrayListRelease(&list);
    }
    ArrayList list{nullptr, 1, DcmMessageInfoGet(MESSAGE_DISK_IOSTAT)->recordSize};
    ASSERT_EQ(ArrayListCreate(&list), 0);
    Json object("{}");
    EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_IOSTAT, object.value, &list), EINVAL);
    EXPECT_EQ(CopyBatchFromJSON(MESSAGE_TYPE_BUTT, object.value, &list), EINVAL);
    ArrayListRelease(&list);
}

TEST_F(DcmCopyTest, ClockInstantNeedsBothMembersAsDigits)
{
    uint64_t rate = 0, ticks = 0;
    Json good(R"({"tick_rate":"1000","TICKS":"99999999999"})");
    ASSERT_EQ(CopyClockTicksInstantFromJSON(good.value, &rate, &ticks), 0);
    EXPECT_EQ(rate, 1000U);
    EXPECT_EQ(ticks, 99999999999ULL);
    for (const char *bad : {R"({"ticks":"1"})", R"({"tick_rate":"1"})", R"({"tick_rate":1000,"ticks":1})"}) {
        Json j(bad);
        EXPECT_EQ(CopyClockTicksInstantFromJSON(j.value, &rate, &ticks), ENOMEM) << bad;
    }
    EXPECT_EQ(CopyClockTicksInstantFromJSON(nullptr, &rate, &ticks), ENOMEM);
    EXPECT_EQ(CopyClockTicksInstantFromJSON(good.value, nullptr, &ticks), EINVAL);
}

}  // namespace
