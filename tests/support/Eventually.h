#pragma once

// Waiting for something another thread or process does, without a fixed sleep.

#include <chrono>
#include <functional>
#include <thread>

namespace test_support {

// Polls a condition every `poll` for up to `timeout`; true as soon as it holds.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                       std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace test_support
