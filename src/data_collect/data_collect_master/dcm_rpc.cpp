#include "data_collect/data_collect_master/dcm_rpc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "DCM";
constexpr uint32_t kDefaultTimeoutMs = 3000;
constexpr uint32_t kMaxAttempts = 5;
constexpr uint64_t kIdModulus = 65535;
constexpr int kErrInval = EINVAL;  // 22
constexpr int kErrNoSys = ENOSYS;  // 38
constexpr int kErrPipe = EPIPE;    // 32

struct DcmRpcState {
    // Constant-initialised, so it exists before the first request of any
    // thread: no creation race between two first requests.
    std::atomic<uint64_t> requestId;
    std::atomic<uint32_t> timeoutMs;
    AgentInfo agents[DCM_AGENT_BUTT];
};

DcmRpcState g_dcmRpc = {
    {0},
    {kDefaultTimeoutMs},
    {
        {"unique_DCAK_agent", AGENT_TYPE_SOCK_FILE, {"/tmp/dcak.sock"}},
        {"unique_SPDK_agent", AGENT_TYPE_SOCK_FILE, {"/var/tmp/spdk.sock"}},
        {"unique_DMA_agent", AGENT_TYPE_SOCK_FILE, {"/var/tmp/spdk.sock"}},
    },
};

// Bytes actually sent: the text without the NUL the callers count in reqLen.
size_t RequestBytes(uint32_t reqLen, const char *req)
{
    size_t textLen = strnlen(req, reqLen);
    return textLen < reqLen ? textLen : reqLen;
}

// Applies both timeouts; false when the kernel refuses either.
bool SetSocketTimeouts(int fd)
{
    uint32_t ms = g_dcmRpc.timeoutMs.load(std::memory_order_relaxed);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0;
}

// Creates a stream socket of `family` with both timeouts set, or returns the
// failure code (22 or 38) with nothing left open.
int OpenTimedSocket(int family, int *fdOut)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KLOG_ERR(kTag, "create client_fd failed.");
        return kErrInval;
    }
    if (!SetSocketTimeouts(fd)) {
        close(fd);
        KLOG_ERR(kTag, "setSockOption failed.");
        return kErrNoSys;
    }
    *fdOut = fd;
    return 0;
}

// Runs the exchanges on a connected socket and closes it.
int ExchangeAndClose(int fd, uint32_t reqLen, const char *req, KeeperStr rsp)
{
    int ret = SendAndReceiveRetryWithSocketSession(fd, reqLen, req, rsp);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return ret;
}

bool ResponseBufferUsable(KeeperStr rsp) { return rsp.buf != nullptr && rsp.len > 0; }

}  // namespace

AgentInfo DcmWellKnownAgentGet(uint32_t which)
{
    if (which >= DCM_AGENT_BUTT) {
        return AgentInfo{};
    }
    return g_dcmRpc.agents[which];
}

int DcmWellKnownAgentSetSockFile(uint32_t which, const char *sockFile)
{
    if (which >= DCM_AGENT_BUTT || sockFile == nullptr) {
        return kErrInval;
    }
    AgentInfo &agent = g_dcmRpc.agents[which];
    char path[AGENT_SOCK_FILE_LEN] = {};
    if (strcpy_s(path, sizeof(path), sockFile) != EOK) {
        return kErrInval;
    }
    agent.agentType = AGENT_TYPE_SOCK_FILE;
    memset(&agent.addr, 0, sizeof(agent.addr));
    memcpy(agent.addr.sockFile, path, sizeof(path));
    return 0;
}

void DcmRpcSetSocketTimeoutMs(uint32_t ms)
{
    g_dcmRpc.timeoutMs.store(ms == 0 ? kDefaultTimeoutMs : ms, std::memory_order_relaxed);
}

bool IsSameAgent(const AgentInfo *a, const AgentInfo *b)
{
    return memcmp(a->agentName, b->agentName, sizeof(a->agentName)) == 0 &&
           a->agentType == b->agentType && memcmp(&a->addr, &b->addr, sizeof(a->addr)) == 0;
}

uint32_t DcmRpcNextId()
{
    uint64_t n = g_dcmRpc.requestId.fetch_add(1) + 1;
    return static_cast<uint32_t>(n % kIdModulus + 1);
}

cJSON *CreateBaseRequestWithId(const char *method, uint32_t id)
{
    cJSON *req = cJSON_CreateObject();
    if (req == nullptr) {
        KLOG_ERR(kTag, "cJSON_CreateObject malloc failed.");
        return nullptr;
    }
    if (cJSON_AddStringToObject(req, "jsonrpc", "2.0") == nullptr ||
        cJSON_AddStringToObject(req, "method", method) == nullptr) {
        cJSON_Delete(req);
        KLOG_ERR(kTag, "cJSON_AddStringToObject malloc failed.");
        return nullptr;
    }
    if (cJSON_AddNumberToObject(req, "id", static_cast<double>(id)) == nullptr) {
        cJSON_Delete(req);
        KLOG_ERR(kTag, "cJSON_AddNumberToObject malloc failed.");
        return nullptr;
    }
    return req;
}

cJSON *CreateBaseRequest(const char *method) { return CreateBaseRequestWithId(method, DcmRpcNextId()); }

bool IsValidJsonResponse(const cJSON *response)
{
    if (response == nullptr || !cJSON_IsObject(response)) {
        return false;
    }
    const cJSON *version = cJSON_GetObjectItem(response, "jsonrpc");
    const cJSON *id = cJSON_GetObjectItem(response, "id");
    return cJSON_IsString(version) && strcmp(version->valuestring, "2.0") == 0 &&
           cJSON_IsNumber(id) && cJSON_GetObjectItem(response, "result") != nullptr;
}

