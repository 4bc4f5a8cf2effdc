// The lock LEDs on the private X server, driven through SetKeyboardLed and read back on
// a second, independent connection.
#include "platform/keyboard_x11.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <chrono>
#include <cstdlib>
#include <thread>

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
    KeySym keysym;
};

constexpr Led kLeds[] = {
    {"c", LockKey::CapsLock, "Caps Lock", XK_Caps_Lock},
    {"n", LockKey::NumLock, "Num Lock", XK_Num_Lock},
    {"s", LockKey::ScrollLock, "Scroll Lock", XK_Scroll_Lock},
};

// A second client of the same server: reads the XKB indicators and locked modifiers,
// and counts every keyboard state change, indicator change and key event that happens
// while it watches. Key events reach it through a small focused window of its own, so
// even a press of a key that changes no state is counted.
class Observer {
  public:
    Observer() {
        display_ = XOpenDisplay(nullptr);
        if (display_ == nullptr) {
            return;
        }
        int opcode = 0;
        int error = 0;
        int major = XkbMajorVersion;
        int minor = XkbMinorVersion;
        xkbOk_ = XkbQueryExtension(display_, &opcode, &xkbEventBase_, &error, &major, &minor);
        int xtestEvent = 0;
        xtestOk_ = XTestQueryExtension(display_, &xtestEvent, &error, &major, &minor);
        if (!xkbOk_) {
            return;
        }
        const unsigned int changes = XkbStateNotifyMask | XkbIndicatorStateNotifyMask;
        XkbSelectEvents(display_, XkbUseCoreKbd, changes, changes);

        XSetWindowAttributes attributes = {};
        attributes.override_redirect = True;
        attributes.event_mask = KeyPressMask | KeyReleaseMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 16, 16, 0,
                                CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display_, window_);
        // No window manager: the window is viewable once the server has mapped it.
        XSync(display_, False);
        XSetInputFocus(display_, window_, RevertToPointerRoot, CurrentTime);
        XSync(display_, False);
        takeEvents();
    }
    ~Observer() {
        if (display_ != nullptr) {
            XCloseDisplay(display_);
        }
    }
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    bool ready() const { return display_ != nullptr && xkbOk_ && xtestOk_; }
    Display* display() { return display_; }

    bool indicator(const char* name) {
        Bool on = False;
        XkbGetNamedIndicator(display_, XInternAtom(display_, name, False), nullptr, &on, nullptr,
                             nullptr);
        return on;
    }

    unsigned int lockedMods() {
        XkbStateRec state = {};
        XkbGetState(display_, XkbUseCoreKbd, &state);
        return state.locked_mods;
    }

    struct Events {
        int keys = 0;     // core key presses and releases
        int changes = 0;  // XKB state and indicator changes
        int total() const { return keys + changes; }
    };

    // What happened since the last call. The round trip collects every event that
    // the server generated before it, and the keyboard under test syncs before it
    // returns, so nothing that a call caused can arrive later.
    Events takeEvents() {
        XSync(display_, False);
        Events events;
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == KeyPress || event.type == KeyRelease) {
                ++events.keys;
            } else if (event.type == xkbEventBase_) {
                ++events.changes;
            }
        }
        return events;
    }

  private:
    Display* display_ = nullptr;
    Window window_ = 0;
    int xkbEventBase_ = 0;
    bool xkbOk_ = false;
    bool xtestOk_ = false;
};

TEST(X11KeyboardLeds, EachLedTurnsOnAndOffAndReadsBackIndependently) {
    X11Keyboard keyboard;
    ASSERT_TRUE(keyboard.connected());
    KeyboardLedOutput leds(keyboard);
    Observer observer;
    ASSERT_TRUE(observer.ready());

    for (const Led& led : kLeds) {
        SCOPED_TRACE(led.indicator);
        for (int wanted : {1, 0, 1, 0}) {
            bool others[3];
            for (int i = 0; i < 3; ++i) {
                others[i] = observer.indicator(kLeds[i].indicator);
            }
            SetKeyboardLed(leds, led.letter, wanted);
            EXPECT_EQ(observer.indicator(led.indicator), wanted == 1);
            EXPECT_EQ(keyboard.lockKeyState(led.key), wanted);
            for (int i = 0; i < 3; ++i) {
                if (kLeds[i].key != led.key) {
                    EXPECT_EQ(observer.indicator(kLeds[i].indicator), others[i])
                        << kLeds[i].indicator;
                }
            }
            if (led.key == LockKey::CapsLock) {
                // A real key press: the Lock modifier is locked with the LED.
                EXPECT_EQ((observer.lockedMods() & LockMask) != 0, wanted == 1);
            }
        }
    }
}

