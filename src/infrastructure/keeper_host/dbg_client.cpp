#include "infrastructure/keeper_host/dbg_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "infrastructure/keeper_host/dbg_protocol.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

int WaitFor(int fd, short events, uint32_t timeoutMs)
{
    pollfd pfd{fd, events, 0};
    int n;
    do {
        n = poll(&pfd, 1, static_cast<int>(timeoutMs));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -errno;
    }
    return n == 0 ? -ETIMEDOUT : 0;
}

int SendAll(int fd, const uint8_t *buf, size_t len, uint32_t timeoutMs)
{
    while (len > 0) {
        int ret = WaitFor(fd, POLLOUT, timeoutMs);
        if (ret != 0) {
            return ret;
        }
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return -errno;
        }
        if (n > 0) {
            buf += n;
            len -= static_cast<size_t>(n);
        }
    }
    return 0;
}

// A short read before `len` bytes means the agent hung up: -EPROTO.
int RecvAll(int fd, uint8_t *buf, size_t len, uint32_t timeoutMs)
{
    while (len > 0) {
        int ret = WaitFor(fd, POLLIN, timeoutMs);
        if (ret != 0) {
            return ret;
        }
        ssize_t n = recv(fd, buf, len, 0);
        if (n == 0) {
            return -EPROTO;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return errno == ECONNRESET ? -EPROTO : -errno;
        }
        if (n > 0) {
            buf += n;
            len -= static_cast<size_t>(n);
        }
    }
    return 0;
}

int Connect(const char *socketPath)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath == nullptr || strcpy_s(addr.sun_path, sizeof(addr.sun_path), socketPath) != EOK) {
        return -ENAMETOOLONG;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

int ReadReply(int fd, uint32_t timeoutMs, DbgClientResult *result)
{
    uint8_t header[DBG_HEADER_SIZE];
    int ret = RecvAll(fd, header, sizeof(header), timeoutMs);
    if (ret != 0) {
        return ret;
    }
    int32_t status = 0;
    uint32_t len = 0;
    if (!DbgReplyParseHeader(header, &status, &len)) {
        return -EPROTO;
    }
    auto *out = static_cast<char *>(malloc(len + 1));
    if (out == nullptr) {
        return -ENOMEM;
    }
    ret = RecvAll(fd, reinterpret_cast<uint8_t *>(out), len, timeoutMs);
    if (ret != 0) {
        free(out);
        return ret;
    }
    out[len] = '\0';
    result->status = status;
    result->output = out;
    result->outputLen = len;
    return 0;
}

}  // namespace

int DbgClientCall(const char *socketPath, int argc, const char *const *argv, uint32_t timeoutMs,
                  DbgClientResult *result)
{
    *result = DbgClientResult{0, nullptr, 0};
    uint8_t frame[DBG_HEADER_SIZE + DBG_MAX_PAYLOAD];
    size_t frameLen = DbgRequestEncode(argc, argv, frame, sizeof(frame));
    if (frameLen == 0) {
        return -E2BIG;
    }
    int fd = Connect(socketPath);
    if (fd < 0) {
        return fd;
    }
    int ret = SendAll(fd, frame, frameLen, timeoutMs);
    if (ret == 0) {
        ret = ReadReply(fd, timeoutMs, result);
    }
    close(fd);
    return ret;
}
