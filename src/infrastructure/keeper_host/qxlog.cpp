#include "infrastructure/keeper_host/qxlog.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr size_t kPathMax = 1024;
constexpr size_t kLevelSlots = 32;
constexpr const char *kServiceUser = "spindlekeep_user";
constexpr const char *kServiceGroup = "spindlekeep_group";

constexpr const char *kLevelNames[] = {"EMERG", "ALERT", "CRITICAL", "ERROR",
                                       "WARN",  "EVENT", "INFO",     "DEBUG"};
static_assert(sizeof(kLevelNames) / sizeof(kLevelNames[0]) == 8, "levels 0..7 have names");

struct QxlogState {
    // Guards everything below except the atomics; held across a whole record
    // write so that lines never interleave and rotation sees a stable file.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    // Open log file, -1 while records go to standard error. Atomic because
    // the signal-safe flush reads it without the lock.
    std::atomic<int> fd{-1};
    char dir[kPathMax] = {};
    char path[kPathMax] = {};
    uint64_t size = 0;
    uint64_t maxSize = QXLOG_DEFAULT_MAX_FILE_SIZE;
    uint32_t backupNum = 0;
    bool chownFiles = false;
    uid_t uid = 0;
    gid_t gid = 0;
    // Levels are read on every record without a lock: a slot is filled
    // (module, value) before `levelCount` publishes it.
    std::atomic<uint32_t> defaultLevel{QXLOG_DEFAULT_LEVEL};
    std::atomic<uint32_t> levelModule[kLevelSlots] = {};
    std::atomic<uint32_t> levelValue[kLevelSlots] = {};
    std::atomic<uint32_t> levelCount{0};
};

QxlogState g_log;

class QxlogGuard {
public:
    QxlogGuard() { pthread_mutex_lock(&g_log.lock); }
    ~QxlogGuard() { pthread_mutex_unlock(&g_log.lock); }
    QxlogGuard(const QxlogGuard &) = delete;
    QxlogGuard &operator=(const QxlogGuard &) = delete;
};

const char *BaseName(const char *file)
{
    if (file == nullptr) {
        return "?";
    }
    const char *slash = strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

void WriteAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
}

// Makes the text part one line: inner breaks become spaces, trailing ones go.
size_t OneLine(char *text, size_t len)
{
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) {
        --len;
    }
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            text[i] = ' ';
        }
    }
    return len;
}

void ResolveServiceOwner()
{
    g_log.chownFiles = false;
    if (geteuid() != 0) {
        return;
    }
    char buf[1024];
    passwd pw;
    passwd *pwRes = nullptr;
    group gr;
    group *grRes = nullptr;
    if (getpwnam_r(kServiceUser, &pw, buf, sizeof(buf), &pwRes) != 0 || pwRes == nullptr) {
        return;
    }
    g_log.uid = pw.pw_uid;
    if (getgrnam_r(kServiceGroup, &gr, buf, sizeof(buf), &grRes) != 0 || grRes == nullptr) {
        return;
    }
    g_log.gid = gr.gr_gid;
    g_log.chownFiles = true;
}

void GiveToService(const char *path)
{
    if (g_log.chownFiles) {
        // Best effort: a root-owned log still works. (A cast to void does not
        // silence the unused-result warning of fortified builds.)
        [[maybe_unused]] int rc = chown(path, g_log.uid, g_log.gid);
    }
}

int MakeDirs(const char *dir)
{
    char tmp[kPathMax];
    if (strcpy_s(tmp, sizeof(tmp), dir) != EOK) {
        return -ENAMETOOLONG;
    }
    size_t len = strlen(tmp);
    for (size_t i = 1; i <= len; ++i) {
        if (tmp[i] != '/' && tmp[i] != '\0') {
            continue;
        }
        char saved = tmp[i];
        tmp[i] = '\0';
        if (mkdir(tmp, 0750) == 0) {
            GiveToService(tmp);
        } else if (errno != EEXIST) {
            return -errno;
        }
        tmp[i] = saved;
    }
    return 0;
}

