// The disk registry: ids, updates, persistence across restarts.
#include "disk_mgr/disk_mgr.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "config/config_prefix.h"
#include "disk_mgr/disk_mgr_file.h"
#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/file_fault.h"
#include "support/log_capture.h"
#include "support/persist_files.h"

namespace {

DiskBaseInfo Disk(const std::string &sn, uint32_t state = DISK_STATE_NORMAL)
{
    DiskBaseInfo d{};
    d.diskId = DISK_ID_INVALID;
    d.diskState = state;
    d.frameId = 1;
    d.slotId = 4;
    d.diskCapacity = 3840755982336ULL;
    d.sectorSize = 512;
    strcpy(d.vendor, "SAMSUNG");
    strcpy(d.model, "MZWLR3T8HBLS");
    strcpy(d.firmware, "MPK7525Q");
    strncpy(d.sn, sn.c_str(), sizeof(d.sn) - 1);
    strcpy(d.deviceName, "nvme0n1");
    strcpy(d.pciAddr, "0000:3b:00.0");
    d.diskType = DISK_TYPE_SSD_NVME;
    d.mediaType = MEDIA_TYPE_TLC;
    return d;
}

class DiskMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
        path_ = dir_.Join("disk_mgr.config");
        ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
    }
    void TearDown() override { DiskMgrDestroy(); }

    void Restart()
    {
        DiskMgrDestroy();
        ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
    }

    // Registers a disk the way the data manager does: propose, then insert.
    uint32_t Register(const std::string &sn)
    {
        uint32_t id = DISK_ID_INVALID;
        EXPECT_EQ(GetNewDiskId(static_cast<uint32_t>(sn.size()), sn.c_str(), &id), 0) << sn;
        DiskBaseInfo d = Disk(sn);
        EXPECT_EQ(DiskInfoUpdate(id, &d), 0) << sn;
        return id;
    }

    void Remove(uint32_t id)
    {
        DiskMgrObj *obj = nullptr;
        ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
        DiskBaseInfo d = *obj;
        d.diskState = DISK_STATE_OFFLINE;
        ASSERT_EQ(DiskInfoUpdate(id, &d), 0);
    }

    int32_t IdOf(const std::string &sn, uint32_t *id)
    {
        return GetDiskIdBySn(static_cast<uint32_t>(sn.size()), sn.c_str(), id);
    }

    uint32_t Count()
    {
        uint32_t count = 0;
        (void)DiskMgrListAllDisk(nullptr, nullptr, 0, &count);  // writes the count first
        return count;
    }

    void WriteRegistry(const std::string &text) { WriteFileText(path_, text); }

    static std::string Element(uint32_t id, const std::string &sn)
    {
        return "{\"diskId\":" + std::to_string(id) +
               ",\"diskState\":0,\"frameId\":0,\"slotId\":0,\"sectorSize\":512,\"diskType\":2,"
               "\"mediaType\":2,\"diskCapacity\":\"1\",\"vendor\":\"v\",\"model\":\"m\",\"sn\":\"" +
               sn + "\",\"pciAddr\":\"\",\"firmware\":\"f\"}";
    }

    TempDir dir_;
    std::string path_;
};

TEST_F(DiskMgrTest, IdsAreHandedOutInOrderAndFreedIdsWaitForTheCursor)
{
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Register("SN" + std::to_string(i)), i);
    }
    Remove(1);
    EXPECT_EQ(Register("SN4"), 4U);
    uint32_t id = 0;
    EXPECT_EQ(IdOf("SN1", &id), 4);
    EXPECT_EQ(IdOf("SN4", &id), 0);
    EXPECT_EQ(id, 4U);
}

