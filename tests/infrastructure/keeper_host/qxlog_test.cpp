// test-labels: concurrent
#include "infrastructure/keeper_host/qxlog.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/persist_files.h"

namespace {

std::string Format(uint32_t level, const char *file, uint32_t line, const char *func, ...)
{
    char buf[QXLOG_MAX_LINE];
    va_list ap;
    va_start(ap, func);
    size_t n = qxlog_format_line(buf, sizeof(buf), 999, level, file, line, func, "%s", ap);
    va_end(ap);
    return std::string(buf, n);
}

constexpr size_t kStampLen = 24;

// "YYYY-MM-DD hh:mm:ss.mmm " at the start of a line.
bool HasTimestamp(const std::string &line)
{
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    auto fits = [](char s, char c) {
        return s == 'd' ? isdigit(static_cast<unsigned char>(c)) != 0 : s == c;
    };
    return line.size() >= kStampLen && std::equal(shape.begin(), shape.end(), line.begin(), fits);
}

class QxlogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        qxlog_destroy();
        qxlog_loglevel_reset();
        ASSERT_EQ(qxlog_set_max_file_size(QXLOG_DEFAULT_MAX_FILE_SIZE), 0);
        ASSERT_EQ(qxlog_set_backup_num(0), 0);
    }
    void Open()
    {
        ASSERT_FALSE(qxlog_set_file_path_ext(dir_.c_str(), dir_.c_str()) != 0 || qxlog_init() != 0);
    }

    // Takes the records of the copies, oldest first, then of the live file,
    // and removes the files.
    std::vector<std::string> TakeAll(uint32_t backups)
    {
        std::vector<std::string> all;
        for (uint32_t i = backups + 1; i-- > 0;) {
            std::string f = i == 0 ? logPath_ : logPath_ + "." + std::to_string(i);
            std::ifstream in(f);
            for (std::string l; std::getline(in, l);) {
                all.push_back(l);
            }
            (void)unlink(f.c_str());
        }
        return all;
    }

    TempDir root_;
    std::string dir_ = root_.Join("nested/logs");  // does not exist yet: init creates it
    std::string logPath_ = dir_ + "/spindlekeep.log";
};

TEST(QxlogFormat, RecordIsExactlyOneLine)
{
    // Level, text, the line after its time stamp.
    const std::tuple<uint32_t, const char *, const char *> cases[] = {
        {3, "[OS_ADAPTER]thread create failed(11).",
         "[ERROR] [999] [keeper_os.cpp:120] [Fn] [OS_ADAPTER]thread create failed(11).\n"},
        {9, "x", "[UNKNOWN] [999] [keeper_os.cpp:120] [Fn] x\n"},
        // Trailing breaks go, inner ones become blanks.
        {6, "a\nb\r\nc\n\n", "[INFO] [999] [keeper_os.cpp:120] [Fn] a b  c\n"},
    };
    for (const auto &[level, text, wantAfterStamp] : cases) {
        std::string line = Format(level, "/src/a/keeper_os.cpp", 120, "Fn", text);
        EXPECT_TRUE(HasTimestamp(line)) << line;
        EXPECT_EQ(line.substr(kStampLen), wantAfterStamp);
    }
    // An over-long text, or a function name that leaves no room for any text,
    // is cut to the longest line.
    std::string big(QXLOG_MAX_LINE * 2, 'z');
    for (const char *func : {static_cast<const char *>(nullptr), big.c_str()}) {
        std::string line = Format(6, nullptr, 0, func, big.c_str());
        EXPECT_EQ(line.size(), QXLOG_MAX_LINE - 1);
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_NE(line.find(func ? "[?:0] [zzz" : "[?:0] [?] zzz"), std::string::npos);
    }
}

