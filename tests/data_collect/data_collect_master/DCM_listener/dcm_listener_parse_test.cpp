#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "data_collect/data_collect_master/DCM_listener/dcm_listener.h"

namespace {

// A kernel-style event: header, then NUL-terminated key=value entries.
std::string Event(std::initializer_list<std::string> entries)
{
    std::string msg = "add@/devices/x";
    msg.push_back('\0');
    for (const std::string &e : entries) {
        msg += e;
        msg.push_back('\0');
    }
    return msg;
}

std::string WithoutLastNul(std::string msg)
{
    msg.pop_back();
    return msg;
}

// Parses from a heap block of exactly the message's size, so that a read past
// the received bytes is caught by the sanitizer build.
int Parse(const std::string &msg, HotPlugEvent *ev)
{
    std::unique_ptr<char[]> exact(new char[msg.size() + 1]);
    msg.copy(exact.get(), msg.size());
    *ev = HotPlugEvent{};
    return HotPlugEventParse(msg.empty() ? nullptr : exact.get(), msg.size(), ev);
}

const std::string kCtrlPath = "DEVPATH=/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/nvme/nvme2";

struct EventCase {
    const char *name;
    std::string msg;
    int parsed;       // HotPlugEventParse result
    const char *pci;  // null: not an NVMe controller arrival
};

TEST(HotPlugEventTest, OnlyAnNvmeControllerAddNamesAPciAddress)
{
    const EventCase cases[] = {
        {"controller add", Event({"ACTION=add", kCtrlPath, "SUBSYSTEM=nvme"}), 0, "0000:3b:00.0"},
        {"keys in any order", Event({"SUBSYSTEM=nvme", "ACTION=add", kCtrlPath}), 0, "0000:3b:00.0"},
        {"namespace add of subsystem block",
         Event({"ACTION=add", kCtrlPath + "/nvme2n1", "SUBSYSTEM=block"}), 0, nullptr},
        {"controller remove", Event({"ACTION=remove", kCtrlPath, "SUBSYSTEM=nvme"}), 0, nullptr},
        {"action with a suffix", Event({"ACTION=added", kCtrlPath, "SUBSYSTEM=nvme"}), 0, nullptr},
        {"subsystem with a suffix", Event({"ACTION=add", kCtrlPath, "SUBSYSTEM=nvme-subsystem"}), 0,
         nullptr},
        {"no /nvme in the path", Event({"ACTION=add", "DEVPATH=/devices/virtual/misc/x", "SUBSYSTEM=nvme"}),
         0, nullptr},
        {"nothing in front of /nvme", Event({"ACTION=add", "DEVPATH=/nvme/nvme0", "SUBSYSTEM=nvme"}), 0,
         nullptr},
        {"no action", Event({kCtrlPath, "SUBSYSTEM=nvme"}), -1, nullptr},
        {"no device path", Event({"ACTION=add", "SUBSYSTEM=nvme"}), -1, nullptr},
        {"no subsystem", Event({"ACTION=add", kCtrlPath}), -1, nullptr},
        {"key is the last byte", std::string("ACTION=addDEVPATH=/a/b/nvme/nSUBSYSTEM="), -1, nullptr},
        {"value ends the datagram", WithoutLastNul(Event({"ACTION=add", kCtrlPath, "SUBSYSTEM=nvme"})), 0,
         "0000:3b:00.0"},
        {"nine bytes", std::string("ACTION=ad"), -1, nullptr},
        {"empty", std::string(), -1, nullptr},
        {"only NULs", std::string(64, '\0'), -1, nullptr},
    };
    for (const EventCase &c : cases) {
        HotPlugEvent ev;
        EXPECT_EQ(Parse(c.msg, &ev), c.parsed) << c.name;
        char pci[HOT_PLUG_FIELD_LEN] = {};
        bool nvme = c.parsed == 0 && HotPlugEventNvmePci(&ev, pci, sizeof(pci));
        EXPECT_EQ(nvme, c.pci != nullptr) << c.name;
        if (c.pci != nullptr) {
            EXPECT_STREQ(pci, c.pci) << c.name;
        }
    }
}

// Every field holds at most 79 characters; the cut applies before the
// "/nvme" search, so a controller path longer than that is not recognised.
TEST(HotPlugEventTest, FieldValuesAreCutAt79Characters)
{
    for (size_t len : {78u, 79u, 80u, 200u}) {
        std::string value(len, 'v');
        HotPlugEvent ev;
        ASSERT_EQ(Parse(Event({"ACTION=" + value, "DEVPATH=" + value, "SUBSYSTEM=" + value}), &ev), 0);
        std::string expected = value.substr(0, 79);
        EXPECT_EQ(ev.action, expected) << len;
        EXPECT_EQ(ev.devPath, expected) << len;
        EXPECT_EQ(ev.subsystem, expected) << len;
    }
    std::string deep = "DEVPATH=/devices/" + std::string(60, 'p') + "/0000:3b:00.0/nvme/nvme2";
    HotPlugEvent ev;
    ASSERT_EQ(Parse(Event({"ACTION=add", deep, "SUBSYSTEM=nvme"}), &ev), 0);
    char pci[HOT_PLUG_FIELD_LEN] = {};
    EXPECT_FALSE(HotPlugEventNvmePci(&ev, pci, sizeof(pci))) << ev.devPath;
}

}  // namespace