TEST_F(DiskMgrTest, ProposalDoesNotTakeTheId)
{
    uint32_t a = 99;
    uint32_t b = 99;
    ASSERT_EQ(GetNewDiskId(3, "SNA", &a), 0);
    ASSERT_EQ(GetNewDiskId(3, "SNB", &b), 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(Count(), 0U);
}

TEST_F(DiskMgrTest, CursorWrapsAfter127AndSkipsOccupiedSlots)
{
    ASSERT_EQ(Register("KEEP0"), 0U);
    ASSERT_EQ(Register("GONE1"), 1U);
    ASSERT_EQ(Register("KEEP2"), 2U);
    Remove(1);
    uint32_t previous = 2;
    for (uint32_t expect = 3; expect < MAX_DISK_ID_NUM; ++expect) {
        uint32_t id = Register("CHURN" + std::to_string(expect));
        ASSERT_EQ(id, expect);
        if (previous != 2) {
            Remove(previous);
        }
        previous = id;
    }
    // Cursor sits on 127; 0 is taken, 1 is free again.
    EXPECT_EQ(Register("WRAPPED"), 1U);
    EXPECT_EQ(Register("NEXT"), 3U);
}

TEST_F(DiskMgrTest, SixtyFifthDiskIsRefused)
{
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        Register("FULL" + std::to_string(i));
    }
    uint32_t id = 1234;
    EXPECT_EQ(GetNewDiskId(6, "EXTRA1", &id), 2);
    EXPECT_EQ(id, 1234U);
    EXPECT_EQ(Count(), MAX_DISK_NUM);
    uint32_t found = 0;
    EXPECT_EQ(IdOf("EXTRA1", &found), 4);
}

TEST_F(DiskMgrTest, BadArgumentsGiveTheirCodes)
{
    LogCapture logs;
    uint32_t id = 0;
    DiskBaseInfo d = Disk("X");
    EXPECT_EQ(GetNewDiskId(41, "X", &id), -1);
    EXPECT_TRUE(logs.Contains("DiskBaseInfoSet Param error, sn_len = 41"));
    EXPECT_EQ(GetNewDiskId(1, nullptr, &id), -1);
    EXPECT_EQ(GetDiskIdBySn(41, "X", &id), -1);
    EXPECT_TRUE(logs.Contains("DiskBaseInfoSet Param error, sn len = 41"));
    EXPECT_EQ(GetDiskIdBySn(1, nullptr, &id), -1);
    EXPECT_EQ(DiskInfoUpdate(128, &d), 7);
    EXPECT_EQ(DiskInfoUpdate(0, nullptr), 7);
    DiskMgrObj *obj = nullptr;
    EXPECT_EQ(DiskMgrGetObj(128, &obj), 1);
    EXPECT_EQ(DiskMgrGetObj(5, &obj), 1);
    EXPECT_EQ(DiskMgrIsSnExist(nullptr), -1);
}

TEST_F(DiskMgrTest, UpdatesThatMustChangeNothing)
{
    uint32_t id = Register("OWNER");
    std::string before = ReadFileText(path_);
    LogCapture logs;

    DiskBaseInfo offlineNew = Disk("NEWCOMER", DISK_STATE_OFFLINE);
    EXPECT_EQ(DiskInfoUpdate(10, &offlineNew), -1);
    DiskBaseInfo otherSn = Disk("INTRUDER");
    EXPECT_EQ(DiskInfoUpdate(id, &otherSn), -1);
    EXPECT_TRUE(logs.Contains("input SN (INTRUDER) does not match saved SN (OWNER) under same disk id."));
    DiskBaseInfo sameSnOtherId = Disk("OWNER");
    EXPECT_EQ(DiskInfoUpdate(11, &sameSnOtherId), -1);

    DiskMgrObj *obj = nullptr;
    EXPECT_EQ(DiskMgrGetObj(10, &obj), 1);
    EXPECT_EQ(DiskMgrGetObj(11, &obj), 1);
    ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
    EXPECT_STREQ(obj->sn, "OWNER");
    EXPECT_EQ(Count(), 1U);
    EXPECT_EQ(ReadFileText(path_), before);
}

