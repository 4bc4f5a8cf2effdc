#include "devices/keyboard_led.h"

#include <gtest/gtest.h>

#include <barrier>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/fake_keyboard.h"

namespace glowtern {
namespace {

using testing::FakeKeyboard;

TEST(SetKeyboardLed, SendsNothingWhenTheStateAlreadyMatches) {
    FakeKeyboard keyboard;
    KeyboardLedOutput leds(keyboard);
    keyboard.setLocked(LockKey::NumLock, true);

    SetKeyboardLed(leds, "c", 0);
    SetKeyboardLed(leds, "n", 1);
    SetKeyboardLed(leds, "s", 0);

    EXPECT_TRUE(keyboard.presses().empty());
    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock));
    EXPECT_TRUE(keyboard.locked(LockKey::NumLock));
    EXPECT_FALSE(keyboard.locked(LockKey::ScrollLock));
}

TEST(SetKeyboardLed, OnePressAndReleaseOfTheLetterKeyInEitherCase) {
    struct Case {
        const char* letter;
        LockKey key;
    };
    for (const Case& c : {Case{"c", LockKey::CapsLock}, Case{"C", LockKey::CapsLock},
                          Case{"n", LockKey::NumLock}, Case{"N", LockKey::NumLock},
                          Case{"s", LockKey::ScrollLock}, Case{"S", LockKey::ScrollLock}}) {
        SCOPED_TRACE(c.letter);
        FakeKeyboard keyboard;
        KeyboardLedOutput leds(keyboard);

        SetKeyboardLed(leds, c.letter, 1);
        EXPECT_EQ(keyboard.presses(), std::vector<LockKey>{c.key});
        EXPECT_TRUE(keyboard.locked(c.key));

        SetKeyboardLed(leds, c.letter, 0);
        EXPECT_EQ(keyboard.presses(), (std::vector<LockKey>{c.key, c.key}));
        EXPECT_FALSE(keyboard.locked(c.key));
    }
}

TEST(SetKeyboardLed, OtherLettersDoNothing) {
    FakeKeyboard keyboard;
    KeyboardLedOutput leds(keyboard);
    for (const char* letter : {"", "x", "k", "cn", "caps", "\xc3\x87"}) {
        SetKeyboardLed(leds, letter, 1);
    }
    // A string_view that keeps its embedded NUL is two characters, not "c".
    SetKeyboardLed(leds, std::string_view("c\0", 2), 1);
    EXPECT_TRUE(keyboard.presses().empty());
    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock));
    EXPECT_FALSE(keyboard.locked(LockKey::NumLock));
    EXPECT_FALSE(keyboard.locked(LockKey::ScrollLock));
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
    SetKeyboardLed(leds, "c", keyboard.lockKeyState(LockKey::CapsLock));
    EXPECT_TRUE(keyboard.presses().empty());

    // Released, the saved held value differs again and costs one toggle.
    const int32_t savedWhileHeld = keyboard.lockKeyState(LockKey::CapsLock);
    keyboard.setHeld(LockKey::CapsLock, false);
    SetKeyboardLed(leds, "c", savedWhileHeld);
    EXPECT_EQ(keyboard.presses(), std::vector<LockKey>{LockKey::CapsLock});
    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock));

    // The other keys are not affected by the held one.
    SetKeyboardLed(leds, "n", 0);
    EXPECT_EQ(keyboard.presses().size(), 1u);
}

// (Not in the Windows build: mingw-w64's std::barrier has no futex to wait on and crawls
// under Wine. The code under test is the same on both.)
#ifndef _WIN32
TEST(SetKeyboardLed, TwoThreadsLeaveTheStateTheLastCallWanted) {
    FakeKeyboard keyboard;
    // Stretch the gap between a read and a press so that two unguarded callers would
    // both see the old state and both press, undoing each other.
    keyboard.setReadDelay(std::chrono::microseconds(200));
    KeyboardLedOutput leds(keyboard);

    constexpr int kRounds = 200;
    // Round r: both threads call at once. In even pairs of rounds both want the same
    // state, so exactly that state must result with at most one press; in the others
    // they want different states, which only has to stay consistent.
    auto wantedA = [](int round) { return round % 2; };
    auto wantedB = [](int round) { return (round % 4 < 2) ? round % 2 : 1 - round % 2; };

    std::barrier sync(3);
    auto worker = [&](auto wanted) {
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

    // One last call from each thread, in a known order: the later one wins.
    keyboard.setLocked(LockKey::NumLock, false);
    std::thread([&] { SetKeyboardLed(leds, "n", 1); }).join();
    std::thread([&] { SetKeyboardLed(leds, "n", 0); }).join();
    EXPECT_FALSE(keyboard.locked(LockKey::NumLock));
    std::thread([&] { SetKeyboardLed(leds, "n", 0); }).join();
    std::thread([&] { SetKeyboardLed(leds, "n", 1); }).join();
    EXPECT_TRUE(keyboard.locked(LockKey::NumLock));

    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock));
    EXPECT_FALSE(keyboard.locked(LockKey::ScrollLock));
}
#endif

}  // namespace
}  // namespace glowtern
