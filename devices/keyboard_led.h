#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/keyboard.h"

namespace glowtern {

// The keyboard whose lock LEDs serve as three lamps. The worker thread and the main
// thread both drive them; the mutex keeps each read-compare-press in one piece.
struct KeyboardLedOutput {
    explicit KeyboardLedOutput(Keyboard& keyboard);

    Keyboard& keyboard;
    std::mutex mutex;
};

// Brings one lock LED to `wanted` by one press and release of its lock key when the
// key's state differs from it. `letter` is "c" (Caps Lock), "n" (Num Lock) or "s"
// (Scroll Lock), in either case; any other letter does nothing. `wanted` is compared
// with the key's whole state value, so a value taken earlier from
// Keyboard::lockKeyState restores exactly that state.
void SetKeyboardLed(KeyboardLedOutput& leds, std::string_view letter, int32_t wanted);

// Lock states as the keyboard reported them, to be handed back later.
struct SavedLedStates {
    int32_t capsLock = 0;
    int32_t numLock = 0;
    int32_t scrollLock = 0;
};

// Hands the LEDs back to `saved`: Num Lock, Caps Lock, Scroll Lock.
void RestoreLedStates(KeyboardLedOutput& leds, const SavedLedStates& saved);

}  // namespace glowtern