TEST_F(DiskMgrTest, NewEntryTakesTheSlotIdAndStartsNormal)
{
    DiskBaseInfo d = Disk("FRESH", DISK_STATE_FAULT);
    d.diskId = 77;
    ASSERT_EQ(DiskInfoUpdate(5, &d), 0);
    DiskMgrObj *obj = nullptr;
    ASSERT_EQ(DiskMgrGetObj(5, &obj), 0);
    EXPECT_EQ(obj->diskId, 5U);
    EXPECT_EQ(obj->diskState, static_cast<uint32_t>(DISK_STATE_NORMAL));
    EXPECT_STREQ(obj->deviceName, "nvme0n1");
}

TEST_F(DiskMgrTest, ReplacementCopiesTheWholeRecordAndSaves)
{
    uint32_t id = Register("SLOWONE");
    DiskMgrObj *obj = nullptr;
    ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
    DiskBaseInfo d = *obj;
    d.diskState = DISK_STATE_SLOW;
    d.slotId = 9;
    ASSERT_EQ(DiskInfoUpdate(id, &d), 0);
    EXPECT_EQ(memcmp(obj, &d, sizeof(d)), 0);
    Restart();
    ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
    EXPECT_EQ(obj->diskState, static_cast<uint32_t>(DISK_STATE_SLOW));
    EXPECT_EQ(obj->slotId, 9U);
}

TEST_F(DiskMgrTest, RecordsThatWouldNotLoadBackAreRefused)
{
    uint32_t id = Register("GOOD");
    DiskMgrObj *obj = nullptr;
    ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
    DiskBaseInfo unset = *obj;
    unset.diskState = DISK_STATE_UNSET;
    DiskBaseInfo unknownType = *obj;
    unknownType.diskType = DISK_TYPE_UNKNOWN;
    DiskBaseInfo longSn = Disk("");
    memset(longSn.sn, 'S', sizeof(longSn.sn));
    LogCapture logs;
    EXPECT_EQ(DiskInfoUpdate(id, &unset), -1);
    EXPECT_EQ(DiskInfoUpdate(id, &unknownType), -1);
    EXPECT_EQ(DiskInfoUpdate(20, &longSn), -1);
    EXPECT_EQ(logs.Count("would not load back"), 3);
    Restart();
    uint32_t again = 0;
    EXPECT_EQ(IdOf("GOOD", &again), 0);
    EXPECT_EQ(again, id);
}

// A daemon restarted any number of times gives every disk its id, seen
// through the registry and through the file.
TEST_F(DiskMgrTest, RestartsKeepEveryDiskItsId)
{
    std::vector<std::pair<std::string, uint32_t>> disks;
    for (int round = 0; round < 6; ++round) {
        for (int k = 0; k < 5; ++k) {
            std::string sn = "R" + std::to_string(round) + "D" + std::to_string(k);
            disks.emplace_back(sn, Register(sn));
        }
        Remove(disks[static_cast<size_t>(round)].second);  // one disk leaves each round
        disks.erase(disks.begin() + round);
        Restart();
        for (const auto &[sn, id] : disks) {
            uint32_t got = 0;
            ASSERT_EQ(IdOf(sn, &got), 0) << sn << " round " << round;
            EXPECT_EQ(got, id) << sn;
            DiskMgrObj *obj = nullptr;
            ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
            EXPECT_STREQ(obj->deviceName, "unknown");
            EXPECT_STREQ(obj->pciAddr, "0000:3b:00.0");
            EXPECT_EQ(obj->diskCapacity, 3840755982336ULL);
        }
        EXPECT_EQ(Count(), disks.size());
    }
    cJSON *doc = LoadCJsonFromFile(path_.c_str());
    ASSERT_NE(doc, nullptr);
    ASSERT_EQ(static_cast<size_t>(cJSON_GetArraySize(doc)), disks.size());
    for (const cJSON *e = doc->child; e != nullptr; e = e->next) {
        std::string sn = cJSON_GetObjectItem(e, "sn")->valuestring;
        uint32_t id = static_cast<uint32_t>(cJSON_GetObjectItem(e, "diskId")->valuedouble);
        bool listed = false;
        for (const auto &d : disks) {
            listed = listed || (d.first == sn && d.second == id);
        }
        EXPECT_TRUE(listed) << sn << " " << id;
    }
    cJSON_Delete(doc);
}

