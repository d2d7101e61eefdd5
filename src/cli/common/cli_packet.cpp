#include "cli/common/cli_packet.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace SPINDLEKEEP_CLI {

namespace {

// CliMsgHead: byte 2 is 1, every other byte 0.
constexpr uint8_t kMsgHead[CLI_MSG_HEAD_LEN] = {0, 0, 1};

int32_t SendAll(int fd, const char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EPIPE) {
            CLI_LOG(CLI_LOG_ERROR, "Send fail. Socket closed by remote, errno{%d}.", errno);
            return CLI_SEND_PEER_CLOSED;
        }
        if (n < 1) {
            CLI_LOG(CLI_LOG_ERROR, "Send fail.sendLen:%d.", static_cast<int>(n));
            return CLI_FAIL;
        }
        done += static_cast<size_t>(n);
    }
    return CLI_OK;
}

// Milliseconds on the monotonic clock, for the whole-message limit.
uint64_t NowMs()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Reads exactly `len` bytes; false on a closed or failing stream, or once
// `deadline` (0: none) has passed.
bool RecvAll(int fd, char *buf, size_t len, uint64_t deadline)
{
    size_t done = 0;
    while (done < len) {
        if (deadline != 0 && NowMs() > deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        ssize_t n = recv(fd, buf + done, len - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 1) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

uint32_t PacketCount(uint32_t size)
{
    return size / CLI_PACKET_DATA_MAX + (size % CLI_PACKET_DATA_MAX != 0 ? 1 : 0);
}

int32_t PrepareHead(CliPacketHead *head, uint32_t size, const char *user, const char *action)
{
    memset(head, 0, sizeof(*head));
    if (strncpy_s(head->username, sizeof(head->username), user, sizeof(head->username) - 1) !=
        EOK) {
        CLI_LOG(CLI_LOG_ERROR, "Packet preparing fail due to usersname copying error.");
        return CLI_FAIL;
    }
    if (strncpy_s(head->actionName, sizeof(head->actionName), action,
                  sizeof(head->actionName) - 1) != EOK) {
        CLI_LOG(CLI_LOG_ERROR, "Packet preparing fail due to actionName copying error.");
        return CLI_FAIL;
    }
    head->totalLen = size;
    head->packetNum = static_cast<uint8_t>(PacketCount(size));
    return CLI_OK;
}

int32_t SendPacket(const char *body, uint32_t size, int fd, const char *user, const char *action)
{
    if (fd == -1) {
        return CLI_FAIL;
    }
    size_t bufLen = sizeof(CliPacketHead) + CLI_PACKET_TRAILER_LEN +
                    std::min<size_t>(size, CLI_PACKET_DATA_MAX);
    std::unique_ptr<char[]> buf(new (std::nothrow) char[bufLen]);
    if (buf == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "data is NULL.");
        return CLI_FAIL;
    }
    auto *head = reinterpret_cast<CliPacketHead *>(buf.get());
    if (PrepareHead(head, size, user, action) != CLI_OK) {
        CLI_LOG(CLI_LOG_ERROR, "Packet initialization fail.");
        return CLI_FAIL;
    }
    for (uint32_t off = 0, idx = 0; off < size; off += CLI_PACKET_DATA_MAX, ++idx) {
        uint32_t n = std::min(CLI_PACKET_DATA_MAX, size - off);
        head->packetIndex = static_cast<uint8_t>(idx);
        char *data = buf.get() + sizeof(CliPacketHead);
        memcpy(data, body + off, n);
        memset(data + n, 0, CLI_PACKET_TRAILER_LEN);
        int32_t ret = SendAll(fd, buf.get(), sizeof(CliPacketHead) + n + CLI_PACKET_TRAILER_LEN);
        if (ret != CLI_OK) {
            return ret;
        }
    }
    CLI_LOG(CLI_LOG_INFO, "Send success.sendLen:%u.", size);
    return CLI_OK;
}

// Copies a header field that must hold a NUL within its size.
bool HeadField(const char *field, size_t size, char *out)
{
    size_t n = strnlen(field, size);
    if (n == size) {
        return false;
    }
    memcpy(out, field, n + 1);
    return true;
}

// The user and action of every packet must be the ones of the first.
int32_t CheckIdentity(const CliPacketHead &head, char *user, char *action)
{
    char hu[CLI_USER_NAME_LEN];
    char ha[CLI_ACTION_NAME_LEN];
    if (!HeadField(head.username, sizeof(hu), hu) || !HeadField(head.actionName, sizeof(ha), ha)) {
        CLI_LOG(CLI_LOG_ERROR, "recv unterminated username or actionName.");
        return CLI_USER_PERMISSION_ERROR;
    }
    if (user[0] == '\0') {
        memcpy(user, hu, strlen(hu) + 1);
    }
    if (action[0] == '\0') {
        memcpy(action, ha, strlen(ha) + 1);
    }
    if (strcmp(user, hu) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "recv different username, old: %s, new: %s.\n", user, hu);
        return CLI_USER_PERMISSION_ERROR;
    }
    if (strcmp(action, ha) != 0) {
        CLI_LOG(CLI_LOG_ERROR, "recv different actionName, old: %s, new: %s.\n", action, ha);
        return CLI_USER_PERMISSION_ERROR;
    }
    return CLI_OK;
}

// A header must continue the sequence its first packet announced.
bool HeadInSequence(const CliPacketHead &head, const CliPacketHead &first, uint32_t index)
{
    if (head.totalLen == 0 || head.totalLen > CLI_MSG_MAX) {
        return false;
    }
    return head.totalLen == first.totalLen && head.packetNum == first.packetNum &&
           head.packetIndex == index && head.packetNum == PacketCount(head.totalLen);
}

}  // namespace

