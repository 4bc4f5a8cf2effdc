#pragma once

#include <chrono>
#include <mutex>
#include <thread>

namespace glowtern {

// Takes `mutex` if it comes free within `limit`; false otherwise. For the few places that
// must not hang behind a holder stuck in a device (the end of the program). Polls every
// millisecond rather than using a timed mutex, whose clock-based lock the thread sanitizer
// does not understand.
inline bool LockWithin(std::mutex& mutex, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!mutex.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace glowtern
