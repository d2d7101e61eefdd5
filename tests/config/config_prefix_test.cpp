#include "config/config_prefix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// The prefix is two levels above the running program, links resolved.
TEST(ConfigPrefixTest, InitResolvesFromTheRunningExecutable)
{
    ASSERT_EQ(InitConfigPrefix(), 0);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    std::string want(self, static_cast<size_t>(n));
    want = want.substr(0, want.rfind('/'));
    EXPECT_EQ(std::string(GetConfigPrefix()), want.substr(0, want.rfind('/')));
    EXPECT_EQ(ConfigPrefixFromExePath("/nonexistent/bin/x"), 1);
    EXPECT_EQ(std::string(GetConfigPrefix()), want.substr(0, want.rfind('/')))
        << "a failure keeps the old prefix";
}

}  // namespace
