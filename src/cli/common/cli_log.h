// The CLI server's own log files, independent of the host log: "cli.log"
// receives every message of the CLI server, "oper.log" the operations.
//
// Each CliLogger appends lines to "<dir>/<name>", rotating the file once it
// reaches the rotation size: the old file becomes "<name>.YYYYMMDDhhmmss"
// with mode 0440, and at most `backups` such copies are kept (oldest removed
// first). A fresh file gets mode 0640 and owner root:root when the process
// runs as root, else mode 0660 and "spindlekeep_user":"spindlekeep_group".
//
// Threads: every method may be called from any thread; each logger has its
// own mutex. Logging never fails its caller: a file that cannot be opened or
// rotated drops the message (problems with modes and owners go to stderr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace SPINDLEKEEP_CLI {

enum CliLogLevel : int {
    CLI_LOG_DEBUG = 0,
    CLI_LOG_INFO = 1,
    CLI_LOG_WARN = 2,
    CLI_LOG_ERROR = 3,
    CLI_LOG_FATAL = 4,
    CLI_LOG_LEVEL_NUM = 5,
};

// Line prefix styles.
enum CliLogStyle : int {
    CLI_LOG_STYLE_FULL = 0,    // time, level, tag, file, line, function
    CLI_LOG_STYLE_SHORT = 2,   // time, tag
    CLI_LOG_STYLE_THREAD = 3,  // time, thread id, level number
};

inline constexpr int32_t CLI_LOG_ROTATE_SIZE = 0x1E00000;
inline constexpr uint32_t CLI_LOG_BACKUPS = 10;
inline constexpr size_t CLI_LOG_PATH_LEN = 256;
inline constexpr int CLI_LOG_NAME_SINGLE_FILE = 1;
inline constexpr int CLI_LOG_NAME_DAILY = 0;

class CliLogger {
public:
    // Sets directory, file name and prefix style; enables the logger with
    // minimum level DEBUG. 0, or -1 when a path does not fit 255 characters
    // (the logger is then left disabled).
    int Configure(const char *dir, const char *fileName, int style);
    // Rotation size in bytes and number of backups kept (tests make both small).
    void SetRotation(int32_t size, uint32_t backups);
    void SetNamingMode(int mode);
    // Closes the open file and disables the logger.
    void Disable();

    void Write(int level, int line, const char *tag, const char *file, const char *func,
               const char *fmt, ...) __attribute__((format(printf, 7, 8)));

private:
    void OpenLocked(const char *path);
    void RotateLocked();
    void PruneBackupsLocked();
    void SetFilePermissions(const char *path) const;

    std::mutex mu_;
    FILE *file_ = nullptr;
    bool enabled_ = false;
    char dir_[CLI_LOG_PATH_LEN] = {};
    int32_t rotateSize_ = CLI_LOG_ROTATE_SIZE;
    int namingMode_ = CLI_LOG_NAME_SINGLE_FILE;
    char path_[CLI_LOG_PATH_LEN] = {};
    int minLevel_ = CLI_LOG_DEBUG;
    int style_ = CLI_LOG_STYLE_FULL;
    uint32_t backups_ = CLI_LOG_BACKUPS;
    char name_[CLI_LOG_PATH_LEN] = "KorvanVssProvider.log";
    long size_ = 0;  // bytes in the open file
};

CliLogger &CliLog();
CliLogger &OperLog();

// Configures both loggers below the directory of the process's user:
// "/var/log/spindlekeep_super/cli_log/" for root, else
// "/var/log/spindlekeep/cli_log/". 0 or -1.
int CliLogInit();
// Tests: the directory CliLogInit uses instead (null restores the rule).
// Call before the server starts.
void CliLogSetDirForTest(const char *dir);

// Name of the real user of this process ("" when it has no passwd entry).
// 0, or CLI_USER_PERMISSION_ERROR when the lookup fails.
int32_t GetUsersName(char *out, size_t len);

}  // namespace SPINDLEKEEP_CLI

#define CLI_TAG "CLI_LOG"
#define CLI_LOG(level, fmt, ...)                                                            \
    SPINDLEKEEP_CLI::CliLog().Write(SPINDLEKEEP_CLI::level, __LINE__, CLI_TAG, __FILE_NAME__, \
                                    __func__, fmt, ##__VA_ARGS__)
#define OPER_LOG(level, fmt, ...)                                                            \
    SPINDLEKEEP_CLI::OperLog().Write(SPINDLEKEEP_CLI::level, __LINE__, CLI_TAG, __FILE_NAME__, \
                                     __func__, fmt, ##__VA_ARGS__)