// Bad settings are refused before the first start; a start creates the
// directories for the service user, later restarts append; without backups a
// full file is dropped.
TEST_F(QxlogTest, InitCreatesTheDirectoryLevelsFilterPerModuleARestartAppends)
{
    EXPECT_EQ(qxlog_set_file_path_ext(nullptr, nullptr), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext("/tmp/a", "/tmp/b"), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext(std::string(2000, 'd').c_str(), nullptr), -EINVAL);
    EXPECT_EQ(qxlog_set_backup_num(QXLOG_MAX_BACKUP_NUM + 1), -EINVAL);
    EXPECT_EQ(qxlog_set_max_file_size(0), -EINVAL);
    ASSERT_EQ(qxlog_set_file_path_ext("/dev/null/sub", nullptr), 0);
    EXPECT_LT(qxlog_init(), 0);
    Open();
    passwd *pw = getpwnam("spindlekeep_user");
    if (geteuid() == 0 && pw != nullptr) {
        EXPECT_EQ(StatFile(logPath_).st_uid, pw->pw_uid);
        EXPECT_EQ(StatFile(dir_).st_uid, pw->pw_uid);  // created directories too
        EXPECT_EQ(StatFile(dir_).st_mode & 0777, 0750u);
    }
    ASSERT_EQ(qxlog_loglevel_set(481, 7) | qxlog_loglevel_set(5, 3), 0);
    // Module, level, kept.
    const std::tuple<uint32_t, uint32_t, bool> cases[] = {
        {999, 7, false}, {999, 6, true}, {481, 7, true}, {5, 4, false}, {5, 3, true}};
    for (const auto &[module, level, kept] : cases) {
        qxlog(module, level, "t.cpp", 1, "f", 0, "%s%u/%u", kept ? "+" : "-", module, level);
    }
    qxlog_destroy();
    Open();
    qxlog(999, 6, "t.cpp", 1, "f", 0, "+after restart");
    auto lines = TakeAll(0);
    auto kept = [](const std::string &l) { return l.find("[f] +") != std::string::npos; };
    EXPECT_TRUE(lines.size() == 4 && std::all_of(lines.begin(), lines.end(), kept)) << lines.size();
    ASSERT_EQ(qxlog_loglevel_set(QXLOG_ALL_MODULES, 4), 0);
    // Its own level wins over the default.
    EXPECT_EQ(std::pair(qxlog_loglevel_get(999), qxlog_loglevel_get(481)), std::pair(4u, 7u));
    for (uint32_t m = 2; m < 32; ++m) {  // 481 and 5 hold two of the 32 slots
        ASSERT_EQ(qxlog_loglevel_set(1000 + m, 2), 0);
    }
    EXPECT_EQ(qxlog_loglevel_set(2000, 2), -ENOSPC);
    EXPECT_EQ(qxlog_loglevel_set(1002, 5), 0);  // updating an existing one still works
    EXPECT_EQ(qxlog_loglevel_get(1002), 5u);
    qxlog_destroy();
    ASSERT_EQ(qxlog_set_max_file_size(200), 0);  // one record a file, and no copies
    Open();
    for (int i = 0; i < 4; ++i) {
        qxlog(999, 3, "r.cpp", 1, "Rot", 0, "record-%d %s", i, std::string(80, 'p').c_str());
    }
    lines = TakeAll(1);
    EXPECT_TRUE(lines.size() == 1 && lines[0].find("record-3 ") != lines[0].npos) << lines.size();
}

// The daemon writes as root: a link planted at the log's path must not carry
// its records into another file.
TEST_F(QxlogTest, PlantedLinkIsReplacedNotFollowed)
{
    std::string victim = root_.Join("victim");
    WriteFileText(victim, "root's own\n");
    ASSERT_EQ(mkdir(root_.Join("nested").c_str(), 0750) | mkdir(dir_.c_str(), 0750), 0);
    ASSERT_EQ(symlink(victim.c_str(), logPath_.c_str()), 0);
    Open();
    qxlog(999, 6, "t.cpp", 1, "f", 0, "record");
    qxlog_destroy();
    struct stat st {};
    EXPECT_TRUE(lstat(logPath_.c_str(), &st) == 0 && S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFileText(victim), "root's own\n");
}

TEST_F(QxlogTest, ConcurrentWritersNeverInterleaveAcrossRotation)
{
    // Rotation keeps the newest records in order across the live file and its copies.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    ASSERT_EQ(qxlog_set_max_file_size(4096) | qxlog_set_backup_num(QXLOG_MAX_BACKUP_NUM), 0);
    Open();
    auto writer = [](int t) {
        for (int i = 0; i < kPerThread; ++i) {
            qxlog(999, 6, "c.cpp", 1, "C", 0, "thread=%d seq=%d end", t, i);
        }
    };
    std::thread t1(writer, 1), t2(writer, 2), t3(writer, 3);
    writer(0);
    t1.join(), t2.join(), t3.join();
    std::vector<int> nextSeq(kThreads, 0);
    std::vector<std::string> all = TakeAll(QXLOG_MAX_BACKUP_NUM);
    for (const auto &line : all) {  // every thread's sequence reads in order
        int t = -1, seq = -1, end = 0;
        sscanf(line.c_str() + kStampLen, "[INFO] [999] [c.cpp:1] [C] thread=%d seq=%d end%n", &t,
               &seq, &end);
        ASSERT_TRUE(HasTimestamp(line) && kStampLen + end == line.size() && t >= 0 && t < kThreads)
            << line;
        EXPECT_EQ(seq, nextSeq[t]++) << line;
    }
    EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
}

}  // namespace
