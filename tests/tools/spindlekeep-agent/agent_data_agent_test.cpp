// The user role's data agent through its socket: every dma_* message and the
// rebind request are recorded, the latest state per disk reaches the
// Prometheus textfile, the textfile passes promtool, and bad messages are
// refused without losing anything.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "agent_test_util.h"
#include "agent_options.h"
#include "prom_textfile.h"

namespace {

using namespace agent_test;

std::vector<JsonPtr> RecordLines(const std::string &path)
{
    std::vector<JsonPtr> lines;
    std::istringstream in(ReadFileText(path));
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(ParseJson(line));
    }
    return lines;
}

bool HavePromtool() { return system("command -v promtool >/dev/null 2>&1") == 0; }

// promtool's verdict on a textfile: "" when it passes.
std::string Promtool(const std::string &file)
{
    std::string out = file + ".promtool";
    int rc = system(("promtool check metrics < " + file + " > " + out + " 2>&1").c_str());
    return rc == 0 ? "" : ReadFileText(out) + "(exit " + std::to_string(rc) + ")";
}

class AgentDataAgent : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(agent_.WaitReady()); }
    JsonPtr Send(const std::string &method, const std::string &params) { return Call(agent_.socket(), method, params); }

    TempDir dir_;
    AgentProcess agent_{{"--role", "user", "--record", dir_.Join("dma.jsonl"), "--prom-dir", dir_.Path()},
                        dir_.Join("u.sock")};
    const std::string prom_ = dir_.Join("spindlekeep.prom");
};

TEST_F(AgentDataAgent, RecordsEveryMessageAndPublishesTheLatestState)
{
    struct Message {
        const char *method;
        const char *params;
    } messages[] = {
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
    };
    for (const Message &m : messages) {
        EXPECT_TRUE(DaemonTakesEnvelope(Send(m.method, m.params).get())) << m.method;
    }
    std::vector<JsonPtr> lines = RecordLines(dir_.Join("dma.jsonl"));
    ASSERT_EQ(lines.size(), std::size(messages));
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_NE(lines[i], nullptr) << "record line " << i << " is not JSON";
        EXPECT_STREQ(Member(lines[i].get(), "method")->valuestring, messages[i].method);
        EXPECT_TRUE(cJSON_IsTrue(Member(lines[i].get(), "accepted")));
        EXPECT_TRUE(cJSON_IsNumber(Member(lines[i].get(), "time")));
        EXPECT_TRUE(cJSON_Compare(Member(lines[i].get(), "params"), ParseJson(messages[i].params).get(), true)) << i;
    }
    std::string prom = ReadFileText(prom_);
    const char *samples[] = {
        R"(spindlekeep_disk_info{sn="SN-A",device="sda",vendor="ATA",model="KSSD-SA960",disk_type="SSD_SATA"} 1)",
        R"(spindlekeep_disk_info{sn="SN-B",device="sdd",vendor="KORVAN",model="KV \"quoted\" \\ model\nx",disk_type="SSD_SAS"} 1)",
        R"(spindlekeep_disk_capacity{sn="SN-A"} 960197124096)",
        R"(spindlekeep_disk_state{sn="SN-A"} 3)",
        R"(spindlekeep_disk_state{sn="SN-B"} 0)",
        R"(spindlekeep_disk_handle_strategy{sn="SN-A",strategy="Migrate data and replace the hard disk"} 1)",
        R"(spindlekeep_disk_powered_off{sn="SN-A"} 0)",
        R"(spindlekeep_disk_powered_off{sn="SN-B"} 1)",
        R"(spindlekeep_disk_info{sn="S C \"1\"",device="sdc",vendor="",model="m",disk_type="unknown"} 1)",
        R"(spindlekeep_dma_messages_total{method="dma_set_disk_info_inner"} 3)",
        R"(spindlekeep_dma_messages_total{method="dca_rebind_nvme2uio"} 1)",
    };
    for (const char *sample : samples) {
        EXPECT_NE(prom.find(std::string(sample) + "\n"), std::string::npos) << sample << "\nin:\n" << prom;
    }
    EXPECT_EQ(prom.find("No action required"), std::string::npos) << "only the latest strategy is kept";
    EXPECT_EQ(prom.find("spindlekeep_disk_state{sn=\"ONLY-POWEROFF\"}"), std::string::npos) << "a state is invented";
    EXPECT_FALSE(std::filesystem::exists(dir_.Join(".spindlekeep.prom.tmp")));
    if (!HavePromtool()) {
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    }
    EXPECT_EQ(Promtool(prom_), "");
}

