#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/keyboard.h"

namespace glowtern::testing {

// A keyboard in memory: three lock states, keys that can be held down, and a record of
// every press and release in the order they came. Safe to use from several threads.
class FakeKeyboard final : public Keyboard {
  public:
    // Like the real keyboard: bit 0 the lock, negative while the key is held down.
    int32_t lockKeyState(LockKey key) override;
    // Toggles the lock and records the key.
    void pressAndReleaseLockKey(LockKey key) override;

    void setLocked(LockKey key, bool on);
    bool locked(LockKey key) const;
    void setHeld(LockKey key, bool held);
    std::vector<LockKey> presses() const;
    void clearPresses();

    // Makes every state read take this long after the state is taken, so that a caller
    // that does not keep its read and its press together loses a two-thread race.
    void setReadDelay(std::chrono::microseconds delay);

  private:
    mutable std::mutex mutex_;
    std::array<bool, 3> locked_{};
    std::array<bool, 3> held_{};
    std::vector<LockKey> presses_;
    std::chrono::microseconds readDelay_{0};
};

}  // namespace glowtern::testing
