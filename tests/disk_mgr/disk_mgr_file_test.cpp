// The registry file format and the WAL save/load protocol.
#include "disk_mgr/disk_mgr_file.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <memory>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/file_fault.h"
#include "support/log_capture.h"
#include "support/persist_files.h"

namespace {

struct CJsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

JsonPtr Parse(const std::string &text) { return JsonPtr(cJSON_Parse(text.c_str())); }

std::string Print(const cJSON *doc)
{
    char *t = cJSON_PrintUnformatted(doc);
    std::string s = t != nullptr ? t : "<null>";
    cJSON_free(t);
    return s;
}

DiskBaseInfo SampleDisk()
{
    DiskBaseInfo d{};
    d.diskId = 7;
    d.diskState = DISK_STATE_PREFAIL;
    d.frameId = 0xFFFFFFFFU;
    d.slotId = 12;
    d.diskCapacity = 18000207937536ULL;
    d.sectorSize = 4096;
    strcpy(d.vendor, "SEAGATE");
    strcpy(d.model, "ST18000NM004J");
    strcpy(d.firmware, "E004");
    strcpy(d.sn, "ZR5A1B2C");
    strcpy(d.deviceName, "sdb");
    d.diskType = DISK_TYPE_HDD_SAS;
    d.mediaType = MEDIA_TYPE_MAGNET;
    return d;
}

// A valid element as text, with one member replaced or removed ("" value).
std::string Element(const std::string &key = "", const std::string &value = "")
{
    const std::pair<std::string, std::string> members[] = {
        {"diskId", "3"},       {"diskState", "0"},          {"frameId", "1"},
        {"slotId", "2"},       {"sectorSize", "512"},       {"diskType", "2"},
        {"mediaType", "2"},    {"diskCapacity", "\"960197124096\""},
        {"vendor", "\"ATA\""}, {"model", "\"SAMSUNG MZ7LH960\""},
        {"sn", "\"S45NNA0M\""}, {"pciAddr", "\"\""},        {"firmware", "\"HXT7904Q\""},
    };
    std::string out = "{";
    for (const auto &m : members) {
        std::string v = m.first == key ? value : m.second;
        if (m.first == key && value.empty()) {
            continue;
        }
        out += (out.size() > 1 ? "," : "") + ("\"" + m.first + "\":" + v);
    }
    return out + "}";
}

std::string Quoted(size_t n, char c = 'x') { return "\"" + std::string(n, c) + "\""; }

class DiskMgrFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
        KeeperOsSetLogLevel(KEEPER_LOG_DEBUG);
        path_ = dir_.Join("disk_mgr.config");
        wal_ = path_ + ".wal";
    }
    int Save(const std::string &text)
    {
        JsonPtr doc = Parse(text);
        return SaveCJsonToFile(path_.c_str(), doc.get(), 0640, SPK_SERVICE_USER, SPK_SERVICE_GROUP);
    }
    std::string Load()
    {
        JsonPtr doc(LoadCJsonFromFile(path_.c_str()));
        return doc ? Print(doc.get()) : "<none>";
    }

    TempDir dir_;
    std::string path_;
    std::string wal_;
};

struct ValidationCase {
    const char *name;
    std::string key;
    std::string value;  // "" removes the member
    bool valid;
    const char *log;  // a message the refusal must log
};

