// Host log service.
//
// Records go to "<dir>/spindlekeep.log" in the directory set with
// qxlog_set_file_path_ext, one line per record:
//
//   2024-05-01 12:34:56.789 [INFO] [999] [keeper_os.cpp:120] [KeeperOsThreadCreate] text
//
// Each record is written with a single write(2) on an O_APPEND descriptor, so
// nothing is held back in user space and a crash loses at most the record
// being written. When the file would grow past the maximum size it is rotated
// first: spindlekeep.log becomes spindlekeep.log.1, .1 becomes .2 and so on,
// keeping the number of backups set with qxlog_set_backup_num (0: the old
// file is simply dropped).
//
// Until qxlog_init succeeded (and again after qxlog_destroy) records are
// written to standard error in the same format.
//
// Thread safety: every function may be called from any thread. Records above
// the module's level are dropped before any formatting. Setting the path,
// init and destroy are meant for start-up and shutdown.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t QXLOG_DEFAULT_LEVEL = 6;
inline constexpr uint64_t QXLOG_DEFAULT_MAX_FILE_SIZE = 8ULL * 1024 * 1024;
inline constexpr uint32_t QXLOG_MAX_BACKUP_NUM = 1000;
// Longest record line; longer texts are cut (the line still ends in '\n').
inline constexpr size_t QXLOG_MAX_LINE = 2048;
// Passed as module to qxlog_loglevel_set: changes the default of every module
// that has no level of its own.
inline constexpr uint32_t QXLOG_ALL_MODULES = 0xFFFFFFFFu;
inline constexpr const char *QXLOG_FILE_NAME = "spindlekeep.log";

void qxlog(uint32_t module, uint32_t level, const char *file, uint32_t line, const char *func,
           uint32_t flags, const char *fmt, ...) __attribute__((format(printf, 7, 8)));

// Sets the log directory (created with mode 0750 at qxlog_init when
// missing). `dir2` names the directory of the rotated copies; they are kept
// beside the log, so it must be null or equal to `dir`. 0, or -EINVAL for a
// null, empty, over-long or differing path.
[[nodiscard]] int qxlog_set_file_path_ext(const char *dir, const char *dir2);

// Opens (creating or appending) the log file. 0, or a negative errno when the
// path is unset or the directory/file cannot be created; records then stay on
// standard error. Calling it again reopens the file.
[[nodiscard]] int qxlog_init();

// Number of rotated copies kept (0..QXLOG_MAX_BACKUP_NUM). 0 or -EINVAL.
[[nodiscard]] int qxlog_set_backup_num(uint32_t num);

// Rotation threshold in bytes (default QXLOG_DEFAULT_MAX_FILE_SIZE; at least
// 1). 0 or -EINVAL.
[[nodiscard]] int qxlog_set_max_file_size(uint64_t bytes);

// Closes the file; records go to standard error again. Levels, path, backup
// count and size limit are kept.
void qxlog_destroy();

// Current level for a module (default 6, INFO). Lock free.
uint32_t qxlog_loglevel_get(uint32_t module);
// Sets a module's level (QXLOG_ALL_MODULES: the default for all modules
// without a level of their own). At most 32 modules keep their own level;
// 0 or -ENOSPC.
[[nodiscard]] int qxlog_loglevel_set(uint32_t module, uint32_t level);
// Forgets every per-module level and restores the default 6 (tests).
void qxlog_loglevel_reset();

// Writes out what the service holds: records are never buffered in user
// space, so this only asks the kernel to put the open file on disk
// (fdatasync). Async-signal-safe: no locks, no allocation.
void qxlog_flush_signal_safe();

// Name of a level: "EMERG", "ALERT", "CRITICAL", "ERROR", "WARN", "EVENT",
// "INFO", "DEBUG" for 0..7, "UNKNOWN" otherwise.
const char *qxlog_level_name(uint32_t level);

// Formats one record line into `buf` (size > 0), always ending in '\n':
// trailing newlines of the text are dropped and inner line breaks become
// spaces, so that a record is exactly one line. Returns the line length
// including the '\n'. Split out so the format can be tested without files.
size_t qxlog_format_line(char *buf, size_t size, uint32_t module, uint32_t level,
                         const char *file, uint32_t line, const char *func, const char *fmt,
                         va_list ap) __attribute__((format(printf, 8, 0)));
