#include "config/config_prefix.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// The prefix is two levels above the running program, links resolved.
TEST(ConfigPrefixTest, InitResolvesFromTheRunningExecutable)
{
    ASSERT_EQ(InitConfigPrefix(), 0);
    const std::string want = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
    EXPECT_EQ(GetConfigPrefix(), want);
    EXPECT_EQ(ConfigPrefixFromExePath("/nonexistent/bin/x"), 1);
    EXPECT_EQ(GetConfigPrefix(), want) << "a failure keeps the old prefix";
}

}  // namespace
