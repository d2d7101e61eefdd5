#include "cli/common/cli_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "cli/common/cli_packet.h"
#include "cli/common/cli_xml.h"

namespace SPINDLEKEEP_CLI {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int Connect(const std::string &path, uint32_t timeoutMs, int *out)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        return -ENAMETOOLONG;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    timeval tv = {static_cast<time_t>(timeoutMs / 1000),
                  static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    *out = fd;
    return 0;
}

// The reply's code text is a decimal 32-bit value.
bool ParseCode(const std::string &text, int32_t *code)
{
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    *code = static_cast<int32_t>(v);
    return true;
}

}  // namespace

int CliSocketPathFor(const char *prefix, std::string *path)
{
    *path = std::string(prefix) + "/" + CLI_SOCKET_REL_PATH;
    return path->size() < sizeof(sockaddr_un::sun_path) ? 0 : -1;
}

int CliClientCall(const std::string &socketPath, const std::string &action,
                  const std::string &command, const std::string &agrs, uint32_t timeoutMs,
                  CliReply *reply)
{
    *reply = CliReply{};
    std::string req = CliCMDtoXml(command, agrs);
    char user[CLI_USER_NAME_LEN] = {};
    if (req.empty() || action.empty() || action.size() >= CLI_ACTION_NAME_LEN ||
        GetUsersName(user, sizeof(user)) != 0) {
        return -EINVAL;
    }
    int raw = -1;
    int ret = Connect(socketPath, timeoutMs, &raw);
    if (ret != 0) {
        return ret;
    }
    Fd fd(raw);
    // A refused request is answered at once and the daemon stops reading, so
    // a failed send still leaves a reply to read.
    int32_t sent = CliSendString(req, fd.get(), user, action.c_str());
    std::string text;
    char ruser[CLI_USER_NAME_LEN] = {};
    char raction[CLI_ACTION_NAME_LEN] = {};
    if (CliRecvMessage(fd.get(), &text, ruser, raction, nullptr, nullptr) != CLI_OK) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return -ETIMEDOUT;
        }
        return sent != CLI_OK ? -EPIPE : -EPROTO;
    }
    if (!ParseCode(AnalysisXml(text, "error_code"), &reply->code)) {
        return -EPROTO;
    }
    reply->text = AnalysisXml(text, "print_data");
    if (reply->text == "null") {
        reply->text.clear();
    }
    return 0;
}

}  // namespace SPINDLEKEEP_CLI
