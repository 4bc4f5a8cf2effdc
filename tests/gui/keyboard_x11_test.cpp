// The lock LEDs on the private X server, driven through SetKeyboardLed and read back on
// a second, independent connection.
#include "platform/keyboard_x11.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "devices/keyboard_led.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace glowtern {
namespace {

struct Led {
    const char* letter;
    LockKey key;
    const char* indicator;
};

constexpr Led kLeds[] = {
    {"c", LockKey::CapsLock, "Caps Lock"},
    {"n", LockKey::NumLock, "Num Lock"},
    {"s", LockKey::ScrollLock, "Scroll Lock"},
};

// The keyboard under test, and beside it another client of the same server (`display`) that
// reads the XKB indicators and locked modifiers, changes keys and maps, and counts the key events
// and XKB state and indicator changes that happen while it watches. Key events reach it through
// a small focused window of its own, so even a press of a key that changes no state is counted.
// Each test starts and ends with the three LEDs off.
class X11KeyboardLeds : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(keyboard.connected());
        int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion, xtest = 0;
        ASSERT_TRUE(display != nullptr &&
                    XkbQueryExtension(display, &opcode, &xkbEventBase, &error, &major, &minor) &&
                    XTestQueryExtension(display, &xtest, &error, &major, &minor));
        const unsigned int watched = XkbStateNotifyMask | XkbIndicatorStateNotifyMask;
        XkbSelectEvents(display, XkbUseCoreKbd, watched, watched);
        XSetWindowAttributes attributes = {};
        attributes.override_redirect = True;
        attributes.event_mask = KeyPressMask | KeyReleaseMask;
        const Window window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 16, 16, 0,
                                            CopyFromParent, InputOutput, CopyFromParent,
                                            CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display, window);
        XSync(display, False);  // no window manager: the window is viewable once mapped
        XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
        TearDown();
        keys();
        changes = 0;
    }
    void TearDown() override {
        for (const Led& led : kLeds) {
            SetKeyboardLed(leds, led.letter, 0);
        }
    }
    ~X11KeyboardLeds() override {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }

    KeyCode keycode(KeySym sym) { return XKeysymToKeycode(display, sym); }
    void press(KeyCode key, bool down) {
        XTestFakeKeyEvent(display, key, down, CurrentTime);
        XSync(display, False);
    }
    bool indicator(const char* name) {
        Bool on = False;
        XkbGetNamedIndicator(display, XInternAtom(display, name, False), nullptr, &on, nullptr,
                             nullptr);
        return on;
    }
    unsigned int lockedMods() {
        XkbStateRec state = {};
        XkbGetState(display, XkbUseCoreKbd, &state);
        return state.locked_mods;
    }
    // The key events since the last call, and (in `changes`) the XKB changes. The round trip
    // collects every event that the server generated before it, and the keyboard under test
    // syncs before it returns, so nothing that a call caused can arrive later.
    int keys() {
        XSync(display, False);
        int keyEvents = 0;
        for (XEvent event; XPending(display) > 0;) {
            XNextEvent(display, &event);
            keyEvents += event.type == KeyPress || event.type == KeyRelease;
            changes += event.type == xkbEventBase;
        }
        return keyEvents;
    }
    // A read and the number of requests it sent the server.
    std::pair<int32_t, unsigned long> readCounted(LockKey key) {
        const unsigned long before = keyboard.requestsSent();
        const int32_t state = keyboard.lockKeyState(key);
        return {state, keyboard.requestsSent() - before};
    }

    X11Keyboard keyboard;
    KeyboardLedOutput leds{keyboard};
    Display* display = XOpenDisplay(nullptr);
    int xkbEventBase = 0;
    int changes = 0;
};