TEST(X11KeyboardLeds, NoKeyEventWhenTheStateAlreadyMatches) {
    X11Keyboard keyboard;
    ASSERT_TRUE(keyboard.connected());
    KeyboardLedOutput leds(keyboard);
    Observer observer;
    ASSERT_TRUE(observer.ready());

    for (const Led& led : kLeds) {
        SCOPED_TRACE(led.indicator);
        for (int wanted : {0, 1, 0}) {
            SetKeyboardLed(leds, led.letter, wanted);
            // The watch does see a real toggle (or the state was already right).
            observer.takeEvents();
            for (int repeat = 0; repeat < 3; ++repeat) {
                SetKeyboardLed(leds, led.letter, wanted);
            }
            const Observer::Events events = observer.takeEvents();
            EXPECT_EQ(events.keys, 0);
            EXPECT_EQ(events.changes, 0);
            EXPECT_EQ(observer.indicator(led.indicator), wanted == 1);

            SetKeyboardLed(leds, led.letter, 1 - wanted);
            EXPECT_GT(observer.takeEvents().total(), 0) << "a toggle went unseen";
            SetKeyboardLed(leds, led.letter, wanted);
        }
    }
}

TEST(X11KeyboardLeds, ScrollLockFollowsWhatTheKeymapGivesItsKey) {
    X11Keyboard keyboard;
    ASSERT_TRUE(keyboard.connected());
    KeyboardLedOutput leds(keyboard);
    Observer observer;
    ASSERT_TRUE(observer.ready());
    Display* display = observer.display();
    const KeyCode scrollKey = XKeysymToKeycode(display, XK_Scroll_Lock);
    ASSERT_NE(scrollKey, 0);

    // The server's default keymap binds Scroll_Lock to no modifier: its key locks
    // nothing, so the LED is set on the indicator itself and no key is pressed.
    SetKeyboardLed(leds, "s", 0);
    observer.takeEvents();
    const unsigned int modsBefore = observer.lockedMods();
    SetKeyboardLed(leds, "s", 1);
    EXPECT_TRUE(observer.indicator("Scroll Lock"));
    EXPECT_EQ(keyboard.lockKeyState(LockKey::ScrollLock), 1);
    EXPECT_EQ(observer.takeEvents().keys, 0);
    EXPECT_EQ(observer.lockedMods(), modsBefore);
    SetKeyboardLed(leds, "s", 0);
    EXPECT_FALSE(observer.indicator("Scroll Lock"));
    EXPECT_EQ(keyboard.lockKeyState(LockKey::ScrollLock), 0);

    // Map Scroll_Lock to Mod3, as some layouts do: now the key locks the modifier
    // that lights the LED, and the key is what gets pressed.
    XModifierKeymap* modmap = XGetModifierMapping(display);
    modmap = XInsertModifiermapEntry(modmap, scrollKey, Mod3MapIndex);
    ASSERT_EQ(XSetModifierMapping(display, modmap), MappingSuccess);
    observer.takeEvents();

    SetKeyboardLed(leds, "s", 1);
    EXPECT_TRUE(observer.indicator("Scroll Lock"));
    EXPECT_NE(observer.lockedMods() & Mod3Mask, 0u);
    EXPECT_EQ(observer.takeEvents().keys, 2);
    SetKeyboardLed(leds, "s", 0);
    EXPECT_FALSE(observer.indicator("Scroll Lock"));
    EXPECT_EQ(observer.lockedMods() & Mod3Mask, 0u);
    EXPECT_EQ(observer.takeEvents().keys, 2);

    // Let the indicator show Mod4 instead: the key still locks Mod3, which does not
    // light the LED, so the LED is set on the indicator itself again.
    const Atom scrollAtom = XInternAtom(display, "Scroll Lock", False);
    int index = -1;
    ASSERT_TRUE(XkbGetNamedIndicator(display, scrollAtom, &index, nullptr, nullptr, nullptr));
    XkbDescPtr xkb = XkbGetMap(display, 0, XkbUseCoreKbd);
    ASSERT_NE(xkb, nullptr);
    ASSERT_EQ(XkbGetIndicatorMap(display, 1u << index, xkb), Success);
    const XkbIndicatorMapRec original = xkb->indicators->maps[index];
    XkbIndicatorMapRec& map = xkb->indicators->maps[index];
    map.which_mods = XkbIM_UseLocked;
    map.mods.real_mods = Mod4Mask;
    map.mods.mask = Mod4Mask;
    map.mods.vmods = 0;
    ASSERT_TRUE(XkbSetIndicatorMap(display, 1u << index, xkb));
    observer.takeEvents();

    SetKeyboardLed(leds, "s", 1);
    EXPECT_TRUE(observer.indicator("Scroll Lock"));
    EXPECT_EQ(observer.lockedMods() & Mod3Mask, 0u);
    EXPECT_EQ(observer.takeEvents().keys, 0);
    SetKeyboardLed(leds, "s", 0);
    EXPECT_FALSE(observer.indicator("Scroll Lock"));

    xkb->indicators->maps[index] = original;
    EXPECT_TRUE(XkbSetIndicatorMap(display, 1u << index, xkb));
    XkbFreeKeyboard(xkb, 0, True);
    modmap = XDeleteModifiermapEntry(modmap, scrollKey, Mod3MapIndex);
    EXPECT_EQ(XSetModifierMapping(display, modmap), MappingSuccess);
    XFreeModifiermap(modmap);
    XSync(display, False);
}

