#pragma once

// The Windows build's small platform facilities: the single-instance guard, the keyboard's lock
// keys and the console's control events. (Recording, HID and the port library have headers of
// their own.)

#include <cstdint>

#include "platform/instance_guard.h"
#include "platform/keyboard.h"

namespace glowtern {

// A named semaphore (initial count 0, maximum 1) in the session's namespace. Another process
// made it first when the creation reports ERROR_ALREADY_EXISTS. As on Linux, a semaphore that
// cannot be made at all counts as held: the name is then taken by an object this process may
// not open (a copy started elevated, or another kind of object of that name), so another copy
// may be running and this one must not. The handle is never closed: the system lets the name
// go when the process ends.
class SemaphoreInstanceGuard final : public InstanceGuard {
  public:
    bool heldElsewhere(const std::string& name) override;
};

// The lock keys through GetKeyState and keybd_event (scan code 1): the state has bit 0 set while
// the lock is on and is negative while the key is held down, as GetKeyState gives it.
class Win32Keyboard final : public Keyboard {
  public:
    int32_t lockKeyState(LockKey key) override;
    void pressAndReleaseLockKey(LockKey key) override;
};

// Ctrl+C, Ctrl+Break, closing the console window, logoff and shutdown reach a console program
// as control events on a thread of their own. Each calls `request` (which must be safe from any
// thread). After the last three the system ends the process as soon as the handler returns, so
// the handler then holds it for up to `holdMilliseconds`, letting the program's own end run
// first; the process normally ends meanwhile.
void RouteConsoleEvents(void (*request)(), uint32_t holdMilliseconds);

}  // namespace glowtern
