// Deterministic host bindings for tests: a fake clock, hand-fired timers,
// an allocator that fails a chosen allocation, and a socket path of choice for
// the diagnose agent. None of these are used by the daemon itself.
//
// Call them from the test's main thread while no host timer callback runs.
#pragma once

#include <cstdint>

// ---- clock ---------------------------------------------------------------

// From now on qxax_get_jiffies answers the fake clock, starting at `startMs`.
void HostClockBind(uint64_t startMs);
// Back to CLOCK_MONOTONIC.
void HostClockUnbind();
bool HostClockBound();
// Moves the fake clock forward without firing anything (a running timer
// thread is woken and fires what is due). No effect when unbound.
void HostClockAdvance(uint64_t ms);

// ---- timers --------------------------------------------------------------

// Manual mode: nothing fires on its own (the timer thread, if any, idles).
// Switching it on also binds the fake clock at 0 unless already bound.
void HostTimersManual(bool on);
// Manual mode only: moves the fake clock forward by `ms`, firing on the
// calling thread every timer whose deadline is reached, in deadline order
// (equal deadlines in arming order); the clock stands at each timer's
// deadline while it fires, and timers re-armed by a callback fire again in
// the same call if their new deadline is still within the window. At most
// HOST_TIMERS_MAX_FIRES callbacks run per call (guards against a timer that
// re-arms itself with period 0). Returns the number of callbacks run.
inline constexpr uint32_t HOST_TIMERS_MAX_FIRES = 100000;
uint32_t HostTimersAdvance(uint64_t ms);
// Number of armed timers.
uint32_t HostTimersArmedCount();
// Disarms every timer without calling anything (between tests).
void HostTimersReset();

// ---- memory --------------------------------------------------------------

// Makes the `nth` qxmm allocation from now fail (1 = the next one): any of
// qxmm_malloc, createContinuousPartition, createExpStructurePartition or
// allocStructure (whether or not it has to grow the pool). With `sticky` every
// allocation from the nth on fails. nth 0 switches failing off.
void HostMmFailAlloc(uint32_t nth, bool sticky);
// Number of qxmm allocations attempted since the last HostMmFailAlloc call.
uint64_t HostMmAllocAttempts();

// ---- diagnose agent ------------------------------------------------------

// Socket path used by the next DBG_DiagnoseAgentInit instead of
// "<prefix>/config/spindlekeep_diag.sock"; null restores the default.
// 0, or -ENAMETOOLONG when it does not fit a UNIX socket address.
[[nodiscard]] int HostDiagSetSocketPath(const char *path);
// Bound on reading a request and on writing a reply, per connection
// (default 2000 ms); applies to connections accepted afterwards.
void HostDiagSetIoTimeoutMs(uint32_t ms);
