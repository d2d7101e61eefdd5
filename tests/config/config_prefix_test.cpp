#include "config/config_prefix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(ConfigPrefixTest, SymlinkResolvesToTheTargetsPrefix)
{
    char tmpl[] = "/tmp/spk-prefix-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    for (const char *d : {"/real", "/real/bin", "/link", "/link/bin"}) {
        ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0);
    }
    std::string exe = root + "/real/bin/spindlekeepd";
    FILE *f = fopen(exe.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    std::string link = root + "/link/bin/spindlekeepd";
    ASSERT_EQ(symlink(exe.c_str(), link.c_str()), 0);

    ASSERT_EQ(ConfigPrefixFromExePath(link.c_str()), 0);
    EXPECT_EQ(std::string(GetConfigPrefix()), root + "/real");

    std::string before = GetConfigPrefix();
    EXPECT_EQ(ConfigPrefixFromExePath((root + "/missing/bin/x").c_str()), 1);
    EXPECT_EQ(std::string(GetConfigPrefix()), before) << "a failure keeps the old prefix";
    std::string cmd = "rm -rf " + root;
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(ConfigPrefixTest, InitResolvesFromTheRunningExecutable)
{
    ASSERT_EQ(InitConfigPrefix(), 0);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string want = self;
    want = want.substr(0, want.rfind('/'));
    want = want.substr(0, want.rfind('/'));
    EXPECT_EQ(std::string(GetConfigPrefix()), want);
}

}  // namespace
