// The registry file format and the WAL save/load protocol.
#include "disk_mgr/disk_mgr_file.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <vector>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "support/file_fault.h"
#include "support/persist_files.h"

namespace {

struct CJsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

JsonPtr Parse(const std::string &text) { return JsonPtr(cJSON_Parse(text.c_str())); }

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
        if (m.first != key || !value.empty()) {
            out += (out.size() > 1 ? ",\"" : "\"") + m.first + "\":";
            out += m.first == key ? value : m.second;
        }
    }
    return out + "}";
}

std::string Quoted(size_t n, char c = 'x') { return "\"" + std::string(n, c) + "\""; }

TEST(DiskMgrElementTest, ValidationFollowsTheTableLimits)
{
    struct Case {
        std::string key;
        std::string value;  // "" removes the member
        bool valid;
    };
    std::vector<Case> cases = {
        {"", "", true},
        {"diskState", "2", false},          {"diskState", "5", false},
        {"diskState", "4", true},           {"diskId", "127", true},
        {"diskId", "128", false},           {"diskId", "-1", false},
        {"diskId", "\"3\"", false},         {"diskId", "", false},
        {"frameId", "4294967295", true},    {"slotId", "1e300", true},
        {"diskType", "5", true},            {"diskType", "6", false},
        {"mediaType", "6", false},          {"diskCapacity", "\"12a\"", false},
        {"diskCapacity", "\"\"", false},    {"diskCapacity", "12", false},
        {"sn", "null", false},
    };
    // Text members fit their record field with its terminator; the capacity 29 digits.
    const std::pair<const char *, size_t> fields[] = {
        {"sn", DISK_SN_LEN - 1},           {"vendor", DISK_VENDOR_LEN - 1},
        {"model", DISK_MODEL_LEN - 1},     {"firmware", DISK_FIRMWARE_LEN - 1},
        {"pciAddr", DISK_PCI_ADDR_LEN - 1}, {"diskCapacity", 29},
    };
    for (const auto &[key, max] : fields) {
        cases.push_back({key, Quoted(max, '9'), true});
        cases.push_back({key, Quoted(max + 1, '9'), false});
    }
    for (const auto &c : cases) {
        JsonPtr elem = Parse(Element(c.key, c.value));
        ASSERT_TRUE(elem) << c.key << "=" << c.value;
        DiskBaseInfo out{};
        EXPECT_EQ(CheckCJsonIsValidDiskInfo(elem.get()) == 0, c.valid) << c.key << "=" << c.value;
        EXPECT_EQ(ParseCJson2DiskInfo(elem.get(), &out) == 0, c.valid) << c.key;
    }
    std::string caps = Element();
    caps.replace(caps.find("\"diskId\""), 8, "\"DISKID\"");
    caps.replace(caps.find("\"sn\""), 4, "\"Sn\"");
    DiskBaseInfo out{};
    ASSERT_EQ(ParseCJson2DiskInfo(Parse(caps).get(), &out), 0) << "keys match in any case";
    EXPECT_EQ(out.diskId, 3U);
    EXPECT_STREQ(out.sn, "S45NNA0M");
    out = {};
    JsonPtr huge = Parse(Element("diskCapacity", "\"99999999999999999999\""));
    ASSERT_EQ(ParseCJson2DiskInfo(huge.get(), &out), 0);
    EXPECT_EQ(out.diskCapacity, static_cast<uint64_t>(LLONG_MAX));
    EXPECT_EQ(CheckCJsonIsValidDiskInfo(nullptr), -1);
    const std::pair<double, uint32_t> numbers[] = {
        {0, 0}, {127.9, 127}, {-0.5, 0}, {-1, 0xFFFFFFFFU}, {4294967296.0, 0},
        {4294967297.0, 1}, {NAN, 0}, {INFINITY, 0}};
    for (const auto &[in, want] : numbers) {
        EXPECT_EQ(JsonNumberToU32(in), want) << in;
    }
}

class DiskMgrFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)KeeperInfraLiteInstall();
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
        char *t = doc ? cJSON_PrintUnformatted(doc.get()) : nullptr;
        std::string s = t != nullptr ? t : "<none>";
        cJSON_free(t);
        return s;
    }

    TempDir dir_;
    std::string path_;
    std::string wal_;
};

