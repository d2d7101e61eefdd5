// Polling for what other threads bring about, with a bound on the wait.
#pragma once

#include <chrono>
#include <thread>

// Polls `pred` every 10 ms until it holds or `ms` milliseconds have passed;
// returns its last value.
template <typename Pred>
bool WaitUntil(Pred pred, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}
