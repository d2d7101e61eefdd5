#include "support/file_fault.h"

#include <cerrno>

namespace {

struct Plan {
    int failAt;  // 0: none
    int err;
    bool sticky;
};

struct FaultState {
    int calls[FILE_SYS_COUNT];
    Plan plan[FILE_SYS_COUNT];
    int total;
};

FaultState g_fault = {};

// True when this call of `id` is to fail (errno is then set).
bool Hit(FileSysId id)
{
    ++g_fault.total;
    int n = ++g_fault.calls[id];
    const Plan &p = g_fault.plan[id];
    if (p.failAt != 0 && (n == p.failAt || (p.sticky && n > p.failAt))) {
        errno = p.err;
        return true;
    }
    return false;
}

const FileSysOps &Real() { return FileSysDefaultOps(); }

int WOpen(const char *path, int flags, mode_t mode)
{
    return Hit(FILE_SYS_OPEN) ? -1 : Real().open(path, flags, mode);
}
int WClose(int fd)
{
    if (Hit(FILE_SYS_CLOSE)) {
        int err = errno;
        (void)Real().close(fd);  // a failed close still releases the descriptor
        errno = err;
        return -1;
    }
    return Real().close(fd);
}
ssize_t WRead(int fd, void *buf, size_t n) { return Hit(FILE_SYS_READ) ? -1 : Real().read(fd, buf, n); }
ssize_t WWrite(int fd, const void *buf, size_t n)
{
    return Hit(FILE_SYS_WRITE) ? -1 : Real().write(fd, buf, n);
}
off_t WLseek(int fd, off_t off, int whence)
{
    return Hit(FILE_SYS_LSEEK) ? -1 : Real().lseek(fd, off, whence);
}
int WRename(const char *a, const char *b) { return Hit(FILE_SYS_RENAME) ? -1 : Real().rename(a, b); }
int WUnlink(const char *p) { return Hit(FILE_SYS_UNLINK) ? -1 : Real().unlink(p); }
int WChmod(int fd, mode_t m) { return Hit(FILE_SYS_CHMOD) ? -1 : Real().chmod(fd, m); }
int WChown(int fd, uid_t u, gid_t g) { return Hit(FILE_SYS_CHOWN) ? -1 : Real().chown(fd, u, g); }
int WUserId(const char *n, uid_t *u) { return Hit(FILE_SYS_USER_ID) ? -1 : Real().userId(n, u); }
int WGroupId(const char *n, gid_t *g) { return Hit(FILE_SYS_GROUP_ID) ? -1 : Real().groupId(n, g); }

constexpr FileSysOps kWrapped = {WOpen,   WClose, WRead,  WWrite, WLseek,  WRename,
                                 WUnlink, WChmod, WChown, WUserId, WGroupId};

}  // namespace

FileFault::FileFault()
{
    g_fault = FaultState{};
    FileSysInstall(kWrapped);
}

FileFault::~FileFault() { FileSysInstall(FileSysDefaultOps()); }

void FileFault::FailNth(FileSysId id, int n, int err, bool sticky)
{
    g_fault.plan[id] = Plan{g_fault.calls[id] + n, err, sticky};
}

int FileFault::Calls(FileSysId id) const { return g_fault.calls[id]; }

int FileFault::TotalCalls() const { return g_fault.total; }