struct LoadCase {
    const char *name;
    std::string text;
    std::vector<std::pair<uint32_t, std::string>> loaded;  // id, sn
    const char *log;
};

TEST_F(DiskMgrTest, FileContentsDecideWhatLoads)
{
    std::string tooMany = "[";
    for (uint32_t i = 0; i < 65; ++i) {
        tooMany += (i ? "," : "") + Element(i, "M" + std::to_string(i));
    }
    tooMany += "]";
    const LoadCase cases[] = {
        {"duplicate id", "[" + Element(3, "FIRST") + "," + Element(3, "SECOND") + "]",
         {{3, "FIRST"}}, "Detected duplicate disk id: 3"},
        {"65 elements", tooMany, {}, "Too Many Disk Obj(65) in Config File"},
        {"one bad element", "[" + Element(1, "A") + "," + Element(200, "B") + "," + Element(2, "C") + "]",
         {}, "log config file error at diskInfoCJson[1]"},
        {"not json", "[{\"diskId\":", {}, "cant load from config file"},
        {"not an array", "{\"diskId\":1}", {}, "does not hold an array"},
        {"empty array", "[]", {}, nullptr},
        {"element not object", "[5]", {}, "log config file error at diskInfoCJson[0]"},
    };
    for (const auto &c : cases) {
        DiskMgrDestroy();
        WriteRegistry(c.text);
        LogCapture logs;
        ASSERT_EQ(DiskMgrInit(path_.c_str()), 0) << c.name;
        if (c.log != nullptr) {
            EXPECT_TRUE(logs.Contains(c.log)) << c.name << logs.Dump();
        }
        EXPECT_EQ(Count(), c.loaded.size()) << c.name;
        for (const auto &[id, sn] : c.loaded) {
            DiskMgrObj *obj = nullptr;
            ASSERT_EQ(DiskMgrGetObj(id, &obj), 0) << c.name;
            EXPECT_EQ(std::string(obj->sn), sn) << c.name;
        }
        EXPECT_EQ(ReadFileText(path_), c.text) << c.name << ": the file stays for the operator";
    }
}

TEST_F(DiskMgrTest, UnreadableRegistrySurvivesTheNextRegistration)
{
    const std::string cases[] = {"[{\"diskId\":", "{\"diskId\":1}", "\x01\x02 garbage"};
    for (const auto &text : cases) {
        DiskMgrDestroy();
        (void)unlink((path_ + ".unreadable").c_str());
        WriteRegistry(text);
        LogCapture logs;
        ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
        EXPECT_TRUE(logs.Contains("kept as")) << logs.Dump();
        EXPECT_EQ(Register("NEWDISK"), 0u);
        EXPECT_NE(ReadFileText(path_), text) << "the registration saved a new registry";
        EXPECT_EQ(ReadFileText(path_ + ".unreadable"), text) << "the operator's bytes are kept";
    }
    // A fresh install (no file at all) keeps nothing and says nothing about it.
    DiskMgrDestroy();
    (void)unlink(path_.c_str());
    (void)unlink((path_ + ".unreadable").c_str());
    LogCapture logs;
    ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
    EXPECT_FALSE(logs.Contains("kept as"));
    EXPECT_NE(access((path_ + ".unreadable").c_str(), F_OK), 0);
}

