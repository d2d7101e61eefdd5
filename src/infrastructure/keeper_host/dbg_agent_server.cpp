// Diagnose agent listener: one thread, one connection at a time.
//
// Client sockets are non-blocking and every wait is a poll on the client and
// on the agent's wake event, with a deadline, so neither a silent nor a
// vanished client can hold the listener for longer than the I/O timeout, and
// DBG_DiagnoseAgentDestroy never waits for a client. The buffers for one
// request are static: the listener allocates nothing per connection.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/config_prefix.h"
#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxlog.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr uint32_t kHostLogModule = 1;
constexpr uint32_t kDefaultIoTimeoutMs = 2000;
constexpr int kBacklog = 16;
constexpr size_t kSunPathLen = sizeof(sockaddr_un::sun_path);

struct DbgServerState {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // lifecycle fields
    bool running = false;
    pthread_t thread{};
    int listenFd = -1;
    int wakeFd = -1;
    char path[kSunPathLen] = {};
    char overridePath[kSunPathLen] = {};
    std::atomic<uint32_t> ioTimeoutMs{kDefaultIoTimeoutMs};
    // Listener thread only.
    uint8_t payload[DBG_MAX_PAYLOAD] = {};
    DbgArgs args = {};
    char output[DBG_MAX_OUTPUT + 1] = {};
};

DbgServerState g_srv;

#define HOST_LOG(level, fmt, ...) \
    qxlog(kHostLogModule, (level), __FILE_NAME__, __LINE__, __func__, 0, fmt, ##__VA_ARGS__)

uint64_t NowMs()
{
    auto ts = timespec{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Waits until `fd` is ready for `events`. 0, -ETIMEDOUT past the deadline,
// -ECANCELED when the agent is being stopped.
int WaitFd(int fd, short events, uint64_t deadline)
{
    for (;;) {
        uint64_t now = NowMs();
        if (now >= deadline) {
            return -ETIMEDOUT;
        }
        pollfd fds[2] = {{fd, events, 0}, {g_srv.wakeFd, POLLIN, 0}};
        int n = poll(fds, 2, static_cast<int>(deadline - now));
        if (n < 0 && errno != EINTR) {
            return -errno;
        }
        if (n > 0 && (fds[1].revents & POLLIN) != 0) {
            return -ECANCELED;
        }
        if (n > 0 && fds[0].revents != 0) {
            return 0;  // ready, or an error/hang-up the next call reports
        }
    }
}

int ReadExact(int fd, uint8_t *buf, size_t len, uint64_t deadline)
{
    while (len > 0) {
        ssize_t n = recv(fd, buf, len, 0);
        if (n > 0) {
            buf += n;
            len -= static_cast<size_t>(n);
        } else if (n == 0) {
            return -ECONNRESET;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ret = WaitFd(fd, POLLIN, deadline);
            if (ret != 0) {
                return ret;
            }
        } else if (errno != EINTR) {
            return -errno;
        }
    }
    return 0;
}

int WriteAll(int fd, const uint8_t *buf, size_t len, uint64_t deadline)
{
    while (len > 0) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n > 0) {
            buf += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ret = WaitFd(fd, POLLOUT, deadline);
            if (ret != 0) {
                return ret;
            }
        } else if (n < 0 && errno != EINTR) {
            return -errno;
        }
    }
    return 0;
}

void Reply(int fd, int32_t status, const char *text, uint32_t len)
{
    uint8_t header[DBG_HEADER_SIZE];
    DbgReplyEncodeHeader(header, status, len);
    uint64_t deadline = NowMs() + g_srv.ioTimeoutMs.load();
    int ret = WriteAll(fd, header, sizeof(header), deadline);
    if (ret == 0 && len > 0) {
        ret = WriteAll(fd, reinterpret_cast<const uint8_t *>(text), len, deadline);
    }
    if (ret != 0) {
        HOST_LOG(4, "diagnose reply not delivered (status %d): %s", status, strerror(-ret));
    }
}

bool PeerAllowed(int fd)
{
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return false;
    }
    return cred.uid == 0 || cred.uid == geteuid();
}

// Reads and checks one request into g_srv.args. DBG_STATUS_OK, another
// status to report to the client, or -1 when the client is gone or silent.
int32_t ReadRequest(int fd)
{
    uint64_t deadline = NowMs() + g_srv.ioTimeoutMs.load();
    uint8_t header[DBG_HEADER_SIZE];
    int ret = ReadExact(fd, header, sizeof(header), deadline);
    if (ret != 0) {
        HOST_LOG(4, "diagnose request header not received: %s", strerror(-ret));
        return -1;
    }
    uint32_t argc = 0;
    uint32_t payloadLen = 0;
    int32_t st = DbgRequestParseHeader(header, &argc, &payloadLen);
    if (st != DBG_STATUS_OK) {
        return st;
    }
    ret = ReadExact(fd, g_srv.payload, payloadLen, deadline);
    if (ret != 0) {
        HOST_LOG(4, "diagnose request body not received: %s", strerror(-ret));
        return -1;
    }
    return DbgRequestParsePayload(g_srv.payload, payloadLen, argc, &g_srv.args);
}

