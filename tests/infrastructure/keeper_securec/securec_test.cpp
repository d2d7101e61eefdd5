#include "infrastructure/keeper_securec/securec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

struct StrCase {
    const char *what;
    size_t destMax;
    const char *src;
    int want;
    const char *wantText;
};

TEST(SecurecTest, StrcpyChecksDestinationSize)
{
    const StrCase cases[] = {
        {"fits", 8, "abc", EOK, "abc"},
        {"exactly fills with NUL", 4, "abc", EOK, "abc"},
        {"one too long", 3, "abc", ERANGE, ""},
        {"empty source", 4, "", EOK, ""},
        {"null source", 4, nullptr, EINVAL, ""},
    };
    for (const auto &c : cases) {
        char buf[16];
        memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(strcpy_s(buf, c.destMax, c.src), c.want) << c.what;
        EXPECT_STREQ(buf, c.wantText) << c.what;
    }
    char one[1];
    EXPECT_EQ(strcpy_s(one, 0, "a"), EINVAL);
    EXPECT_EQ(strcpy_s(nullptr, 4, "a"), EINVAL);
}

TEST(SecurecTest, StrncpyCopiesAtMostCount)
{
    char buf[8];
    EXPECT_EQ(strncpy_s(buf, sizeof(buf), "abcdefghij", 3), EOK);
    EXPECT_STREQ(buf, "abc");
    // count larger than the destination is fine as long as the source fits
    EXPECT_EQ(strncpy_s(buf, sizeof(buf), "abcdefg", 100), EOK);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(strncpy_s(buf, sizeof(buf), "abcdefgh", 100), ERANGE);
    EXPECT_STREQ(buf, "");
    // a 40-character field without a terminator copies exactly 40 characters
    char field[40];
    memset(field, 'S', sizeof(field));
    char out[41];
    EXPECT_EQ(strncpy_s(out, sizeof(out), field, sizeof(field)), EOK);
    EXPECT_EQ(strlen(out), 40u);
}

TEST(SecurecTest, StrcatAppendsOrFailsClean)
{
    char buf[8] = "abc";
    EXPECT_EQ(strcat_s(buf, sizeof(buf), "def"), EOK);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(strcat_s(buf, sizeof(buf), "gh"), ERANGE);
    EXPECT_STREQ(buf, "");
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strcat_s(unterminated, sizeof(unterminated), "x"), EINVAL);
}

TEST(SecurecTest, MemcpyAndMemset)
{
    char dst[4] = {1, 2, 3, 4};
    const char src[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(memcpy_s(dst, sizeof(dst), src, 4), EOK);
    EXPECT_EQ(dst[3], 9);
    EXPECT_EQ(memcpy_s(dst, sizeof(dst), src, 5), ERANGE);
    EXPECT_EQ(dst[0], 0) << "a refused copy zero-fills the destination";
    EXPECT_EQ(memcpy_s(dst, sizeof(dst), nullptr, 1), EINVAL);
    char overlap[8] = "abcdefg";
    EXPECT_EQ(memcpy_s(overlap + 1, 7, overlap, 4), EINVAL);
    EXPECT_EQ(memmove_s(overlap + 1, 7, "abcdefg", 4), EOK);
    EXPECT_EQ(memset_s(dst, sizeof(dst), 7, 4), EOK);
    EXPECT_EQ(dst[3], 7);
    EXPECT_EQ(memset_s(dst, sizeof(dst), 1, 5), ERANGE);
    EXPECT_EQ(memcpy_s(dst, sizeof(dst), src, 0), EOK);
}

TEST(SecurecTest, FormatFunctionsReportTruncation)
{
    char buf[8];
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s/%s", "ab", "cd"), 5);
    EXPECT_STREQ(buf, "ab/cd");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s", "12345678"), -1);
    EXPECT_STREQ(buf, "") << "output that does not fit leaves an empty string";
    // count below the destination size: the cut text stays, the result is -1
    EXPECT_EQ(snprintf_s(buf, sizeof(buf), 3, "%d", 123456), -1);
    EXPECT_STREQ(buf, "123");
    EXPECT_EQ(snprintf_s(buf, sizeof(buf), 7, "%d", 1234567), 7);
    EXPECT_EQ(snprintf_s(buf, sizeof(buf), sizeof(buf), "%d", 12345678), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(sprintf_s(nullptr, 8, "x"), -1);
    EXPECT_EQ(sprintf_s(buf, 0, "x"), -1);
}

}  // namespace
