#include "devices/keyboard_led.h"

#include <optional>

namespace glowtern {

namespace {

std::optional<LockKey> lockKeyForLetter(std::string_view letter) {
    if (letter.size() != 1) {
        return std::nullopt;
    }
    // ASCII lower-casing only: the letters are plain Latin, whatever the locale.
    char c = letter[0];
    if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
    }
    switch (c) {
        case 'c':
            return LockKey::CapsLock;
        case 'n':
            return LockKey::NumLock;
        case 's':
            return LockKey::ScrollLock;
        default:
            return std::nullopt;
    }
}

}  // namespace

KeyboardLedOutput::KeyboardLedOutput(Keyboard& target) : keyboard(target) {}

void SetKeyboardLed(KeyboardLedOutput& leds, std::string_view letter, int32_t wanted) {
    const std::optional<LockKey> key = lockKeyForLetter(letter);
    if (!key) {
        return;
    }
    // Without the lock, two threads that both see the old state would both press,
    // and the second press would undo the first.
    std::lock_guard<std::mutex> lock(leds.mutex);
    if (leds.keyboard.lockKeyState(*key) == wanted) {
        return;
    }
    leds.keyboard.pressAndReleaseLockKey(*key);
}

void RestoreLedStates(KeyboardLedOutput& leds, const SavedLedStates& saved) {
    SetKeyboardLed(leds, "n", saved.numLock);
    SetKeyboardLed(leds, "c", saved.capsLock);
    SetKeyboardLed(leds, "s", saved.scrollLock);
}

}  // namespace glowtern