TEST_F(DiskMgrTest, FailedSaveWithdrawsNewEntryAndUndoesRemoval)
{
    uint32_t kept = Register("KEPT");
    std::string before = ReadFileText(path_);
    LogCapture logs;
    FileFault fault;

    uint32_t id = 0;
    ASSERT_EQ(GetNewDiskId(3, "NEW", &id), 0);
    DiskBaseInfo d = Disk("NEW");
    fault.FailNth(FILE_SYS_OPEN, 1, ENOSPC);
    EXPECT_EQ(DiskInfoUpdate(id, &d), -1);
    DiskMgrObj *obj = nullptr;
    EXPECT_EQ(DiskMgrGetObj(id, &obj), 1);
    EXPECT_EQ(DiskMgrIsSnExist("NEW"), -1);
    EXPECT_EQ(Count(), 1U);

    ASSERT_EQ(DiskMgrGetObj(kept, &obj), 0);
    DiskBaseInfo off = *obj;
    off.diskState = DISK_STATE_OFFLINE;
    fault.FailNth(FILE_SYS_WRITE, 1, EIO);
    EXPECT_NE(DiskInfoUpdate(kept, &off), 0);
    ASSERT_EQ(DiskMgrGetObj(kept, &obj), 0);
    EXPECT_EQ(Count(), 1U);
    EXPECT_EQ(logs.Count("DiskInfoUpdate DiskInfoSavetoConfig fail , config file path = "), 2);
    EXPECT_EQ(ReadFileText(path_), before);
}

TEST_F(DiskMgrTest, FailedReplacementStaysInMemoryAndReachesTheNextSave)
{
    uint32_t id = Register("REPL");
    DiskMgrObj *obj = nullptr;
    ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
    DiskBaseInfo d = *obj;
    d.diskState = DISK_STATE_FAULT;
    {
        FileFault fault;
        fault.FailNth(FILE_SYS_USER_ID, 1, ENOENT);  // the service user is missing
        EXPECT_NE(DiskInfoUpdate(id, &d), 0);
    }
    EXPECT_EQ(obj->diskState, static_cast<uint32_t>(DISK_STATE_FAULT));
    Register("OTHER");
    Restart();
    ASSERT_EQ(DiskMgrGetObj(id, &obj), 0);
    EXPECT_EQ(obj->diskState, static_cast<uint32_t>(DISK_STATE_FAULT));
}

TEST_F(DiskMgrTest, MissingUserOrGroupFailsEverySaveBeforeWriting)
{
    const FileSysId lookups[] = {FILE_SYS_USER_ID, FILE_SYS_GROUP_ID};
    for (FileSysId lookup : lookups) {
        FileFault fault;
        fault.FailNth(lookup, 1, ENOENT, true);
        uint32_t id = 0;
        ASSERT_EQ(GetNewDiskId(4, "LOST", &id), 0);
        DiskBaseInfo d = Disk("LOST");
        EXPECT_EQ(DiskInfoUpdate(id, &d), -1);
        EXPECT_EQ(fault.Calls(FILE_SYS_WRITE), 0);
        EXPECT_FALSE(FileExists(path_ + ".wal"));
        EXPECT_FALSE(FileExists(path_));
    }
}

TEST_F(DiskMgrTest, ListAllDiskFillsCallerBuffersInIdOrder)
{
    Register("AAA");
    Register("BBBBBB");
    Remove(0);
    Register("CC");
    uint32_t ids[4] = {};
    char bufs[4][DISK_SN_LEN] = {};
    KeeperStr strs[4];
    for (int i = 0; i < 4; ++i) {
        strs[i] = KeeperStr{DISK_SN_LEN, bufs[i]};
    }
    uint32_t count = 0;
    EXPECT_EQ(DiskMgrListAllDisk(ids, strs, 1, &count), 6);
    EXPECT_EQ(count, 2U);
    ASSERT_EQ(DiskMgrListAllDisk(ids, strs, 4, &count), 0);
    EXPECT_EQ(ids[0], 1U);
    EXPECT_STREQ(bufs[0], "BBBBBB");
    EXPECT_EQ(ids[1], 2U);
    EXPECT_STREQ(bufs[1], "CC");
    strs[0].len = 4;  // "BBBBBB" does not fit
    EXPECT_EQ(DiskMgrListAllDisk(ids, strs, 4, &count), -1);
}