TEST_F(DiskMgrFileTest, CompleteWalWinsAndTornWalWaitsForTheNextSave)
{
    EXPECT_EQ(Load(), "<none>");
    WriteFileText(wal_, "{\"gen\": 2}");  // no file beside it
    EXPECT_EQ(Load(), "{\"gen\":2}");
    EXPECT_FALSE(FileExists(wal_));
    EXPECT_EQ(ReadFileText(path_), "{\"gen\": 2}");
    WriteFileText(wal_, "{\"gen\": 3}");  // beside an older file
    EXPECT_EQ(Load(), "{\"gen\":3}");
    EXPECT_FALSE(FileExists(wal_));

    const char *torn[] = {"{\"gen\": ", "", "{\"gen\": 2}xx", "{\"gen\": 2}\n{", "\x01\x02"};
    for (const char *t : torn) {
        WriteFileText(wal_, t);
        EXPECT_EQ(Load(), "{\"gen\":3}") << t;
        EXPECT_EQ(ReadFileText(wal_), t);
    }
    ASSERT_EQ(Save("{\"gen\": 4}"), 0);
    EXPECT_FALSE(FileExists(wal_));
    EXPECT_EQ(Load(), "{\"gen\":4}");
    WriteFileText(path_, "[{\"a\":1},");
    EXPECT_EQ(Load(), "<none>");
    EXPECT_EQ(ReadFileText(path_), "[{\"a\":1},");  // left for the operator
}

TEST_F(DiskMgrFileTest, FailedSaveNeverLosesBothDocuments)
{
    enum After { kOld, kWalOnly, kNew };
    const struct {
        FileSysId id;
        int err;
        After after;
    } cases[] = {
        {FILE_SYS_OPEN, EACCES, kOld},     {FILE_SYS_WRITE, ENOSPC, kOld},
        {FILE_SYS_CLOSE, EIO, kOld},       {FILE_SYS_CHMOD, EPERM, kOld},
        {FILE_SYS_USER_ID, ENOENT, kOld},  {FILE_SYS_GROUP_ID, ENOENT, kOld},
        {FILE_SYS_CHOWN, EPERM, kOld},     {FILE_SYS_RENAME, EXDEV, kWalOnly},
        {FILE_SYS_UNLINK, EACCES, kNew},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(Save("{\"gen\": 1}"), 0);
        {
            FileFault fault;
            fault.FailNth(c.id, 1, c.err);
            EXPECT_EQ(Save("{\"gen\": 2}"), c.after == kNew ? 0 : -1) << c.id;
            if (c.id >= FILE_SYS_CHMOD) {
                EXPECT_EQ(fault.Calls(FILE_SYS_WRITE), 0) << c.id << ": permissions come first";
            }
        }
        if (c.after == kOld) {
            EXPECT_EQ(ReadFileText(path_), "{\n\t\"gen\":\t1\n}") << c.id;
            EXPECT_FALSE(FileExists(wal_)) << c.id;
        }
        EXPECT_EQ(FileExists(path_), c.after != kWalOnly) << c.id;
        EXPECT_EQ(Load(), c.after == kOld ? "{\"gen\":1}" : "{\"gen\":2}") << c.id;
    }
    for (FileSysId id : {FILE_SYS_LSEEK, FILE_SYS_READ}) {
        FileFault fault;
        fault.FailNth(id, 1, EIO);
        EXPECT_EQ(TryLoadCJsonFromFile(path_.c_str()), nullptr) << id;
    }
}

// The service user owns the directory and may plant a link at the WAL name;
// a save run as root must neither write nor hand over the link's target. The
// saved file is the service user's, mode 0640.
TEST_F(DiskMgrFileTest, SaveGivesTheServiceUserItsFileAndFollowsNoLink)
{
    std::string victim = dir_.Join("victim");
    WriteFileText(victim, "root's own");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(symlink(victim.c_str(), wal_.c_str()), 0);
    ASSERT_EQ(Save("[1,2]"), 0);
    EXPECT_EQ(ReadFileText(victim), "root's own");
    EXPECT_EQ(StatFile(victim).st_mode & 07777, 0600U);
    EXPECT_EQ(StatFile(victim).st_uid, geteuid());
    EXPECT_FALSE(FileExists(wal_));
    EXPECT_EQ(ReadFileText(path_), "[1, 2]");  // the library's formatted output
    struct stat st = StatFile(path_);
    const passwd *pw = getpwnam(SPK_SERVICE_USER);
    const group *gr = getgrnam(SPK_SERVICE_GROUP);
    ASSERT_TRUE(pw != nullptr && gr != nullptr);
    EXPECT_EQ(st.st_mode & 07777, 0640U);
    EXPECT_EQ(st.st_uid, pw->pw_uid);
    EXPECT_EQ(st.st_gid, gr->gr_gid);
    EXPECT_EQ(TrySaveCJsonToFile(wal_.c_str(), nullptr, 0640, "", ""), -1);
}

}  // namespace
