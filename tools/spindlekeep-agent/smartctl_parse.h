// Reader of `smartctl -j -a` output (smartmontools 6.7 to 7.x) for SATA/ATA,
// SAS/SCSI and NVMe disks. Every member is optional: what is missing keeps its
// default, so outputs of old versions, bridges and partial runs still give
// what they have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "disk_model.h"

struct SmartctlInfo {
    std::string protocol;  // "ATA", "SCSI", "NVMe" or empty when unknown
    std::string serial;
    std::string model;
    std::string vendor;    // SCSI vendor, or "0x%04x" of the NVMe PCI vendor
    std::string firmware;
    uint64_t capacity = 0;  // bytes
    uint32_t blockSize = 0;
    int64_t rotation = -1;  // rpm; 0 = solid state; -1 = not reported
    bool statusKnown = false;
    bool passed = true;     // smartctl's overall verdict
    size_t attributeCount = 0;  // ATA attributes read (at most 30 kept)
    DiskHealth health;      // payload in the agent's terms
};

// Parses one output. Returns false (with a reason) only when the text is not a
// JSON object.
[[nodiscard]] bool SmartctlParse(const char *text, size_t len, SmartctlInfo *info,
                                 std::string *error);
