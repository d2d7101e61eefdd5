// The CLI's own log files: line prefixes, rotation with its backup names and
// modes, and how many backups stay.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "cli/common/cli_log.h"
#include "support/persist_files.h"

using namespace SPINDLEKEEP_CLI;

namespace {

// Every digit as 'D', so lines compare without their time stamps.
std::string Mask(std::string s)
{
    std::replace_if(s.begin(), s.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); }, 'D');
    return s;
}

bool IsBackup(const std::string &n)
{
    return n.size() == 22 && n.compare(0, 8, "cli.log.") == 0 &&
           std::all_of(n.begin() + 8, n.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

TEST(CliLog, PrefixStyles)
{
    TempDir dir;
    const std::string time = "[DDDD-DD-DD DD:DD:DD]";
    const std::pair<int, std::string> styles[] = {
        {CLI_LOG_STYLE_FULL, time + "[WARN][CLI_LOG][f.cpp,D,fn]hello D\n"},
        {CLI_LOG_STYLE_SHORT, time + "[CLI_LOG]hello D\n"},
    };
    for (const auto &[style, pattern] : styles) {
        CliLogger log;
        ASSERT_EQ(log.Configure(dir.Path().c_str(), "s.log", style), 0);
        log.Write(CLI_LOG_WARN, 7, "CLI_LOG", "f.cpp", "fn", "hello %d", 3);
        log.Write(CLI_LOG_LEVEL_NUM, 7, "CLI_LOG", "f.cpp", "fn", "dropped");
        log.Disable();
        log.Write(CLI_LOG_ERROR, 7, "CLI_LOG", "f.cpp", "fn", "after disable");
        std::string text = ReadFileText(dir.Join("s.log"));
        EXPECT_EQ(Mask(text), pattern) << text;
        std::remove(dir.Join("s.log").c_str());
    }
}

TEST(CliLog, RotatesAtSizeAndKeepsTenBackups)
{
    TempDir dir;
    // Ten older backups are already there, plus names that only look alike.
    const char *others[] = {"cli.log.2019", "cli.log.x0200101000000", "oper.log.20190101000000"};
    for (int i = 0; i < 10; ++i) {
        WriteFileText(dir.Join("cli.log.2020010100000" + std::to_string(i)), "old");
    }
    for (const char *other : others) {
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
        if (IsBackup(n)) {
            backups.push_back(n);
        }
    }
    ASSERT_EQ(backups.size(), 10u);
    EXPECT_EQ(backups.front(), "cli.log.20200101000001") << "the oldest one went";
    const std::string &fresh = backups.back();
    EXPECT_NE(ReadFileText(dir.Join(fresh)).find("line 2"), std::string::npos);
    std::string current = ReadFileText(dir.Join("cli.log"));
    EXPECT_NE(current.find("fresh"), std::string::npos);
    EXPECT_EQ(current.find("line"), std::string::npos);
    EXPECT_EQ(StatFile(dir.Join("cli.log")).st_mode & 0777, 0640u) << "the new file gets root's log mode";
    for (const char *other : others) {
        EXPECT_TRUE(FileExists(dir.Join(other))) << other;
    }
}
