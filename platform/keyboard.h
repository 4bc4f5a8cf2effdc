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

    // The reads and presses of one analysis cycle come between beginCycle() and endCycle(),
    // about one cycle after those of the last. A keyboard behind a server need not wait for it
    // inside a cycle: a press may be confirmed by the time of the next cycle, and whether a
    // key is held may be what the server said at the end of the last cycle.
    virtual void beginCycle() {}
    virtual void endCycle() {}
};

}  // namespace glowtern