TEST_F(DiskMgrFileTest, ElementValidationFollowsTheTableLimits)
{
    const ValidationCase cases[] = {
        {"valid", "", "", true, nullptr},
        {"state offline", "diskState", "2", false, "Check Disk Mgr Obj CJson Fail, (diskState)."},
        {"state unset", "diskState", "5", false, "(diskState)"},
        {"state slow", "diskState", "4", true, nullptr},
        {"id 127", "diskId", "127", true, nullptr},
        {"id 128", "diskId", "128", false, "(diskId)"},
        {"id negative", "diskId", "-1", false, "(diskId)"},
        {"id as string", "diskId", "\"3\"", false, "Value number is not a number."},
        {"id missing", "diskId", "", false, "Member diskId not exist."},
        {"frame any number", "frameId", "4294967295", true, nullptr},
        {"slot huge", "slotId", "1e300", true, nullptr},
        {"type 5", "diskType", "5", true, nullptr},
        {"type unknown", "diskType", "6", false, "(diskType)"},
        {"media unknown", "mediaType", "6", false, "(mediaType)"},
        {"capacity letters", "diskCapacity", "\"12a\"", false, "(diskCapacity)"},
        {"capacity empty", "diskCapacity", "\"\"", false, "(diskCapacity)"},
        {"capacity as number", "diskCapacity", "12", false, "Value string not exist."},
        {"capacity 29 digits", "diskCapacity", Quoted(29, '9'), true, nullptr},
        {"capacity 30 digits", "diskCapacity", Quoted(30, '9'), false, "beyond len limit"},
        {"sn 39", "sn", Quoted(39), true, nullptr},
        {"sn 40", "sn", Quoted(40), false, "(sn)"},
        {"vendor 9", "vendor", Quoted(9), true, nullptr},
        {"vendor 10", "vendor", Quoted(10), false, "(vendor)"},
        {"model 44", "model", Quoted(44), false, "(model)"},
        {"firmware 10", "firmware", Quoted(10), false, "(firmware)"},
        {"pci 255", "pciAddr", Quoted(255), true, nullptr},
        {"pci 256", "pciAddr", Quoted(256), false, "(pciAddr)"},
        {"sn null", "sn", "null", false, "Value string not exist."},
    };
    for (const auto &c : cases) {
        LogCapture logs;
        JsonPtr elem = Parse(Element(c.key, c.value));
        ASSERT_TRUE(elem) << c.name;
        DiskBaseInfo out{};
        EXPECT_EQ(CheckCJsonIsValidDiskInfo(elem.get()) == 0, c.valid) << c.name << logs.Dump();
        EXPECT_EQ(ParseCJson2DiskInfo(elem.get(), &out) == 0, c.valid) << c.name;
        if (c.log != nullptr) {
            EXPECT_TRUE(logs.Contains(c.log)) << c.name << logs.Dump();
            EXPECT_TRUE(logs.Contains("Parse CJson to Disk Info fail, Vaild format (ret = -1)."))
                << c.name;
        }
    }
}

TEST_F(DiskMgrFileTest, KeysAreMatchedWithoutRegardToCase)
{
    std::string text = Element();
    text.replace(text.find("\"diskId\""), 8, "\"DISKID\"");
    text.replace(text.find("\"sn\""), 4, "\"Sn\"");
    JsonPtr elem = Parse(text);
    DiskBaseInfo out{};
    ASSERT_EQ(ParseCJson2DiskInfo(elem.get(), &out), 0);
    EXPECT_EQ(out.diskId, 3U);
    EXPECT_STREQ(out.sn, "S45NNA0M");
}

TEST_F(DiskMgrFileTest, NullElementIsRefused)
{
    LogCapture logs;
    EXPECT_EQ(CheckCJsonIsValidDiskInfo(nullptr), -1);
    EXPECT_TRUE(logs.Contains("Check Disk Mgr Obj CJson Fail, Bad Param(NULL)."));
}

TEST_F(DiskMgrFileTest, RecordSurvivesConversionExceptDeviceName)
{
    DiskBaseInfo in = SampleDisk();
    JsonPtr elem(ConvertSingleDiskMgrObj2cJSON(&in));
    ASSERT_TRUE(elem);
    DiskBaseInfo out{};
    ASSERT_EQ(ParseCJson2DiskInfo(elem.get(), &out), 0);
    EXPECT_STREQ(out.deviceName, "unknown");
    memset(out.deviceName, 0, sizeof(out.deviceName));
    memset(in.deviceName, 0, sizeof(in.deviceName));
    EXPECT_EQ(memcmp(&in, &out, sizeof(in)), 0);
}

