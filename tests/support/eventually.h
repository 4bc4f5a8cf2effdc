#pragma once

#include <chrono>
#include <thread>

namespace glowtern::testing {

// Asks `condition` again until it holds, for ten seconds at most; whether it did.
template <typename Condition>
bool Eventually(Condition&& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace glowtern::testing
