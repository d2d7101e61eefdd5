// Host mode: the machine's own block devices as a disk source. Identity comes
// from sysfs, counters from /proc/diskstats (ticks from the monotonic clock,
// 1000 per second, so latency ticks are the kernel's milliseconds), health from
// `smartctl -j -a`, run by a background thread because one run can take longer
// than the daemon waits for an answer.
//
// Block devices without a device behind them (loop, zram, dm, md) and optical
// drives are not listed. A disk that is neither NVMe nor SCSI/SATA (a virtio
// disk, for example) is listed with its honest vendor (the PCI vendor id for
// virtio), "classified": false, its real transport, and the SATA type its
// rotational flag suggests, since the daemon accepts only its six types.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "disk_source.h"
#include "smartctl_parse.h"

struct HostOptions {
    std::string sysfsRoot = "/sys";
    std::string diskstatsPath = "/proc/diskstats";
    std::string devRoot = "/dev";
    std::string smartctl = "smartctl";  // empty: no health from smartctl
    double smartctlInterval = 60.0;     // seconds between health refreshes
};

class HostSource : public DiskSource {
  public:
    explicit HostSource(HostOptions options);
    ~HostSource() override;

    // Starts the background health refresher (no-op without smartctl).
    void Start();
    // Runs smartctl on every listed disk now, on the calling thread.
    void RefreshHealthNow();

    SourceSnapshot Snapshot(uint8_t roleMask) override;
    [[nodiscard]] bool AdvanceTime(double seconds) override;
    double Now() override;

  private:
    void RefreshLoop();

    HostOptions options_;
    std::mutex mutex_;  // guards health_
    std::map<std::string, SmartctlInfo> health_;
    std::atomic<bool> stop_{false};
    std::thread refresher_;
    double start_;
};

// Builds one disk from sysfs (and smartctl, when known). Returns false when the
// block device is not a disk to list. Exposed for tests.
[[nodiscard]] bool HostReadDisk(const std::string &sysfsRoot, const std::string &name,
                                const SmartctlInfo *smart, DiskView *disk);
// Device names of /sys/block, sorted.
std::vector<std::string> HostListBlockNames(const std::string &sysfsRoot);
// Parses /proc/diskstats text into counters by device name.
std::map<std::string, IoCounters> HostParseDiskstats(const std::string &text);
// Last path component of the form dddd:bb:dd.f in path, or "".
std::string HostPciFromPath(const std::string &path);
// Runs argv, returning its standard output (at most limit bytes); the child is
// killed after timeoutSec. False when it could not be started.
[[nodiscard]] bool HostRunCapture(const std::vector<std::string> &argv, double timeoutSec,
                                  size_t limit, std::string *out);