TEST_F(DiskMgrFileTest, ElementMembersAreWrittenInFileOrder)
{
    DiskBaseInfo in = SampleDisk();
    JsonPtr elem(ConvertSingleDiskMgrObj2cJSON(&in));
    ASSERT_TRUE(elem);
    std::string keys;
    for (const cJSON *m = elem->child; m != nullptr; m = m->next) {
        keys += std::string(m->string) + ",";
    }
    EXPECT_EQ(keys,
              "diskId,diskState,frameId,slotId,sectorSize,diskType,mediaType,diskCapacity,vendor,"
              "model,sn,pciAddr,firmware,");
    EXPECT_STREQ(cJSON_GetObjectItem(elem.get(), "diskCapacity")->valuestring, "18000207937536");
    EXPECT_EQ(cJSON_GetObjectItem(elem.get(), "deviceName"), nullptr);
}

TEST_F(DiskMgrFileTest, UnterminatedFieldIsCutAtItsSize)
{
    DiskBaseInfo in = SampleDisk();
    memset(in.vendor, 'V', sizeof(in.vendor));  // no terminator inside the field
    JsonPtr elem(ConvertSingleDiskMgrObj2cJSON(&in));
    ASSERT_TRUE(elem);
    EXPECT_EQ(std::string(cJSON_GetObjectItem(elem.get(), "vendor")->valuestring),
              std::string(sizeof(in.vendor), 'V'));
}

TEST_F(DiskMgrFileTest, DocumentHoldsOccupiedSlotsInIdOrder)
{
    DiskBaseInfo a = SampleDisk();
    DiskBaseInfo b = SampleDisk();
    a.diskId = 2;
    b.diskId = 9;
    DiskMgrObj *slots[MAX_DISK_ID_NUM] = {};
    slots[9] = &b;
    slots[2] = &a;
    cJSON *doc = nullptr;
    ASSERT_EQ(ConvertDiskMgrObjs2cJSON(slots, MAX_DISK_ID_NUM, &doc), 0);
    JsonPtr owned(doc);
    ASSERT_EQ(cJSON_GetArraySize(doc), 2);
    EXPECT_EQ(cJSON_GetArrayItem(doc, 0)->child->valuedouble, 2);
    EXPECT_EQ(cJSON_GetArrayItem(doc, 1)->child->valuedouble, 9);
}

TEST_F(DiskMgrFileTest, CapacityConversionClampsAndNumbersWrap)
{
    JsonPtr elem = Parse(Element("diskCapacity", "\"99999999999999999999\""));
    DiskBaseInfo out{};
    ASSERT_EQ(ParseCJson2DiskInfo(elem.get(), &out), 0);
    EXPECT_EQ(out.diskCapacity, static_cast<uint64_t>(LLONG_MAX));

    const struct {
        double in;
        uint32_t out;
    } numbers[] = {
        {0, 0}, {127.9, 127}, {-0.5, 0}, {-1, 0xFFFFFFFFU}, {4294967296.0, 0},
        {4294967297.0, 1}, {1e300, JsonNumberToU32(1e300)}, {NAN, 0}, {INFINITY, 0},
    };
    for (const auto &n : numbers) {
        EXPECT_EQ(JsonNumberToU32(n.in), n.out) << n.in;
    }
    EXPECT_LT(JsonNumberToU32(1e300), 0xFFFFFFFFU + 1ULL);
}

TEST_F(DiskMgrFileTest, CheckHelpersRefuseBadParameters)
{
    LogCapture logs;
    EXPECT_EQ(CheckUIntInRange(3, 5, 5), -1);
    EXPECT_TRUE(logs.Contains("CheckUIntInRange Func input error param."));
    EXPECT_EQ(CheckUIntInRange(4, 0, 5), 0);
    EXPECT_EQ(CheckUIntInRange(5, 0, 5), -1);
    JsonPtr num = Parse("7");
    EXPECT_EQ(CheckCJsonNumValue(num.get(), 40), 0);
    EXPECT_TRUE(logs.Contains("CheckCJsonNumValue Func input error param(40)."));
    JsonPtr str = Parse("\"abc\"");
    EXPECT_EQ(CheckCJsonStrValue(str.get(), 0), 0);
    EXPECT_TRUE(logs.Contains("CheckStrLenInLimit Func input error param(0)."));
    EXPECT_EQ(CheckCJsonError(str.get(), 13), -1);
    EXPECT_TRUE(logs.Contains("It Seem Check Step Not Match Number Need To Be Save"));
}

