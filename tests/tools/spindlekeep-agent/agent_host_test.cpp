// Host mode. A fake sysfs tree (with a fake smartctl replaying recorded
// outputs) pins the classification of NVMe, SATA, SAS and virtio disks; the
// machine's own /sys and /proc/diskstats, whatever they hold (on a build VM
// usually only a virtio disk), pin that real disks are listed and counted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "agent_test_util.h"
#include "host_source.h"

namespace {

using namespace agent_test;
namespace fs = std::filesystem;

void Put(const fs::path &path, const std::string &text)
{
    fs::create_directories(path.parent_path());
    WriteFile(path.string(), text + "\n");
}

void Link(const fs::path &target, const fs::path &link)
{
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

// sysfs as the kernel lays it out for each kind of disk.
void BuildFakeSysfs(const fs::path &root)
{
    fs::path pci = root / "devices/pci0000:00";
    fs::path ctrl = pci / "0000:3b:00.0/nvme/nvme0";
    Put(pci / "0000:3b:00.0/vendor", "0x1c7f");
    Put(ctrl / "serial", "NVSERIAL01   ");
    Put(ctrl / "model", "KV-NVMe3840");
    Put(ctrl / "firmware_rev", "N1.2");
    Link(pci / "0000:3b:00.0", ctrl / "device");
    Link(ctrl, root / "block/nvme0n1/device");
    Put(root / "block/nvme0n1/size", "7501476528");
    Put(root / "block/nvme0n1/queue/rotational", "0");
    Put(root / "block/nvme0n1/queue/logical_block_size", "4096");

    fs::path sata = pci / "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
    Put(sata / "vendor", "ATA     ");
    Put(sata / "model", "KSSD-SA960      ");
    Put(sata / "rev", "SA12");
    Put(sata / "type", "0");
    Put(sata / "scsi_level", "8");
    Put(sata / "queue_depth", "32");
    Link(sata, root / "block/sda/device");
    Put(root / "block/sda/size", "1875385008");
    Put(root / "block/sda/queue/rotational", "0");

    fs::path sas = pci / "0000:5e:00.0/host1/target1:0:0/1:0:0:0";
    Put(sas / "vendor", "SEAGATE ");
    Put(sas / "model", "ST4000NM0043    ");
    Put(sas / "rev", "MS03");
    Put(sas / "type", "0");
    Put(sas / "wwid", "naa.5000c500a1b2c3d4");
    Link(sas, root / "block/sdb/device");
    Put(root / "block/sdb/size", "7814037168");
    Put(root / "block/sdb/queue/rotational", "1");

    fs::path virtio = pci / "0000:00:02.0/virtio1";
    Put(virtio / "vendor", "0x1af4");
    Put(root / "bus/virtio/drivers/virtio_blk/bind", "");
    Link(root / "bus/virtio/drivers/virtio_blk", virtio / "driver");
    Link(virtio, root / "block/vda/device");
    Put(root / "block/vda/size", "536870912");
    Put(root / "block/vda/serial", "VIRT123");
    Put(root / "block/vda/queue/rotational", "1");

    Put(root / "block/loop0/size", "2048");  // no device behind it
    fs::path cd = pci / "0000:00:1f.2/ata2/host2/target2:0:0/2:0:0:0";
    Put(cd / "type", "5");
    Link(cd, root / "block/sr0/device");
    Put(root / "block/sr0/size", "2048");
    fs::path empty = pci / "0000:00:14.0/usb1/host3/target3:0:0/3:0:0:0";
    Put(empty / "type", "0");
    Put(empty / "vendor", "Generic");
    Link(empty, root / "block/sdc/device");
    Put(root / "block/sdc/size", "0");  // card reader without a card
}

const char kDiskstats[] =
    "   7       0 loop0 5 0 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
    " 259       0 nvme0n1 1000 5 2000 300 500 7 4000 200 3 450 500 0 0 0 0 0 0\n"
    "   8       0 sda 10 0 80 4 20 0 160 9 0 12 13\n"
    "   8      16 sdb 7 0 8 1 0 0 0 0 1 2 3\n"
    "malformed line\n"
    " 254       0 vda 1 2\n";

class AgentHostFake : public ::testing::Test {
  protected:
    void SetUp() override
    {
        BuildFakeSysfs(dir_.File("sys"));
        WriteFile(dir_.File("diskstats"), kDiskstats);
        std::string data = SPK_SMARTCTL_DATA;
        WriteFile(dir_.File("smartctl"),
                  "#!/bin/sh\nfor last; do :; done\ncase \"$last\" in\n"
                  "  */sda) cat " + data + "/smart-ata-full.json ;;\n"
                  "  */sdb) cat " + data + "/smart-scsi.json ;;\n"
                  "  */nvme0n1) cat " + data + "/smart-nvme-failed.json ;;\n"
                  "  *) echo 'Smartctl open device failed'; exit 2 ;;\n"
                  "esac\n");
        chmod(dir_.File("smartctl").c_str(), 0755);
    }
    HostOptions Options()
    {
        HostOptions options;
        options.sysfsRoot = dir_.File("sys");
        options.diskstatsPath = dir_.File("diskstats");
        options.devRoot = "/dev";
        options.smartctl = dir_.File("smartctl");
        return options;
    }
    TempDir dir_;
};

TEST_F(AgentHostFake, ClassifiesDisksFromSysfsAndSmartctl)
{
    HostSource source(Options());
    source.RefreshHealthNow();
    SourceSnapshot snap = source.Snapshot(AGENT_ROLE_KERNEL);
    ASSERT_EQ(snap.disks.size(), 4u) << "loop0, sr0 and the empty sdc are not disks";
    struct Case {
        const char *device;
        DiskType type;
        const char *vendor;
        const char *serial;
        const char *model;
        const char *pci;
        const char *media;
        bool classified;
    } cases[] = {
        {"nvme0n1", DiskType::kNvmeSsd, "0x1c7f", "NVSERIAL01", "KV-NVMe3840", "0000:3b:00.0", "TLC", true},
        {"sda", DiskType::kSataSsd, "ATA", "S3YZNB0KB00864E", "KSSD-SA960", "0000:00:17.0", "TLC", true},
        {"sdb", DiskType::kSasHdd, "SEAGATE", "Z1Z5DWJK0000XXXXXXXX", "ST4000NM0043", "0000:5e:00.0", "MAGNET", true},
        {"vda", DiskType::kSataHdd, "0x1af4", "VIRT123", "virtio_blk", "0000:00:02.0", "MAGNET", false},
    };
    for (size_t i = 0; i < 4; ++i) {
        const DiskIdentity &id = snap.disks[i].id;
        const Case &c = cases[i];
        SCOPED_TRACE(c.device);
        EXPECT_EQ(id.device, c.device);
        EXPECT_EQ(id.type, c.type);
        EXPECT_EQ(id.vendor, c.vendor);
        EXPECT_EQ(id.serial, c.serial);
        EXPECT_EQ(id.model, c.model);
        EXPECT_EQ(id.pci, c.pci);
        EXPECT_EQ(id.media, c.media);
        EXPECT_EQ(id.classified, c.classified);
    }
    EXPECT_EQ(snap.disks[0].id.capacity, 7501476528ull * 512);
    EXPECT_EQ(snap.disks[0].id.sectorSize, 4096u);
    EXPECT_EQ(snap.disks[0].health.wear, 300u);
    EXPECT_EQ(snap.disks[1].health.powerOnHours, 14551u);
    EXPECT_EQ(snap.disks[1].io.queueDepth, 32u);
    // Without smartctl the SATA disk falls back to no serial of its own.
    HostOptions bare = Options();
    bare.smartctl.clear();
    HostSource plain(bare);
    EXPECT_EQ(plain.Snapshot(AGENT_ROLE_USER).disks[1].id.serial, "NOSN-sda");
    EXPECT_EQ(plain.Snapshot(AGENT_ROLE_USER).disks[2].id.serial, "naa.5000c500a1b2c3d4");
}

TEST_F(AgentHostFake, CountersComeFromDiskstats)
{
    std::map<std::string, IoCounters> stats = HostParseDiskstats(kDiskstats);
    EXPECT_EQ(stats.count("vda"), 0u) << "short lines are ignored";
    ASSERT_EQ(stats.count("nvme0n1"), 1u);
    const IoCounters &io = stats["nvme0n1"];
    EXPECT_EQ(io.readOps, 1000u);
    EXPECT_EQ(io.bytesRead, 2000u * 512);
    EXPECT_EQ(io.readLatencyTicks, 300u);
    EXPECT_EQ(io.writeOps, 500u);
    EXPECT_EQ(io.bytesWritten, 4000u * 512);
    EXPECT_EQ(io.writeLatencyTicks, 200u);
    EXPECT_EQ(io.busy, 3u);
    EXPECT_EQ(io.ioTimeUs, 450000u);
    EXPECT_EQ(stats["sda"].ioTimeUs, 12000u) << "the 11-field format of old kernels";
    struct {
        const char *path;
        const char *pci;
    } paths[] = {{"/sys/devices/pci0000:00/0000:00:1d.0/0000:3b:00.0/nvme/nvme0", "0000:3b:00.0"},
                 {"/sys/devices/platform/host0", ""},
                 {"/sys/devices/pci0000:00/0000:00:1d.0/x0000:3b:00.0", "0000:00:1d.0"}};
    for (const auto &p : paths) {
        EXPECT_EQ(HostPciFromPath(p.path), p.pci) << p.path;
    }
}

TEST_F(AgentHostFake, AgentServesTheHostDisksWithTheDaemonsMembers)
{
    AgentProcess agent({"--role", "kernel", "--host", "--sysfs", dir_.File("sys"), "--diskstats",
                        dir_.File("diskstats"), "--smartctl", dir_.File("smartctl"),
                        "--smartctl-interval", "0.2"},
                       dir_.File("k.sock"));
    ASSERT_TRUE(agent.WaitReady());
    // Health arrives with the first background smartctl run.
    JsonPtr health(nullptr, cJSON_Delete);
    for (int i = 0; i < 100; ++i) {
        health = Call(agent.socket(), "dca_get_disks_health_info", DevicesParams({"nvme0n1", "sda", "sdb"}));
        const cJSON *last = cJSON_GetArrayItem(Member(Member(health.get(), "result"), "disks"), 2);
        if (last != nullptr && Member(last, "power_on_hours")->valuedouble > 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const cJSON *disk = nullptr;
    int checked = 0;
    cJSON_ArrayForEach(disk, Member(Member(health.get(), "result"), "disks"))
    {
        EXPECT_EQ(CheckHealthDisk(disk), "");
        EXPECT_GT(Member(disk, "power_on_hours")->valuedouble, 0);
        ++checked;
    }
    EXPECT_EQ(checked, 3);
    JsonPtr base = Call(agent.socket(), "dca_get_disks_base_info", DevicesParams({"nvme0n1", "sda", "sdb", "vda"}));
    cJSON_ArrayForEach(disk, Member(Member(base.get(), "result"), "disks"))
    {
        EXPECT_EQ(CheckBaseDisk(disk), "");
    }
    const cJSON *vda = cJSON_GetArrayItem(Member(Member(base.get(), "result"), "disks"), 3);
    EXPECT_TRUE(cJSON_IsFalse(Member(vda, "classified")));
    EXPECT_STREQ(Member(vda, "transport")->valuestring, "virtio_blk");
    JsonPtr io = Call(agent.socket(), "dca_get_disks_iostat", DevicesParams({"nvme0n1"}, true));
    EXPECT_EQ(Digits(Member(Member(io.get(), "result"), "tick_rate")), 1000u);
    const cJSON *nvme = cJSON_GetArrayItem(Member(Member(io.get(), "result"), "disks"), 0);
    EXPECT_EQ(CheckIoDisk(nvme), "");
    EXPECT_EQ(Digits(Member(nvme, "num_read_ops")), 1000u);
    EXPECT_EQ(Digits(Member(nvme, "io_time")), 450000u);
}

// The machine's own disks: every block device with a device behind it, a
// size and not an optical drive is listed, and its counters are the kernel's.
TEST(AgentHostReal, ListsThisMachinesDisks)
{
    std::set<std::string> expected;
    for (const auto &entry : fs::directory_iterator("/sys/block")) {
        std::string name = entry.path().filename();
        std::string base = "/sys/block/" + name;
        std::string type = ReadFile(base + "/device/type");
        std::string size = ReadFile(base + "/size");
        if (fs::exists(base + "/device") && type.rfind("5", 0) != 0 && !size.empty() &&
            std::stoull(size) > 0) {
            expected.insert(name);
        }
    }
    TempDir dir;
    AgentProcess agent({"--role", "kernel", "--host", "--smartctl", "none"}, dir.File("k.sock"));
    ASSERT_TRUE(agent.WaitReady());
    JsonPtr brief = Call(agent.socket(), "dca_get_disks_brief_info");
    ASSERT_EQ(CheckEnvelope(brief.get()), "");
    std::set<std::string> listed;
    std::vector<std::string> names;
    const cJSON *disk = nullptr;
    cJSON_ArrayForEach(disk, Member(Member(brief.get(), "result"), "disks"))
    {
        EXPECT_EQ(CheckBriefDisk(disk), "");
        listed.insert(Member(disk, "device_name")->valuestring);
        names.push_back(Member(disk, "device_name")->valuestring);
    }
    EXPECT_EQ(listed, expected);
    std::printf("host disks listed: %zu\n", names.size());
    if (names.empty()) {
        return;
    }
    JsonPtr base = Call(agent.socket(), "dca_get_disks_base_info", DevicesParams(names));
    cJSON_ArrayForEach(disk, Member(Member(base.get(), "result"), "disks"))
    {
        EXPECT_EQ(CheckBaseDisk(disk), "");
    }
    // The agent's counters lie between two readings of /proc/diskstats.
    std::map<std::string, IoCounters> before = HostParseDiskstats(ReadFile("/proc/diskstats"));
    JsonPtr io = Call(agent.socket(), "dca_get_disks_iostat", DevicesParams(names, true));
    std::map<std::string, IoCounters> after = HostParseDiskstats(ReadFile("/proc/diskstats"));
    ASSERT_EQ(CheckBatchResult(Member(io.get(), "result"), names.size(), true), "");
    int i = 0;
    cJSON_ArrayForEach(disk, Member(Member(io.get(), "result"), "disks"))
    {
        EXPECT_EQ(CheckIoDisk(disk), "");
        const std::string &name = names[static_cast<size_t>(i++)];
        if (before.count(name) != 0) {
            uint64_t reads = Digits(Member(disk, "num_read_ops"));
            EXPECT_GE(reads, before[name].readOps) << name;
            EXPECT_LE(reads, after[name].readOps) << name;
        }
    }
}

}  // namespace
