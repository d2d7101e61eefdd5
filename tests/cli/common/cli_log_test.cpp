// The CLI's own log files: line prefixes, rotation with its backup names and
// modes, and how many backups stay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "cli/common/cli_log.h"
#include "support/persist_files.h"

using namespace SPINDLEKEEP_CLI;

namespace {

// Every digit as 'D', so names and lines compare without their time stamps.
std::string Mask(std::string s)
{
    std::replace_if(s.begin(), s.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; }, 'D');
    return s;
}

}  // namespace

TEST(CliLog, PrefixStyles)
{
    TempDir dir;
    const std::string time = "[DDDD-DD-DD DD:DD:DD]";
    for (const auto &[style, line] : {std::pair{CLI_LOG_STYLE_FULL, time + "[WARN][CLI_LOG][f.cpp,D,fn]hello D\n"},
                                      std::pair{CLI_LOG_STYLE_SHORT, time + "[CLI_LOG]hello D\n"}}) {
        CliLogger log;
        ASSERT_EQ(log.Configure(dir.Path().c_str(), "s.log", style), 0);
        log.Write(CLI_LOG_WARN, 7, "CLI_LOG", "f.cpp", "fn", "hello %d", 3);
        log.Write(CLI_LOG_LEVEL_NUM, 7, "CLI_LOG", "f.cpp", "fn", "no such level");
        log.Disable();
        log.Write(CLI_LOG_ERROR, 7, "CLI_LOG", "f.cpp", "fn", "after disable");
        EXPECT_EQ(Mask(ReadFileText(dir.Join("s.log"))), line);
        std::remove(dir.Join("s.log").c_str());
    }
}

TEST(CliLog, RotatesAtSizeAndKeepsTenBackups)
{
    TempDir dir;
    // Ten older backups are already there, plus names that only look alike.
    std::vector<std::string> made = {"cli.log.2019", "cli.log.x0200101000000", "oper.log.20190101000000"};
    for (int i = 0; i < 10; ++i) made.push_back("cli.log.2020010100000" + std::to_string(i));
    for (const std::string &name : made) WriteFileText(dir.Join(name), "old");
    CliLogger log;
    ASSERT_EQ(log.Configure(dir.Path().c_str(), "cli.log", CLI_LOG_STYLE_SHORT), 0);
    log.SetRotation(100, CLI_LOG_BACKUPS);
    for (const char *text : {"line 0", "line 1", "line 2", "fresh"}) {  // ~45 bytes a line: the third crosses 100
        log.Write(CLI_LOG_INFO, 1, "CLI_LOG", "f", "fn", "%s", text);
    }
    // The oldest backup went; the new one is stamped with the time, so it sorts after the old ones.
    std::vector<std::string> names = ListDir(dir.Path()), want = {"cli.log", made[0]};
    ASSERT_EQ(names.size(), 14u);
    const std::string fresh = names[11];
    names[11] = Mask(fresh);
    want.insert(want.end(), made.begin() + 4, made.end());
    want.insert(want.end(), {"cli.log.DDDDDDDDDDDDDD", made[1], made[2]});
    EXPECT_EQ(names, want);
    EXPECT_NE(ReadFileText(dir.Join(fresh)).find("line 2"), std::string::npos);
    EXPECT_EQ(Mask(ReadFileText(dir.Join("cli.log"))), "[DDDD-DD-DD DD:DD:DD][CLI_LOG]fresh\n");
    EXPECT_EQ(StatFile(dir.Join("cli.log")).st_mode & 0777, 0640u) << "the new file gets root's log mode";
}