TEST_F(DiskMgrFileTest, FirstSaveOnFreshInstallationSucceeds)
{
    LogCapture logs;
    ASSERT_EQ(Save("[1,2]"), 0);
    EXPECT_TRUE(logs.Contains("Remove old config fail"));
    EXPECT_FALSE(FileExists(wal_));
    EXPECT_EQ(Load(), "[1,2]");
    // Formatted output of the JSON library, not the compact form.
    EXPECT_EQ(ReadFileText(path_), "[1, 2]");
    struct stat st = StatFile(path_);
    EXPECT_EQ(st.st_mode & 07777, 0640U);
    const passwd *pw = getpwnam(SPK_SERVICE_USER);
    const group *gr = getgrnam(SPK_SERVICE_GROUP);
    ASSERT_NE(pw, nullptr);
    ASSERT_NE(gr, nullptr);
    EXPECT_EQ(st.st_uid, pw->pw_uid);
    EXPECT_EQ(st.st_gid, gr->gr_gid);
}

TEST_F(DiskMgrFileTest, LoadPrefersACompleteWalAndMovesItIntoPlace)
{
    WriteFileText(wal_, "{\"gen\": 2}");
    EXPECT_EQ(Load(), "{\"gen\":2}");
    EXPECT_FALSE(FileExists(wal_));
    EXPECT_EQ(ReadFileText(path_), "{\"gen\": 2}");

    WriteFileText(wal_, "{\"gen\": 3}");  // beside an older file
    EXPECT_EQ(Load(), "{\"gen\":3}");
    EXPECT_FALSE(FileExists(wal_));
}

TEST_F(DiskMgrFileTest, TornWalIsIgnoredUntilTheNextSave)
{
    WriteFileText(path_, "{\"gen\": 1}");
    const char *torn[] = {"{\"gen\": ", "", "{\"gen\": 2}xx", "{\"gen\": 2}\n{", "\x01\x02"};
    for (const char *t : torn) {
        WriteFileText(wal_, t);
        EXPECT_EQ(Load(), "{\"gen\":1}") << t;
        EXPECT_TRUE(FileExists(wal_)) << t;
    }
    ASSERT_EQ(Save("{\"gen\": 2}"), 0);
    EXPECT_FALSE(FileExists(wal_));
    EXPECT_EQ(Load(), "{\"gen\":2}");
}

TEST_F(DiskMgrFileTest, NothingLoadsWhenNeitherFileParses)
{
    LogCapture logs;
    EXPECT_EQ(Load(), "<none>");
    EXPECT_TRUE(logs.Contains("fail, file not exist"));
    WriteFileText(path_, "[{\"a\":1},");
    EXPECT_EQ(Load(), "<none>");
    EXPECT_EQ(ReadFileText(path_), "[{\"a\":1},");  // left for the operator
}

struct SaveFaultCase {
    const char *name;
    FileSysId id;
    int nth;
    int err;
    const char *log;
    bool oldFileKept;  // else: old file gone, WAL holds the new document
};

