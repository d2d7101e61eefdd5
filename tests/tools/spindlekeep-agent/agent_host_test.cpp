// Host mode on a fake sysfs tree (with a fake smartctl replaying recorded
// outputs): the classification of NVMe, SATA, SAS and virtio disks and their
// counters.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <tuple>

#include "agent_test_util.h"
#include "host_source.h"

namespace {

using namespace agent_test;
namespace fs = std::filesystem;

using Files = std::initializer_list<std::pair<const char *, const char *>>;

void Put(const fs::path &dir, Files files)
{
    for (const auto &[name, text] : files) {
        fs::create_directories((dir / name).parent_path());
        WriteFileText((dir / name).string(), std::string(text) + "\n");
    }
}

// A block device with its own files (at least one) and dev as the device behind it.
void Block(const fs::path &root, const char *name, const fs::path &dev, Files files)
{
    Put(root / "block" / name, files);
    fs::create_directory_symlink(dev, root / "block" / name / "device");
}

// sysfs as the kernel lays it out for each kind of disk.
void BuildFakeSysfs(const fs::path &root)
{
    fs::path pci = root / "devices/pci0000:00";
    fs::path ctrl = pci / "0000:3b:00.0/nvme/nvme0";
    Put(pci / "0000:3b:00.0", {{"vendor", "0x1c7f"}});
    Put(ctrl, {{"serial", "NVSERIAL01   "}, {"model", "KV-NVMe3840"}, {"firmware_rev", "N1.2"}});
    fs::create_directory_symlink(pci / "0000:3b:00.0", ctrl / "device");
    Block(root, "nvme0n1", ctrl, {{"size", "7501476528"}, {"queue/rotational", "0"}, {"queue/logical_block_size", "4096"}});

    fs::path sata = pci / "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
    Put(sata, {{"vendor", "ATA     "}, {"model", "KSSD-SA960      "}, {"rev", "SA12"}, {"type", "0"},
               {"scsi_level", "8"}, {"queue_depth", "32"}});
    Block(root, "sda", sata, {{"size", "1875385008"}, {"queue/rotational", "0"}});

    fs::path sas = pci / "0000:5e:00.0/host1/target1:0:0/1:0:0:0";
    Put(sas, {{"vendor", "SEAGATE "}, {"model", "ST4000NM0043    "}, {"rev", "MS03"}, {"type", "0"},
              {"wwid", "naa.5000c500a1b2c3d4"}});
    Block(root, "sdb", sas, {{"size", "7814037168"}, {"queue/rotational", "1"}});

    fs::path virtio = pci / "0000:00:02.0/virtio1";
    Put(virtio, {{"vendor", "0x1af4"}});
    Put(root / "bus/virtio/drivers/virtio_blk", {{"bind", ""}});
    fs::create_directory_symlink(root / "bus/virtio/drivers/virtio_blk", virtio / "driver");
    Block(root, "vda", virtio, {{"size", "536870912"}, {"serial", "VIRT123"}, {"queue/rotational", "1"}});

    Put(root / "block/loop0", {{"size", "2048"}});  // no device behind it
    fs::path cd = pci / "0000:00:1f.2/ata2/host2/target2:0:0/2:0:0:0";
    Put(cd, {{"type", "5"}});
    Block(root, "sr0", cd, {{"size", "2048"}});
    fs::path empty = pci / "0000:00:14.0/usb1/host3/target3:0:0/3:0:0:0";
    Put(empty, {{"type", "0"}, {"vendor", "Generic"}});
    Block(root, "sdc", empty, {{"size", "0"}});  // card reader without a card
}

const char kDiskstats[] =
    "   7       0 loop0 5 0 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
    " 259       0 nvme0n1 1000 5 2000 300 500 7 4000 200 3 450 500 0 0 0 0 0 0\n"
    "   8       0 sda 10 0 80 4 20 0 160 9 0 12 13\n"
    "   8      16 sdb 7 0 8 1 0 0 0 0 1 2 3\n"
    "malformed line\n"
    " 254       0 vda 1 2\n";

// The fake host's files in dir, and the options that point the agent at them.
HostOptions FakeHost(const TempDir &dir)
{
    BuildFakeSysfs(dir.Join("sys"));
    WriteFileText(dir.Join("diskstats"), kDiskstats);
    std::string data = SPK_SMARTCTL_DATA;
    WriteFileText(dir.Join("smartctl"), "#!/bin/sh\nfor last; do :; done\ncase \"$last\" in\n"
                                        "  */sda) cat " + data + "/smart-ata-full.json ;;\n"
                                        "  */sdb) cat " + data + "/smart-scsi.json ;;\n"
                                        "  */nvme0n1) cat " + data + "/smart-nvme-failed.json ;;\n"
                                        "  *) echo 'Smartctl open device failed'; exit 2 ;;\nesac\n");
    chmod(dir.Join("smartctl").c_str(), 0755);
    return HostOptions{.sysfsRoot = dir.Join("sys"), .diskstatsPath = dir.Join("diskstats"), .devRoot = "/dev",
                       .smartctl = dir.Join("smartctl")};
}

TEST(AgentHostFake, ClassifiesDisksFromSysfsSmartctlAndDiskstats)
{
    TempDir dir;
    const HostOptions options = FakeHost(dir);
    HostSource source(options);
    source.RefreshHealthNow();
    SourceSnapshot snap = source.Snapshot(AGENT_ROLE_KERNEL);
    ASSERT_EQ(snap.disks.size(), 4u) << "loop0, sr0 and the empty sdc are not disks";
    // device, type, vendor, serial, model, PCI address, media, classified,
    // reads and io_time from diskstats (sda has the 11-field format of old
    // kernels, vda a short line that is ignored).
    const char *expected[] = {
        "nvme0n1 SSD_NVMe 0x1c7f NVSERIAL01 KV-NVMe3840 0000:3b:00.0 TLC 1 reads 1000 io_time 450000",
        "sda SSD_SATA ATA S3YZNB0KB00864E KSSD-SA960 0000:00:17.0 TLC 1 reads 10 io_time 12000",
        "sdb HDD_SAS SEAGATE Z1Z5DWJK0000XXXXXXXX ST4000NM0043 0000:5e:00.0 MAGNET 1 reads 7 io_time 2000",
        "vda HDD_SATA 0x1af4 VIRT123 virtio_blk 0000:00:02.0 MAGNET 0 reads 0 io_time 0",
    };
    for (size_t i = 0; i < 4; ++i) {
        const DiskView &d = snap.disks[i];
        std::ostringstream got;
        got << d.id.device << " " << DiskTypeName(d.id.type) << " " << d.id.vendor << " " << d.id.serial << " "
            << d.id.model << " " << d.id.pci << " " << d.id.media << " " << d.id.classified << " reads "
            << d.io.readOps << " io_time " << d.io.ioTimeUs;
        EXPECT_EQ(got.str(), expected[i]);
    }
    const DiskView &n = snap.disks[0];
    EXPECT_EQ(std::make_tuple(n.id.capacity, n.id.sectorSize, n.health.wear, n.io.bytesRead, n.io.readLatencyTicks,
                              n.io.writeOps, n.io.bytesWritten, n.io.writeLatencyTicks, n.io.busy),
              std::make_tuple(7501476528ull * 512, 4096u, 300u, 2000ull * 512, 300ull, 500ull, 4000ull * 512, 200ull, 3u));
    EXPECT_EQ(std::make_tuple(snap.disks[1].health.powerOnHours, snap.disks[1].io.queueDepth), std::make_tuple(14551u, 32u));
    // Without smartctl the SATA disk falls back to no serial of its own.
    HostOptions bare = options;
    bare.smartctl.clear();
    SourceSnapshot plain = HostSource(bare).Snapshot(AGENT_ROLE_USER);
    EXPECT_EQ(plain.disks[1].id.serial + " " + plain.disks[2].id.serial,
              "NOSN-sda naa.5000c500a1b2c3d4");
    EXPECT_EQ(plain.disks[1].id.type, DiskType::kSataSsd) << "sysfs says it does not rotate";
    EXPECT_EQ(HostPciFromPath("/sys/devices/pci0000:00/0000:00:1d.0/0000:3b:00.0/nvme/nvme0"), "0000:3b:00.0");
    EXPECT_EQ(HostPciFromPath("/sys/devices/platform/host0"), "");
    EXPECT_EQ(HostPciFromPath("/sys/devices/pci0000:00/0000:00:1d.0/x0000:3b:00.0"), "0000:00:1d.0");
}

}  // namespace