TEST_F(X11KeyboardLeds, EachLedTurnsOnAndOffAloneAndIsLeftAloneWhenItAlreadyIs) {
    for (const Led& led : kLeds) {
        for (int wanted : {1, 0, 1, 0}) {
            SCOPED_TRACE(std::string(led.indicator) + (wanted ? " on" : " off"));
            std::vector<bool> before;
            for (const Led& other : kLeds) {
                before.push_back(indicator(other.indicator));
            }
            before[&led - kLeds] = wanted;
            // Caps Lock and Num Lock are real key presses. The server's default keymap binds
            // Scroll_Lock to no modifier: its key locks nothing, so that LED is set by itself.
            changes = 0;
            SetKeyboardLed(leds, led.letter, wanted);
            EXPECT_EQ(keys(), led.key == LockKey::ScrollLock ? 0 : 2);
            EXPECT_GT(changes, 0) << "a toggle went unseen";
            for (const Led& other : kLeds) {
                EXPECT_EQ(indicator(other.indicator), before[&other - kLeds]);
            }
            EXPECT_EQ(keyboard.lockKeyState(led.key), wanted);
            EXPECT_EQ((lockedMods() & LockMask) != 0, led.key == LockKey::CapsLock && wanted);
            changes = 0;
            SetKeyboardLed(leds, led.letter, wanted);
            SetKeyboardLed(leds, led.letter, wanted);
            EXPECT_EQ(keys() + changes, 0) << "nothing pressed or changed";
        }
    }
}

// A read asks the server one thing at most, which keys are down, and asks it again for a second
// read of the same key; the locks come from events, those of a change made here before the next
// read. A held key reads negative with its lock in bit 0, also one whose press changes no state
// (Scroll_Lock has no action in the default keymap).
TEST_F(X11KeyboardLeds, LocksComeFromEventsAndOnlyHeldKeysAreAskedFor) {
    using Read = std::pair<int32_t, unsigned long>;
    for (const Led& led : kLeds) {
        EXPECT_LE(readCounted(led.key).second, 1u);
        EXPECT_EQ(readCounted(led.key), Read(0, 1)) << led.indicator;
        SetKeyboardLed(leds, led.letter, 1);
        EXPECT_EQ(readCounted(led.key), Read(1, 1)) << led.indicator;
    }
    // Each key is read once before it is changed by the other client, so that the read after
    // asks anew which keys are down rather than share the answer of the read just before.
    const KeyCode capsKey = keycode(XK_Caps_Lock);
    const KeyCode scrollKey = keycode(XK_Scroll_Lock);
    keyboard.lockKeyState(LockKey::CapsLock);
    press(capsKey, true);
    press(capsKey, false);
    EXPECT_EQ(readCounted(LockKey::CapsLock), Read(0, 1));
    keyboard.lockKeyState(LockKey::ScrollLock);
    press(scrollKey, true);
    EXPECT_EQ(readCounted(LockKey::ScrollLock), Read(kLockKeyHeld | 1, 1));
    keyboard.lockKeyState(LockKey::CapsLock);
    press(capsKey, true);
    EXPECT_EQ(readCounted(LockKey::CapsLock), Read(kLockKeyHeld | 1, 1));
    EXPECT_EQ(keyboard.lockKeyState(LockKey::NumLock), 1) << "only held keys read held";
    press(capsKey, false);
    press(scrollKey, false);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::CapsLock), 1);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::ScrollLock), 1);
}

TEST_F(X11KeyboardLeds, FollowsIndicatorNamesSwappedByAnotherClient) {
    SetKeyboardLed(leds, "c", 1);
    // Swap the names of the Caps Lock and Num Lock indicators: each name now shows the other
    // one's lock. Then swap them back.
    XkbDescPtr xkb = XkbGetMap(display, 0, XkbUseCoreKbd);
    ASSERT_EQ(XkbGetNames(display, XkbIndicatorNamesMask, xkb), Success);
    Atom* names = xkb->names->indicators;
    const Atom capsName = XInternAtom(display, "Caps Lock", False);
    const Atom numName = XInternAtom(display, "Num Lock", False);
    Atom* caps = std::find(names, names + XkbNumIndicators, capsName);
    Atom* num = std::find(names, names + XkbNumIndicators, numName);
    ASSERT_TRUE(caps != names + XkbNumIndicators && num != names + XkbNumIndicators);
    for (const bool swapped : {true, false}) {
        std::swap(*caps, *num);
        ASSERT_TRUE(XkbSetNames(display, XkbIndicatorNamesMask, 0, 0, xkb));
        XSync(display, False);
        ASSERT_EQ(indicator("Caps Lock"), !swapped);
        EXPECT_EQ(keyboard.lockKeyState(LockKey::CapsLock), swapped ? 0 : 1);
        EXPECT_EQ(keyboard.lockKeyState(LockKey::NumLock), swapped ? 1 : 0);
    }
    XkbFreeKeyboard(xkb, 0, True);
}

}  // namespace
}  // namespace glowtern
