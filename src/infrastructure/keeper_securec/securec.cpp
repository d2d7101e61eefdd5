#include "infrastructure/keeper_securec/securec.h"

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>

namespace {

bool Overlaps(const void *a, size_t alen, const void *b, size_t blen)
{
    auto pa = reinterpret_cast<uintptr_t>(a);
    auto pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + blen && pb < pa + alen;
}

bool BadDest(const void *dest, size_t destMax)
{
    return dest == nullptr || destMax == 0 || destMax > SECUREC_MEM_MAX_LEN;
}

// Argument checks shared by the copying functions: EOK when the copy may go
// ahead; otherwise the code, with a valid destination zero-filled.
int CheckCopyArgs(void *dest, size_t destMax, const void *src, size_t count)
{
    if (BadDest(dest, destMax)) {
        return destMax > SECUREC_MEM_MAX_LEN ? ERANGE : EINVAL;
    }
    if (src == nullptr || count > destMax) {
        memset(dest, 0, destMax);
        return src == nullptr ? EINVAL : ERANGE;
    }
    return EOK;
}

}  // namespace

int memcpy_s(void *dest, size_t destMax, const void *src, size_t count)
{
    int ret = CheckCopyArgs(dest, destMax, src, count);
    if (ret != EOK) {
        return ret;
    }
    if (count == 0) {
        return EOK;
    }
    if (Overlaps(dest, count, src, count)) {
        memset(dest, 0, destMax);
        return EINVAL;
    }
    memcpy(dest, src, count);
    return EOK;
}

int memmove_s(void *dest, size_t destMax, const void *src, size_t count)
{
    int ret = CheckCopyArgs(dest, destMax, src, count);
    if (ret != EOK) {
        return ret;
    }
    memmove(dest, src, count);
    return EOK;
}

int memset_s(void *dest, size_t destMax, int c, size_t count)
{
    if (BadDest(dest, destMax)) {
        return destMax > SECUREC_MEM_MAX_LEN ? ERANGE : EINVAL;
    }
    if (count > destMax) {
        memset(dest, c, destMax);
        return ERANGE;
    }
    memset(dest, c, count);
    return EOK;
}

int strncpy_s(char *dest, size_t destMax, const char *src, size_t count)
{
    if (BadDest(dest, destMax)) {
        return destMax > SECUREC_MEM_MAX_LEN ? ERANGE : EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strnlen(src, count);
    if (len >= destMax) {
        dest[0] = '\0';
        return ERANGE;
    }
    if (Overlaps(dest, len + 1, src, len + 1)) {
        dest[0] = '\0';
        return EINVAL;
    }
    memcpy(dest, src, len);
    dest[len] = '\0';
    return EOK;
}

int strcpy_s(char *dest, size_t destMax, const char *src)
{
    return strncpy_s(dest, destMax, src, SIZE_MAX);
}

int strcat_s(char *dest, size_t destMax, const char *src)
{
    if (BadDest(dest, destMax)) {
        return destMax > SECUREC_MEM_MAX_LEN ? ERANGE : EINVAL;
    }
    size_t used = strnlen(dest, destMax);
    if (used == destMax) {  // dest is not terminated within its size
        dest[0] = '\0';
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strlen(src);
    if (used + len >= destMax) {
        dest[0] = '\0';
        return ERANGE;
    }
    memcpy(dest + used, src, len + 1);
    return EOK;
}

int vsnprintf_s(char *dest, size_t destMax, size_t count, const char *format, va_list ap)
{
    if (BadDest(dest, destMax) || format == nullptr) {
        return -1;
    }
    bool cutAllowed = count < destMax;
    size_t limit = cutAllowed ? count + 1 : destMax;
    int n = vsnprintf(dest, limit, format, ap);
    if (n < 0) {
        dest[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) >= limit) {
        if (!cutAllowed) {
            dest[0] = '\0';
        }
        return -1;
    }
    return n;
}

int snprintf_s(char *dest, size_t destMax, size_t count, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf_s(dest, destMax, count, format, ap);
    va_end(ap);
    return n;
}

int sprintf_s(char *dest, size_t destMax, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf_s(dest, destMax, destMax, format, ap);
    va_end(ap);
    return n;
}
