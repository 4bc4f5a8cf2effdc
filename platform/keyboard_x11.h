#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/keyboard.h"

struct _XDisplay;  // Xlib's Display; Xlib's headers stay out of this one (their macros clash)

namespace glowtern {

// The state value of a lock key that is held down: the sign bit set, like a key held
// on Windows; bit 0 still carries the lock.
inline constexpr int32_t kLockKeyHeld = -128;

// The lock keys of the X server's core keyboard. The LED state is the XKB indicator
// of the same name ("Caps Lock", "Num Lock", "Scroll Lock"); a toggle is an XTest
// press and release of the lock key, or, when the keymap gives that key no lock
// on its indicator (Scroll Lock on the default keymap), an explicit change of the
// indicator. Holds its own display connection, opened once; without one every call
// does nothing. Safe to call from several threads.
class X11Keyboard final : public Keyboard {
  public:
    // `displayName` null: $DISPLAY.
    explicit X11Keyboard(const char* displayName = nullptr);
    ~X11Keyboard() override;
    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;

    bool connected() const { return display_ != nullptr; }

    int32_t lockKeyState(LockKey key) override;
    void pressAndReleaseLockKey(LockKey key) override;

  private:
    void drainEvents();

    std::mutex mutex_;
    _XDisplay* display_ = nullptr;
    int xkbEventBase_ = 0;
    bool haveXTest_ = false;
    std::array<unsigned long, 3> indicatorAtoms_{};  // by LockKey
};

}  // namespace glowtern
