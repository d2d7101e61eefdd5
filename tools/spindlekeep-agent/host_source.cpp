#include "host_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "agent_log.h"
#include "sim_clock.h"

namespace {

constexpr size_t kSmartctlOutputLimit = 4u << 20;
constexpr double kSmartctlTimeoutSec = 30.0;

bool ReadTrimmed(const std::string &path, std::string *out)
{
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    *out = begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
    return true;
}

uint64_t ReadNumber(const std::string &path, uint64_t fallback)
{
    std::string text;
    if (!ReadTrimmed(path, &text) || text.empty()) {
        return fallback;
    }
    char *end = nullptr;
    uint64_t value = strtoull(text.c_str(), &end, 0);
    return (end != nullptr && *end == '\0') ? value : fallback;
}

bool Exists(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string Basename(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Clip(std::string *value, size_t fieldSize, const char *what, const std::string &device)
{
    if (value->size() >= fieldSize) {
        ALOG_WARN("%s of %s cut to %zu characters", what, device.c_str(), fieldSize - 1);
        value->resize(fieldSize - 1);
    }
}

void ReadNvmeIdentity(const std::string &dev, DiskIdentity *id)
{
    ReadTrimmed(dev + "/serial", &id->serial);
    ReadTrimmed(dev + "/model", &id->model);
    ReadTrimmed(dev + "/firmware_rev", &id->firmware);
    ReadTrimmed(dev + "/device/vendor", &id->vendor);
    id->pci = HostPciFromPath(RealPath(dev));
    id->type = DiskType::kNvmeSsd;
    id->transport = "nvme";
}

void ReadScsiIdentity(const std::string &dev, bool rotational, DiskIdentity *id)
{
    ReadTrimmed(dev + "/vendor", &id->vendor);
    ReadTrimmed(dev + "/model", &id->model);
    ReadTrimmed(dev + "/rev", &id->firmware);
    id->pci = HostPciFromPath(RealPath(dev));
    bool sata = id->vendor == "ATA";
    id->transport = sata ? "sata" : "sas";
    if (sata) {
        id->type = rotational ? DiskType::kSataHdd : DiskType::kSataSsd;
    } else {
        id->type = rotational ? DiskType::kSasHdd : DiskType::kSasSsd;
    }
}

// A disk of another bus: report what sysfs says and guess only the type.
void ReadOtherIdentity(const std::string &dev, bool rotational, const SmartctlInfo *smart,
                       DiskIdentity *id)
{
    ReadTrimmed(dev + "/vendor", &id->vendor);
    ReadTrimmed(dev + "/model", &id->model);
    id->pci = HostPciFromPath(RealPath(dev));
    std::string driver = Basename(RealPath(dev + "/driver"));
    id->transport = driver.empty() ? "unknown" : driver;
    if (smart != nullptr && (smart->protocol == "ATA" || smart->protocol == "SCSI")) {
        bool spinning = smart->rotation > 0 || (smart->rotation < 0 && rotational);
        bool ata = smart->protocol == "ATA";
        id->type = ata ? (spinning ? DiskType::kSataHdd : DiskType::kSataSsd)
                       : (spinning ? DiskType::kSasHdd : DiskType::kSasSsd);
        return;
    }
    id->classified = false;
    id->type = rotational ? DiskType::kSataHdd : DiskType::kSataSsd;
    if (id->model.empty()) {
        id->model = id->transport;
    }
}

std::string FindSerial(const std::string &block, const std::string &dev, const SmartctlInfo *smart)
{
    std::string serial;
    if (ReadTrimmed(block + "/serial", &serial) && !serial.empty()) {
        return serial;
    }
    if (ReadTrimmed(dev + "/serial", &serial) && !serial.empty()) {
        return serial;
    }
    if (smart != nullptr && !smart->serial.empty()) {
        return smart->serial;
    }
    if (ReadTrimmed(dev + "/wwid", &serial) && !serial.empty()) {
        return serial;
    }
    return std::string();
}

void MergeSmart(const SmartctlInfo *smart, DiskView *disk)
{
    disk->health = DiskHealth{};
    disk->health.ieLog = false;
    if (smart == nullptr) {
        return;
    }
    disk->health = smart->health;
    DiskIdentity &id = disk->id;
    if (id.model.empty()) {
        id.model = smart->model;
    }
    if (id.firmware.empty()) {
        id.firmware = smart->firmware;
    }
    if (id.vendor.empty()) {
        id.vendor = smart->vendor;
    }
}

void ClipIdentity(DiskIdentity *id)
{
    Clip(&id->serial, kSerialFieldSize, "serial number", id->device);
    Clip(&id->vendor, kVendorFieldSize, "vendor", id->device);
    Clip(&id->model, kModelFieldSize, "model", id->device);
    Clip(&id->firmware, kFirmwareFieldSize, "firmware", id->device);
    Clip(&id->device, kDeviceFieldSize, "device name", id->device);
}

uint64_t MonotonicMs()
{
    return static_cast<uint64_t>(SimClockMonotonicSeconds() * 1000.0);
}

}  // namespace

std::string HostPciFromPath(const std::string &path)
{
    std::string found;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        unsigned domain = 0, bus = 0, dev = 0, fn = 0;
        char tail = 0;
        if (part.size() == 12 &&
            sscanf(part.c_str(), "%4x:%2x:%2x.%1x%c", &domain, &bus, &dev, &fn, &tail) == 4) {
            found = part;
        }
    }
    return found;
}

std::vector<std::string> HostListBlockNames(const std::string &sysfsRoot)
{
    std::vector<std::string> names;
    DIR *dir = opendir((sysfsRoot + "/block").c_str());
    if (dir == nullptr) {
        return names;
    }
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool HostReadDisk(const std::string &sysfsRoot, const std::string &name, const SmartctlInfo *smart,
                  DiskView *disk)
{
    std::string block = sysfsRoot + "/block/" + name;
    std::string dev = block + "/device";
    std::string scsiType;
    if (!Exists(dev) || (ReadTrimmed(dev + "/type", &scsiType) && scsiType == "5")) {
        return false;
    }
    uint64_t sectors = ReadNumber(block + "/size", 0);
    if (sectors == 0) {
        return false;
    }
    *disk = DiskView{};
    DiskIdentity &id = disk->id;
    id.device = name;
    id.roles = AGENT_ROLE_BOTH;
    id.capacity = sectors * 512;
    id.sectorSize = static_cast<uint32_t>(ReadNumber(block + "/queue/logical_block_size", 512));
    bool rotational = ReadNumber(block + "/queue/rotational", 0) != 0;
    if (name.rfind("nvme", 0) == 0) {
        ReadNvmeIdentity(dev, &id);
    } else if (Exists(dev + "/scsi_level") || !scsiType.empty()) {
        ReadScsiIdentity(dev, rotational, &id);
    } else {
        ReadOtherIdentity(dev, rotational, smart, &id);
    }
    id.media = rotational ? "MAGNET" : "TLC";
    id.serial = FindSerial(block, dev, smart);
    if (id.serial.empty()) {
        id.serial = "NOSN-" + name;
    }
    MergeSmart(smart, disk);
    if (id.vendor.empty()) {
        id.vendor = "unknown";
    }
    ClipIdentity(&id);
    disk->io.queueDepth = static_cast<uint32_t>(
        ReadNumber(dev + "/queue_depth", ReadNumber(block + "/queue/nr_requests", 0)));
    return true;
}

std::map<std::string, IoCounters> HostParseDiskstats(const std::string &text)
{
    std::map<std::string, IoCounters> stats;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        unsigned major = 0, minor = 0;
        std::string name;
        uint64_t f[11] = {};
        if (!(in >> major >> minor >> name)) {
            continue;
        }
        size_t n = 0;
        while (n < 11 && (in >> f[n])) {
            ++n;
        }
        if (n < 11) {
            continue;
        }
        IoCounters io;
        io.readOps = f[0];
        io.bytesRead = f[2] * 512;
        io.readLatencyTicks = f[3];
        io.writeOps = f[4];
        io.bytesWritten = f[6] * 512;
        io.writeLatencyTicks = f[7];
        io.busy = static_cast<uint32_t>(f[8]);
        io.ioTimeUs = f[9] * 1000;
        stats[name] = io;
    }
    return stats;
}

HostSource::HostSource(HostOptions options)
    : options_(std::move(options)), start_(SimClockMonotonicSeconds())
{
}

HostSource::~HostSource()
{
    stop_ = true;
    if (refresher_.joinable()) {
        refresher_.join();
    }
}

void HostSource::Start()
{
    if (!options_.smartctl.empty() && !refresher_.joinable()) {
        refresher_ = std::thread([this] { RefreshLoop(); });
    }
}

void HostSource::RefreshLoop()
{
    while (!stop_) {
        RefreshHealthNow();
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(options_.smartctlInterval * 1000));
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

void HostSource::RefreshHealthNow()
{
    if (options_.smartctl.empty()) {
        return;
    }
    for (const std::string &name : HostListBlockNames(options_.sysfsRoot)) {
        if (!Exists(options_.sysfsRoot + "/block/" + name + "/device")) {
            continue;
        }
        std::string out;
        std::vector<std::string> argv = {options_.smartctl, "-j", "-a",
                                         options_.devRoot + "/" + name};
        SmartctlInfo info;
        std::string error;
        if (!HostRunCapture(argv, kSmartctlTimeoutSec, kSmartctlOutputLimit, &out) ||
            !SmartctlParse(out.data(), out.size(), &info, &error)) {
            ALOG_DEBUG("no smartctl health for %s", name.c_str());
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        health_[name] = info;
    }
}

SourceSnapshot HostSource::Snapshot(uint8_t roleMask)
{
    SourceSnapshot snap;
    snap.tickRate = 1000;
    std::string text;
    std::ifstream in(options_.diskstatsPath);
    if (in) {
        text.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    snap.ticks = MonotonicMs();
    std::map<std::string, IoCounters> stats = HostParseDiskstats(text);
    std::map<std::string, SmartctlInfo> health;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        health = health_;
    }
    for (const std::string &name : HostListBlockNames(options_.sysfsRoot)) {
        auto smart = health.find(name);
        DiskView disk;
        if ((roleMask & AGENT_ROLE_BOTH) == 0 ||
            !HostReadDisk(options_.sysfsRoot, name, smart == health.end() ? nullptr : &smart->second,
                          &disk)) {
            continue;
        }
        auto io = stats.find(name);
        if (io != stats.end()) {
            uint32_t queueDepth = disk.io.queueDepth;
            disk.io = io->second;
            disk.io.queueDepth = queueDepth;
        }
        snap.disks.push_back(disk);
    }
    return snap;
}

bool HostSource::AdvanceTime(double) { return false; }

double HostSource::Now() { return SimClockMonotonicSeconds() - start_; }

bool HostRunCapture(const std::vector<std::string> &argv, double timeoutSec, size_t limit,
                    std::string *out)
{
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    int fds[2];
    if (argv.empty() || pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(fds[1], STDOUT_FILENO);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    out->clear();
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<int64_t>(timeoutSec * 1000));
    char buf[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        out->append(buf, static_cast<size_t>(std::min<size_t>(static_cast<size_t>(n),
                                                              limit - std::min(limit, out->size()))));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}
