#include "infrastructure/keeper_securec/securec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <tuple>

namespace {

// Each call writes into an 8-byte buffer holding "abc" and filled with 'x'
// behind it; the row gives the result and what the buffer holds afterwards
// (a refused string call leaves an empty string, a refused copy zeroes the
// destination, a refused fill still fills it).
TEST(SecurecTest, CallsCheckTheDestinationSizeAndOverlap)
{
    const std::tuple<std::function<int(char *)>, int, const char *> cases[] = {
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
        {[](char *b) { return memcpy_s(b, 4, "wxy", 4); }, EOK, "wxy"},
        {[](char *b) { return memcpy_s(b, 4, "wxyz", 5); }, ERANGE, ""},
        {[](char *b) { return memcpy_s(b, 4, nullptr, 1); }, EINVAL, ""},
        {[](char *b) { return memcpy_s(b + 1, 7, b, 2); }, EINVAL, "a"},  // overlap
        {[](char *b) { return memmove_s(b + 1, 7, b, 2); }, EOK, "aab"},
        {[](char *b) { return memset_s(b, 3, '7', 3); }, EOK, "777"},
        {[](char *b) { return memset_s(b, 3, '1', 4); }, ERANGE, "111"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto &[call, want, text] = cases[i];
        char buf[16] = "abc\0" "xxxxxxxxxxx";
        EXPECT_EQ(call(buf), want) << i;
        EXPECT_STREQ(buf, text) << i;
    }
    EXPECT_EQ(strcpy_s(nullptr, 4, "a"), EINVAL);
    char field[40];
    memset(field, 'S', sizeof(field));
    char out[41];  // a 40-character field without a terminator copies exactly 40 characters
    EXPECT_EQ(strncpy_s(out, sizeof(out), field, sizeof(field)), EOK);
    EXPECT_EQ(strlen(out), 40u);
}

}  // namespace
