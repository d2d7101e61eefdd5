// The user role's data agent through its socket: every dma_* message and the
// rebind request are recorded, bad ones refused without losing anything, the
// latest state per disk reaches the Prometheus textfile (which passes
// promtool), and nothing is written through links a local user planted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "agent_options.h"
#include "agent_test_util.h"
#include "prom_textfile.h"

namespace {

using namespace agent_test;

using Message = std::pair<const char *, const char *>;  // method, params

TEST(AgentDataAgent, RecordsEveryMessageRefusesBadOnesAndPublishesTheLatestState)
{
    TempDir dir;
    AgentProcess agent({"--role", "user", "--record", dir.Join("dma.jsonl"), "--prom-dir", dir.Path()}, dir.Join("u.sock"));
    ASSERT_TRUE(agent.WaitReady());
    const size_t good = 9;  // the first nine are taken, the others refused
    const Message sent[] = {
        {"dma_set_disk_info_inner", R"({"sn":"SN-A","disk_state":0,"disk_capacity":960197124096,"vendor":"ATA","model":"KSSD-SA960","device_name":"sda","disk_type":2})"},
        {"dma_set_disk_info_inner", R"({"sn":"SN-B","disk_state":0,"disk_capacity":1.6e12,"vendor":"KORVAN","model":"KV \"quoted\" \\ model\nx","device_name":"sdd","disk_type":1})"},
        {"dma_set_disk_handle_strategy", R"({"sn":"SN-A","disk_handle_strategy":"No action required"})"},
        {"dma_set_disk_state", R"({"sn":"SN-A","disk_state":3})"},
        {"dma_set_disk_handle_strategy", R"({"sn":"SN-A","disk_handle_strategy":"Migrate data and replace the hard disk"})"},
        {"dma_poweroff_disk", R"({"sn":"SN-B"})"},
        {"dca_rebind_nvme2uio", R"({"pci_address":"0000:3b:00.0"})"},
        // Awkward labels, the first type past the six known ones, and a disk
        // never given a state.
        {"dma_set_disk_info_inner", R"({"sn":"S C \"1\"","disk_state":2,"disk_capacity":1.8446744073709552e19,"vendor":"","model":"m","device_name":"sdc","disk_type":6})"},
        {"dma_poweroff_disk", R"({"sn":"ONLY-POWEROFF"})"},
        {"dma_set_disk_state", R"({"sn":"SN-A"})"},
        {"dma_set_disk_state", R"({"sn":"SN-A","disk_state":"4"})"},
        {"dma_set_disk_info_inner", R"({"sn":"SN-A","disk_state":0})"},
        {"dma_set_disk_handle_strategy", R"({"sn":"SN-A","disk_handle_strategy":2})"},
        {"dma_poweroff_disk", R"({"sn":12})"},
        {"dma_poweroff_disk", ""},
        {"dca_rebind_nvme2uio", R"({"pci":"0000:3b:00.0"})"},
    };
    std::string prom;  // as published by the last good message
    for (size_t i = 0; i < std::size(sent); ++i) {
        JsonPtr answer = Call(agent.socket(), sent[i].first, sent[i].second);
        const cJSON *code = Member(Member(answer.get(), "error"), "code");
        EXPECT_EQ(code != nullptr ? code->valueint : 0, i < good ? 0 : -32602) << sent[i].first << sent[i].second;
        EXPECT_EQ(DaemonTakesEnvelope(answer.get()), i < good) << sent[i].first;
        prom = i + 1 == good ? ReadFileText(dir.Join("spindlekeep.prom")) : prom;
    }
    std::istringstream record(ReadFileText(dir.Join("dma.jsonl")));
    size_t i = 0;
    for (std::string text; std::getline(record, text); ++i) {
        JsonPtr line = ParseJson(text);
        ASSERT_LT(i, std::size(sent));
        ASSERT_NE(line, nullptr) << "record line " << i << " is not JSON";
        EXPECT_STREQ(Member(line.get(), "method")->valuestring, sent[i].first);
        EXPECT_TRUE(cJSON_IsNumber(Member(line.get(), "time")));
        EXPECT_EQ(cJSON_IsTrue(Member(line.get(), "accepted")), i < good) << i;
        EXPECT_TRUE(i < good ? cJSON_Compare(Member(line.get(), "params"), ParseJson(sent[i].second).get(), true)
                                        : cJSON_IsString(Member(line.get(), "error"))) << i;
    }
    EXPECT_EQ(i, std::size(sent));
    for (const char *sample : {
             R"(spindlekeep_disk_info{sn="SN-A",device="sda",vendor="ATA",model="KSSD-SA960",disk_type="SSD_SATA"} 1)",
             R"(spindlekeep_disk_info{sn="SN-B",device="sdd",vendor="KORVAN",model="KV \"quoted\" \\ model\nx",disk_type="SSD_SAS"} 1)",
             R"(spindlekeep_disk_capacity{sn="SN-A"} 960197124096)",
             R"(spindlekeep_disk_state{sn="SN-A"} 3)",
             R"(spindlekeep_disk_handle_strategy{sn="SN-A",strategy="Migrate data and replace the hard disk"} 1)",
             R"(spindlekeep_disk_powered_off{sn="SN-B"} 1)",
             R"(spindlekeep_disk_info{sn="S C \"1\"",device="sdc",vendor="",model="m",disk_type="unknown"} 1)",
             R"(spindlekeep_dma_messages_total{method="dma_set_disk_info_inner"} 3)"}) {
        EXPECT_NE(prom.find(std::string(sample) + "\n"), std::string::npos) << sample << "\nin:\n" << prom;
    }
    // The bad messages are counted and change no disk's state.
    std::string last = ReadFileText(dir.Join("spindlekeep.prom"));
    EXPECT_NE(last.find("spindlekeep_dma_rejected_messages_total{method=\"dma_set_disk_state\"} 2\n"), std::string::npos);
    EXPECT_NE(last.find("spindlekeep_disk_state{sn=\"SN-A\"} 3\n"), std::string::npos) << last;
    EXPECT_EQ(prom.find("No action required"), std::string::npos) << "only the latest strategy is kept";
    EXPECT_EQ(prom.find("spindlekeep_disk_state{sn=\"ONLY-POWEROFF\"}"), std::string::npos) << "a state is invented";
    EXPECT_FALSE(std::filesystem::exists(dir.Join(".spindlekeep.prom.tmp")));
    // The user agent is also a disk agent.
    EXPECT_TRUE(DaemonTakesEnvelope(Call(agent.socket(), "dca_get_disks_brief_info").get()));
    if (system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    }
    EXPECT_EQ(system(("promtool check metrics < " + dir.Join("spindlekeep.prom")).c_str()), 0);
}

