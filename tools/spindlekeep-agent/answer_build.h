// Builders of the per-disk objects of the query answers, with the members and
// JSON types the daemon checks: strings, numbers, booleans and decimal-digit
// strings exactly where its check lists want them. Each returns a new object
// owned by the caller, or nullptr when memory runs out.
#pragma once

#include <cjson/cJSON.h>

#include "disk_model.h"

// "dca_get_disks_brief_info": serial number and device name.
cJSON *AnswerBriefDisk(const DiskView &disk);
// "dca_get_disks_base_info": identity; "pci_address" for NVMe disks (and any
// disk that has one), "slot_id" when the slot is known.
cJSON *AnswerBaseDisk(const DiskView &disk);
// "dca_get_disks_health_info": common members plus the payload of the type
// (and, for SAS SSDs, of the vendor class).
cJSON *AnswerHealthDisk(const DiskView &disk);
// "dca_get_disks_iostat": counters as decimal-digit strings.
cJSON *AnswerIoDisk(const DiskView &disk);