// The log directory belongs to the service user, who could plant a link,
// a FIFO or a hard link at the log's name: such a name is replaced by a
// fresh file, never written through, and ownership goes by descriptor.
int OpenLogFileAt(int extraFlags)
{
    int fd = open(g_log.path,
                  O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags,
                  0640);
    if (fd < 0) {
        return -errno;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        return -ELOOP;
    }
    g_log.size = static_cast<uint64_t>(st.st_size);
    if (g_log.chownFiles) {
        (void)!fchown(fd, g_log.uid, g_log.gid);  // best effort: a root-owned log still works
    }
    g_log.fd.store(fd);
    return 0;
}

// Caller holds the lock.
int OpenLogFile()
{
    int ret = OpenLogFileAt(0);
    if (ret == -ELOOP) {
        (void)unlink(g_log.path);
        ret = OpenLogFileAt(O_EXCL);
    }
    return ret;
}

// Shifts .N-1 -> .N ... .1 -> .2, the live file -> .1, and opens a fresh
// file. Caller holds the lock. A failed reopen leaves records on stderr.
void Rotate()
{
    int old = g_log.fd.exchange(-1);
    if (old >= 0) {
        close(old);
    }
    char from[kPathMax + 16];
    char to[kPathMax + 16];
    for (uint32_t i = g_log.backupNum; i > 1; --i) {
        if (sprintf_s(from, sizeof(from), "%s.%u", g_log.path, i - 1) < 0 ||
            sprintf_s(to, sizeof(to), "%s.%u", g_log.path, i) < 0) {
            continue;
        }
        (void)rename(from, to);  // missing copies are fine
    }
    if (g_log.backupNum == 0 || sprintf_s(to, sizeof(to), "%s.1", g_log.path) < 0 ||
        rename(g_log.path, to) != 0) {
        (void)unlink(g_log.path);
    }
    (void)OpenLogFile();
}

// logrotate's copytruncate empties the file under the open descriptor; the
// appends then start again at offset 0 but the counted size is stale. Before
// rotating, look at the real size so a truncated file is not rotated early.
// Caller holds the lock.
bool TruncatedBehindUs(int fd, size_t len)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) >= g_log.size) {
        return false;
    }
    g_log.size = static_cast<uint64_t>(st.st_size);
    return g_log.size + len <= g_log.maxSize;
}

void WriteRecord(const char *buf, size_t len)
{
    QxlogGuard guard;
    int fd = g_log.fd.load();
    if (fd < 0) {
        WriteAll(STDERR_FILENO, buf, len);
        return;
    }
    if (g_log.size > 0 && g_log.size + len > g_log.maxSize && !TruncatedBehindUs(fd, len)) {
        Rotate();
        fd = g_log.fd.load();
        if (fd < 0) {
            WriteAll(STDERR_FILENO, buf, len);
            return;
        }
    }
    WriteAll(fd, buf, len);
    g_log.size += len;
}

}  // namespace

const char *qxlog_level_name(uint32_t level)
{
    return level < sizeof(kLevelNames) / sizeof(kLevelNames[0]) ? kLevelNames[level] : "UNKNOWN";
}

