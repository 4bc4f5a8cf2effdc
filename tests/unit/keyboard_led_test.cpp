#include "devices/keyboard_led.h"

#include <gtest/gtest.h>

#include <barrier>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/fake_platform.h"

namespace glowtern {
namespace {

using testing::FakeKeyboard;

// One press and release of the key the letter names, in either case, and only when the state
// differs; other letters do nothing.
TEST(SetKeyboardLed, PressesTheNamedKeyOnlyWhenItsStateDiffers) {
    const std::pair<const char*, LockKey> letters[] = {{"c", LockKey::CapsLock},
                                                       {"N", LockKey::NumLock},
                                                       {"s", LockKey::ScrollLock},
                                                       {"S", LockKey::ScrollLock}};
    for (const auto& [letter, key] : letters) {
        SCOPED_TRACE(letter);
        FakeKeyboard keyboard;
        KeyboardLedOutput leds(keyboard);
        for (const int32_t state : {0, 1, 1, 0}) {
            SetKeyboardLed(leds, letter, state);
            EXPECT_EQ(keyboard.locked(key), state == 1);
        }
        EXPECT_EQ(keyboard.presses(), (std::vector<LockKey>{key, key}));
    }
    FakeKeyboard keyboard;
    KeyboardLedOutput leds(keyboard);
    // A string_view that keeps its embedded NUL is two characters, not "c".
    for (const std::string_view letter : std::initializer_list<std::string_view>{
             "", "x", "k", "cn", "caps", "\xc3\x87", std::string_view("c\0", 2)}) {
        SetKeyboardLed(leds, letter, 1);
    }
    EXPECT_TRUE(keyboard.presses().empty());
}

TEST(SetKeyboardLed, HeldKeyIsPressedOnEveryCallUnlessTheWholeValueMatches) {
    FakeKeyboard keyboard;
    KeyboardLedOutput leds(keyboard);
    keyboard.setHeld(LockKey::CapsLock, true);
    // Its state is -128 or -127 now, equal to neither 0 nor 1.
    SetKeyboardLed(leds, "c", 1);
    SetKeyboardLed(leds, "c", 1);
    SetKeyboardLed(leds, "c", 0);
    EXPECT_EQ(keyboard.presses().size(), 3u);
    EXPECT_TRUE(keyboard.locked(LockKey::CapsLock));
    // A value saved while the key was held restores nothing while it still is.
    keyboard.clearPresses();
    const int32_t savedWhileHeld = keyboard.lockKeyState(LockKey::CapsLock);
    SetKeyboardLed(leds, "c", savedWhileHeld);
    EXPECT_TRUE(keyboard.presses().empty());
    // Released, the saved held value differs again and costs one toggle.
    keyboard.setHeld(LockKey::CapsLock, false);
    SetKeyboardLed(leds, "c", savedWhileHeld);
    SetKeyboardLed(leds, "n", 0);  // the other keys are not affected by the held one
    EXPECT_EQ(keyboard.presses(), std::vector<LockKey>{LockKey::CapsLock});
    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock));
}

// (Not in the Windows build: mingw-w64's std::barrier has no futex to wait on and crawls
// under Wine. The code under test is the same on both.)
#ifndef _WIN32
TEST(SetKeyboardLed, TwoThreadsLeaveTheStateTheLastCallWanted) {
    FakeKeyboard keyboard;
    // Stretch the gap between a read and a press so that two unguarded callers would both
    // see the old state and both press, undoing each other.
    keyboard.readDelay = std::chrono::microseconds(200);
    KeyboardLedOutput leds(keyboard);
    // Round r: both threads call at once. In even pairs of rounds both want the same state,
    // so exactly that state must result with at most one press; in the others they want
    // different states, which only has to stay consistent.
    constexpr int kRounds = 200;
    const auto wantedA = [](int round) { return round % 2; };
    const auto wantedB = [](int round) { return (round % 4 < 2) ? round % 2 : 1 - round % 2; };
    std::barrier sync(3);
    const auto worker = [&](auto wanted) {
        for (int round = 0; round < kRounds; ++round) {
            sync.arrive_and_wait();
            SetKeyboardLed(leds, "n", wanted(round));
            sync.arrive_and_wait();
        }
    };
    std::thread a(worker, wantedA);
    std::thread b(worker, wantedB);
    for (int round = 0; round < kRounds; ++round) {
        const bool before = keyboard.locked(LockKey::NumLock);
        const size_t pressesBefore = keyboard.presses().size();
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        const size_t pressed = keyboard.presses().size() - pressesBefore;
        const bool after = keyboard.locked(LockKey::NumLock);
        if (wantedA(round) == wantedB(round)) {
            EXPECT_EQ(after, wantedA(round) == 1) << "round " << round;
            EXPECT_EQ(pressed, before != after ? 1u : 0u) << "round " << round;
        } else {
            EXPECT_LE(pressed, 2u) << "round " << round;
        }
    }
    a.join();
    b.join();
    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock) || keyboard.locked(LockKey::ScrollLock));
}
#endif

}  // namespace
}  // namespace glowtern
