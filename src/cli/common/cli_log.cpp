#include "cli/common/cli_log.h"

#include <dirent.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "infrastructure/keeper_securec/securec.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr const char *kLevelNames[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
static_assert(sizeof(kLevelNames) / sizeof(kLevelNames[0]) == CLI_LOG_LEVEL_NUM,
              "one name per level");
constexpr size_t kLineLen = 4096;
constexpr size_t kPrefixLen = 512;
constexpr const char *kServiceUser = "spindlekeep_user";
constexpr const char *kServiceGroup = "spindlekeep_group";

bool ProcessIsRoot()
{
    char name[64] = {};
    return GetUsersName(name, sizeof(name)) == 0 && strcmp(name, "root") == 0;
}

// mkdir -p with mode 0750; the service reads its own logs only.
void MakeDirs(const char *dir)
{
    std::string path(dir);
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            (void)mkdir(part.c_str(), 0750);
        }
    }
}

void FormatPrefix(char *out, size_t len, int style, int level, const char *tag,
                  const char *file, int line, const char *func)
{
    time_t now = time(nullptr);
    struct tm t = {};
    (void)localtime_r(&now, &t);
    int y = t.tm_year + 1900;
    int mo = t.tm_mon + 1;
    if (style == CLI_LOG_STYLE_FULL) {
        (void)snprintf_s(out, len, len - 1, "[%4d-%02d-%02d %02d:%02d:%02d][%s][%s][%s,%d,%s]", y,
                         mo, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, kLevelNames[level], tag,
                         file, line, func);
    } else if (style == CLI_LOG_STYLE_SHORT) {
        (void)snprintf_s(out, len, len - 1, "[%4d-%02d-%02d %02d:%02d:%02d][%s]", y, mo,
                         t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, tag);
    } else {
        (void)snprintf_s(out, len, len - 1, "[%4d-%02d-%02d %02d:%02d:%02d][0x%016lx][%d]", y, mo,
                         t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                         static_cast<unsigned long>(pthread_self()), level);
    }
}

// "<name>." followed by exactly `digits` digits.
bool IsBackupName(const char *entry, const char *name, size_t digits)
{
    size_t n = strlen(name);
    if (strncmp(entry, name, n) != 0 || entry[n] != '.' || strlen(entry + n + 1) != digits) {
        return false;
    }
    return std::all_of(entry + n + 1, entry + n + 1 + digits,
                       [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

int32_t GetUsersName(char *out, size_t len)
{
    out[0] = '\0';
    struct passwd pw = {};
    struct passwd *res = nullptr;
    char buf[1024];
    if (getpwuid_r(getuid(), &pw, buf, sizeof(buf), &res) != 0 || res == nullptr) {
        return 0x40036901;
    }
    return strcpy_s(out, len, pw.pw_name) == EOK ? 0 : 0x40036901;
}

int CliLogger::Configure(const char *dir, const char *fileName, int style)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ != nullptr) {
        (void)fclose(file_);
        file_ = nullptr;
    }
    path_[0] = '\0';
    enabled_ = false;
    if (strcpy_s(dir_, sizeof(dir_), dir) != EOK || strcpy_s(name_, sizeof(name_), fileName) != EOK ||
        strlen(dir_) + strlen(name_) + 1 >= CLI_LOG_PATH_LEN) {
        return -1;
    }
    style_ = style;
    minLevel_ = CLI_LOG_DEBUG;
    enabled_ = true;
    return 0;
}

void CliLogger::SetRotation(int32_t size, uint32_t backups)
{
    std::lock_guard<std::mutex> lock(mu_);
    rotateSize_ = size;
    backups_ = backups;
}

void CliLogger::SetNamingMode(int mode)
{
    std::lock_guard<std::mutex> lock(mu_);
    namingMode_ = mode;
}

void CliLogger::Disable()
{
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ != nullptr) {
        (void)fclose(file_);
        file_ = nullptr;
    }
    path_[0] = '\0';
    enabled_ = false;
}

void CliLogger::SetFilePermissions(const char *path) const
{
    bool root = ProcessIsRoot();
    if (chmod(path, root ? 0640 : 0660) != 0) {
        fprintf(stderr, "chmod log file %s fail\n", path);
        return;
    }
    if (root) {
        if (chown(path, 0, 0) != 0) {
            fprintf(stderr, "chmown log file %s fail\n", path);
        }
        return;
    }
    struct passwd *pw = getpwnam(kServiceUser);
    if (pw == nullptr) {
        fprintf(stderr, "user:%s not exist\n", kServiceUser);
        return;
    }
    struct group *gr = getgrnam(kServiceGroup);
    if (gr == nullptr) {
        fprintf(stderr, "group:%s not exist\n", kServiceGroup);
        return;
    }
    if (chown(path, pw->pw_uid, gr->gr_gid) != 0) {
        fprintf(stderr, "chmown log file %s fail\n", path);
    }
}

