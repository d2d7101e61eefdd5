#include "replay_source.h"

#include <cmath>
#include <cstdio>

#include "agent_log.h"
#include "fleet_file.h"
#include "fleet_model.h"

namespace {

// A whitelisted disk of each type, so the daemon registers and analyses the
// replayed drives; empty vendor: the type is not served.
struct ReplayTypeRow {
    const char *vendor;
    const char *model;
    const char *media;
    uint64_t capacity;
    uint32_t sectorSize;
    uint32_t wear;  // hundredths of a percent: healthy, far from any limit
};

constexpr ReplayTypeRow kTypeRows[] = {
    {"KORVAN", "KV-NVMe3840", "TLC", 3840755982336ull, 4096, 500},   // NVMe SSD
    {"KORVAN", "KV-SAS1600", "TLC", 1600321314816ull, 512, 500},     // SAS SSD
    {"ATA", "KSSD-SA960", "TLC", 960197124096ull, 512, 500},         // SATA SSD
    {"SEAGATE", "ST4000NM0043", "MAGNET", 4000787030016ull, 512, 0}, // SAS HDD
    {"", "", "", 0, 0, 0},                                           // SATA HDD
    {"", "", "", 0, 0, 0},                                           // NL-SAS HDD
};
static_assert(sizeof(kTypeRows) / sizeof(kTypeRows[0]) == static_cast<size_t>(DiskType::kCount),
              "one row per disk type");

constexpr uint32_t kPowerOnHours = 10000;
constexpr uint32_t kQueueDepth = 32;

// sda .. sdz, sdaa .. : the kernel's naming of SCSI disks.
std::string ScsiName(size_t index)
{
    std::string letters;
    size_t n = index + 1;
    while (n > 0) {
        --n;
        letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    }
    return "sd" + letters;
}

std::string BaseName(std::string dir)
{
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    size_t slash = dir.find_last_of('/');
    return slash == std::string::npos ? dir : dir.substr(slash + 1);
}

}  // namespace

bool ReplayTypeServed(DiskType type)
{
    size_t i = static_cast<size_t>(type);
    return i < static_cast<size_t>(DiskType::kCount) && kTypeRows[i].vendor[0] != '\0';
}

DiskView ReplayDiskView(const std::string &hostName, const std::string &drive, size_t index,
                        DiskType type)
{
    const ReplayTypeRow &row = kTypeRows[static_cast<size_t>(type)];
    DiskView view;
    DiskIdentity &id = view.id;
    id.serial = hostName + "-" + drive;
    id.vendor = row.vendor;
    id.model = row.model;
    id.firmware = "RPL1";
    id.media = row.media;
    id.capacity = row.capacity;
    id.sectorSize = row.sectorSize;
    id.slot = static_cast<int64_t>(index);
    id.type = type;
    id.roles = AGENT_ROLE_BOTH;
    id.transport = "replay";
    if (type == DiskType::kNvmeSsd) {
        char pci[16];
        snprintf(pci, sizeof(pci), "0000:%02zx:00.0", (0x40 + index) & 0xff);
        id.pci = pci;
        id.device = "nvme" + std::to_string(index) + "n1";
    } else {
        id.device = ScsiName(index);
    }
    view.health.powerOnHours = kPowerOnHours;
    view.health.wear = row.wear;
    if (type == DiskType::kSataSsd) {
        FleetDefaultSmart(&view.health);
    }
    view.io.queueDepth = kQueueDepth;
    return view;
}

int ReplayLoadHost(const ReplayOptions &options, TraceHost *host, std::string *error)
{
    if (!ReplayTypeServed(options.type)) {
        *error = std::string("disks of type ") + DiskTypeName(options.type) +
                 " are not taken by the daemon; replay them as another type";
        return -1;
    }
    if (TraceReadHost(options.dir, host, error) != 0) {
        return -1;
    }
    if (!host->problems.empty()) {
        *error = options.dir + ": " + std::to_string(host->problems.size()) +
                 " bad rows or files, the first: " + host->problems.front();
        return -1;
    }
    if (host->drives.empty() || host->windows.empty()) {
        *error = options.dir + ": no samples";
        return -1;
    }
    if (host->drives.size() > kFleetMaxDisksPerRole) {
        *error = options.dir + ": " + std::to_string(host->drives.size()) +
                 " drives, but an agent lists at most 64";
        return -1;
    }
    // The trace reader names the host after the directory; "." or a path
    // ending in a slash would give every run a different or empty name.
    host->name = BaseName(options.dir);
    for (const std::string &drive : host->drives) {
        std::string serial = host->name + "-" + drive;
        if (serial.size() >= kSerialFieldSize) {
            *error = "serial number \"" + serial + "\" would not fit the daemon's " +
                     std::to_string(kSerialFieldSize - 1) + " characters; use a shorter directory name";
            return -1;
        }
    }
    return 0;
}

