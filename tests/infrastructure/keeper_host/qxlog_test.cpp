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
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/persist_files.h"

namespace {

std::string Format(uint32_t level, const char *file, uint32_t line, const char *func,
                   const char *fmt, ...) __attribute__((format(printf, 5, 6)));

std::string Format(uint32_t level, const char *file, uint32_t line, const char *func,
                   const char *fmt, ...)
{
    char buf[QXLOG_MAX_LINE];
    va_list ap;
    va_start(ap, fmt);
    size_t n = qxlog_format_line(buf, sizeof(buf), 999, level, file, line, func, fmt, ap);
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

std::vector<std::string> ReadLines(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
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
        ASSERT_EQ(qxlog_set_file_path_ext(dir_.c_str(), dir_.c_str()), 0);
        ASSERT_EQ(qxlog_init(), 0);
    }

    TempDir root_;
    std::string dir_ = root_.Join("nested/logs");  // does not exist yet: init creates it
    std::string logPath_ = dir_ + "/spindlekeep.log";
};

TEST(QxlogFormat, RecordIsExactlyOneLine)
{
    struct Case {
        uint32_t level;
        const char *text;
        const char *wantAfterStamp;
    } cases[] = {
        {3, "[OS_ADAPTER]thread create failed(11).",
         "[ERROR] [999] [keeper_os.cpp:120] [Fn] [OS_ADAPTER]thread create failed(11).\n"},
        {7, "x", "[DEBUG] [999] [keeper_os.cpp:120] [Fn] x\n"},
        {9, "x", "[UNKNOWN] [999] [keeper_os.cpp:120] [Fn] x\n"},
        // Trailing breaks go, inner ones become blanks.
        {6, "a\nb\r\nc\n\n", "[INFO] [999] [keeper_os.cpp:120] [Fn] a b  c\n"},
    };
    for (const Case &c : cases) {
        std::string line = Format(c.level, "/src/a/keeper_os.cpp", 120, "Fn", "%s", c.text);
        EXPECT_TRUE(HasTimestamp(line)) << line;
        EXPECT_EQ(line.substr(kStampLen), c.wantAfterStamp);
    }
    // An over-long text, or a function name that leaves no room for any text,
    // is cut to the longest line.
    std::string big(QXLOG_MAX_LINE * 2, 'z');
    for (const char *func : {static_cast<const char *>(nullptr), big.c_str()}) {
        std::string line = Format(6, nullptr, 0, func, "%s", big.c_str());
        EXPECT_EQ(line.size(), QXLOG_MAX_LINE - 1);
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_NE(line.find(func ? "[?:0] [zzz" : "[?:0] [?] zzz"), std::string::npos);
    }
}

// Records go to standard error until init and again after destroy.
TEST_F(QxlogTest, InitCreatesTheDirectoryLevelsFilterPerModuleARestartAppends)
{
    testing::internal::CaptureStderr();
    qxlog_flush_signal_safe();  // nothing open: a no-op
    qxlog(999, 6, "t.cpp", 1, "f", 0, "-before init");
    Open();
    passwd *pw = getpwnam("spindlekeep_user");
    if (geteuid() == 0 && pw != nullptr) {
        EXPECT_EQ(StatFile(logPath_).st_uid, pw->pw_uid);
        EXPECT_EQ(StatFile(dir_).st_uid, pw->pw_uid);  // created directories too
        EXPECT_EQ(StatFile(dir_).st_mode & 0777, 0750u);
    }
    ASSERT_EQ(qxlog_loglevel_set(481, 7), 0);
    ASSERT_EQ(qxlog_loglevel_set(5, 3), 0);
    const struct {
        uint32_t module, level;
        bool kept;
    } cases[] = {{999, 7, false}, {999, 6, true}, {481, 7, true}, {5, 4, false}, {5, 3, true}};
    for (const auto &c : cases) {
        qxlog(c.module, c.level, "t.cpp", 1, "f", 0, "%s%u/%u", c.kept ? "+" : "-", c.module,
              c.level);
    }
    qxlog_flush_signal_safe();
    qxlog_destroy();
    qxlog(999, 6, "t.cpp", 1, "f", 0, "-after destroy");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("-before init"), std::string::npos);
    EXPECT_NE(err.find("-after destroy"), std::string::npos);
    EXPECT_EQ(err.find("[f] +"), std::string::npos);
    Open();
    qxlog(999, 6, "t.cpp", 1, "f", 0, "+after restart");
    auto lines = ReadLines(logPath_);
    EXPECT_EQ(lines.size(), 4u);
    for (const auto &l : lines) {
        EXPECT_NE(l.find("[f] +"), std::string::npos) << l;
    }
    ASSERT_EQ(qxlog_loglevel_set(QXLOG_ALL_MODULES, 4), 0);
    EXPECT_EQ(qxlog_loglevel_get(999), 4u);
    EXPECT_EQ(qxlog_loglevel_get(481), 7u);  // own level wins over the default
    for (uint32_t m = 2; m < 32; ++m) {  // 481 and 5 hold two of the 32 slots
        ASSERT_EQ(qxlog_loglevel_set(1000 + m, 2), 0);
    }
    EXPECT_EQ(qxlog_loglevel_set(2000, 2), -ENOSPC);
    EXPECT_EQ(qxlog_loglevel_set(1002, 5), 0);  // updating an existing one still works
    EXPECT_EQ(qxlog_loglevel_get(1002), 5u);
}

