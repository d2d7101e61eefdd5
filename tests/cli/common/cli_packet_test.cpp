// Framing and XML of the CLI: what goes on the wire, what a receiver accepts,
// and the documents on both sides.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "cli/common/cli_codes.h"
#include "cli/common/cli_packet.h"
#include "cli/common/cli_xml.h"

using namespace SPINDLEKEEP_CLI;

namespace {

constexpr uint32_t kMiB = CLI_PACKET_DATA_MAX;

// Runs `write` on one end of a socket pair in a thread and `read` on the
// other. The reading end is shut down before the join: a writer still
// sending then fails instead of blocking.
template <class Read>
auto Through(const std::function<void(int)> &write, Read read)
{
    int fd[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    std::thread writer([&] { write(fd[0]), shutdown(fd[0], SHUT_WR); });
    auto r = read(fd[1]);
    shutdown(fd[1], SHUT_RD);
    writer.join();
    close(fd[0]), close(fd[1]);
    return r;
}

// One packet as a sender writes it.
std::string Packet(uint8_t num, uint8_t idx, uint32_t total, const std::string &data, const char *user = "root",
                   const char *action = "show")
{
    CliPacketHead h = {num, idx, {}, total, {}, {}};
    memcpy(h.username, user, std::min(strlen(user), sizeof(h.username)));
    memcpy(h.actionName, action, std::min(strlen(action), sizeof(h.actionName)));
    return std::string(reinterpret_cast<const char *>(&h), sizeof(h)) + data + std::string(2, '\0');
}

// A message body: its 40-byte head (byte 2 is 1), the text, a NUL.
std::string Body(const std::string &text)
{
    return std::string(2, '\0') + '\1' + std::string(CLI_MSG_HEAD_LEN - 3, '\0') + text + '\0';
}

int32_t Receive(const std::string &stream, std::string *text, CliPacketCheck check = nullptr)
{
    char user[CLI_USER_NAME_LEN] = {}, action[CLI_ACTION_NAME_LEN] = {};
    return Through([&](int fd) { (void)!send(fd, stream.data(), stream.size(), MSG_NOSIGNAL); },
                   [&](int fd) { return CliRecvMessage(fd, text, user, action, check, nullptr); });
}

}  // namespace

// Body sizes around the packet size and the 32 MiB limit: the exact bytes on
// the wire (1 MiB of data a packet) and what a receiver makes of them; a body
// over the limit is neither sent nor received.
TEST(CliFraming, SplitsBodiesAtOneMebibyteUpTo32MiB)
{
    for (uint32_t body : {CLI_MSG_HEAD_LEN + 2, kMiB, kMiB + 1, 2 * kMiB + 7, CLI_MSG_MAX, CLI_MSG_MAX + 1}) {
        std::string text = "abcdefghijklmnopqrstuvwxy", b, well, back;  // 25 letters: each packet starts elsewhere
        while (text.size() < body) text += text;
        text.resize(body - CLI_MSG_HEAD_LEN - 1);
        int32_t ret = 0;
        std::string wire = Through([&](int fd) { ret = CliSendString(text, fd, "root", "show"); }, [](int fd) {
            std::string out;
            char buf[65536];
            for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
            return out;
        });
        uint8_t num = static_cast<uint8_t>((body + kMiB - 1) / kMiB);
        b = Body(text);
        for (uint8_t i = 0; i < num; ++i) well += Packet(num, i, body, b.substr(i * kMiB, kMiB));
        bool fits = body <= CLI_MSG_MAX;
        EXPECT_EQ(ret, fits ? CLI_OK : CLI_SEND_DATA_EXCEED) << body;
        EXPECT_TRUE(wire == (fits ? well : "")) << body << ": " << wire.size() << " bytes sent of " << well.size();
        EXPECT_EQ(Receive(well, &back), fits ? CLI_OK : CLI_RECV_TRANSMISSION_ERROR) << body;
        EXPECT_TRUE(back == (fits ? text : "")) << body;
    }
}

TEST(CliFraming, RefusesBrokenStreamsAndStrangers)
{
    const std::string half(kMiB, 'b'), abc = Body("abc"), msg = Packet(1, 0, CLI_MSG_HEAD_LEN + 4, abc);
    const uint32_t total = CLI_MSG_HEAD_LEN + 2 * kMiB;
    auto three = [&](const char *user, const char *action, uint8_t second) {
        return Packet(3, 0, total, half) + Packet(3, second, total, half, user, action);
    };
    const std::tuple<const char *, std::string, int32_t> cases[] = {
        {"nothing at all", "", CLI_RECV_TRANSMISSION_ERROR},
        {"half a header", msg.substr(0, 20), CLI_RECV_TRANSMISSION_ERROR},
        {"data cut short", msg.substr(0, 70), CLI_RECV_TRANSMISSION_ERROR},
        {"empty body announced", Packet(1, 0, 0, ""), CLI_RECV_TRANSMISSION_ERROR},
        {"empty body in no packets", Packet(0, 0, 0, ""), CLI_RECV_TRANSMISSION_ERROR},
        {"packet count not matching the length", Packet(1, 0, total, half), CLI_RECV_TRANSMISSION_ERROR},
        {"packet index skipped", three("root", "show", 2), CLI_RECV_TRANSMISSION_ERROR},
        {"user switched mid-message", three("mallory", "show", 1), CLI_USER_PERMISSION_ERROR},
        {"action switched mid-message", three("root", "change", 1), CLI_USER_PERMISSION_ERROR},
        {"unterminated user", Packet(1, 0, 44, abc, "0123456789012345678901234567890123"), CLI_USER_PERMISSION_ERROR},
        {"no room for text past the message head", Packet(1, 0, 30, std::string(30, 'a')), CLI_OK},
    };
    for (const auto &[what, stream, code] : cases) {
        std::string text = "untouched";
        EXPECT_EQ(Receive(stream, &text), code) << what;
        EXPECT_EQ(text, "") << what;
    }
    std::string text;
    auto refuse = [](void *, int, const char *, const char *) { return CLI_USER_PERMISSION_ERROR; };
    EXPECT_EQ(Receive(msg, &text, refuse), CLI_USER_PERMISSION_ERROR) << "the check decides";
}

TEST(CliXml, RequestAndReplyCarryTheirTextsWhole)
{
    EXPECT_EQ(CliCMDtoXml("disk_info", "show a"), "<req><cmd>disk_info</cmd><agrs>show a</agrs></req>\n");
    EXPECT_EQ(SvCMDtoXml("abc errorCode=0"),
              "<response><error_code>0</error_code><print_data>abc</print_data></response>\n");
    // Blanks, newlines and markup characters come back whole; the code is what follows the first separator.
    const std::tuple<std::string, std::string, std::string> texts[] = {
        {"abc", "abc", ""},
        {"a errorCode=1 errorCode=2", "a", "1 errorCode=2"},
        {" change  x<y>&z\"'\n  errorCode=-1", " change  x<y>&z\"'\n ", "-1"},
    };
    for (const auto &[msg, print, code] : texts) {
        std::string reply = SvCMDtoXml(msg);
        EXPECT_EQ(AnalysisXml(CliCMDtoXml("disk_info", msg), "agrs"), msg);
        EXPECT_EQ(AnalysisXml(reply, "print_data") + "|" + AnalysisXml(reply, "error_code"), print + "|" + code);
    }
    EXPECT_EQ(CliCMDtoXml("x", std::string(0x100001, 'a')) + SvCMDtoXml(""), "") << "too long, and empty";
    EXPECT_NE(CliCMDtoXml("x", std::string(0x100000, 'a')), "");
    for (const char *bad : {"<req", "<req><cmd>a</req>", "<a><b></b></a>"}) EXPECT_EQ(AnalysisXml(bad, "agrs"), "") << bad;
}
