// IO statistics: turning two raw counter frames of one disk into rates,
// latencies and utilisation.
//
// Pure functions without state; called by the IO info set operation of the
// data store under the data-manager lock, but safe from any thread.
#pragma once

#include <cstdint>

#include "data_mgr/data_mgr_master/data_mgr_types.h"

// 0 when `newFrame` may be paired with `lastFrame`: its ticks are strictly
// later and none of the six byte/operation/latency counters went backwards
// (io_time is not checked). -1 otherwise, with a warning naming both ticks.
[[nodiscard]] int IoStatCheck(const DiskIoInfoFrame *lastFrame, const DiskIoInfoFrame *newFrame);

// Computes the statistics of the interval lastFrame -> newFrame into `out`
// and writes the debug trace. Always returns 0; meant for frames that passed
// IoStatCheck.
//
// Quotients are truncated towards zero. Where a divisor is zero (tick_rate 0,
// so no elapsed time can be derived; latency ticks that grew while no
// operation completed) the quotient has no meaning and the figure is 0.
// A finite quotient beyond the u64 range saturates at UINT64_MAX.
[[nodiscard]] int IoStatCalculate(const DiskIoInfoFrame *lastFrame,
                                  const DiskIoInfoFrame *newFrame, DiskIoStatInfo *out);
