// Wire format between the diagnose agent and its client (spindlekeep-diag).
//
// One request per connection, then one reply, then the agent closes.
// All integers are little-endian.
//
//   request: magic u32 "SKDQ" | version u16 (1) | argc u16 | payloadLen u32
//            then argc times: len u16 | len bytes (no NUL inside)
//   reply:   magic u32 "SKDR" | status i32 (DbgStatus) | outputLen u32
//            then outputLen bytes of text
//
// argc 0 asks for the list of groups; otherwise argv[0] is the group name
// and argv[1] the command. Everything is bounded so that the agent never
// allocates on behalf of a client: at most DBG_MAX_ARGS arguments of at most
// DBG_MAX_ARG_LEN bytes each, and at most DBG_MAX_OUTPUT bytes of output.
//
// The functions here are pure (no I/O, no allocation) and reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t DBG_REQUEST_MAGIC = 0x51444B53u;  // "SKDQ"
inline constexpr uint32_t DBG_REPLY_MAGIC = 0x52444B53u;    // "SKDR"
inline constexpr uint16_t DBG_PROTOCOL_VERSION = 1;
inline constexpr size_t DBG_HEADER_SIZE = 12;
inline constexpr uint32_t DBG_MAX_ARGS = 32;
inline constexpr uint32_t DBG_MAX_ARG_LEN = 256;
inline constexpr uint32_t DBG_MAX_PAYLOAD = DBG_MAX_ARGS * (2 + DBG_MAX_ARG_LEN);
inline constexpr uint32_t DBG_MAX_OUTPUT = 1024 * 1024;
inline constexpr uint32_t DBG_GROUP_NAME_MAX = 15;
// Below the prefix.
inline constexpr const char *DBG_SOCKET_REL_PATH = "config/spindlekeep_diag.sock";

enum DbgStatus : int32_t {
    DBG_STATUS_OK = 0,
    DBG_STATUS_FAILED = 1,         // the command ran and reported a failure
    DBG_STATUS_UNKNOWN_GROUP = 2,  // no group of that name is registered
    DBG_STATUS_MALFORMED = 3,      // the request broke the wire format
    DBG_STATUS_TOO_LONG = 4,       // too many or too long arguments
    DBG_STATUS_DENIED = 5,         // the peer is neither root nor the daemon's user
};

// A parsed request: argv points into `storage`, argv[argc] is null.
struct DbgArgs {
    int argc;
    char *argv[DBG_MAX_ARGS + 1];
    char storage[DBG_MAX_ARGS * (DBG_MAX_ARG_LEN + 1)];
};

// Text of a status for messages ("ok", "unknown group", ...).
const char *DbgStatusText(int32_t status);

// Checks a request header. DBG_STATUS_OK with *argc and *payloadLen set,
// DBG_STATUS_MALFORMED (magic, version) or DBG_STATUS_TOO_LONG (argc or
// payload length above the limits).
int32_t DbgRequestParseHeader(const uint8_t *header, uint32_t *argc, uint32_t *payloadLen);

// Splits a payload of exactly `len` bytes into `argc` arguments. OK,
// MALFORMED (lengths do not add up, NUL inside an argument) or TOO_LONG.
int32_t DbgRequestParsePayload(const uint8_t *payload, size_t len, uint32_t argc,
                               DbgArgs *out);

// Header and payload in one buffer (what the fuzzer feeds).
int32_t DbgRequestParse(const uint8_t *buf, size_t len, DbgArgs *out);

// Encodes a request into buf. Returns the frame length, or 0 when the
// arguments break the limits or buf is too small.
size_t DbgRequestEncode(int argc, const char *const *argv, uint8_t *buf, size_t size);

void DbgReplyEncodeHeader(uint8_t *header, int32_t status, uint32_t outputLen);
// False for a bad magic or an output length above DBG_MAX_OUTPUT.
bool DbgReplyParseHeader(const uint8_t *header, int32_t *status, uint32_t *outputLen);

// "<prefix>/config/spindlekeep_diag.sock" into buf. 0, or -ENAMETOOLONG when
// it does not fit buf or a UNIX socket address.
int DbgSocketPathFor(const char *prefix, char *buf, size_t size);
