// The disk registry: ids, updates, persistence across restarts.
#include "disk_mgr/disk_mgr.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/persist_files.h"

namespace {

DiskBaseInfo Disk(const std::string &sn, uint32_t state = DISK_STATE_NORMAL)
{
    DiskBaseInfo d{DISK_ID_INVALID, state, 0, 4, 3840755982336ULL, 0, "SAMSUNG", "", "", "",
                   "nvme0n1", "", 0, MEDIA_TYPE_TLC};
    strncpy(d.sn, sn.c_str(), sizeof(d.sn) - 1);
    return d;
}

class DiskMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);  // format every message, too
        ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
    }
    void TearDown() override { DiskMgrDestroy(); }

    // Registers a disk the way the data manager does: propose, then insert.
    uint32_t Register(const std::string &sn)
    {
        uint32_t id = DISK_ID_INVALID;
        EXPECT_EQ(GetNewDiskId(static_cast<uint32_t>(sn.size()), sn.c_str(), &id), 0) << sn;
        DiskBaseInfo d = Disk(sn);
        EXPECT_EQ(DiskInfoUpdate(id, &d), 0) << sn;
        return id;
    }
    DiskMgrObj *Obj(uint32_t id)
    {
        DiskMgrObj *obj = nullptr;
        return DiskMgrGetObj(id, &obj) == 0 ? obj : nullptr;
    }
    int32_t Update(uint32_t id, uint32_t state)
    {
        DiskBaseInfo d = *Obj(id);
        d.diskState = state;
        return DiskInfoUpdate(id, &d);
    }
    uint32_t Count()
    {
        uint32_t count = 0;
        (void)DiskMgrListAllDisk(nullptr, nullptr, 0, &count);  // writes the count first
        return count;
    }

    TempDir dir_;
    std::string path_ = dir_.Join("disk_mgr.config");
};

TEST_F(DiskMgrTest, IdsMoveForwardWrapAfter127AndStopAtSixtyFourDisks)
{
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(Register("KEEP" + std::to_string(i)), i);
    }
    ASSERT_EQ(Update(1, DISK_STATE_OFFLINE), 0);
    for (uint32_t id = 3; id < MAX_DISK_ID_NUM; ++id) {  // each newcomer replaces the last
        ASSERT_EQ(Register("CHURN" + std::to_string(id)), id) << "freed id 1 waits";
        ASSERT_TRUE(id == 3 || Update(id - 1, DISK_STATE_OFFLINE) == 0);
    }
    EXPECT_EQ(Register("WRAPPED"), 1U);  // cursor on 127: 0 is taken, 1 is free again
    for (uint32_t i = Count(); i < MAX_DISK_NUM; ++i) {
        Register("FULL" + std::to_string(i));
    }
    uint32_t id = 1234;
    EXPECT_EQ(std::make_pair(GetNewDiskId(6, "EXTRA1", &id), id), std::make_pair(2, 1234U));
}

// Lookups take at most 40 characters; the list fills the caller's buffers in
// id order and skips freed ids.
TEST_F(DiskMgrTest, LookupsListingAndMisuse)
{
    Register(std::string(39, 'Q'));
    Register("SECOND");
    const std::string longer = std::string(39, 'Q') + '\0' + "ZZZ";  // only 40 characters count
    uint32_t id = 9;
    DiskBaseInfo d = Disk("X");
    EXPECT_EQ(std::make_pair(GetDiskIdBySn(40, longer.data(), &id), id), std::make_pair(0, 0U));
    EXPECT_EQ(std::make_pair(GetDiskIdBySn(6, "SECOND", &id), id), std::make_pair(0, 1U));
    EXPECT_EQ(DiskMgrIsSnExist("SECOND"), 0);
    EXPECT_EQ(DiskInfoUpdate(128, &d), 7);
    EXPECT_EQ(DiskInfoUpdate(0, nullptr), 7);
    ASSERT_EQ(Update(0, DISK_STATE_OFFLINE), 0);
    Register("CC");
    uint32_t ids[3] = {}, count = 0;
    char bufs[3][DISK_SN_LEN] = {};
    KeeperStr strs[3] = {{DISK_SN_LEN, bufs[0]}, {DISK_SN_LEN, bufs[1]}, {DISK_SN_LEN, bufs[2]}};
    EXPECT_EQ(DiskMgrListAllDisk(ids, strs, 3, nullptr), -1);
    ASSERT_EQ(DiskMgrListAllDisk(ids, strs, 3, &count), 0);
    EXPECT_EQ(std::to_string(count) + std::to_string(ids[0]) + bufs[0] + std::to_string(ids[1]) + bufs[1],
              "21SECOND2CC");
}

