// Framing and XML of the CLI: what goes on the wire, what a receiver accepts,
// and the documents on both sides.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/common/cli_codes.h"
#include "cli/common/cli_packet.h"
#include "cli/common/cli_xml.h"

using namespace SPINDLEKEEP_CLI;

namespace {

constexpr uint32_t kMiB = 1048576;

struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair()
    {
        close(fd[0]);
        close(fd[1]);
    }
    int fd[2] = {-1, -1};
};

std::string ReadAll(int fd)
{
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// One packet as a sender writes it.
std::string Packet(uint8_t num, uint8_t idx, uint32_t total, const char *user, const char *action,
                   const std::string &data)
{
    CliPacketHead h = {};
    h.packetNum = num;
    h.packetIndex = idx;
    h.totalLen = total;
    memcpy(h.username, user, std::min(strlen(user), sizeof(h.username)));
    memcpy(h.actionName, action, std::min(strlen(action), sizeof(h.actionName)));
    return std::string(reinterpret_cast<const char *>(&h), sizeof(h)) + data + std::string(2, '\0');
}

// A whole body (message head, text, NUL) in one packet.
std::string Message(const std::string &text, const char *user = "root", const char *action = "show")
{
    std::string body(CLI_MSG_HEAD_LEN, '\0');
    body[2] = 1;
    body += text + '\0';
    return Packet(1, 0, static_cast<uint32_t>(body.size()), user, action, body);
}

int32_t Recv(int fd, std::string *text, CliPacketCheck check = nullptr, uint32_t limitMs = 0)
{
    char user[CLI_USER_NAME_LEN] = {};
    char action[CLI_ACTION_NAME_LEN] = {};
    return CliRecvMessage(fd, text, user, action, check, nullptr, limitMs);
}

int32_t Receive(const std::string &stream, std::string *text, CliPacketCheck check = nullptr)
{
    Pair p;
    std::thread writer([&] {
        (void)!send(p.fd[0], stream.data(), stream.size(), MSG_NOSIGNAL);
        shutdown(p.fd[0], SHUT_WR);
    });
    int32_t ret = Recv(p.fd[1], text, check);
    shutdown(p.fd[1], SHUT_RD);
    writer.join();
    return ret;
}

int32_t Refuse(void *, int, const char *, const char *) { return CLI_USER_PERMISSION_ERROR; }

}  // namespace

// Body sizes around the packet size: packet count and the data length of
// each packet as sent, and the text read back whole.
TEST(CliFraming, SplitsBodiesAtOneMebibyte)
{
    struct Case {
        uint32_t body;
        std::vector<uint32_t> packets;
    };
    const Case cases[] = {
        {CLI_MSG_HEAD_LEN + 2, {CLI_MSG_HEAD_LEN + 2}},
        {kMiB, {kMiB}},
        {kMiB + 1, {kMiB, 1}},
        {2 * kMiB + 7, {kMiB, kMiB, 7}},
    };
    for (const Case &c : cases) {
        std::string text(c.body - CLI_MSG_HEAD_LEN - 1, 'x');
        text[0] = 'a';
        Pair p;
        std::thread sender([&] {
            EXPECT_EQ(CliSendString(text, p.fd[0], "root", "show"), CLI_OK);
            shutdown(p.fd[0], SHUT_WR);
        });
        std::string wire = ReadAll(p.fd[1]);
        sender.join();
        size_t off = 0;
        for (size_t i = 0; i < c.packets.size(); ++i) {
            ASSERT_LE(off + sizeof(CliPacketHead), wire.size()) << c.body;
            CliPacketHead h;
            memcpy(&h, wire.data() + off, sizeof(h));
            EXPECT_EQ(h.packetNum, c.packets.size()) << c.body;
            EXPECT_EQ(h.packetIndex, i) << c.body;
            EXPECT_EQ(h.totalLen, c.body);
            EXPECT_STREQ(h.actionName, "show");
            off += sizeof(h) + c.packets[i] + CLI_PACKET_TRAILER_LEN;
        }
        EXPECT_EQ(off, wire.size()) << c.body;
        std::string back;
        EXPECT_EQ(Receive(wire, &back), CLI_OK) << c.body;
        EXPECT_EQ(back, text) << c.body;
    }
}

