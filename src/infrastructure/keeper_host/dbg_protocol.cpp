#include "infrastructure/keeper_host/dbg_protocol.h"

#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kStatusTexts[] = {"ok", "command failed", "unknown group",
                                        "malformed request", "arguments too long",
                                        "permission denied"};
static_assert(sizeof(kStatusTexts) / sizeof(kStatusTexts[0]) == DBG_STATUS_DENIED + 1,
              "every status has a text");

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

const char *DbgStatusText(int32_t status)
{
    if (status < 0 || status > DBG_STATUS_DENIED) {
        return "unknown status";
    }
    return kStatusTexts[status];
}

int32_t DbgRequestParseHeader(const uint8_t *header, uint32_t *argc, uint32_t *payloadLen)
{
    if (Get32(header) != DBG_REQUEST_MAGIC || Get16(header + 4) != DBG_PROTOCOL_VERSION) {
        return DBG_STATUS_MALFORMED;
    }
    *argc = Get16(header + 6);
    *payloadLen = Get32(header + 8);
    if (*argc > DBG_MAX_ARGS || *payloadLen > DBG_MAX_PAYLOAD) {
        return DBG_STATUS_TOO_LONG;
    }
    return DBG_STATUS_OK;
}

int32_t DbgRequestParsePayload(const uint8_t *payload, size_t len, uint32_t argc, DbgArgs *out)
{
    out->argc = 0;
    out->argv[0] = nullptr;
    if (argc > DBG_MAX_ARGS) {
        return DBG_STATUS_TOO_LONG;
    }
    size_t pos = 0;
    char *store = out->storage;
    for (uint32_t i = 0; i < argc; ++i) {
        if (len - pos < 2) {
            return DBG_STATUS_MALFORMED;
        }
        uint32_t argLen = Get16(payload + pos);
        pos += 2;
        if (argLen > DBG_MAX_ARG_LEN) {
            return DBG_STATUS_TOO_LONG;
        }
        if (len - pos < argLen || memchr(payload + pos, '\0', argLen) != nullptr) {
            return DBG_STATUS_MALFORMED;
        }
        memcpy(store, payload + pos, argLen);
        store[argLen] = '\0';
        out->argv[i] = store;
        store += argLen + 1;
        pos += argLen;
    }
    if (pos != len) {
        return DBG_STATUS_MALFORMED;
    }
    out->argc = static_cast<int>(argc);
    out->argv[argc] = nullptr;
    return DBG_STATUS_OK;
}

int32_t DbgRequestParse(const uint8_t *buf, size_t len, DbgArgs *out)
{
    out->argc = 0;
    out->argv[0] = nullptr;
    if (len < DBG_HEADER_SIZE) {
        return DBG_STATUS_MALFORMED;
    }
    uint32_t argc = 0;
    uint32_t payloadLen = 0;
    int32_t st = DbgRequestParseHeader(buf, &argc, &payloadLen);
    if (st != DBG_STATUS_OK) {
        return st;
    }
    if (len - DBG_HEADER_SIZE != payloadLen) {
        return DBG_STATUS_MALFORMED;
    }
    return DbgRequestParsePayload(buf + DBG_HEADER_SIZE, payloadLen, argc, out);
}

size_t DbgRequestEncode(int argc, const char *const *argv, uint8_t *buf, size_t size)
{
    if (argc < 0 || static_cast<uint32_t>(argc) > DBG_MAX_ARGS || size < DBG_HEADER_SIZE) {
        return 0;
    }
    size_t pos = DBG_HEADER_SIZE;
    for (int i = 0; i < argc; ++i) {
        size_t len = argv[i] != nullptr ? strlen(argv[i]) : 0;
        if (len > DBG_MAX_ARG_LEN || size - pos < 2 + len) {
            return 0;
        }
        Put16(buf + pos, static_cast<uint16_t>(len));
        if (len > 0) {
            memcpy(buf + pos + 2, argv[i], len);
        }
        pos += 2 + len;
    }
    Put32(buf, DBG_REQUEST_MAGIC);
    Put16(buf + 4, DBG_PROTOCOL_VERSION);
    Put16(buf + 6, static_cast<uint16_t>(argc));
    Put32(buf + 8, static_cast<uint32_t>(pos - DBG_HEADER_SIZE));
    return pos;
}

void DbgReplyEncodeHeader(uint8_t *header, int32_t status, uint32_t outputLen)
{
    Put32(header, DBG_REPLY_MAGIC);
    Put32(header + 4, static_cast<uint32_t>(status));
    Put32(header + 8, outputLen);
}

bool DbgReplyParseHeader(const uint8_t *header, int32_t *status, uint32_t *outputLen)
{
    if (Get32(header) != DBG_REPLY_MAGIC) {
        return false;
    }
    *status = static_cast<int32_t>(Get32(header + 4));
    *outputLen = Get32(header + 8);
    return *outputLen <= DBG_MAX_OUTPUT;
}

int DbgSocketPathFor(const char *prefix, char *buf, size_t size)
{
    size_t limit = size < sizeof(sockaddr_un::sun_path) ? size : sizeof(sockaddr_un::sun_path);
    if (prefix == nullptr ||
        snprintf_s(buf, limit, limit - 1, "%s/%s", prefix, DBG_SOCKET_REL_PATH) < 0) {
        if (size > 0) {
            buf[0] = '\0';
        }
        return -ENAMETOOLONG;
    }
    return 0;
}
