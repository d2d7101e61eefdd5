// What the agent knows about one disk, whatever its source (simulated fleet or
// the host's block devices): identity, health payload and IO counters. The
// answer builders turn a DiskView into the members the daemon checks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Disk types in the daemon's numbering (0 NVMe SSD .. 5 NL-SAS HDD).
enum class DiskType : uint8_t {
    kNvmeSsd = 0,
    kSasSsd = 1,
    kSataSsd = 2,
    kSasHdd = 3,
    kSataHdd = 4,
    kNlSasHdd = 5,
    kCount = 6,
};

// The agent string of a type ("SSD_NVMe", ...).
const char *DiskTypeName(DiskType type);
// Case-insensitive lookup of an agent string; false when it names no type.
[[nodiscard]] bool DiskTypeFromName(std::string_view name, DiskType *type);
// Media type strings the daemon accepts: "SLC" .. "MAGNET" (case ignored).
[[nodiscard]] bool IsKnownMediaType(std::string_view media);
// True for the vendors whose SAS SSDs report capacitance instead of ASC/ASCQ.
[[nodiscard]] bool IsPlatformVendor(std::string_view vendor);

// Which agent lists a disk. A disk of both roles is listed by both agents.
enum AgentRole : uint8_t {
    AGENT_ROLE_KERNEL = 1,
    AGENT_ROLE_USER = 2,
    AGENT_ROLE_BOTH = 3,
};

// Field limits of the daemon's records: strings must be shorter than these.
inline constexpr size_t kSerialFieldSize = 40;
inline constexpr size_t kDeviceFieldSize = 20;
inline constexpr size_t kVendorFieldSize = 10;
inline constexpr size_t kModelFieldSize = 44;
inline constexpr size_t kFirmwareFieldSize = 10;
inline constexpr size_t kPciFieldSize = 256;
inline constexpr size_t kSmartAttrCount = 30;

struct SmartAttr {
    uint8_t id = 0;
    uint8_t threshold = 0;
    uint8_t current = 0;
    uint8_t worst = 0;
};

struct DiskIdentity {
    std::string device;    // operating-system device name, e.g. "sda"
    std::string serial;
    std::string vendor;
    std::string model;
    std::string firmware;
    std::string media = "TLC";
    std::string pci;       // PCI address, mainly for NVMe; may be empty
    std::string transport; // host mode: "nvme", "sata", "sas", "virtio", ...
    uint64_t capacity = 0; // bytes
    uint32_t sectorSize = 512;
    int64_t slot = -1;     // -1: slot unknown
    DiskType type = DiskType::kSataSsd;
    uint8_t roles = AGENT_ROLE_KERNEL;
    bool classified = true; // false: host disk of unknown kind (type guessed)
};

struct DiskHealth {
    uint32_t powerOnHours = 0;
    uint32_t wear = 0; // hundredths of a percent of rated life used
    std::array<SmartAttr, kSmartAttrCount> smart{};
    uint8_t asc = 0;
    uint8_t ascq = 0;
    bool ieLog = true;
    uint8_t capacitanceId = 0;
    uint8_t capacitanceStatus = 1;
    uint8_t criticalWarning = 0;
};

// Cumulative counters; latency ticks are in units of the answer's tick rate,
// io time in microseconds.
struct IoCounters {
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;
    uint64_t readOps = 0;
    uint64_t writeOps = 0;
    uint64_t readLatencyTicks = 0;
    uint64_t writeLatencyTicks = 0;
    uint64_t ioTimeUs = 0;
    uint32_t queueDepth = 0;
    uint32_t busy = 0;
};

struct DiskView {
    DiskIdentity id;
    DiskHealth health;
    IoCounters io;
};
