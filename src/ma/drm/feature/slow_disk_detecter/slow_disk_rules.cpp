#include "ma/drm/feature/slow_disk_detecter/slow_disk_rules.h"

#include <bit>
#include <cstring>

namespace {

struct SlowDiskTypeRow {
    uint16_t minThreshold;
    uint8_t minSlowCycle;
    uint32_t bwLimitMiB;
};

// HDDs are judged on 100 ms and 15 MiB/s, SSDs on 1 ms and 300 MiB/s.
constexpr SlowDiskTypeRow kTypeRows[] = {
    {1, 50, 300},    // SATA SSD
    {1, 50, 300},    // SAS SSD
    {1, 50, 300},    // NVMe SSD
    {100, 50, 15},   // SAS HDD
};
static_assert(sizeof(kTypeRows) / sizeof(kTypeRows[0]) == SLOW_DISK_DRM_TYPE_NUM,
              "one row per DRM disk type");

constexpr uint64_t kUsPerMs = 1000;
constexpr uint64_t kKiBPerMiB = 1024;

bool IsCandidate(const SlowDiskSample &s, const SlowDiskConfig &cfg, uint32_t bwLimitMiB)
{
    return s.svctm >= static_cast<uint64_t>(cfg.minThreshold) * kUsPerMs &&
           s.busyNum >= SLOW_DISK_BUSY_MIN && s.bandwidth <= bwLimitMiB * kKiBPerMiB &&
           s.util >= SLOW_DISK_UTIL_MIN;
}

}  // namespace

bool SlowDiskBitGet(const uint8_t bits[16], uint32_t cycle)
{
    return (bits[cycle / 8] >> (cycle % 8) & 1u) != 0;
}

void SlowDiskBitSet(uint8_t bits[16], uint32_t cycle, bool on)
{
    uint8_t mask = static_cast<uint8_t>(1u << (cycle % 8));
    bits[cycle / 8] = on ? static_cast<uint8_t>(bits[cycle / 8] | mask)
                         : static_cast<uint8_t>(bits[cycle / 8] & ~mask);
}

uint32_t SlowDiskSlowCount(const SlowDiskIoHistory *h)
{
    // Bits above cycle 99 are never set, so a plain population count is exact.
    uint32_t n = 0;
    for (uint8_t b : h->slowBits) {
        n += static_cast<uint32_t>(std::popcount(b));
    }
    return n;
}

void SlowDiskRecordSample(SlowDiskIoHistory *h, uint32_t cycle, const SlowDiskIoFigures *io)
{
    SlowDiskSample &s = h->samples[cycle];
    SlowDiskBitSet(h->slowBits, cycle, false);
    if (io == nullptr) {
        memset(&s, 0, sizeof(s));
        SlowDiskBitSet(h->validBits, cycle, false);
        return;
    }
    s.iops = io->readIops + io->writeIops;
    s.bandwidth = io->readIoBand + io->writeIoBand;
    s.svctm = io->avgServeTime;
    s.util = static_cast<uint16_t>(io->utilization);
    s.busyNum = static_cast<uint16_t>(io->ioBusyNum);
    SlowDiskBitSet(h->validBits, cycle, true);
}

SlowDiskSuspectResult SlowDiskFindSuspect(const SlowDiskMemberView *members, uint32_t n,
                                          uint32_t cycle, const SlowDiskConfig &cfg,
                                          uint32_t bwLimitMiB)
{
    SlowDiskSuspectResult r{};
    uint64_t validCount = 0;
    uint64_t svctmSum = 0;
    uint32_t svctmMax = 0;
    uint32_t maxIndex = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const SlowDiskIoHistory *h = members[i].history;
        if (h == nullptr || !SlowDiskBitGet(h->validBits, cycle) || h->samples[cycle].iops == 0) {
            continue;
        }
        const SlowDiskSample &s = h->samples[cycle];
        ++validCount;
        svctmSum += s.svctm;
        if (validCount == 1 || s.svctm > svctmMax) {  // the first disk wins a tie
            svctmMax = s.svctm;
            maxIndex = i;
        }
        if (IsCandidate(s, cfg, bwLimitMiB)) {
            ++r.candidateCount;
        }
    }
    if (r.candidateCount != 1) {
        return r;
    }
    if (validCount > 1) {
        uint64_t avgOthers = (svctmSum - svctmMax) / (validCount - 1);
        if (svctmMax < SLOW_DISK_SVCTM_FACTOR * avgOthers) {
            return r;
        }
    }
    SlowDiskBitSet(members[maxIndex].history->slowBits, cycle, true);
    r.found = true;
    r.diskId = members[maxIndex].diskId;
    r.index = maxIndex;
    return r;
}

bool SlowDiskCheck(const SlowDiskMemberView *members, uint32_t n, uint32_t suspect,
                   const SlowDiskConfig &cfg)
{
    for (uint32_t i = 0; i < n; ++i) {
        if (members[i].history == nullptr) {
            continue;
        }
        uint32_t slow = SlowDiskSlowCount(members[i].history);
        bool ok = i == suspect ? slow >= cfg.minSlowCycle : slow <= SLOW_DISK_PEER_MAX_SLOW;
        if (!ok) {
            return false;
        }
    }
    return true;
}

SlowDiskConfig SlowDiskDefaultConfig(uint32_t drmType)
{
    return SlowDiskConfig{drmType, kTypeRows[drmType].minThreshold,
                          kTypeRows[drmType].minSlowCycle};
}

uint32_t SlowDiskBandwidthLimit(uint32_t drmType) { return kTypeRows[drmType].bwLimitMiB; }

bool SlowDiskConfigValid(const SlowDiskConfig &cfg)
{
    return cfg.diskType < SLOW_DISK_DRM_TYPE_NUM && cfg.minThreshold != 0 &&
           cfg.minSlowCycle >= SLOW_DISK_MIN_SLOW_CYCLE_LOW &&
           cfg.minSlowCycle <= SLOW_DISK_MIN_SLOW_CYCLE_HIGH;
}
