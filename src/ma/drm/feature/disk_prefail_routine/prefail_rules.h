// The prefail rules on plain payloads, one per group, and the group/cycle
// constants. No framework calls.
#pragma once

#include <cstdint>

inline constexpr uint32_t DPR_GROUP_SATA = 0;
inline constexpr uint32_t DPR_GROUP_SAS_SSD = 1;
inline constexpr uint32_t DPR_GROUP_SAS_KSSD = 2;
inline constexpr uint32_t DPR_GROUP_NVME = 3;
inline constexpr uint32_t DPR_GROUP_SAS_HDD = 4;
inline constexpr uint32_t DPR_GROUP_NUM = 5;
inline constexpr uint32_t DPR_START_TYPE_SMART = 0;
inline constexpr uint32_t DPR_START_TYPE_NUM = 1;
inline constexpr uint32_t DPR_ANALYSE_PERIOD_S = 5;  // the analyser runs every 5 ticks
inline constexpr uint32_t DPR_SMART_ENTRY_NUM = 30;

inline constexpr uint8_t DPR_ASC_IE = 0x5D;          // informational exception
inline constexpr uint8_t DPR_ASCQ_FALSE_ALARM = 0x6D;  // a test trigger, not a prediction
inline constexpr uint8_t DPR_CAPACITANCE_ID = 0xF2;

// Default cycle in seconds of a group (< 5).
uint32_t DprDefaultCycle(uint32_t group);

// Index of the first SMART entry (of 30, each {id, threshold, current, worst})
// that predicts failure, or -1. Temperature attributes 190 and 194 never count.
int DprSataFailingEntry(const uint8_t entries[DPR_SMART_ENTRY_NUM * 4]);
// SAS SSD: ASC 0x5D with any ASCQ but 0x6D.
bool DprSasSsdFails(uint8_t asc, uint8_t ascq);
// SAS KSSD: capacitance id 0xF2 reporting status 0.
bool DprKssdFails(uint8_t capId, uint8_t capStatus);
// NVMe critical warning: bits 0 (spare), 3 (read-only), 4 (volatile backup);
// bits 1 (temperature) and 2 (reliability) do not count.
bool DprNvmeFails(uint8_t bits);
// SAS HDD: ASC 0x5D; with IE-log support (flag 1) the ASCQ must not be 0x6D.
bool DprSasHddFails(uint8_t asc, uint8_t ascq, uint8_t ieLogFlag);
