#include "data_collect/data_collect_master/DCM_copy/dcm_copy.h"

#include <gtest/gtest.h>

#include <cerrno>
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

// A string of the field's size or longer fails with the bounded copy's own
// result; one character less fits. The PCI address counts for NVMe only.
TEST_F(DcmCopyTest, StringMembersAreBoundedByTheirFields)
{
    const std::pair<const char *, size_t> cases[] = {
        {"serial_number", DISK_SN_LEN},     {"device_name", DISK_DEVICE_NAME_LEN},
        {"vendor_id", DISK_VENDOR_LEN},     {"model_number", DISK_MODEL_LEN},
        {"firmware_revision", DISK_FIRMWARE_LEN}, {"pci_address", DISK_PCI_ADDR_LEN}};
    for (const char *type : {"SSD_NVMe", "HDD_SAS"}) {
        for (const auto &[member, field] : cases) {
            for (size_t len : {field - 1, field, field + 30}) {
                Json disk(BaseJson(TestDisk{type, "V", "M", "S", "d"}));
                cJSON_DeleteItemFromObject(disk.value, member);
                cJSON_AddStringToObject(disk.value, member, std::string(len, 'x').c_str());
                DiskBaseInfo info{};
                int ret = CopyDiskBaseInfoFromJSON(disk.value, &info);
                bool fits = len < field || (type[0] == 'H' && member[0] == 'p');
                EXPECT_TRUE(fits ? ret == 0 : ret != 0 && ret != EINVAL) << type << member << len;
            }
        }
    }
}

TEST_F(DcmCopyTest, NumbersClampToUnsigned32Bits)
{
    const std::pair<const char *, uint32_t> numbers[] = {
        {"0", 0}, {"-1", 0}, {"3.99", 3}, {"-0.5", 0}, {"4294967295", 4294967295U},
        {"4294967296", 4294967295U}, {"1e300", 4294967295U}, {"\"12\"", 0}};
    for (const auto &[json, u32] : numbers) {
        EXPECT_EQ(ConvertJsonNumberToUint32(Json(json).value), u32) << json;
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
        {TestDisk{"SSD_NVMe", "ANY", "M", "S1", "n"}, {4}},
        {TestDisk{"SSD_SAS", "korvan", "M", "S2", "a"}, {7, 1}},
        {TestDisk{"SSD_SAS", "OTHERVEND", "M", "S3", "b"}, {0x5D, 0x10, 1}},
        {TestDisk{"HDD_SAS", "SEAGATE", "M", "S4", "c"}, {0x5D, 0x10, 1}},
        {TestDisk{"HDD_NL_SAS", "SEAGATE", "M", "S5", "d"}, {0x5D, 0x10, 1}},
        {TestDisk{"SSD_SATA", "ATA", "M", "S6", "e"}, sata},
    };
    for (const auto &[disk, area] : cases) {
        Json json(HealthJson(disk));
        DiskHealthInfoSnWrap wrap{};
        ASSERT_EQ(CopyDiskHealthInfoFromJSON(json.value, &wrap), 0) << disk.type;
        EXPECT_EQ(std::string(wrap.sn) + "/" + std::to_string(wrap.health.powerOnHours),
                  disk.sn + "/12345");
        std::vector<uint8_t> raw(std::begin(wrap.health.area.raw), std::end(wrap.health.area.raw));
        std::vector<uint8_t> want = area;
        want.resize(raw.size(), 0);
        EXPECT_EQ(raw, want) << disk.type;
    }
}

// The counters in the order of the builder's keys; the instant is set by the
// save, not the copier.
TEST_F(DcmCopyTest, IoFrameFields)
{
    Json disk(IoJson(TestDisk{"HDD_SAS", "WD", "M", "SN-IO", "sda"}, 1000));
    DiskIoInfoFrameSnWrap wrap{};
    ASSERT_EQ(CopyDiskIoInfoFromJSON(disk.value, &wrap), 0);
    const DiskIoInfoFrame &f = wrap.frame;
    EXPECT_STREQ(wrap.sn, "SN-IO");
    EXPECT_EQ((std::vector<uint64_t>{f.io_time, f.bytes_read, f.bytes_written, f.num_read_ops,
                                     f.num_write_ops, f.read_latency_ticks, f.write_latency_ticks,
                                     f.queue_depth, f.io_busy_num, f.ticks}),
              (std::vector<uint64_t>{1000, 2000, 3000, 4000, 5000, 6000, 7000, 32, 3, 0}));
}

// Records filled in answer order; an answer longer than the records stops
// the copy with the records full; a list that is not an array is refused.
TEST_F(DcmCopyTest, BatchCopyFillsInOrderAndStopsAtTheLastRecord)
{
    Json arr(cJSON_CreateArray()), object("{}");
    for (const TestDisk &d : Hdds(3, "B")) {
        cJSON_AddItemToArray(arr.value, BaseJson(d));
    }
    for (uint32_t records : {3u, 2u}) {
        ArrayList list{nullptr, records, sizeof(DiskBaseInfo)};
        ASSERT_EQ(ArrayListCreate(&list), 0);
        EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, arr.value, &list), records == 3 ? 0 : EINVAL);
        EXPECT_EQ(static_cast<DiskBaseInfo *>(list.elements[records - 1])->sn, "B" + std::to_string(records - 1));
        EXPECT_EQ(CopyBatchFromJSON(MESSAGE_DISK_BASE_INFO, object.value, &list), EINVAL);
        EXPECT_EQ(CopyBatchFromJSON(MESSAGE_TYPE_BUTT, arr.value, &list), EINVAL);
        ArrayListRelease(&list);
    }
}

TEST_F(DcmCopyTest, ClockInstantNeedsBothMembersAsDigits)
{
    uint64_t rate = 0, ticks = 0;
    Json good(R"({"tick_rate":"1000","TICKS":"99999999999"})");
    ASSERT_EQ(CopyClockTicksInstantFromJSON(good.value, &rate, &ticks), 0);
    EXPECT_EQ(std::to_string(rate) + "/" + std::to_string(ticks), "1000/99999999999");
    for (const char *bad : {R"({"ticks":"1"})", R"({"tick_rate":"1"})", R"({"tick_rate":1000,"ticks":1})"}) {
        EXPECT_EQ(CopyClockTicksInstantFromJSON(Json(bad).value, &rate, &ticks), ENOMEM) << bad;
    }
    EXPECT_EQ(CopyClockTicksInstantFromJSON(good.value, nullptr, &ticks), EINVAL);
}

}  // namespace
