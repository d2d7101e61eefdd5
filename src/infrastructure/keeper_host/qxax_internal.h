// Shared between the qxax translation units; not for other modules.
#pragma once

#include <cstdint>

// Wakes the timer thread so it re-reads the clock (the fake clock moved).
void QxaxTimerWake();

// Sets the fake clock (only meaningful while bound); does not wake anyone.
void QxaxClockSet(uint64_t nowMs);