TEST_F(AgentDataAgent, BadMessagesAreRefusedRecordedAndHarmless)
{
    ASSERT_NE(Send("dma_set_disk_state", R"({"sn":"SN-A","disk_state":4})"), nullptr);
    struct Case {
        const char *method;
        const char *params;
    } cases[] = {
        {"dma_set_disk_state", R"({"sn":"SN-A"})"},
        {"dma_set_disk_state", R"({"sn":"SN-A","disk_state":"4"})"},
        {"dma_set_disk_info_inner", R"({"sn":"SN-A","disk_state":0})"},
        {"dma_set_disk_handle_strategy", R"({"sn":"SN-A","disk_handle_strategy":2})"},
        {"dma_poweroff_disk", R"({"sn":12})"},
        {"dma_poweroff_disk", ""},
        {"dca_rebind_nvme2uio", R"({"pci":"0000:3b:00.0"})"},
    };
    for (const Case &c : cases) {
        JsonPtr answer = Send(c.method, c.params);
        const cJSON *code = Member(Member(answer.get(), "error"), "code");
        EXPECT_EQ(code != nullptr ? code->valueint : 0, -32602) << c.method << c.params;
    }
    std::vector<JsonPtr> lines = RecordLines(dir_.Join("dma.jsonl"));
    ASSERT_EQ(lines.size(), 1 + std::size(cases));
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(cJSON_IsFalse(Member(lines[i].get(), "accepted"))) << i;
        EXPECT_TRUE(cJSON_IsString(Member(lines[i].get(), "error"))) << i;
    }
    std::string prom = ReadFileText(prom_);
    EXPECT_NE(prom.find("spindlekeep_disk_state{sn=\"SN-A\"} 4\n"), std::string::npos) << prom;
    EXPECT_NE(prom.find("spindlekeep_dma_rejected_messages_total{method=\"dma_set_disk_state\"} 2\n"),
              std::string::npos);
    EXPECT_EQ(prom.find("spindlekeep_disk_powered_off{sn=\"SN-A\"} 1"), std::string::npos);
    // The user agent is also a disk agent.
    EXPECT_TRUE(DaemonTakesEnvelope(Call(agent_.socket(), "dca_get_disks_brief_info").get()));
    if (HavePromtool()) {
        EXPECT_EQ(Promtool(prom_), "");
    }
}

// Links a local user planted where the agent, run as root, writes: the
// textfile's temporary and the record file must not be opened through them,
// a directory others may write to is refused, and the defaults live in no
// world-writable place.
TEST(AgentOutputs, PlantedLinksAndForeignDirectoriesAreRefused)
{
    TempDir dir;
    std::string victim = dir.Join("victim");
    WriteFileText(victim, "root's own\n");
    ASSERT_EQ(symlink(victim.c_str(), dir.Join(".spindlekeep.prom.tmp").c_str()), 0);
    EXPECT_EQ(PromWriteAtomic(dir.Path(), "x 1\n"), 0);
    EXPECT_EQ(ReadFileText(dir.Join("spindlekeep.prom")), "x 1\n");

    ASSERT_EQ(symlink(victim.c_str(), dir.Join("dma.jsonl").c_str()), 0);
    {
        AgentProcess agent({"--role", "user", "--record", dir.Join("dma.jsonl"), "--prom-dir", "none"},
                           dir.Join("u.sock"));
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
        struct stat st {};
        std::string parent = path.substr(0, path.rfind('/'));
        ASSERT_EQ(stat(parent.c_str(), &st), 0) << parent;
        EXPECT_EQ(st.st_mode & S_IWOTH, 0u) << parent << " is world-writable";
    }
}

TEST(AgentPromText, WriteFailureIsReported) { EXPECT_NE(PromWriteAtomic("/nonexistent/spindlekeep", "x 1\n"), 0); }

}  // namespace