TEST(X11KeyboardLeds, HeldLockKeyReadsNegativeWithItsLockInBitZero) {
    X11Keyboard keyboard;
    ASSERT_TRUE(keyboard.connected());
    Observer observer;
    ASSERT_TRUE(observer.ready());
    Display* display = observer.display();
    const KeyCode numKey = XKeysymToKeycode(display, XK_Num_Lock);
    ASSERT_NE(numKey, 0);

    EXPECT_GE(keyboard.lockKeyState(LockKey::NumLock), 0);
    XTestFakeKeyEvent(display, numKey, True, CurrentTime);
    XSync(display, False);
    const int32_t held = keyboard.lockKeyState(LockKey::NumLock);
    EXPECT_LT(held, 0);
    EXPECT_EQ(held & 1, observer.indicator("Num Lock") ? 1 : 0);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::CapsLock) & ~1, 0) << "only the held key reads held";

    XTestFakeKeyEvent(display, numKey, False, CurrentTime);
    XSync(display, False);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::NumLock), observer.indicator("Num Lock") ? 1 : 0);
}

// A read and the number of requests it sent the server.
struct Read {
    int32_t state;
    unsigned long requests;
};

Read readCounted(X11Keyboard& keyboard, LockKey key) {
    const unsigned long before = keyboard.requestsSent();
    const int32_t state = keyboard.lockKeyState(key);
    return {state, keyboard.requestsSent() - before};
}

