#include "disk_mgr/file_sys.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

static_assert(sizeof(FileSysOps) == FILE_SYS_COUNT * sizeof(void *),
              "one file system slot per FileSysId");

namespace {

int SysOpen(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }

// Lookups use the reentrant calls: the backup task and CLI threads save files
// concurrently with the data manager's registry saves.
int SysUserId(const char *name, uid_t *uid)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    passwd pw{};
    passwd *found = nullptr;
    if (getpwnam_r(name, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return -1;
    }
    *uid = found->pw_uid;
    return 0;
}

int SysGroupId(const char *name, gid_t *gid)
{
    long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    group gr{};
    group *found = nullptr;
    if (getgrnam_r(name, &gr, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return -1;
    }
    *gid = found->gr_gid;
    return 0;
}

constexpr FileSysOps kDefaultOps = {
    SysOpen, ::close, ::read, ::write, ::lseek, ::rename, ::unlink, ::fchmod, ::fchown,
    SysUserId, SysGroupId,
};

}  // namespace

FileSysOps g_fileSysOps = kDefaultOps;

const FileSysOps &FileSysDefaultOps() { return kDefaultOps; }

void FileSysInstall(const FileSysOps &ops) { g_fileSysOps = ops; }

int FileSysCreateFresh(const char *path, int flags, mode_t mode)
{
    (void)g_fileSysOps.unlink(path);  // missing is fine; anything left makes the create fail
    return g_fileSysOps.open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int FileSysWriteAll(int fd, const void *buf, size_t n)
{
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = g_fileSysOps.write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            if (w == 0) {
                errno = EIO;
            }
            return -1;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

ssize_t FileSysReadFull(int fd, void *buf, size_t n)
{
    char *p = static_cast<char *>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = g_fileSysOps.read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return -1;
        }
        if (r == 0) {
            break;
        }
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}
