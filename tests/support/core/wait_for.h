// Polling with a deadline: every wait in the harness is bounded.
#pragma once
#include <chrono>
#include <thread>

namespace kivtest {

// Waits up to timeoutMs for pred() to become true, polling every 10 ms.
template <class Pred> bool waitFor(Pred pred, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

} // namespace kivtest
