#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/keyboard.h"

struct _XDisplay;  // Xlib's Display; Xlib's headers stay out of this one (their macros clash)
struct _XkbDesc;   // XKB's keyboard description

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
//
// The indicators, their names and maps and the keymap are followed through XKB's
// events: a call takes in what has arrived without asking the server, and asks only for
// what an event says has changed. A press ends with a round trip, so the events it
// caused are in before the next read. Whether the key is held down is asked for, once
// for the reads of different keys that come together (those of one analysis cycle).
class X11Keyboard final : public Keyboard {
  public:
    // `displayName` null: $DISPLAY.
    explicit X11Keyboard(const char* displayName = nullptr);
    ~X11Keyboard() override;
    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;

    bool connected() const { return display_ != nullptr; }
    // The connection broke (the X server went away): every call does nothing from now on.
    bool lost() const { return lost_.load(); }

    int32_t lockKeyState(LockKey key) override;
    void pressAndReleaseLockKey(LockKey key) override;

    // How many requests this connection has sent the server: what reads and presses
    // cost, for tests and measurements. 0 without a connection.
    unsigned long requestsSent();

  private:
    static void onDisplayLost(_XDisplay* display, void* keyboard);
    bool usable() const;
    void takeEvents();
    void takePendingEvents();
    void readStateFromServer();
    void readIndicatorPlaces();
    unsigned char keycodeOf(LockKey key);
    bool keyDown(LockKey key, unsigned char keycode);

    std::mutex mutex_;
    _XDisplay* display_ = nullptr;
    std::atomic<bool> lost_{false};
    int xkbEventBase_ = 0;
    bool haveXTest_ = false;
    std::array<unsigned long, 3> indicatorAtoms_{};  // by LockKey

    // What the events have said so far. Events sent before `stateSerial_` (a request
    // number) are older than the last full read from the server and are passed over;
    // `namesSerial_` is the same for the indicators' names alone.
    unsigned long stateSerial_ = 0;
    unsigned long namesSerial_ = 0;
    bool stateStale_ = true;
    bool namesStale_ = true;
    unsigned int indicatorState_ = 0;           // bit i: indicator i is lit
    std::array<int, 3> indicatorIndex_{};       // by LockKey, -1 when there is none
    std::array<unsigned char, 32> keysDown_{};  // bit per keycode, as XQueryKeymap gives it
    std::chrono::steady_clock::time_point keysDownAsked_;  // never: asked for on first use
    unsigned char keysDownServed_ = 0;                     // bit per LockKey
    std::array<unsigned char, 3> keycodes_{};  // by LockKey, 0 when no key has the keysym
    bool keycodesStale_ = true;

    // What a press needs to know, kept until an event says it changed.
    _XkbDesc* indicators_ = nullptr;  // indicator names and maps
    bool indicatorMapsStale_ = true;
    _XkbDesc* keymap_ = nullptr;  // key types, symbols, actions, modifier map
    bool keymapStale_ = true;
};

}  // namespace glowtern