TEST_F(DiskMgrTest, LookupMissLogsEveryRegisteredDisk)
{
    Register("PRESENT");
    LogCapture logs;
    uint32_t id = 0;
    EXPECT_EQ(IdOf("ABSENT", &id), 4);
    EXPECT_TRUE(logs.Contains("GetDiskIdBySn can't find sn = ABSENT"));
    EXPECT_TRUE(logs.Contains("\tsn = PRESENT, diskid= 0"));
}

TEST_F(DiskMgrTest, SerialNumbersCompareOverFortyCharacters)
{
    std::string sn39(39, 'Q');
    Register(sn39);
    char longer[48] = {};
    memset(longer, 'Q', 39);
    memcpy(longer + 39, "\0ZZZ", 4);
    uint32_t id = 9;
    EXPECT_EQ(GetDiskIdBySn(40, longer, &id), 0);
    EXPECT_EQ(id, 0U);
}

TEST_F(DiskMgrTest, LifecycleMisuseIsRefused)
{
    LogCapture logs;
    EXPECT_EQ(DiskMgrInit(path_.c_str()), -1);
    EXPECT_TRUE(logs.Contains("Disk Mgr Model already init"));
    DiskMgrDestroy();
    DiskMgrDestroy();
    EXPECT_TRUE(logs.Contains("Disk Mgr Model no init,can't destroy"));
    ASSERT_EQ(DiskMgrInit(path_.c_str()), 0);
}

TEST_F(DiskMgrTest, DefaultPathLivesBelowThePrefix)
{
    DiskMgrDestroy();
    std::string prefix = ResetTestPrefix();
    LogCapture logs;
    ASSERT_EQ(DiskMgrInit(nullptr), 0);
    Register("DEFAULT");
    EXPECT_TRUE(FileExists(prefix + "/config/disk_mgr.config"));
    EXPECT_TRUE(logs.Contains("Disk Mgr Model Init finish , config file path = " + prefix +
                              "/config/disk_mgr.config"));
}

TEST(DiskMgrTextTest, EnumerationTexts)
{
    const struct {
        const char *agent;
        uint32_t type;
        const char *display;
    } types[] = {
        {"SSD_NVMe", DISK_TYPE_SSD_NVME, "NVME SSD"},   {"ssd_sas", DISK_TYPE_SSD_SAS, "SAS SSD"},
        {"SSD_SATA", DISK_TYPE_SSD_SATA, "SATA SSD"},   {"HDD_SAS", DISK_TYPE_HDD_SAS, "SAS HDD"},
        {"hdd_sata", DISK_TYPE_HDD_SATA, "SATA HDD"},   {"HDD_NL_SAS", DISK_TYPE_HDD_NL_SAS, "NL SAS HDD"},
        {"SSD", DISK_TYPE_UNKNOWN, "UNKONW DISK TYPE"}, {nullptr, DISK_TYPE_UNKNOWN, "UNKONW DISK TYPE"},
    };
    for (const auto &t : types) {
        EXPECT_EQ(DiskTypeFromAgentStr(t.agent), t.type);
        EXPECT_STREQ(DiskTypeDisplayText(t.type), t.display);
    }
    EXPECT_STREQ(DiskTypeDisplayText(99), "UNKONW DISK TYPE");
    EXPECT_EQ(MediaTypeFromAgentStr("magnet"), static_cast<uint32_t>(MEDIA_TYPE_MAGNET));
    EXPECT_EQ(MediaTypeFromAgentStr("QLC"), static_cast<uint32_t>(MEDIA_TYPE_QLC));
    EXPECT_EQ(MediaTypeFromAgentStr("HDD"), static_cast<uint32_t>(MEDIA_TYPE_UNKNOWN));
    EXPECT_STREQ(MediaTypeText(MEDIA_TYPE_PLC), "PLC");
    const char *states[] = {"Normal state", "Fault state", "Off-line state", "Prefail state",
                            "Slow state", "", ""};
    for (uint32_t s = 0; s < 7; ++s) {
        EXPECT_STREQ(DiskStateDisplayText(s), states[s]);
    }
}

}  // namespace