// Another disk's serial number under an id and records whose file would not
// load back (the loader drops the whole file over one bad element) change
// nothing; any state but unset may replace a stored one.
TEST_F(DiskMgrTest, RefusedUpdatesChangeNothing)
{
    uint32_t id = Register("OWNER");
    std::string before = ReadFileText(path_);
    DiskBaseInfo refused[] = {Disk("INTRUDER"), *Obj(id), *Obj(id)};
    refused[1].diskState = DISK_STATE_UNSET;
    refused[2].diskType = DISK_TYPE_UNKNOWN;
    for (const DiskBaseInfo &r : refused) {
        EXPECT_EQ(DiskInfoUpdate(id, &r), -1) << r.sn;
    }
    EXPECT_EQ(std::string(Obj(id)->sn) + "/" + std::to_string(Obj(id)->diskState), "OWNER/0");
    EXPECT_EQ(ReadFileText(path_), before);
    for (uint32_t state : {DISK_STATE_SLOW, DISK_STATE_PREFAIL, DISK_STATE_FAULT}) {
        EXPECT_EQ(Update(id, state), 0) << state;
    }
}

std::string Element(uint32_t id, const std::string &sn)
{
    return "{\"diskId\":" + std::to_string(id) +
           ",\"diskState\":0,\"frameId\":0,\"slotId\":0,\"sectorSize\":512,\"diskType\":2,"
           "\"mediaType\":2,\"diskCapacity\":\"1\",\"vendor\":\"v\",\"model\":\"m\",\"sn\":\"" +
           sn + "\",\"pciAddr\":\"\",\"firmware\":\"f\"}";
}

TEST_F(DiskMgrTest, FileContentsDecideWhatLoads)
{
    std::string tooMany = "[";
    for (uint32_t i = 0; i < 65; ++i) {
        tooMany += (i ? "," : "") + Element(i, "M" + std::to_string(i));
    }
    const struct {
        std::string text;
        const char *loaded;     // sn loaded under id 3, if any
        bool keptAsUnreadable;  // the operator's bytes outlive the next save
    } cases[] = {
        {"[" + Element(3, "FIRST") + "," + Element(3, "SECOND") + "]", "FIRST", false},
        {tooMany + "]", nullptr, false},
        {"[" + Element(1, "A") + "," + Element(200, "B") + "]", nullptr, false},
        {"[{\"diskId\":", nullptr, true},
    };
    const std::string kept = path_ + ".unreadable";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        DiskMgrDestroy();
        (void)unlink(kept.c_str());
        WriteFileText(path_, c.text);
        ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
        EXPECT_EQ(Count(), c.loaded != nullptr ? 1U : 0U);
        EXPECT_STREQ(Obj(3) != nullptr ? Obj(3)->sn : nullptr, c.loaded);
        EXPECT_EQ(ReadFileText(path_), c.text) << "loading never rewrites the file";
        Register("NEWDISK");
        EXPECT_NE(ReadFileText(path_), c.text);
        EXPECT_EQ(ReadFileText(kept), c.keptAsUnreadable ? c.text : "<missing>");
    }
}

TEST(DiskMgrTextTest, EnumerationTexts)
{
    // Agent strings match in any case, anything else is unknown; values out
    // of range get the unknown texts, never a read past a table.
    const char *agent[] = {"SSD_NVMe", "ssd_sas", "SSD_SATA", "HDD_SAS", "hdd_sata", "HDD_NL_SAS", "SSD"};
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(DiskTypeFromAgentStr(i < 7 ? agent[i] : nullptr), std::min(i, 6U)) << i;
    }
    for (uint32_t m = 0; m < MEDIA_TYPE_UNKNOWN; ++m) {
        EXPECT_EQ(MediaTypeFromAgentStr(MediaTypeText(m)), m);
    }
    EXPECT_EQ(MediaTypeFromAgentStr("HDD"), static_cast<uint32_t>(MEDIA_TYPE_UNKNOWN));
    EXPECT_STREQ(DiskTypeDisplayText(99), DiskTypeDisplayText(DISK_TYPE_UNKNOWN));
    EXPECT_STREQ(DiskStateDisplayText(DISK_STATE_UNSET + 1), "");
}

}  // namespace
