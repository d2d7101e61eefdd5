// The file system calls of the persistence path (registry file, configuration
// file and its backups), gathered in one table so that a test can make any of
// them fail (the Nth call, with a chosen errno) and check what survived on
// disk.
//
// The table starts with the POSIX calls and the user and group database
// lookups of the running system. It is replaced only by tests, before the
// code under test runs and while no other thread uses it; afterwards it is
// only read, from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Slot numbers, in table order.
enum FileSysId : uint32_t {
    FILE_SYS_OPEN = 0,
    FILE_SYS_CLOSE,
    FILE_SYS_READ,
    FILE_SYS_WRITE,
    FILE_SYS_LSEEK,
    FILE_SYS_RENAME,
    FILE_SYS_UNLINK,
    FILE_SYS_CHMOD,
    FILE_SYS_CHOWN,
    FILE_SYS_USER_ID,
    FILE_SYS_GROUP_ID,
    FILE_SYS_COUNT,
};

// Each slot behaves like the system call of the same name: -1 with errno set
// on failure. userId/groupId look a name up in the user and group database:
// 0 and the id, or -1 when the name does not exist or the lookup failed.
struct FileSysOps {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buf, size_t n);
    ssize_t (*write)(int fd, const void *buf, size_t n);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    // On the open descriptor (fchmod, fchown): a name the service user can
    // replace between open and chown must never decide whose file is changed.
    int (*chmod)(int fd, mode_t mode);
    int (*chown)(int fd, uid_t uid, gid_t gid);
    int (*userId)(const char *name, uid_t *uid);
    int (*groupId)(const char *name, gid_t *gid);
};

// The table the persistence code calls through.
extern FileSysOps g_fileSysOps;

// The system's own calls (what g_fileSysOps holds unless a test replaced it).
const FileSysOps &FileSysDefaultOps();

// Replaces the whole table; FileSysInstall(FileSysDefaultOps()) restores it.
void FileSysInstall(const FileSysOps &ops);

// Creates `path` anew for the service's own files in directories the service
// user can write: a stale name (file or planted link) is removed first, then
// the file is created exclusively without following links. The descriptor
// (open flags `flags` | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC), or -1
// with errno.
[[nodiscard]] int FileSysCreateFresh(const char *path, int flags, mode_t mode);

// Writes all `n` bytes, retrying short writes and EINTR. 0, or -1 with errno.
[[nodiscard]] int FileSysWriteAll(int fd, const void *buf, size_t n);

// Reads until `n` bytes or end of file, retrying EINTR. The number of bytes
// read, or -1 with errno.
[[nodiscard]] ssize_t FileSysReadFull(int fd, void *buf, size_t n);