int SendAndReceiveWithSocketSession(int fd, uint32_t reqLen, const char *req, KeeperStr rsp)
{
    // MSG_NOSIGNAL: an agent that hung up must cost this call an EPIPE, not
    // the daemon its life (SIGPIPE's default action ends the process).
    ssize_t sent = send(fd, req, RequestBytes(reqLen, req), MSG_NOSIGNAL);
    if (sent == -1) {
        KLOG_ERR(kTag, "socket send request to server failed, errno(%d)", errno);
        return kErrPipe;
    }
    KLOG_DEBUG(kTag, "send request size(%zd)", sent);
    ssize_t got = recv(fd, rsp.buf, rsp.len - 1, 0);
    if (got == -1) {
        KLOG_ERR(kTag, "socket receive response from server failed, errno(%d)", errno);
        return kErrPipe;
    }
    KLOG_DEBUG(kTag, "receive response size(%zd)", got);
    rsp.buf[got] = '\0';
    return 0;
}

int SendAndReceiveRetryWithSocketSession(int fd, uint32_t reqLen, const char *req, KeeperStr rsp)
{
    int ret = kErrPipe;
    for (uint32_t attempt = 0; attempt < kMaxAttempts; ++attempt) {
        ret = SendAndReceiveWithSocketSession(fd, reqLen, req, rsp);
        if (ret == 0) {
            return 0;
        }
        KLOG_DEBUG(kTag, "retry %u times.", attempt);
    }
    KLOG_ERR(kTag, "retry %u times, wait next timer period to retry.", kMaxAttempts);
    return ret;
}

int PostRequestWithSockFile(uint32_t reqLen, const char *req, const char *sockFile, KeeperStr rsp)
{
    if (req == nullptr || sockFile == nullptr || !ResponseBufferUsable(rsp)) {
        return kErrInval;
    }
    memset(rsp.buf, 0, rsp.len);
    int fd = -1;
    int ret = OpenTimedSocket(AF_UNIX, &fd);
    if (ret != 0) {
        return ret;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ret = strcpy_s(addr.sun_path, sizeof(addr.sun_path), sockFile);
    if (ret != EOK) {
        KLOG_ERR(kTag, "copy filed, errno(%d)", ret);
        shutdown(fd, SHUT_RDWR);
        close(fd);
        return ret;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        KLOG_ERR(kTag, "clientFd connect server failed, errno(%d)", errno);
        close(fd);
        return kErrInval;
    }
    KLOG_DEBUG(kTag, "send to %s, message:%s", sockFile, req);
    return ExchangeAndClose(fd, reqLen, req, rsp);
}

int PostRequestWithIpv4(uint32_t reqLen, const char *req, const char *ip, uint16_t port,
                        KeeperStr rsp)
{
    if (req == nullptr || ip == nullptr || !ResponseBufferUsable(rsp)) {
        return kErrInval;
    }
    memset(rsp.buf, 0, rsp.len);
    int fd = -1;
    int ret = OpenTimedSocket(AF_INET, &fd);
    if (ret != 0) {
        return ret;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(ip);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        KLOG_ERR(kTag, "clientFd connect server failed, errno(%d)", errno);
        close(fd);
        return kErrInval;
    }
    KLOG_DEBUG(kTag, "send to %s:%d, message:%s", ip, static_cast<int>(port), req);
    return ExchangeAndClose(fd, reqLen, req, rsp);
}

int PostRequest(const AgentInfo *agent, uint32_t reqLen, const char *req, KeeperStr rsp)
{
    if (agent == nullptr || req == nullptr) {
        return kErrInval;
    }
    KLOG_DEBUG(kTag, "post agent(%s) request==>%s", agent->agentName, req);
    int ret;
    switch (agent->agentType) {
        case AGENT_TYPE_SOCK_FILE:
            ret = PostRequestWithSockFile(reqLen, req, agent->addr.sockFile, rsp);
            break;
        case AGENT_TYPE_IPV4:
            ret = PostRequestWithIpv4(reqLen, req, agent->addr.ipv4.ip, agent->addr.ipv4.port, rsp);
            break;
        default:
            KLOG_ERR(kTag, "AgentType do not match (%d).", static_cast<int>(agent->agentType));
            ret = kErrInval;
            break;
    }
    if (ret == 0) {
        KLOG_DEBUG(kTag, "post agent(%s) response==>%s", agent->agentName, rsp.buf);
    }
    return ret;
}

// The answer buffer lives on the stack of the calling worker. A heap block of
// this size is a large-bin request, and every one made malloc consolidate the
// fast bins that the previous answer's cJSON nodes had just filled: about 25
// thousand instructions per request, a tenth of the whole exchange and parse.
cJSON *PostRequestWithJSON(const AgentInfo *agent, const cJSON *request)
{
    char *text = cJSON_PrintUnformatted(request);
    if (text == nullptr) {
        KLOG_ERR(kTag, "Create requestJSON String failed. maybe malloc fail?");
        return nullptr;
    }
    char buf[AGENT_RSP_BUF_LEN];
    int ret = PostRequest(agent, static_cast<uint32_t>(strlen(text) + 1), text,
                          KeeperStr{AGENT_RSP_BUF_LEN, buf});
    cJSON_free(text);
    if (ret != 0) {
        KLOG_ERR(kTag, "Post Request failed(%d).", ret);
        return nullptr;
    }
    cJSON *response = cJSON_Parse(buf);
    if (response == nullptr) {
        KLOG_ERR(kTag, "Response maybe not JSON, or malloc failed?");
    }
    return response;
}