TEST(X11KeyboardLeds, LocksComeFromEventsAndOnlyHeldKeysAreAskedFor) {
    X11Keyboard keyboard;
    ASSERT_TRUE(keyboard.connected());
    KeyboardLedOutput leds(keyboard);
    Observer observer;
    ASSERT_TRUE(observer.ready());
    Display* display = observer.display();
    for (const Led& led : kLeds) {
        SetKeyboardLed(leds, led.letter, 0);
    }

    // A read asks for one thing at most: which keys are down. A second read of the
    // same key always asks it again; the lock itself is never asked for.
    for (const Led& led : kLeds) {
        SCOPED_TRACE(led.indicator);
        EXPECT_LE(readCounted(keyboard, led.key).requests, 1u);
        const Read again = readCounted(keyboard, led.key);
        EXPECT_EQ(again.state, 0);
        EXPECT_EQ(again.requests, 1u);
    }

    // A change made here is in the very next read: its events came before the reply
    // that ended the press, and the press took in what they made unknown.
    for (const Led& led : kLeds) {
        SCOPED_TRACE(led.indicator);
        SetKeyboardLed(leds, led.letter, 1);
        const Read read = readCounted(keyboard, led.key);
        EXPECT_EQ(read.state, 1);
        EXPECT_EQ(read.requests, 1u);
    }

    // Changes by another client, by a key press and by a locked modifier. Which keys
    // are down may be shared with the reads of the other keys just before, so each key
    // is read once before it is changed: then the read after the change asks anew.
    const KeyCode capsKey = XKeysymToKeycode(display, XK_Caps_Lock);
    const KeyCode scrollKey = XKeysymToKeycode(display, XK_Scroll_Lock);
    const unsigned int numLockMods = XkbKeysymToModifiers(display, XK_Num_Lock);
    ASSERT_NE(capsKey, 0);
    ASSERT_NE(scrollKey, 0);
    ASSERT_NE(numLockMods, 0u);
    keyboard.lockKeyState(LockKey::CapsLock);
    XTestFakeKeyEvent(display, capsKey, True, CurrentTime);
    XTestFakeKeyEvent(display, capsKey, False, CurrentTime);
    XSync(display, False);
    Read read = readCounted(keyboard, LockKey::CapsLock);
    EXPECT_EQ(read.state, 0);
    EXPECT_EQ(read.requests, 1u);
    keyboard.lockKeyState(LockKey::NumLock);
    XkbLockModifiers(display, XkbUseCoreKbd, numLockMods, 0);
    XSync(display, False);
    read = readCounted(keyboard, LockKey::NumLock);
    EXPECT_EQ(read.state, 0);
    EXPECT_EQ(read.requests, 1u);
    XkbLockModifiers(display, XkbUseCoreKbd, numLockMods, numLockMods);
    XSync(display, False);
    read = readCounted(keyboard, LockKey::NumLock);
    EXPECT_EQ(read.state, 1);
    EXPECT_EQ(read.requests, 1u);

    // An indicator set by name: the server reports a name change with it, so this read
    // also asks where the names are now.
    keyboard.lockKeyState(LockKey::ScrollLock);
    XkbSetNamedIndicator(display, XInternAtom(display, "Scroll Lock", False), True, False, False,
                         nullptr);
    XSync(display, False);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::ScrollLock), 0);

    // Held keys, also one whose press changes no keyboard state at all (Scroll_Lock
    // has no action in the default keymap).
    XTestFakeKeyEvent(display, scrollKey, True, CurrentTime);
    XSync(display, False);
    read = readCounted(keyboard, LockKey::ScrollLock);
    EXPECT_EQ(read.state, kLockKeyHeld);
    EXPECT_EQ(read.requests, 1u);
    keyboard.lockKeyState(LockKey::CapsLock);
    XTestFakeKeyEvent(display, capsKey, True, CurrentTime);
    XSync(display, False);
    read = readCounted(keyboard, LockKey::CapsLock);
    EXPECT_EQ(read.state, kLockKeyHeld | 1);
    EXPECT_EQ(read.requests, 1u);
    XTestFakeKeyEvent(display, capsKey, False, CurrentTime);
    XSync(display, False);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::CapsLock), 1);

    // A keyboard opened while a key is down knows it is down.
    {
        X11Keyboard later;
        ASSERT_TRUE(later.connected());
        EXPECT_EQ(later.lockKeyState(LockKey::ScrollLock), kLockKeyHeld);
        EXPECT_EQ(later.lockKeyState(LockKey::CapsLock), 1);
    }
    keyboard.lockKeyState(LockKey::ScrollLock);
    XTestFakeKeyEvent(display, scrollKey, False, CurrentTime);
    XSync(display, False);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::ScrollLock), 0);

    // Inside analysis cycles nothing waits for the server: a press goes unconfirmed, and the
    // next cycle's reads take the answer the last cycle's end asked for, with no request of
    // their own; they see that cycle's press and a key held before its end.
    keyboard.beginCycle();
    SetKeyboardLed(leds, "n", 1);
    XTestFakeKeyEvent(display, capsKey, True, CurrentTime);
    XSync(display, False);
    keyboard.endCycle();
    keyboard.beginCycle();
    const Read num = readCounted(keyboard, LockKey::NumLock);
    const Read caps = readCounted(keyboard, LockKey::CapsLock);
    keyboard.endCycle();
    EXPECT_EQ(num.state, 1);
    EXPECT_EQ(num.requests, 0u);
    EXPECT_EQ(caps.state, kLockKeyHeld | 1);
    EXPECT_EQ(caps.requests, 0u);
    XTestFakeKeyEvent(display, capsKey, False, CurrentTime);
    XSync(display, False);

    for (const Led& led : kLeds) {
        SetKeyboardLed(leds, led.letter, 0);
        EXPECT_FALSE(observer.indicator(led.indicator));
    }
}