// The log directory belongs to the service user, who may plant a link at the
// log's name: the daemon, run as root, must not append to or hand over the
// link's target. logrotate's copytruncate empties the live file while the
// service has it open: the next records go to the emptied file, they do not
// rotate it away early.
TEST_F(QxlogTest, PlantedLinkIsNotFollowedAndACopytruncatedFileIsKept)
{
    std::string victim = root_.Join("victim");
    WriteFileText(victim, "root's own\n");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(root_.Join("nested").c_str(), 0750), 0);
    ASSERT_EQ(mkdir(dir_.c_str(), 0750), 0);
    ASSERT_EQ(symlink(victim.c_str(), logPath_.c_str()), 0);
    ASSERT_EQ(qxlog_set_max_file_size(300), 0);
    ASSERT_EQ(qxlog_set_backup_num(3), 0);
    Open();
    for (int i = 0; i < 4; ++i) {  // about 250 bytes: just below the limit
        qxlog(999, 6, "t.cpp", 1, "Trunc", 0, "before-%d", i);
    }
    EXPECT_EQ(ReadFileText(victim), "root's own\n");
    EXPECT_EQ(StatFile(victim).st_uid, geteuid());
    EXPECT_EQ(ReadLines(logPath_).size(), 4u);
    ASSERT_EQ(truncate(logPath_.c_str(), 0), 0);
    qxlog(999, 6, "t.cpp", 1, "Trunc", 0, "after-0");
    qxlog(999, 6, "t.cpp", 1, "Trunc", 0, "after-1");
    qxlog_destroy();
    EXPECT_FALSE(FileExists(logPath_ + ".1"));
    auto lines = ReadLines(logPath_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("after-0"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].substr(0, 2), "20") << "no hole before the first record";
}

TEST_F(QxlogTest, RotationKeepsTheNewestRecordsInOrder)
{
    struct Case {
        uint64_t maxSize;
        uint32_t backups;
        size_t pad;      // a record line is about 63 bytes plus this
        size_t wantKept; // records left across the live file and its copies
    } cases[] = {
        {300, 2, 60, 5},  // two records a file; the oldest copies fall off
        {200, 0, 80, 1},  // no backups: the old file is dropped
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.backups);
        ASSERT_EQ(qxlog_set_max_file_size(c.maxSize), 0);
        ASSERT_EQ(qxlog_set_backup_num(c.backups), 0);
        Open();
        for (int i = 0; i < 9; ++i) {
            qxlog(999, 6, "r.cpp", 1, "Rot", 0, "record-%d %s", i, std::string(c.pad, 'p').c_str());
        }
        qxlog_destroy();
        EXPECT_FALSE(FileExists(logPath_ + "." + std::to_string(c.backups + 1)));
        std::vector<std::string> all;  // oldest copy first
        for (uint32_t i = c.backups + 1; i-- > 0;) {
            std::string f = i == 0 ? logPath_ : logPath_ + "." + std::to_string(i);
            EXPECT_LE(StatFile(f).st_size, static_cast<off_t>(c.maxSize)) << f;
            auto lines = ReadLines(f);
            EXPECT_FALSE(lines.empty()) << f;
            all.insert(all.end(), lines.begin(), lines.end());
            ASSERT_EQ(unlink(f.c_str()), 0);
        }
        ASSERT_EQ(all.size(), c.wantKept);
        for (size_t k = 0; k < all.size(); ++k) {
            std::string want = "record-" + std::to_string(9 - c.wantKept + k) + " ";
            EXPECT_NE(all[k].find(want), std::string::npos) << all[k];
        }
    }
}

TEST_F(QxlogTest, BadSettingsAreRefused)
{
    EXPECT_EQ(qxlog_set_file_path_ext(nullptr, nullptr), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext("", ""), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext("/tmp/a", "/tmp/b"), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext(std::string(2000, 'd').c_str(), nullptr), -EINVAL);
    EXPECT_EQ(qxlog_set_backup_num(QXLOG_MAX_BACKUP_NUM + 1), -EINVAL);
    EXPECT_EQ(qxlog_set_max_file_size(0), -EINVAL);
    ASSERT_EQ(qxlog_set_file_path_ext("/dev/null/sub", nullptr), 0);
    EXPECT_LT(qxlog_init(), 0);
}

TEST_F(QxlogTest, ConcurrentWritersNeverInterleaveAcrossRotation)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    ASSERT_EQ(qxlog_set_max_file_size(4096), 0);
    ASSERT_EQ(qxlog_set_backup_num(QXLOG_MAX_BACKUP_NUM), 0);
    Open();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                qxlog(999, 6, "c.cpp", 1, "C", 0, "thread=%d seq=%d end", t, i);
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    int total = 0;
    int files = 0;
    std::vector<int> nextSeq(kThreads, 0);
    // Oldest copy first so that every thread's sequence reads in order.
    for (int i = QXLOG_MAX_BACKUP_NUM; i >= 0; --i) {
        std::string f = i == 0 ? logPath_ : logPath_ + "." + std::to_string(i);
        files += FileExists(f) ? 1 : 0;
        for (const auto &line : ReadLines(f)) {
            int t = -1;
            int seq = -1;
            int end = 0;
            ASSERT_EQ(sscanf(line.c_str() + kStampLen,
                             "[INFO] [999] [c.cpp:1] [C] thread=%d seq=%d end%n", &t, &seq, &end),
                      2)
                << line;
            ASSERT_TRUE(HasTimestamp(line) && kStampLen + end == line.size() && t >= 0 &&
                        t < kThreads)
                << line;
            EXPECT_EQ(seq, nextSeq[t]++) << line;
            ++total;
        }
    }
    EXPECT_GT(files, 3);
    EXPECT_EQ(total, kThreads * kPerThread);
}

}  // namespace