TEST(CliFraming, RefusesBrokenStreams)
{
    std::string body(CLI_MSG_HEAD_LEN + 2 * kMiB, 'b');
    const std::string half = body.substr(0, kMiB);
    const uint32_t total = static_cast<uint32_t>(body.size());
    std::string over;  // a whole, well-formed message one byte over the limit
    for (uint32_t i = 0; i < 33; ++i) {
        over += Packet(33, static_cast<uint8_t>(i), CLI_MSG_MAX + 1, "root", "show",
                       i < 32 ? half : std::string(1, 'b'));
    }
    const std::tuple<const char *, std::string, int32_t> cases[] = {
        {"nothing at all", "", CLI_RECV_TRANSMISSION_ERROR},
        {"half a header", Message("abc").substr(0, 20), CLI_RECV_TRANSMISSION_ERROR},
        {"data cut short", Message("abcdef").substr(0, 70), CLI_RECV_TRANSMISSION_ERROR},
        {"more than 32 MiB announced, and sent", over, CLI_RECV_TRANSMISSION_ERROR},
        {"empty body announced", Packet(1, 0, 0, "root", "show", ""), CLI_RECV_TRANSMISSION_ERROR},
        {"empty body in no packets", Packet(0, 0, 0, "root", "show", ""), CLI_RECV_TRANSMISSION_ERROR},
        {"packet count not matching the length", Packet(1, 0, total, "root", "show", half),
         CLI_RECV_TRANSMISSION_ERROR},
        {"packet index skipped",
         Packet(3, 0, total, "root", "show", half) + Packet(3, 2, total, "root", "show", half),
         CLI_RECV_TRANSMISSION_ERROR},
        {"user switched mid-message",
         Packet(3, 0, total, "root", "show", half) + Packet(3, 1, total, "mallory", "show", half),
         CLI_USER_PERMISSION_ERROR},
        {"action switched mid-message",
         Packet(3, 0, total, "root", "show", half) + Packet(3, 1, total, "root", "change", half),
         CLI_USER_PERMISSION_ERROR},
        {"unterminated user name", Message("abc", "0123456789012345678901234567890123"),
         CLI_USER_PERMISSION_ERROR},
    };
    for (const auto &[what, stream, code] : cases) {
        std::string text = "untouched";
        EXPECT_EQ(Receive(stream, &text), code) << what;
        EXPECT_EQ(text, "") << what;
    }
    std::string text;
    EXPECT_EQ(Receive(Message("abc"), &text, Refuse), CLI_USER_PERMISSION_ERROR);
    EXPECT_EQ(Receive(Packet(1, 0, 30, "root", "show", std::string(30, 'a')), &text), CLI_OK);
    EXPECT_EQ(text, "") << "a body without room for text past the message head";
}

TEST(CliFraming, RefusesRepliesOver32MiB)
{
    // Body = text + 41 bytes: the largest text sent is 32 MiB - 41 bytes.
    for (uint32_t len : {CLI_MSG_MAX - CLI_MSG_HEAD_LEN, CLI_MSG_MAX - CLI_MSG_HEAD_LEN - 1}) {
        std::string text(len, 'r');
        Pair p;
        std::string got;
        std::thread reader([&] { (void)Recv(p.fd[1], &got); });
        int32_t ret = CliSendString(text, p.fd[0], "root", "show");
        shutdown(p.fd[0], SHUT_WR);
        reader.join();
        bool fits = len < CLI_MSG_MAX - CLI_MSG_HEAD_LEN;
        EXPECT_EQ(ret, fits ? CLI_OK : CLI_SEND_DATA_EXCEED) << len;
        EXPECT_EQ(got.size(), fits ? len : 0u) << len;
    }
}

TEST(CliXml, RequestCarriesCommandAndArgumentsWhole)
{
    const std::string args[] = {"change  config   a=b ", "x<y>&z\"'\nline2"};
    for (const std::string &a : args) {
        std::string xml = CliCMDtoXml("disk_info", a);
        ASSERT_NE(xml, "") << a;
        EXPECT_EQ(xml.rfind("<req>", 0), 0u) << "no declaration before the top element: " << xml;
        EXPECT_EQ(AnalysisXml(xml, "agrs"), a);
        EXPECT_EQ(AnalysisXml(xml, "cmd"), "disk_info");
    }
    EXPECT_EQ(CliCMDtoXml("x", std::string(0x100001, 'a')), "");
    EXPECT_NE(CliCMDtoXml("x", std::string(0x100000, 'a')), "");
}

TEST(CliXml, ReplySplitsTextAndCode)
{
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"abc errorCode=0", "abc", "0"},
        {"abc", "abc", ""},
        {"a errorCode=1 errorCode=2", "a", "1 errorCode=2"},
        {"Vendor  : <A&B>\nModel : x\n errorCode=-1", "Vendor  : <A&B>\nModel : x\n", "-1"},
    };
    for (const auto &[msg, print, code] : cases) {
        std::string xml = SvCMDtoXml(msg);
        EXPECT_EQ(xml.rfind("<response><error_code", 0), 0u) << xml;
        EXPECT_EQ(AnalysisXml(xml, "print_data"), print) << msg;
        EXPECT_EQ(AnalysisXml(xml, "error_code"), code) << msg;
    }
    EXPECT_EQ(SvCMDtoXml(""), "");
    for (const char *bad : {"<req", "<req><cmd>a</req>", "<a><b></b></a>"}) {
        EXPECT_EQ(AnalysisXml(bad, "agrs"), "") << bad;
    }
}