TEST(X11KeyboardLeds, FollowsIndicatorNamesAndLockKeysMovedByAnotherClient) {
    X11Keyboard keyboard;
    ASSERT_TRUE(keyboard.connected());
    KeyboardLedOutput leds(keyboard);
    Observer observer;
    ASSERT_TRUE(observer.ready());
    Display* display = observer.display();
    SetKeyboardLed(leds, "c", 1);
    SetKeyboardLed(leds, "n", 0);

    // Swap the names of the Caps Lock and Num Lock indicators: each name now shows
    // the other one's lock.
    XkbDescPtr xkb = XkbGetMap(display, 0, XkbUseCoreKbd);
    ASSERT_NE(xkb, nullptr);
    ASSERT_EQ(XkbGetNames(display, XkbIndicatorNamesMask, xkb), Success);
    const Atom capsName = XInternAtom(display, "Caps Lock", False);
    const Atom numName = XInternAtom(display, "Num Lock", False);
    int capsIndex = -1;
    int numIndex = -1;
    for (int i = 0; i < XkbNumIndicators; ++i) {
        if (xkb->names->indicators[i] == capsName) {
            capsIndex = i;
        } else if (xkb->names->indicators[i] == numName) {
            numIndex = i;
        }
    }
    ASSERT_GE(capsIndex, 0);
    ASSERT_GE(numIndex, 0);
    xkb->names->indicators[capsIndex] = numName;
    xkb->names->indicators[numIndex] = capsName;
    ASSERT_TRUE(XkbSetNames(display, XkbIndicatorNamesMask, 0, 0, xkb));
    XSync(display, False);
    ASSERT_FALSE(observer.indicator("Caps Lock"));
    ASSERT_TRUE(observer.indicator("Num Lock"));
    EXPECT_EQ(keyboard.lockKeyState(LockKey::CapsLock), 0);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::NumLock), 1);

    xkb->names->indicators[capsIndex] = capsName;
    xkb->names->indicators[numIndex] = numName;
    EXPECT_TRUE(XkbSetNames(display, XkbIndicatorNamesMask, 0, 0, xkb));
    XkbFreeKeyboard(xkb, 0, True);
    XSync(display, False);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::CapsLock), 1);
    EXPECT_EQ(keyboard.lockKeyState(LockKey::NumLock), 0);

    // Give Caps_Lock to a lower keycode than its own, where it is found first: holding
    // that key is holding Caps Lock.
    const KeyCode capsKey = XKeysymToKeycode(display, XK_Caps_Lock);
    int minKey = 0;
    int maxKey = 0;
    XDisplayKeycodes(display, &minKey, &maxKey);
    ASSERT_GT(capsKey, minKey);
    const KeyCode moved = static_cast<KeyCode>(minKey);
    int width = 0;
    KeySym* saved = XGetKeyboardMapping(display, moved, 1, &width);
    ASSERT_NE(saved, nullptr);
    KeySym capsSym = XK_Caps_Lock;
    XChangeKeyboardMapping(display, moved, 1, &capsSym, 1);
    XSync(display, False);
    ASSERT_EQ(XKeysymToKeycode(display, XK_Caps_Lock), moved);
    keyboard.lockKeyState(LockKey::CapsLock);  // takes in the keymap change
    XTestFakeKeyEvent(display, moved, True, CurrentTime);
    XSync(display, False);
    EXPECT_LT(keyboard.lockKeyState(LockKey::CapsLock), 0);
    XTestFakeKeyEvent(display, moved, False, CurrentTime);
    XSync(display, False);
    EXPECT_GE(keyboard.lockKeyState(LockKey::CapsLock), 0);

    XChangeKeyboardMapping(display, moved, width, saved, 1);
    XFree(saved);
    XSync(display, False);
    SetKeyboardLed(leds, "c", 0);
    EXPECT_FALSE(observer.indicator("Caps Lock"));
    EXPECT_EQ(XKeysymToKeycode(display, XK_Caps_Lock), capsKey);
}