void ServeClient(int fd)
{
    if (!PeerAllowed(fd)) {
        HOST_LOG(4, "diagnose request refused: peer is not root or the daemon's user");
        Reply(fd, DBG_STATUS_DENIED, nullptr, 0);
        return;
    }
    int32_t st = ReadRequest(fd);
    if (st < 0) {
        return;
    }
    if (st != DBG_STATUS_OK) {
        HOST_LOG(4, "diagnose request rejected: %s", DbgStatusText(st));
        Reply(fd, st, nullptr, 0);
        return;
    }
    uint32_t len = 0;
    st = DbgAgentRun(g_srv.args.argc, g_srv.args.argv, g_srv.output, sizeof(g_srv.output), &len);
    Reply(fd, st, g_srv.output, len);
}

void *ListenerThread(void *)
{
    for (;;) {
        pollfd fds[2] = {{g_srv.listenFd, POLLIN, 0}, {g_srv.wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;  // EINTR; nothing else can happen with valid descriptors
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return nullptr;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        int fd = accept4(g_srv.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            ServeClient(fd);
            close(fd);
        }
    }
}

// Binds under a temporary name, restricts it, then renames it into place,
// so that the socket is never reachable with looser permissions.
int BindListener(const char *path)
{
    char tmp[kSunPathLen];
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (snprintf_s(tmp, sizeof(tmp), sizeof(tmp) - 1, "%s.tmp", path) < 0 ||
        strcpy_s(addr.sun_path, sizeof(addr.sun_path), tmp) != EOK) {
        return -ENAMETOOLONG;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -errno;
    }
    (void)unlink(tmp);
    int ret = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        chmod(tmp, 0600) != 0 || listen(fd, kBacklog) != 0 || rename(tmp, path) != 0) {
        ret = -errno;
        (void)unlink(tmp);
        close(fd);
        return ret;
    }
    g_srv.listenFd = fd;
    return 0;
}

int ResolvePath()
{
    if (g_srv.overridePath[0] != '\0') {
        return strcpy_s(g_srv.path, sizeof(g_srv.path), g_srv.overridePath) == EOK
                   ? 0
                   : -ENAMETOOLONG;
    }
    return DbgSocketPathFor(GetConfigPrefix(), g_srv.path, sizeof(g_srv.path));
}

void CloseAllLocked()
{
    if (g_srv.listenFd >= 0) {
        close(g_srv.listenFd);
        g_srv.listenFd = -1;
    }
    if (g_srv.wakeFd >= 0) {
        close(g_srv.wakeFd);
        g_srv.wakeFd = -1;
    }
}

}  // namespace

int DBG_DiagnoseAgentInit(pid_t pid, const char *name)
{
    pthread_mutex_lock(&g_srv.lock);
    int ret = g_srv.running ? -EALREADY : ResolvePath();
    if (ret == 0) {
        ret = BindListener(g_srv.path);
    }
    if (ret == 0) {
        g_srv.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ret = g_srv.wakeFd < 0 ? -errno : -pthread_create(&g_srv.thread, nullptr, ListenerThread,
                                                          nullptr);
        if (ret != 0) {
            (void)unlink(g_srv.path);
            CloseAllLocked();
        }
    }
    if (ret == 0) {
        pthread_setname_np(g_srv.thread, "dbg_agent");
        g_srv.running = true;
        HOST_LOG(6, "diagnose agent of %s (pid %d) listening on %s", name != nullptr ? name : "?",
                 static_cast<int>(pid), g_srv.path);
    } else if (ret != -EALREADY) {
        HOST_LOG(3, "diagnose agent start on %s failed: %s", g_srv.path, strerror(-ret));
        g_srv.path[0] = '\0';
    }
    pthread_mutex_unlock(&g_srv.lock);
    return ret;
}

int DBG_DiagnoseAgentDestroy(pid_t pid)
{
    (void)pid;
    pthread_mutex_lock(&g_srv.lock);
    if (g_srv.running) {
        uint64_t one = 1;
        // An eventfd write cannot fail short of a bad descriptor; the join
        // below would show that. (void) does not silence fortified builds.
        [[maybe_unused]] ssize_t n = write(g_srv.wakeFd, &one, sizeof(one));
        pthread_join(g_srv.thread, nullptr);
        CloseAllLocked();
        (void)unlink(g_srv.path);
        g_srv.path[0] = '\0';
        g_srv.running = false;
    }
    pthread_mutex_unlock(&g_srv.lock);
    return 0;
}

const char *DBG_DiagnoseAgentSocketPath() { return g_srv.path; }

int HostDiagSetSocketPath(const char *path)
{
    pthread_mutex_lock(&g_srv.lock);
    int ret = 0;
    if (path == nullptr) {
        g_srv.overridePath[0] = '\0';
    } else if (strlen(path) + sizeof(".tmp") > kSunPathLen) {
        ret = -ENAMETOOLONG;
    } else {
        ret = strcpy_s(g_srv.overridePath, sizeof(g_srv.overridePath), path) == EOK
                  ? 0
                  : -ENAMETOOLONG;
    }
    pthread_mutex_unlock(&g_srv.lock);
    return ret;
}

void HostDiagSetIoTimeoutMs(uint32_t ms) { g_srv.ioTimeoutMs.store(ms); }