size_t qxlog_format_line(char *buf, size_t size, uint32_t module, uint32_t level,
                         const char *file, uint32_t line, const char *func, const char *fmt,
                         va_list ap)
{
    if (buf == nullptr || size < 2) {
        return 0;
    }
    auto now = timespec{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    int head = snprintf_s(buf, size, size - 1,
                          "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%s] [%u] [%s:%u] [%s] ",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, now.tv_nsec / 1000000L,
                          qxlog_level_name(level), module, BaseName(file), line,
                          func != nullptr ? func : "?");
    size_t used = head < 0 ? strlen(buf) : static_cast<size_t>(head);
    if (fmt != nullptr && used + 1 < size - 1) {
        // A cut text keeps what fitted: the record is still worth having.
        (void)vsnprintf_s(buf + used, size - used, size - used - 2, fmt, ap);
        used += OneLine(buf + used, strlen(buf + used));
    }
    if (used > size - 2) {
        used = size - 2;
    }
    buf[used++] = '\n';
    buf[used] = '\0';
    return used;
}

void qxlog(uint32_t module, uint32_t level, const char *file, uint32_t line, const char *func,
           uint32_t flags, const char *fmt, ...)
{
    (void)flags;
    if (level > qxlog_loglevel_get(module)) {
        return;
    }
    char buf[QXLOG_MAX_LINE];
    va_list ap;
    va_start(ap, fmt);
    size_t len = qxlog_format_line(buf, sizeof(buf), module, level, file, line, func, fmt, ap);
    va_end(ap);
    WriteRecord(buf, len);
}

int qxlog_set_file_path_ext(const char *dir, const char *dir2)
{
    if (dir == nullptr || dir[0] == '\0') {
        return -EINVAL;
    }
    if (dir2 != nullptr && strcmp(dir, dir2) != 0) {
        return -EINVAL;
    }
    char cleanDir[kPathMax];
    char path[kPathMax];
    if (strcpy_s(cleanDir, sizeof(cleanDir), dir) != EOK) {
        return -EINVAL;
    }
    size_t len = strlen(cleanDir);
    while (len > 1 && cleanDir[len - 1] == '/') {
        cleanDir[--len] = '\0';
    }
    if (sprintf_s(path, sizeof(path), "%s/%s", cleanDir, QXLOG_FILE_NAME) < 0) {
        return -EINVAL;
    }
    QxlogGuard guard;
    if (strcpy_s(g_log.dir, sizeof(g_log.dir), cleanDir) != EOK ||
        strcpy_s(g_log.path, sizeof(g_log.path), path) != EOK) {
        return -EINVAL;
    }
    return 0;
}

int qxlog_init()
{
    QxlogGuard guard;
    if (g_log.dir[0] == '\0') {
        return -EINVAL;
    }
    int old = g_log.fd.exchange(-1);
    if (old >= 0) {
        close(old);
    }
    ResolveServiceOwner();
    int ret = MakeDirs(g_log.dir);
    if (ret != 0) {
        return ret;
    }
    return OpenLogFile();
}

int qxlog_set_backup_num(uint32_t num)
{
    if (num > QXLOG_MAX_BACKUP_NUM) {
        return -EINVAL;
    }
    QxlogGuard guard;
    g_log.backupNum = num;
    return 0;
}

int qxlog_set_max_file_size(uint64_t bytes)
{
    if (bytes == 0) {
        return -EINVAL;
    }
    QxlogGuard guard;
    g_log.maxSize = bytes;
    return 0;
}

void qxlog_destroy()
{
    QxlogGuard guard;
    int old = g_log.fd.exchange(-1);
    if (old >= 0) {
        close(old);
    }
}

uint32_t qxlog_loglevel_get(uint32_t module)
{
    uint32_t n = g_log.levelCount.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < n; ++i) {
        if (g_log.levelModule[i].load(std::memory_order_relaxed) == module) {
            return g_log.levelValue[i].load(std::memory_order_relaxed);
        }
    }
    return g_log.defaultLevel.load(std::memory_order_relaxed);
}

int qxlog_loglevel_set(uint32_t module, uint32_t level)
{
    if (module == QXLOG_ALL_MODULES) {
        g_log.defaultLevel.store(level, std::memory_order_relaxed);
        return 0;
    }
    QxlogGuard guard;
    uint32_t n = g_log.levelCount.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        if (g_log.levelModule[i].load(std::memory_order_relaxed) == module) {
            g_log.levelValue[i].store(level, std::memory_order_relaxed);
            return 0;
        }
    }
    if (n == kLevelSlots) {
        return -ENOSPC;
    }
    g_log.levelModule[n].store(module, std::memory_order_relaxed);
    g_log.levelValue[n].store(level, std::memory_order_relaxed);
    g_log.levelCount.store(n + 1, std::memory_order_release);
    return 0;
}

void qxlog_loglevel_reset()
{
    QxlogGuard guard;
    g_log.levelCount.store(0, std::memory_order_release);
    g_log.defaultLevel.store(QXLOG_DEFAULT_LEVEL, std::memory_order_relaxed);
}

void qxlog_flush_signal_safe()
{
    // fdatasync is async-signal-safe; a rotation racing with this call at
    // worst syncs a descriptor that was just closed (EBADF, ignored).
    int fd = g_log.fd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        (void)fdatasync(fd);
    }
}
