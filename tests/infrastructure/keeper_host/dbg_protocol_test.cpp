#include "infrastructure/keeper_host/dbg_protocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

std::vector<uint8_t> Encode(const std::vector<std::string> &args)
{
    std::vector<const char *> argv;
    for (const auto &a : args) {
        argv.push_back(a.c_str());
    }
    std::vector<uint8_t> buf(DBG_HEADER_SIZE + DBG_MAX_PAYLOAD);
    buf.resize(DbgRequestEncode(static_cast<int>(argv.size()), argv.data(), buf.data(), buf.size()));
    return buf;
}

TEST(DbgProtocol, RequestsRoundTripWithinTheLimits)
{
    std::vector<std::vector<std::string>> cases = {
        {}, {"drm"}, {"u_drm_slow_disk", "showdiskinzone", "2"}, {"spindlekeep", "", "x"},
        {"g", std::string(DBG_MAX_ARG_LEN, 'a')}, std::vector<std::string>(DBG_MAX_ARGS, "w")};
    for (const auto &args : cases) {
        std::vector<uint8_t> frame = Encode(args);
        DbgArgs out;
        ASSERT_EQ(DbgRequestParse(frame.data(), frame.size(), &out), DBG_STATUS_OK);
        ASSERT_EQ(out.argc, static_cast<int>(args.size()));
        EXPECT_EQ(std::vector<std::string>(out.argv, out.argv + out.argc), args);
        EXPECT_EQ(out.argv[args.size()], nullptr);
    }
    // The encoder refuses what the agent would refuse.
    EXPECT_TRUE(Encode({"g", std::string(DBG_MAX_ARG_LEN + 1, 'a')}).empty());
    EXPECT_TRUE(Encode(std::vector<std::string>(DBG_MAX_ARGS + 1, "w")).empty());
    uint8_t small[DBG_HEADER_SIZE + 6];  // exactly the frame, then one byte short
    const char *argv[] = {"abcd"};
    EXPECT_EQ(DbgRequestEncode(1, argv, small, sizeof(small)), sizeof(small));
    EXPECT_EQ(DbgRequestEncode(1, argv, small, sizeof(small) - 1), 0u);
    EXPECT_EQ(DbgRequestEncode(-1, argv, small, sizeof(small)), 0u);
}

// Every row changes one thing in a good frame ("grp", "cmd").
TEST(DbgProtocol, MalformedAndOversizedRequestsAreClassified)
{
    const std::vector<uint8_t> good = Encode({"grp", "cmd"});
    auto set = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> f = good;
        f[at] = value;
        return f;
    };
    std::vector<uint8_t> longArg = set(DBG_HEADER_SIZE, 0x01);  // 257 bytes: above the cap
    longArg[DBG_HEADER_SIZE + 1] = 0x01;
    std::vector<uint8_t> trailing = good;
    trailing.push_back('x');
    const std::tuple<const char *, std::vector<uint8_t>, int32_t> cases[] = {
        {"bad magic", set(0, 'X'), DBG_STATUS_MALFORMED},
        {"bad version", set(4, 9), DBG_STATUS_MALFORMED},
        {"argc above the cap", set(6, DBG_MAX_ARGS + 1), DBG_STATUS_TOO_LONG},
        {"argc larger than the payload holds", set(6, 3), DBG_STATUS_MALFORMED},
        {"argc smaller than the payload holds", set(6, 1), DBG_STATUS_MALFORMED},
        {"payload length above the cap", set(11, 0x7f), DBG_STATUS_TOO_LONG},
        {"argument length beyond the payload", set(DBG_HEADER_SIZE, 200), DBG_STATUS_MALFORMED},
        {"NUL inside an argument", set(DBG_HEADER_SIZE + 3, 0), DBG_STATUS_MALFORMED},
        {"argument above the cap", longArg, DBG_STATUS_TOO_LONG},
        {"truncated header", {good.begin(), good.begin() + 5}, DBG_STATUS_MALFORMED},
        {"truncated payload", {good.begin(), good.end() - 1}, DBG_STATUS_MALFORMED},
        {"trailing byte", trailing, DBG_STATUS_MALFORMED},
    };
    for (const auto &[what, frame, want] : cases) {
        DbgArgs out;
        EXPECT_EQ(DbgRequestParse(frame.data(), frame.size(), &out), want) << what;
        EXPECT_EQ(out.argc, 0) << what;
    }
}

TEST(DbgProtocol, ReplyHeaderRoundTripAndOutputCap)
{
    uint8_t h[DBG_HEADER_SIZE];
    int32_t status = -1;
    uint32_t len = 0;
    for (uint32_t n : {1234u, DBG_MAX_OUTPUT, DBG_MAX_OUTPUT + 1}) {
        DbgReplyEncodeHeader(h, DBG_STATUS_UNKNOWN_GROUP, n);
        EXPECT_EQ(DbgReplyParseHeader(h, &status, &len), n <= DBG_MAX_OUTPUT);
        EXPECT_EQ(std::make_pair(status, len),
                  std::make_pair(int32_t{DBG_STATUS_UNKNOWN_GROUP}, n));
    }
    h[0] ^= 1;
    EXPECT_FALSE(DbgReplyParseHeader(h, &status, &len));
    EXPECT_STREQ(DbgStatusText(99), "unknown status");
    EXPECT_STRNE(DbgStatusText(DBG_STATUS_DENIED), "unknown status");
}

TEST(DbgProtocol, SocketPathBelowThePrefix)
{
    char buf[128];
    ASSERT_EQ(DbgSocketPathFor("/opt/spindlekeep", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/opt/spindlekeep/config/spindlekeep_diag.sock");
    EXPECT_EQ(DbgSocketPathFor(std::string(100, 'p').c_str(), buf, sizeof(buf)), -ENAMETOOLONG);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(DbgSocketPathFor(nullptr, buf, sizeof(buf)), -ENAMETOOLONG);
}

}  // namespace