// Links a local user planted where the agent, run as root, writes: the
// textfile's temporary and the record file must not be opened through them,
// a directory others may write to is refused, and the defaults live in no
// world-writable place.
TEST(AgentDataAgent, PlantedLinksAndForeignDirectoriesAreRefused)
{
    TempDir dir;
    std::string victim = dir.Join("victim");
    WriteFileText(victim, "root's own\n");
    ASSERT_EQ(symlink(victim.c_str(), dir.Join(".spindlekeep.prom.tmp").c_str()), 0);
    EXPECT_EQ(PromWriteAtomic(dir.Path(), "x 1\n"), 0);
    EXPECT_EQ(ReadFileText(dir.Join("spindlekeep.prom")), "x 1\n");
    ASSERT_EQ(symlink(victim.c_str(), dir.Join("dma.jsonl").c_str()), 0);
    {
        AgentProcess agent({"--role", "user", "--record", dir.Join("dma.jsonl"), "--prom-dir", "none"}, dir.Join("u.sock"));
        ASSERT_TRUE(agent.WaitReady());
        EXPECT_NE(Call(agent.socket(), "dma_poweroff_disk", R"({"sn":"SN-A"})"), nullptr);
    }
    EXPECT_EQ(ReadFileText(victim), "root's own\n");
    std::string open = dir.Join("open");
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 01777), 0);
    EXPECT_EQ(AgentProcess({"--role", "user", "--record", "none", "--prom-dir", open}, dir.Join("v.sock")).WaitExit(5.0), 1);
    EXPECT_EQ(AgentProcess({"--role", "user", "--record", open + "/dma.jsonl", "--prom-dir", "none"}, dir.Join("w.sock")).WaitExit(5.0), 1);
    AgentOptions defaults;
    for (const std::string &path : {defaults.promDir, defaults.recordPath.substr(0, defaults.recordPath.rfind('/'))}) {
        EXPECT_EQ(StatFile(path.substr(0, path.rfind('/'))).st_mode & (S_IFDIR | S_IWOTH), +S_IFDIR)
            << path << "'s parent is missing or world-writable";
    }
}

}  // namespace
