// The registry file format and the WAL save/load protocol.
#include "disk_mgr/disk_mgr_file.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"
#include "support/file_fault.h"
#include "support/persist_files.h"

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr Parse(const std::string &text) { return JsonPtr(cJSON_Parse(text.c_str()), cJSON_Delete); }

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
            out += (out.size() > 1 ? ",\"" : "\"") + m.first + "\":" + (m.first == key ? value : m.second);
        }
    }
    return out + "}";
}

TEST(DiskMgrElementTest, ValidationFollowsTheTableLimits)
{
    struct Case {
        std::string key, value;  // an empty value removes the member
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
        {"diskCapacity", "\"99999999999999999999\"", true},  // capped at the signed range
        {"sn", "null", false},
    };
    // Text members fit their record field with its terminator; the capacity 29 digits.
    const std::pair<const char *, size_t> fields[] = {
        {"sn", DISK_SN_LEN - 1},           {"vendor", DISK_VENDOR_LEN - 1},
        {"model", DISK_MODEL_LEN - 1},     {"firmware", DISK_FIRMWARE_LEN - 1},
        {"pciAddr", DISK_PCI_ADDR_LEN - 1}, {"diskCapacity", 29},
    };
    for (const auto &[key, max] : fields) {
        for (size_t len : {max, max + 1}) {
            cases.push_back({key, "\"" + std::string(len, '9') + "\"", len == max});
        }
    }
    for (const auto &c : cases) {
        JsonPtr elem = Parse(Element(c.key, c.value));
        ASSERT_TRUE(elem) << c.key << "=" << c.value;
        DiskBaseInfo out{};
        EXPECT_EQ(CheckCJsonIsValidDiskInfo(elem.get()) == 0, c.valid) << c.key << "=" << c.value;
        EXPECT_EQ(ParseCJson2DiskInfo(elem.get(), &out) == 0, c.valid) << c.key;
    }
    EXPECT_EQ(CheckCJsonIsValidDiskInfo(nullptr), -1);
}

class DiskMgrFileTest : public ::testing::Test {
protected:
    void SetUp() override { (void)KeeperInfraLiteInstall(); }
    int Save(const std::string &text)
    {
        return SaveCJsonToFile(path_.c_str(), Parse(text).get(), 0640, SPK_SERVICE_USER, SPK_SERVICE_GROUP);
    }
    std::string Load()
    {
        JsonPtr doc(LoadCJsonFromFile(path_.c_str()), cJSON_Delete);
        char *t = doc ? cJSON_PrintUnformatted(doc.get()) : nullptr;
        std::string s = t != nullptr ? t : "<none>";
        cJSON_free(t);
        return s;
    }

    TempDir dir_;
    std::string path_ = dir_.Join("disk_mgr.config");
    std::string wal_ = path_ + ".wal";
};

// Whichever call of a save fails, the old document or the new one loads
// (the new one from the WAL when only the rename failed); permissions and
// owner are set before a byte is written. A save follows no link planted at
// the WAL name.
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
    std::string victim = dir_.Join("victim");
    WriteFileText(victim, "root's own");
    ASSERT_EQ(symlink(victim.c_str(), wal_.c_str()), 0);
    ASSERT_EQ(Save("[1,2]"), 0);
    EXPECT_EQ(ReadFileText(victim), "root's own");
    EXPECT_EQ(Load(), "[1,2]");
}

}  // namespace
