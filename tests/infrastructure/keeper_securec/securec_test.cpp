#include "infrastructure/keeper_securec/securec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace {

// Each call writes into an 8-byte buffer holding "abc" and filled with 'x'
// behind it; the row gives the result and what the buffer holds afterwards
// (a refused string call leaves an empty string).
TEST(SecurecTest, StringCallsCheckTheDestinationSize)
{
    const struct {
        std::function<int(char *)> call;
        int want;
        const char *text;
    } cases[] = {
        {[](char *b) { return strcpy_s(b, 4, "abc"); }, EOK, "abc"},
        {[](char *b) { return strcpy_s(b, 3, "abc"); }, ERANGE, ""},
        {[](char *b) { return strcpy_s(b, 4, nullptr); }, EINVAL, ""},
        {[](char *b) { return strcpy_s(b, 0, "a"); }, EINVAL, "abc"},
        {[](char *b) { return strncpy_s(b, 8, "abcdefghij", 3); }, EOK, "abc"},
        {[](char *b) { return strncpy_s(b, 8, "abcdefg", 100); }, EOK, "abcdefg"},
        {[](char *b) { return strncpy_s(b, 8, "abcdefgh", 100); }, ERANGE, ""},
        {[](char *b) { return strcat_s(b, 8, "defg"); }, EOK, "abcdefg"},
        {[](char *b) { return strcat_s(b, 8, "defgh"); }, ERANGE, ""},
        {[](char *b) { return strcat_s(b, 3, "d"); }, EINVAL, ""},  // no terminator inside
        {[](char *b) { return sprintf_s(b, 8, "%s/%s", "ab", "cd"); }, 5, "ab/cd"},
        {[](char *b) { return sprintf_s(b, 8, "%s", "12345678"); }, -1, ""},
        {[](char *b) { return snprintf_s(b, 8, 3, "%d", 123456); }, -1, "123"},  // cut text stays
        {[](char *b) { return snprintf_s(b, 8, 7, "%d", 1234567); }, 7, "1234567"},
        {[](char *b) { return snprintf_s(b, 8, 8, "%d", 12345678); }, -1, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        char buf[16];
        memset(buf, 'x', sizeof(buf));
        memcpy(buf, "abc", 4);
        EXPECT_EQ(cases[i].call(buf), cases[i].want) << i;
        EXPECT_STREQ(buf, cases[i].text) << i;
    }
    EXPECT_EQ(strcpy_s(nullptr, 4, "a"), EINVAL);
    char field[40];
    memset(field, 'S', sizeof(field));
    char out[41];  // a 40-character field without a terminator copies exactly 40 characters
    EXPECT_EQ(strncpy_s(out, sizeof(out), field, sizeof(field)), EOK);
    EXPECT_EQ(strlen(out), 40u);
}

TEST(SecurecTest, MemoryCallsCheckSizesAndOverlap)
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
    char moved[8] = "abcdefg";
    EXPECT_EQ(memmove_s(moved + 1, 7, moved, 4), EOK);
    EXPECT_STREQ(moved, "aabcdfg");
    EXPECT_EQ(memset_s(dst, sizeof(dst), 7, 4), EOK);
    EXPECT_EQ(dst[3], 7);
    EXPECT_EQ(memset_s(dst, sizeof(dst), 1, 5), ERANGE);
    EXPECT_EQ(dst[3], 1) << "a refused fill still fills the destination";
}

}  // namespace