TEST_F(DiskMgrFileTest, FailedSaveNeverLosesBothDocuments)
{
    const SaveFaultCase cases[] = {
        {"open wal", FILE_SYS_OPEN, 1, EACCES, "cant open config file", true},
        {"write", FILE_SYS_WRITE, 1, ENOSPC, "Save to  tmp Config error", true},
        {"close", FILE_SYS_CLOSE, 1, EIO, "Save to  tmp Config error", true},
        {"chmod", FILE_SYS_CHMOD, 1, EPERM, "chmod ", true},
        {"missing user", FILE_SYS_USER_ID, 1, ENOENT, "user:spindlekeep_user not exist", true},
        {"missing group", FILE_SYS_GROUP_ID, 1, ENOENT, "group:spindlekeep_group not exist", true},
        {"chown", FILE_SYS_CHOWN, 1, EPERM, "chmown ", true},
        {"rename", FILE_SYS_RENAME, 1, EXDEV, "Rename new config fail", false},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(Save("{\"gen\": 1}"), 0);
        LogCapture logs;
        {
            FileFault fault;
            fault.FailNth(c.id, c.nth, c.err);
            EXPECT_EQ(Save("{\"gen\": 2}"), -1) << c.name;
        }
        EXPECT_TRUE(logs.Contains(c.log)) << c.name << logs.Dump();
        if (c.oldFileKept) {
            EXPECT_EQ(ReadFileText(path_), "{\n\t\"gen\":\t1\n}") << c.name;
            EXPECT_FALSE(FileExists(wal_)) << c.name;
        } else {
            EXPECT_FALSE(FileExists(path_)) << c.name;
        }
        if (c.id == FILE_SYS_CHMOD || c.id == FILE_SYS_USER_ID || c.id == FILE_SYS_GROUP_ID ||
            c.id == FILE_SYS_CHOWN) {
            EXPECT_TRUE(logs.Contains("config file permission set fail")) << c.name;
        }
        std::string expect = c.oldFileKept ? "{\"gen\":1}" : "{\"gen\":2}";
        EXPECT_EQ(Load(), expect) << c.name;
        (void)unlink(wal_.c_str());
    }
}

TEST_F(DiskMgrFileTest, RemoveFailureStillReplacesTheFile)
{
    ASSERT_EQ(Save("{\"gen\": 1}"), 0);
    FileFault fault;
    fault.FailNth(FILE_SYS_UNLINK, 1, EACCES);
    EXPECT_EQ(Save("{\"gen\": 2}"), 0);
    EXPECT_EQ(Load(), "{\"gen\":2}");
}

TEST_F(DiskMgrFileTest, ReadFailuresGiveNoDocument)
{
    WriteFileText(path_, "{\"gen\": 1}");
    const struct {
        FileSysId id;
        const char *log;
    } cases[] = {
        {FILE_SYS_LSEEK, "fail, seek fail"},
        {FILE_SYS_READ, "fail, read size = 0,filesize = 10"},
    };
    for (const auto &c : cases) {
        LogCapture logs;
        FileFault fault;
        fault.FailNth(c.id, 1, EIO);
        EXPECT_EQ(TryLoadCJsonFromFile(path_.c_str()), nullptr);
        EXPECT_TRUE(logs.Contains(c.log)) << logs.Dump();
    }
}

TEST_F(DiskMgrFileTest, NullDocumentIsNotWritten)
{
    LogCapture logs;
    EXPECT_EQ(TrySaveCJsonToFile(path_.c_str(), nullptr, 0640, SPK_SERVICE_USER, SPK_SERVICE_GROUP),
              -1);
    EXPECT_TRUE(logs.Contains("pCJson is null"));
    EXPECT_FALSE(FileExists(path_));
}

TEST_F(DiskMgrFileTest, WalNameAppendsSuffix)
{
    char *wal = GetWalFileName("/a/b.config");
    ASSERT_NE(wal, nullptr);
    EXPECT_STREQ(wal, "/a/b.config.wal");
    KeeperFree(wal);
}

// A crash (SIGKILL) just before each file call of a save, one crash point per
// child process: the next load must give the old or the new document.
TEST_F(DiskMgrFileTest, CrashAtEveryCallOfASaveKeepsOldOrNew)
{
    ASSERT_EQ(Save("{\"gen\": 1}"), 0);
    bool completed = false;
    for (int point = 1; point < 64 && !completed; ++point) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FileFault fault;
            fault.KillAtCall(point);
            _exit(Save("{\"gen\": 2}") == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        completed = WIFEXITED(status);
        std::string loaded = Load();
        EXPECT_TRUE(loaded == "{\"gen\":1}" || loaded == "{\"gen\":2}")
            << "crash before call " << point << ": " << loaded;
        if (completed) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_EQ(loaded, "{\"gen\":2}");
        }
        ASSERT_EQ(Save("{\"gen\": 1}"), 0);
    }
    EXPECT_TRUE(completed);
}

}  // namespace
