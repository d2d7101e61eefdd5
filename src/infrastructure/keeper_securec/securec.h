// Bounded copy and format functions.
//
// Every function checks the destination size before writing. On failure the
// destination is left as an empty string (string functions) or zero-filled
// (memory functions) wherever a destination exists, and a non-zero result is
// returned, so a caller that ignores the text still never reads garbage.
//
// Memory/string functions return 0 (EOK) or an errno-style code:
//   EINVAL  a null pointer or a zero destination size,
//   ERANGE  the destination size exceeds SECUREC_MEM_MAX_LEN,
//   ERANGE_AND_RESET (= ERANGE here) the source does not fit,
//   EOVERLAP (= EINVAL here) source and destination overlap.
// Format functions return the number of characters written (without NUL), or
// -1 on any failure, including truncation.
//
// Thread safety: all functions are reentrant.
#pragma once

#include <cstdarg>
#include <cstddef>

#define EOK 0
#define SECUREC_MEM_MAX_LEN (0x7fffffffUL)

[[nodiscard]] int memcpy_s(void *dest, size_t destMax, const void *src, size_t count);
[[nodiscard]] int memmove_s(void *dest, size_t destMax, const void *src, size_t count);
int memset_s(void *dest, size_t destMax, int c, size_t count);
[[nodiscard]] int strcpy_s(char *dest, size_t destMax, const char *src);
// Copies at most `count` characters of src and always terminates dest.
[[nodiscard]] int strncpy_s(char *dest, size_t destMax, const char *src, size_t count);
[[nodiscard]] int strcat_s(char *dest, size_t destMax, const char *src);
int sprintf_s(char *dest, size_t destMax, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Writes at most `count` characters (and the NUL) into dest. When the output
// is longer than `count` but `count` < destMax, the cut text stays in dest and
// -1 is returned; when it does not fit destMax, dest becomes "" and -1 is
// returned.
int snprintf_s(char *dest, size_t destMax, size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int vsnprintf_s(char *dest, size_t destMax, size_t count, const char *format, va_list ap)
    __attribute__((format(printf, 4, 0)));