// Passes everything on to the real keyboard, but lets time pass after each state read,
// so that two callers that do not keep their read and press together both read first.
class SlowReadingKeyboard final : public Keyboard {
  public:
    explicit SlowReadingKeyboard(Keyboard& inner) : inner_(inner) {}
    int32_t lockKeyState(LockKey key) override {
        const int32_t state = inner_.lockKeyState(key);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return state;
    }
    void pressAndReleaseLockKey(LockKey key) override { inner_.pressAndReleaseLockKey(key); }

  private:
    Keyboard& inner_;
};

TEST(X11KeyboardLeds, TwoThreadsLeaveTheLedsAsTheLastCallWanted) {
    X11Keyboard x11;
    ASSERT_TRUE(x11.connected());
    SlowReadingKeyboard keyboard(x11);
    KeyboardLedOutput leds(keyboard);
    Observer observer;
    ASSERT_TRUE(observer.ready());

    // Each round both threads set all three LEDs at once to the same state; a pair
    // of presses from two threads that both saw the old state would undo itself.
    constexpr int kRounds = 30;
    std::barrier sync(3);
    auto worker = [&] {
        for (int round = 0; round < kRounds; ++round) {
            sync.arrive_and_wait();
            for (const Led& led : kLeds) {
                SetKeyboardLed(leds, led.letter, round % 2);
            }
            sync.arrive_and_wait();
        }
    };
    std::thread a(worker);
    std::thread b(worker);
    for (int round = 0; round < kRounds; ++round) {
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        for (const Led& led : kLeds) {
            EXPECT_EQ(observer.indicator(led.indicator), round % 2 == 1)
                << led.indicator << ", round " << round;
        }
    }
    a.join();
    b.join();

    // Then one call from each thread, one after the other: the later one holds.
    std::thread([&] { SetKeyboardLed(leds, "c", 1); }).join();
    std::thread([&] { SetKeyboardLed(leds, "c", 0); }).join();
    EXPECT_FALSE(observer.indicator("Caps Lock"));
    std::thread([&] { SetKeyboardLed(leds, "c", 0); }).join();
    std::thread([&] { SetKeyboardLed(leds, "c", 1); }).join();
    EXPECT_TRUE(observer.indicator("Caps Lock"));
    SetKeyboardLed(leds, "c", 0);
}

TEST(X11KeyboardLeds, WithoutADisplayNothingHappensAndNothingFails) {
    Observer observer;
    ASSERT_TRUE(observer.ready());
    bool before[3];
    for (int i = 0; i < 3; ++i) {
        before[i] = observer.indicator(kLeds[i].indicator);
    }
    observer.takeEvents();

    X11Keyboard unreachable(":not-a-display");
    EXPECT_FALSE(unreachable.connected());
    KeyboardLedOutput leds(unreachable);
    for (const Led& led : kLeds) {
        EXPECT_EQ(unreachable.lockKeyState(led.key), 0);
        SetKeyboardLed(leds, led.letter, 1);
        unreachable.pressAndReleaseLockKey(led.key);
    }
    EXPECT_EQ(observer.takeEvents().total(), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(observer.indicator(kLeds[i].indicator), before[i]);
    }

    // No $DISPLAY at all, in a child so that this process keeps its own.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsetenv("DISPLAY");
        X11Keyboard keyboard;
        KeyboardLedOutput childLeds(keyboard);
        int failures = keyboard.connected() ? 1 : 0;
        for (const Led& led : kLeds) {
            SetKeyboardLed(childLeds, led.letter, 1);
            failures += keyboard.lockKeyState(led.key) != 0 ? 1 : 0;
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace glowtern