ReplaySource::ReplaySource(TraceHost host, const ReplayOptions &options, double timeScale,
                           SimClock::MonotonicFn monotonic)
    : host_(std::move(host)), ioSize_(options.ioSize), clock_(timeScale, monotonic)
{
    for (size_t d = 0; d < host_.drives.size(); ++d) {
        views_.push_back(ReplayDiskView(host_.name, host_.drives[d], d, options.type));
    }
    counters_.assign(host_.drives.size(), TraceCounters{});
    double start = 0.0;
    for (const TraceWindow &window : host_.windows) {
        windowStart_.push_back(start);
        start += window.slotCount * static_cast<double>(kTraceStepSeconds) + kReplayIdleSeconds;
    }
    windowStart_.push_back(start);
    int64_t first = host_.windows.empty() ? 0 : host_.windows.front().start;
    tickBase_ = static_cast<uint64_t>(first > 0 ? first : 0) * kReplayTickRate;
}

void ReplaySource::AddSlot(uint32_t slot, double dt)
{
    const TraceWindow &window = host_.windows[window_];
    for (size_t d = 0; d < counters_.size(); ++d) {
        TraceCountersAdd(&counters_[d], TraceModelStep(window.slots[d][slot], dt, ioSize_));
    }
}

void ReplaySource::AdvanceTo(double t)
{
    const double step = kTraceStepSeconds;
    while (now_ < t && window_ < host_.windows.size()) {
        const TraceWindow &window = host_.windows[window_];
        double begin = windowStart_[window_];
        double end = begin + window.slotCount * step;
        if (now_ >= end) {
            // In the gap after the window: idle until the next one.
            for (TraceCounters &c : counters_) {
                c.inFlight = 0;
            }
            double next = windowStart_[window_ + 1];
            if (t < next) {
                now_ = t;
                return;
            }
            now_ = next;
            if (++window_ == host_.windows.size()) {
                ALOG_INFO("replay of %s finished; the drives stay idle", host_.name.c_str());
            }
            continue;
        }
        double index = std::floor((now_ - begin) / step);
        uint32_t slot = static_cast<uint32_t>(std::min(index, window.slotCount - 1.0));
        double slotEnd = std::min(end, begin + (slot + 1) * step);
        double until = std::min(t, slotEnd);
        if (until > now_) {
            AddSlot(slot, until - now_);
        }
        // Rounding may leave now_ a hair short of the slot's end: move on.
        now_ = until > now_ ? until : slotEnd;
    }
    if (now_ < t) {
        now_ = t;
    }
}

SourceSnapshot ReplaySource::Snapshot(uint8_t roleMask)
{
    std::lock_guard<std::mutex> lock(mutex_);
    AdvanceTo(clock_.Now());
    SourceSnapshot snap;
    snap.tickRate = kReplayTickRate;
    snap.ticks = tickBase_ + static_cast<uint64_t>(std::llround(now_ * kReplayTickRate));
    if ((roleMask & AGENT_ROLE_BOTH) == 0) {
        return snap;
    }
    for (size_t d = 0; d < views_.size(); ++d) {
        DiskView disk = views_[d];
        const TraceCounters &c = counters_[d];
        disk.io.bytesRead = c.bytesRead;
        disk.io.bytesWritten = c.bytesWritten;
        disk.io.readOps = c.readOps;
        disk.io.writeOps = c.writeOps;
        disk.io.readLatencyTicks = c.readLatencyUs;
        disk.io.writeLatencyTicks = c.writeLatencyUs;
        disk.io.ioTimeUs = c.ioTimeUs;
        disk.io.busy = c.inFlight;
        snap.disks.push_back(std::move(disk));
    }
    return snap;
}

bool ReplaySource::AdvanceTime(double seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    clock_.Advance(seconds);
    return true;
}

double ReplaySource::Now()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_.Now();
}
