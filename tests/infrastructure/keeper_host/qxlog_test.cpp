// test-labels: concurrent
#include "infrastructure/keeper_host/qxlog.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Format(uint32_t module, uint32_t level, const char *file, uint32_t line,
                   const char *func, const char *fmt, ...) __attribute__((format(printf, 6, 7)));

std::string Format(uint32_t module, uint32_t level, const char *file, uint32_t line,
                   const char *func, const char *fmt, ...)
{
    char buf[QXLOG_MAX_LINE];
    va_list ap;
    va_start(ap, fmt);
    size_t n = qxlog_format_line(buf, sizeof(buf), module, level, file, line, func, fmt, ap);
    va_end(ap);
    return std::string(buf, n);
}

// "YYYY-MM-DD hh:mm:ss.mmm " at the start of a line.
bool HasTimestamp(const std::string &line)
{
    const char *shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < strlen(shape)) {
        return false;
    }
    for (size_t i = 0; shape[i] != '\0'; ++i) {
        bool ok = shape[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

constexpr size_t kStampLen = 24;

std::vector<std::string> ReadLines(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

off_t SizeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class QxlogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qxlog_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dir_ = root_ + "/nested/logs";  // does not exist yet: init creates it
        logPath_ = dir_ + "/spindlekeep.log";
    }
    void TearDown() override
    {
        qxlog_destroy();
        qxlog_loglevel_reset();
        ASSERT_EQ(qxlog_set_max_file_size(QXLOG_DEFAULT_MAX_FILE_SIZE), 0);
        ASSERT_EQ(qxlog_set_backup_num(0), 0);
        std::string cmd = "rm -rf " + root_;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void Open()
    {
        ASSERT_EQ(qxlog_set_file_path_ext(dir_.c_str(), dir_.c_str()), 0);
        ASSERT_EQ(qxlog_init(), 0);
    }

    std::string root_;
    std::string dir_;
    std::string logPath_;
};

TEST(QxlogFormat, LineCarriesTimeLevelModuleSourceFunctionAndText)
{
    std::string line = Format(999, 3, "/src/a/keeper_os.cpp", 120, "KeeperOsThreadCreate",
                              "[%s]%s", "OS_ADAPTER", "thread create failed(11).");
    EXPECT_TRUE(HasTimestamp(line)) << line;
    EXPECT_EQ(line.substr(kStampLen),
              "[ERROR] [999] [keeper_os.cpp:120] [KeeperOsThreadCreate] "
              "[OS_ADAPTER]thread create failed(11).\n");
}

TEST(QxlogFormat, LevelNamesAndTextCleanUp)
{
    struct Case {
        uint32_t level;
        const char *text;
        const char *wantLevel;
        const char *wantTail;
    } cases[] = {
        {2, "x", "[CRITICAL]", "] x\n"},
        {4, "x", "[WARN]", "] x\n"},
        {5, "x", "[EVENT]", "] x\n"},
        {6, "x", "[INFO]", "] x\n"},
        {7, "x", "[DEBUG]", "] x\n"},
        {9, "x", "[UNKNOWN]", "] x\n"},
        // A record is one line: trailing breaks go, inner ones become blanks.
        {3, "DRM_DEBUG: Cluster is full.\n", "[ERROR]", "] DRM_DEBUG: Cluster is full.\n"},
        {3, "a\nb\r\nc\n\n", "[ERROR]", "] a b  c\n"},
    };
    for (const Case &c : cases) {
        std::string line = Format(481, c.level, "f.c", 1, "fn", "%s", c.text);
        EXPECT_NE(line.find(c.wantLevel), std::string::npos) << line;
        ASSERT_GE(line.size(), strlen(c.wantTail));
        EXPECT_EQ(line.substr(line.size() - strlen(c.wantTail)), c.wantTail) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
}

TEST(QxlogFormat, OverlongTextIsCutButStillOneLine)
{
    std::string big(QXLOG_MAX_LINE * 2, 'z');
    std::string line = Format(1, 6, nullptr, 0, nullptr, "%s", big.c_str());
    EXPECT_EQ(line.size(), QXLOG_MAX_LINE - 1);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_NE(line.find("[?:0] [?] zzz"), std::string::npos);
}

TEST_F(QxlogTest, InitCreatesDirectoryAndAppendsRecords)
{
    Open();
    qxlog(999, 6, "a.cpp", 10, "Fa", 0, "first %d", 1);
    qxlog(999, 3, "b.cpp", 20, "Fb", 0, "second %s", "two");
    auto lines = ReadLines(logPath_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[INFO] [999] [a.cpp:10] [Fa] first 1"), std::string::npos);
    EXPECT_NE(lines[1].find("[ERROR] [999] [b.cpp:20] [Fb] second two"), std::string::npos);

    passwd *pw = getpwnam("spindlekeep_user");
    if (geteuid() == 0 && pw != nullptr) {
        struct stat st;
        ASSERT_EQ(stat(logPath_.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, pw->pw_uid);
        ASSERT_EQ(stat(dir_.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, pw->pw_uid);  // created directories too
        EXPECT_EQ(st.st_mode & 0777, 0750u);
    }

    // A restart appends to what is there.
    qxlog_destroy();
    Open();
    qxlog(999, 6, "c.cpp", 30, "Fc", 0, "third");
    EXPECT_EQ(ReadLines(logPath_).size(), 3u);
}

TEST_F(QxlogTest, LevelsFilterPerModule)
{
    Open();
    EXPECT_EQ(qxlog_loglevel_get(999), 6u);
    EXPECT_EQ(qxlog_loglevel_get(481), 6u);
    ASSERT_EQ(qxlog_loglevel_set(481, 7), 0);
    ASSERT_EQ(qxlog_loglevel_set(5, 3), 0);
    struct Case {
        uint32_t module;
        uint32_t level;
        bool kept;
    } cases[] = {
        {999, 7, false}, {999, 6, true}, {999, 2, true},  // default 6
        {481, 7, true},                                   // own level 7
        {5, 4, false},   {5, 3, true},                    // own level 3
    };
    int kept = 0;
    for (const Case &c : cases) {
        qxlog(c.module, c.level, "t.cpp", 1, "f", 0, "module %u level %u", c.module, c.level);
        kept += c.kept ? 1 : 0;
    }
    auto lines = ReadLines(logPath_);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kept));
    size_t i = 0;
    for (const Case &c : cases) {
        if (c.kept) {
            std::string want = "module " + std::to_string(c.module) + " level " +
                               std::to_string(c.level);
            EXPECT_NE(lines[i++].find(want), std::string::npos);
        }
    }
    ASSERT_EQ(qxlog_loglevel_set(QXLOG_ALL_MODULES, 4), 0);
    EXPECT_EQ(qxlog_loglevel_get(999), 4u);
    EXPECT_EQ(qxlog_loglevel_get(481), 7u);  // own level wins over the default
}

TEST_F(QxlogTest, PerModuleLevelTableIsBounded)
{
    for (uint32_t m = 0; m < 32; ++m) {
        ASSERT_EQ(qxlog_loglevel_set(1000 + m, 2), 0);
    }
    EXPECT_EQ(qxlog_loglevel_set(2000, 2), -ENOSPC);
    EXPECT_EQ(qxlog_loglevel_set(1000, 5), 0);  // updating an existing one still works
    EXPECT_EQ(qxlog_loglevel_get(1000), 5u);
}

TEST_F(QxlogTest, RotationKeepsTheConfiguredNumberOfBackups)
{
    ASSERT_EQ(qxlog_set_max_file_size(300), 0);
    ASSERT_EQ(qxlog_set_backup_num(2), 0);
    Open();
    // Each record is well over 100 bytes, so every file holds two at most.
    for (int i = 0; i < 9; ++i) {
        qxlog(999, 6, "r.cpp", 1, "Rot", 0, "record-%d %s", i, std::string(60, 'p').c_str());
    }
    EXPECT_TRUE(Exists(logPath_ + ".1"));
    EXPECT_TRUE(Exists(logPath_ + ".2"));
    EXPECT_FALSE(Exists(logPath_ + ".3"));
    for (const char *suffix : {"", ".1", ".2"}) {
        EXPECT_LE(SizeOf(logPath_ + suffix), 300) << suffix;
    }
    // Newest in the live file, older ones in .1, oldest kept in .2.
    auto live = ReadLines(logPath_);
    auto one = ReadLines(logPath_ + ".1");
    auto two = ReadLines(logPath_ + ".2");
    ASSERT_FALSE(live.empty());
    ASSERT_FALSE(one.empty());
    ASSERT_FALSE(two.empty());
    EXPECT_NE(live.back().find("record-8"), std::string::npos);
    EXPECT_NE(one.back().find("record-" + std::to_string(8 - live.size())), std::string::npos);
    EXPECT_NE(two.back().find("record-" + std::to_string(8 - live.size() - one.size())),
              std::string::npos);
}

TEST_F(QxlogTest, RotationWithoutBackupsDropsTheOldFile)
{
    ASSERT_EQ(qxlog_set_max_file_size(200), 0);
    Open();
    for (int i = 0; i < 5; ++i) {
        qxlog(999, 6, "r.cpp", 1, "Rot", 0, "record-%d %s", i, std::string(80, 'q').c_str());
    }
    EXPECT_FALSE(Exists(logPath_ + ".1"));
    auto live = ReadLines(logPath_);
    ASSERT_EQ(live.size(), 1u);
    EXPECT_NE(live[0].find("record-4"), std::string::npos);
}

TEST_F(QxlogTest, BadSettingsAreRefused)
{
    EXPECT_EQ(qxlog_set_file_path_ext(nullptr, nullptr), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext("", ""), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext("/tmp/a", "/tmp/b"), -EINVAL);
    EXPECT_EQ(qxlog_set_file_path_ext(std::string(2000, 'd').c_str(), nullptr), -EINVAL);
    EXPECT_EQ(qxlog_set_backup_num(QXLOG_MAX_BACKUP_NUM + 1), -EINVAL);
    EXPECT_EQ(qxlog_set_max_file_size(0), -EINVAL);
    // A directory that cannot be created leaves the service on stderr.
    ASSERT_EQ(qxlog_set_file_path_ext("/dev/null/sub", nullptr), 0);
    EXPECT_LT(qxlog_init(), 0);
}

TEST_F(QxlogTest, RecordsGoToStderrBeforeInitAndAfterDestroy)
{
    std::string errPath = root_ + "/stderr.txt";
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    FILE *capture = fopen(errPath.c_str(), "w");
    ASSERT_NE(capture, nullptr);
    dup2(fileno(capture), STDERR_FILENO);
    qxlog(999, 6, "s.cpp", 1, "S", 0, "before init");
    Open();
    qxlog(999, 6, "s.cpp", 2, "S", 0, "in file");
    qxlog_destroy();
    qxlog(999, 6, "s.cpp", 3, "S", 0, "after destroy");
    dup2(saved, STDERR_FILENO);
    close(saved);
    fclose(capture);
    std::stringstream err;
    err << std::ifstream(errPath).rdbuf();
    EXPECT_NE(err.str().find("before init"), std::string::npos);
    EXPECT_NE(err.str().find("after destroy"), std::string::npos);
    EXPECT_EQ(err.str().find("in file"), std::string::npos);
    auto lines = ReadLines(logPath_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("in file"), std::string::npos);
}

void FlushFromSignal(int) { qxlog_flush_signal_safe(); }

TEST_F(QxlogTest, SignalSafeFlushRunsInsideASignalHandler)
{
    qxlog_flush_signal_safe();  // nothing open: a no-op
    Open();
    qxlog(999, 6, "f.cpp", 1, "F", 0, "before the signal");
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = FlushFromSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    ASSERT_EQ(raise(SIGUSR1), 0);
    ASSERT_EQ(sigaction(SIGUSR1, &old, nullptr), 0);
    auto lines = ReadLines(logPath_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("before the signal"), std::string::npos);
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
    const std::string head = "[INFO] [999] [c.cpp:1] [C] thread=";
    int total = 0;
    std::vector<int> nextSeq(kThreads, 0);
    // Oldest copy first so that every thread's sequence reads in order.
    std::vector<std::string> files;
    for (int i = QXLOG_MAX_BACKUP_NUM; i >= 1; --i) {
        if (Exists(logPath_ + "." + std::to_string(i))) {
            files.push_back(logPath_ + "." + std::to_string(i));
        }
    }
    files.push_back(logPath_);
    EXPECT_GT(files.size(), 3u);
    for (const auto &f : files) {
        for (const auto &line : ReadLines(f)) {
            int t = -1;
            int seq = -1;
            char end[8] = {};
            ASSERT_TRUE(HasTimestamp(line)) << line;
            ASSERT_EQ(line.compare(kStampLen, head.size(), head), 0) << line;
            ASSERT_EQ(sscanf(line.c_str() + kStampLen + head.size(), "%d seq=%d %7s", &t, &seq, end),
                      3)
                << line;
            ASSERT_STREQ(end, "end") << line;
            ASSERT_TRUE(t >= 0 && t < kThreads) << line;
            EXPECT_EQ(seq, nextSeq[t]++) << line;
            ++total;
        }
    }
    EXPECT_EQ(total, kThreads * kPerThread);
}

}  // namespace
