// The CLI's own log files: line prefixes, rotation with its backup names and
// modes, and how many backups stay.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "cli/common/cli_log.h"
#include "support/persist_files.h"

using namespace SPINDLEKEEP_CLI;

TEST(CliLog, PrefixStyles)
{
    TempDir dir;
    const std::pair<int, const char *> styles[] = {
        {CLI_LOG_STYLE_FULL, R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[WARN\]\[CLI_LOG\]\[f\.cpp,7,fn\]hello 3)"},
        {CLI_LOG_STYLE_SHORT, R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[CLI_LOG\]hello 3)"},
        {CLI_LOG_STYLE_THREAD, R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[0x[0-9a-f]{16}\]\[2\]hello 3)"},
    };
    for (const auto &[style, pattern] : styles) {
        CliLogger log;
        ASSERT_EQ(log.Configure(dir.Path().c_str(), "s.log", style), 0);
        log.Write(CLI_LOG_WARN, 7, "CLI_LOG", "f.cpp", "fn", "hello %d", 3);
        log.Write(CLI_LOG_LEVEL_NUM, 7, "CLI_LOG", "f.cpp", "fn", "dropped");
        log.Write(CLI_LOG_INFO, 7, "CLI_LOG", "f.cpp", "fn", nullptr);
        log.Disable();
        log.Write(CLI_LOG_ERROR, 7, "CLI_LOG", "f.cpp", "fn", "after disable");
        std::string text = ReadFileText(dir.Join("s.log"));
        EXPECT_TRUE(std::regex_match(text, std::regex(std::string(pattern) + "\n"))) << text;
        std::remove(dir.Join("s.log").c_str());
    }
    CliLogger log;
    EXPECT_EQ(log.Configure(dir.Path().c_str(), std::string(260, 'n').c_str(), 0), -1);
}

TEST(CliLog, RotatesAtSizeAndKeepsTenBackups)
{
    TempDir dir;
    // Ten older backups are already there, plus names that only look alike.
    for (int i = 0; i < 10; ++i) {
        WriteFileText(dir.Join("cli.log.2020010100000" + std::to_string(i)), "old");
    }
    for (const char *other : {"cli.log.2019", "cli.log.x0200101000000", "oper.log.20190101000000"}) {
        WriteFileText(dir.Join(other), "keep");
    }
    CliLogger log;
    ASSERT_EQ(log.Configure(dir.Path().c_str(), "cli.log", CLI_LOG_STYLE_SHORT), 0);
    log.SetRotation(100, CLI_LOG_BACKUPS);
    for (int i = 0; i < 3; ++i) {  // about 45 bytes a line: the third line crosses 100
        log.Write(CLI_LOG_INFO, 1, "CLI_LOG", "f", "fn", "line %d", i);
    }
    log.Write(CLI_LOG_INFO, 1, "CLI_LOG", "f", "fn", "fresh");
    std::vector<std::string> names = ListDir(dir.Path());
    std::vector<std::string> backups;
    for (const std::string &n : names) {
        if (std::regex_match(n, std::regex(R"(cli\.log\.\d{14})"))) {
            backups.push_back(n);
        }
    }
    ASSERT_EQ(backups.size(), 10u);
    EXPECT_EQ(backups.front(), "cli.log.20200101000001") << "the oldest one went";
    const std::string &fresh = backups.back();
    EXPECT_NE(ReadFileText(dir.Join(fresh)).find("line 2"), std::string::npos);
    EXPECT_EQ(StatFile(dir.Join(fresh)).st_mode & 0777, 0440u);
    std::string current = ReadFileText(dir.Join("cli.log"));
    EXPECT_NE(current.find("fresh"), std::string::npos);
    EXPECT_EQ(current.find("line"), std::string::npos);
    EXPECT_EQ(StatFile(dir.Join("cli.log")).st_mode & 0777, 0640u) << "root's log mode";
    for (const char *other : {"cli.log.2019", "cli.log.x0200101000000", "oper.log.20190101000000"}) {
        EXPECT_TRUE(FileExists(dir.Join(other))) << other;
    }
}
