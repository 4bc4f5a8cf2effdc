#pragma once

#include <cstdint>

namespace glowtern {

enum class LockKey { CapsLock, NumLock, ScrollLock };

// The keyboard's three lock keys and their LEDs.
class Keyboard {
  public:
    virtual ~Keyboard() = default;

    // The key's state as the keyboard reports it: bit 0 is the lock (1 on); the
    // value is negative while the key is held down. 0 when no keyboard is reachable.
    virtual int32_t lockKeyState(LockKey key) = 0;

    // One press and one release of the lock key, which toggles the lock and its
    // LED. Does nothing when no keyboard is reachable.
    virtual void pressAndReleaseLockKey(LockKey key) = 0;
};

}  // namespace glowtern