int32_t CliSendString(const std::string &text, int fd, const char *user, const char *action)
{
    size_t size = text.size() + CLI_MSG_HEAD_LEN + 1;
    if (size >= static_cast<size_t>(CLI_MSG_MAX) + 1) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_SEND_DATA_EXCEED 0x%x.", CLI_SEND_DATA_EXCEED);
        return CLI_SEND_DATA_EXCEED;
    }
    std::unique_ptr<char[]> body(new (std::nothrow) char[size]);
    if (body == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "String sending fail due to string copying error.");
        return CLI_FAIL;
    }
    memcpy(body.get(), kMsgHead, CLI_MSG_HEAD_LEN);
    memcpy(body.get() + CLI_MSG_HEAD_LEN, text.c_str(), text.size() + 1);
    return SendPacket(body.get(), static_cast<uint32_t>(size), fd, user, action);
}

int32_t CliRecvMessage(int fd, std::string *text, char *user, char *action, CliPacketCheck check,
                       void *ctx, uint32_t limitMs)
{
    text->clear();
    if (fd == -1) {
        CLI_LOG(CLI_LOG_ERROR, "connect is not success.");
        return CLI_FAIL;
    }
    uint64_t deadline = limitMs == 0 ? 0 : NowMs() + limitMs;
    CliPacketHead first = {};
    std::unique_ptr<char[]> body;
    uint32_t off = 0;
    for (uint32_t index = 0;; ++index) {
        CliPacketHead head = {};
        if (!RecvAll(fd, reinterpret_cast<char *>(&head), sizeof(head), deadline)) {
            CLI_LOG(CLI_LOG_ERROR, "Recv fail.recvlen:%u, totallen:%u", off, first.totalLen);
            return CLI_RECV_TRANSMISSION_ERROR;
        }
        if (index == 0) {
            first = head;
        }
        int32_t ret = CheckIdentity(head, user, action);
        if (ret == CLI_OK && index == 0 && check != nullptr) {
            ret = check(ctx, fd, user, action);
        }
        if (ret != CLI_OK) {
            return ret;
        }
        if (!HeadInSequence(head, first, index)) {
            CLI_LOG(CLI_LOG_ERROR, "Recv fail.recvlen:%u, totallen:%u", off, head.totalLen);
            return CLI_RECV_TRANSMISSION_ERROR;
        }
        if (index == 0) {
            body.reset(new (std::nothrow) char[head.totalLen + CLI_PACKET_TRAILER_LEN]);
            if (body == nullptr) {
                CLI_LOG(CLI_LOG_ERROR, "pRecvBuf is null");
                return CLI_FAIL;
            }
        }
        // The trailer lands beyond the data and is overwritten by the next packet.
        uint32_t n = std::min(CLI_PACKET_DATA_MAX, head.totalLen - off);
        if (!RecvAll(fd, body.get() + off, n + CLI_PACKET_TRAILER_LEN, deadline)) {
            CLI_LOG(CLI_LOG_ERROR, "Recv fail.recvlen:%u, totallen:%u", off, head.totalLen);
            return CLI_RECV_TRANSMISSION_ERROR;
        }
        off += n;
        if (head.packetIndex + 1u >= head.packetNum) {
            break;
        }
    }
    CLI_LOG(CLI_LOG_DEBUG, "Recv success.recvLen:%u.", off);
    if (off > CLI_MSG_HEAD_LEN) {
        const char *t = body.get() + CLI_MSG_HEAD_LEN;
        text->assign(t, strnlen(t, off - CLI_MSG_HEAD_LEN));
    }
    return CLI_OK;
}

}  // namespace SPINDLEKEEP_CLI