void CliLogger::OpenLocked(const char *path)
{
    if (strcmp(path, path_) != 0) {
        if (file_ != nullptr) {
            (void)fclose(file_);
            file_ = nullptr;
        }
        (void)strcpy_s(path_, sizeof(path_), path);
    }
    if (file_ != nullptr) {
        return;
    }
    MakeDirs(dir_);
    bool fresh = access(path, F_OK) != 0;
    file_ = fopen(path, "a+");
    if (file_ == nullptr) {
        return;
    }
    (void)fseek(file_, 0, SEEK_END);
    size_ = ftell(file_);
    if (fresh) {
        SetFilePermissions(path);
    }
}

void CliLogger::PruneBackupsLocked()
{
    DIR *d = opendir(dir_);
    if (d == nullptr) {
        return;
    }
    size_t digits = namingMode_ == CLI_LOG_NAME_DAILY ? 8 : 14;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (IsBackupName(e->d_name, name_, digits)) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    // The time stamp sorts like the time: the oldest backups come first.
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + backups_ < names.size(); ++i) {
        (void)unlink((std::string(dir_) + "/" + names[i]).c_str());
    }
}

void CliLogger::RotateLocked()
{
    time_t now = time(nullptr);
    struct tm t = {};
    (void)localtime_r(&now, &t);
    char bak[CLI_LOG_PATH_LEN + 16];
    if (snprintf_s(bak, sizeof(bak), sizeof(bak) - 1, "%s.%4d%02d%02d%02d%02d%02d", path_,
                   t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec) < 0) {
        return;
    }
    (void)fclose(file_);
    file_ = nullptr;
    (void)rename(path_, bak);
    PruneBackupsLocked();
    file_ = fopen(path_, "a+");
    size_ = 0;
    if (chmod(bak, 0440) != 0) {
        fprintf(stderr, "chmod bak log file %s fail\n", bak);
    }
    if (file_ != nullptr) {
        SetFilePermissions(path_);
    }
}

void CliLogger::Write(int level, int line, const char *tag, const char *file, const char *func,
                      const char *fmt, ...)
{
    if (tag == nullptr || file == nullptr || func == nullptr || fmt == nullptr || level < 0 ||
        level >= CLI_LOG_LEVEL_NUM) {
        return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (!enabled_ || level < minLevel_ || dir_[0] == '\0' || name_[0] == '\0') {
        return;
    }
    char prefix[kPrefixLen];
    FormatPrefix(prefix, sizeof(prefix), style_, level, tag, file, line, func);
    char msg[kLineLen];
    va_list ap;
    va_start(ap, fmt);
    // A cut message is still logged: the prefix says where it came from.
    (void)vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    char path[CLI_LOG_PATH_LEN + 16];
    int n = namingMode_ == CLI_LOG_NAME_DAILY
                ? [&] {
                      time_t now = time(nullptr);
                      struct tm t = {};
                      (void)localtime_r(&now, &t);
                      return snprintf_s(path, sizeof(path), sizeof(path) - 1, "%s/%s.%4d%02d%02d",
                                        dir_, name_, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
                  }()
                : snprintf_s(path, sizeof(path), sizeof(path) - 1, "%s/%s", dir_, name_);
    if (n < 0 || static_cast<size_t>(n) >= CLI_LOG_PATH_LEN) {
        return;
    }
    OpenLocked(path);
    if (file_ != nullptr && size_ >= rotateSize_) {
        RotateLocked();
    }
    if (file_ == nullptr) {
        return;
    }
    int w = fprintf(file_, "%s%s\n", prefix, msg);
    (void)fflush(file_);
    if (w > 0) {
        size_ += w;
    }
}

CliLogger &CliLog()
{
    static CliLogger logger;
    return logger;
}

CliLogger &OperLog()
{
    static CliLogger logger;
    return logger;
}

namespace {
const char *g_testDir = nullptr;
}  // namespace

void CliLogSetDirForTest(const char *dir) { g_testDir = dir; }

int CliLogInit()
{
    const char *dir =
        ProcessIsRoot() ? "/var/log/spindlekeep_super/cli_log/" : "/var/log/spindlekeep/cli_log/";
    if (g_testDir != nullptr) {
        dir = g_testDir;
    }
    if (CliLog().Configure(dir, "cli.log", CLI_LOG_STYLE_FULL) != 0 ||
        OperLog().Configure(dir, "oper.log", CLI_LOG_STYLE_SHORT) != 0) {
        return -1;
    }
    return 0;
}

}  // namespace SPINDLEKEEP_CLI
