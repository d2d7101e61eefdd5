// Packet framing of the CLI socket, used by the daemon and by the client.
//
// A message body (a 40-byte CliMsgHead, then a NUL-terminated text) travels
// in packets of at most 1 MiB of data. Each packet is one send of a 50-byte
// CliPacketHead, its data and 2 zero bytes. Every packet of a message names
// the same user and action word; the receiver knows each packet's data
// length from the header (min(1 MiB, what is left of totalLen)), so reads do
// not depend on how the stream is cut.
//
// Threads: the functions keep no state; one descriptor must not be used by
// two of them at once. Results are CLI codes (cli_codes.h): 0, -1,
// CLI_SEND_PEER_CLOSED, CLI_SEND_DATA_EXCEED, CLI_RECV_TRANSMISSION_ERROR,
// CLI_USER_PERMISSION_ERROR, or what the packet check returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace SPINDLEKEEP_CLI {

inline constexpr uint32_t CLI_PACKET_DATA_MAX = 1048576;  // data bytes per packet
inline constexpr uint32_t CLI_MSG_MAX = 0x2000000;        // largest body announced
inline constexpr uint32_t CLI_MSG_HEAD_LEN = 40;
inline constexpr uint32_t CLI_PACKET_TRAILER_LEN = 2;
inline constexpr size_t CLI_USER_NAME_LEN = 32;
inline constexpr size_t CLI_ACTION_NAME_LEN = 10;

#pragma pack(push, 1)
struct CliPacketHead {
    uint8_t packetNum;    // packets in the message
    uint8_t packetIndex;  // 0-based index of this packet
    uint8_t reserved[2];  // zero
    uint32_t totalLen;    // bytes of the whole body, little-endian
    char username[CLI_USER_NAME_LEN];
    char actionName[CLI_ACTION_NAME_LEN];
};
#pragma pack(pop)
static_assert(sizeof(CliPacketHead) == 50, "the packet header is 50 bytes on the wire");

inline constexpr uint32_t CLI_PACKET_BUF_LEN =
    sizeof(CliPacketHead) + CLI_PACKET_TRAILER_LEN + CLI_PACKET_DATA_MAX;

// Frames `text` (CliMsgHead, text, NUL) and sends it to `fd` with the given
// user name (at most 31 characters) and action word (at most 9). Bodies of
// 32 MiB + 1 bytes or more are refused with CLI_SEND_DATA_EXCEED (nothing is
// sent); CLI_SEND_PEER_CLOSED when the peer has gone; -1 on other failures.
[[nodiscard]] int32_t CliSendString(const std::string &text, int fd, const char *user,
                                    const char *action);

// Decides on the first packet of a message whether it may be received
// (the server's user check). 0 lets it through; anything else ends the
// receive with that code.
using CliPacketCheck = int32_t (*)(void *ctx, int fd, const char *user, const char *action);

// Receives one message from `fd`. `user` (CLI_USER_NAME_LEN bytes) and
// `action` (CLI_ACTION_NAME_LEN bytes) are filled from the first packet when
// empty; a packet naming another user or action ends the receive with
// CLI_USER_PERMISSION_ERROR. A broken stream, a header announcing more than
// 32 MiB or an inconsistent packet sequence gives CLI_RECV_TRANSMISSION_ERROR.
// `check` may be null. On success `text` holds the body's text (from offset
// 40 up to the first NUL; empty for bodies of 40 bytes or less). With
// `limitMs` non-zero, a message still incomplete that long after its first
// read began fails as well, however steadily its bytes trickle in.
[[nodiscard]] int32_t CliRecvMessage(int fd, std::string *text, char *user, char *action,
                                     CliPacketCheck check, void *ctx, uint32_t limitMs = 0);

}  // namespace SPINDLEKEEP_CLI
