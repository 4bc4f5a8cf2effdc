#include "platform/keyboard_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace glowtern {

namespace {

constexpr std::array<const char*, 3> kIndicatorNames = {"Caps Lock", "Num Lock", "Scroll Lock"};
constexpr std::array<KeySym, 3> kLockKeySyms = {XK_Caps_Lock, XK_Num_Lock, XK_Scroll_Lock};

// How long one answer to "which keys are down" serves the reads of the other lock keys.
constexpr std::chrono::milliseconds kKeysDownShared{10};

size_t indexOf(LockKey key) {
    return static_cast<size_t>(key);
}

// The group a key press would act in now: the effective group, brought into the key's
// own range the way the server does it.
int groupForKey(XkbDescPtr xkb, KeyCode keycode, int effectiveGroup) {
    const int groups = XkbKeyNumGroups(xkb, keycode);
    if (effectiveGroup < groups) {
        return effectiveGroup;
    }
    const unsigned char info = XkbKeyGroupInfo(xkb, keycode);
    switch (XkbOutOfRangeGroupAction(info)) {
        case XkbClampIntoRange:
            return groups - 1;
        case XkbRedirectIntoRange: {
            const int redirected = XkbOutOfRangeGroupNumber(info);
            return redirected < groups ? redirected : 0;
        }
        default:
            return effectiveGroup % groups;
    }
}

// The shift level a key press would reach in `group` with the modifiers now in effect.
int levelForKey(XkbDescPtr xkb, KeyCode keycode, int group, unsigned int effectiveMods) {
    const XkbKeyTypePtr type = XkbKeyKeyType(xkb, keycode, group);
    const unsigned int relevant = effectiveMods & type->mods.mask;
    for (int i = 0; i < type->map_count; ++i) {
        if (type->map[i].active && type->map[i].mods.mask == relevant) {
            return type->map[i].level;
        }
    }
    return 0;
}

// Whether every group and shift level of the key has the same action: then what a
// press does is known without asking for the keyboard's state at the moment.
bool sameActionEverywhere(XkbDescPtr xkb, KeyCode keycode) {
    const XkbAction* first = XkbKeyActionEntry(xkb, keycode, 0, 0);
    for (int group = 0; group < XkbKeyNumGroups(xkb, keycode); ++group) {
        const int levels = XkbKeyKeyType(xkb, keycode, group)->num_levels;
        for (int level = 0; level < levels; ++level) {
            const XkbAction* action = XkbKeyActionEntry(xkb, keycode, level, group);
            if (action->type != first->type ||
                std::memcmp(action->any.data, first->any.data, sizeof action->any.data) != 0) {
                return false;
            }
        }
    }
    return true;
}

// Whether a press and release of `keycode` toggles the indicator described by `map`.
// This is read from the keymap rather than tried out, because a trial press would
// itself change the user's keyboard state. The key's action in the current group and
// shift level must lock (and unlock) modifiers that drive the indicator through their
// locked or effective state, or lock a control the indicator shows. On the default
// keymap the Scroll_Lock key is bound to no modifier and has no action at all.
// `xkb` holds the key types, symbols, actions and modifier map.
bool keyTogglesIndicator(Display* display, XkbDescPtr xkb, KeyCode keycode,
                         const XkbIndicatorMapRec& map) {
    if (keycode < xkb->min_key_code || keycode > xkb->max_key_code ||
        XkbKeyNumGroups(xkb, keycode) == 0 || !XkbKeyHasActions(xkb, keycode)) {
        return false;
    }
    int group = 0;
    int level = 0;
    if (!sameActionEverywhere(xkb, keycode)) {
        XkbStateRec state;
        if (XkbGetState(display, XkbUseCoreKbd, &state) != Success) {
            return false;
        }
        group = groupForKey(xkb, keycode, state.group);
        level = levelForKey(xkb, keycode, group, state.mods);
    }
    const XkbAction* action = XkbKeyActionEntry(xkb, keycode, level, group);
    if (action->type == XkbSA_LockMods) {
        const XkbModAction& lock = action->mods;
        unsigned int mods = lock.mask;
        if (lock.flags & XkbSA_UseModMapMods) {
            mods |= xkb->map->modmap[keycode];
        }
        const bool onlyOneWay = (lock.flags & (XkbSA_LockNoLock | XkbSA_LockNoUnlock)) != 0;
        const bool followsLocks =
            (map.which_mods & (XkbIM_UseLocked | XkbIM_UseEffective | XkbIM_UseCompat)) != 0;
        return !onlyOneWay && followsLocks && (mods & map.mods.mask) != 0;
    }
    if (action->type == XkbSA_LockControls) {
        return (XkbActionCtrls(&action->ctrls) & map.ctrls) != 0;
    }
    return false;
}

// The keyboard's own display connections. Xlib's handler of a lost connection is one for the
// whole process, and its default ends the process from whichever thread noticed (the worker,
// in the middle of a cycle): for these connections the handler returns instead, and the
// connection's own exit handler marks the keyboard as gone. Other connections (the window
// system's) keep the handler that was there before.
std::mutex lostHandlerMutex;
XIOErrorHandler previousLostHandler = nullptr;
bool lostHandlerInstalled = false;
std::array<std::atomic<Display*>, 4> keyboardDisplays{};

int onConnectionLost(Display* display) {
    for (const std::atomic<Display*>& own : keyboardDisplays) {
        if (own.load() == display) {
            return 0;
        }
    }
    return previousLostHandler != nullptr ? previousLostHandler(display) : 0;
}

void installLostHandler() {
    std::lock_guard lock(lostHandlerMutex);
    if (!lostHandlerInstalled) {
        lostHandlerInstalled = true;
        previousLostHandler = XSetIOErrorHandler(onConnectionLost);
    }
}

void registerDisplay(Display* display, bool add) {
    for (std::atomic<Display*>& own : keyboardDisplays) {
        Display* expected = add ? nullptr : display;
        if (own.compare_exchange_strong(expected, add ? display : nullptr)) {
            return;
        }
    }
}

}  // namespace

void X11Keyboard::onDisplayLost(Display* /*display*/, void* keyboard) {
    // Inside an Xlib call of this keyboard, which holds its mutex: only the flag changes.
    static_cast<X11Keyboard*>(keyboard)->lost_.store(true);
}

X11Keyboard::X11Keyboard(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) {
        return;
    }
    installLostHandler();
    registerDisplay(display, true);
    XSetIOErrorExitHandler(display, &X11Keyboard::onDisplayLost, this);
    int opcode = 0;
    int xkbError = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &xkbEventBase_, &xkbError, &major, &minor)) {
        // No indicators to read: treat the server like no server at all.
        registerDisplay(display, false);
        XCloseDisplay(display);
        return;
    }
    int xtestEvent = 0;
    int xtestError = 0;
    haveXTest_ = XTestQueryExtension(display, &xtestEvent, &xtestError, &major, &minor) != False;
    for (size_t i = 0; i < kIndicatorNames.size(); ++i) {
        indicatorAtoms_[i] = XInternAtom(display, kIndicatorNames[i], False);
    }
    // From here on the server tells this connection what changes: the indicators and
    // their maps, the keymap (the lock keys' keycodes and actions), which indicator has
    // which name, and a new keyboard behind the core one. Each call takes in what has
    // arrived. All of these are rare unless the LEDs change, so little piles up for this
    // connection while no one calls (the LEDs not in use).
    const unsigned int changes = XkbIndicatorStateNotifyMask | XkbIndicatorMapNotifyMask |
                                 XkbMapNotifyMask | XkbNamesNotifyMask | XkbNewKeyboardNotifyMask;
    XkbSelectEvents(display, XkbUseCoreKbd, changes, changes);
    XkbSelectEventDetails(display, XkbUseCoreKbd, XkbNamesNotify, XkbAllNamesMask,
                          XkbIndicatorNamesMask);
    indicators_ = XkbAllocKeyboard();
    if (indicators_ == nullptr) {
        registerDisplay(display, false);
        XCloseDisplay(display);
        return;
    }
    display_ = display;
    readStateFromServer();
}

X11Keyboard::~X11Keyboard() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keymap_ != nullptr) {
        XkbFreeKeyboard(keymap_, 0, True);
    }
    if (indicators_ != nullptr) {
        XkbFreeKeyboard(indicators_, 0, True);
    }
    if (display_ != nullptr) {
        XCloseDisplay(display_);
        registerDisplay(display_, false);
        display_ = nullptr;
    }
}

// The indicators and their names' places, asked for. Events already on their way
// describe older states, so they count no more.
void X11Keyboard::readStateFromServer() {
    stateSerial_ = NextRequest(display_);
    unsigned int lit = 0;
    indicatorState_ = XkbGetIndicatorState(display_, XkbUseCoreKbd, &lit) == Success ? lit : 0;
    readIndicatorPlaces();
    stateStale_ = false;
}

// Which indicator bears each lock's name.
void X11Keyboard::readIndicatorPlaces() {
    namesSerial_ = NextRequest(display_);
    indicatorIndex_.fill(-1);
    if (XkbGetNames(display_, XkbIndicatorNamesMask, indicators_) == Success &&
        indicators_->names != nullptr) {
        for (size_t key = 0; key < indicatorAtoms_.size(); ++key) {
            for (int i = 0; i < XkbNumIndicators; ++i) {
                if (indicators_->names->indicators[i] == indicatorAtoms_[key]) {
                    indicatorIndex_[key] = i;
                    break;
                }
            }
        }
    }
    namesStale_ = false;
}

// Takes in every event that has arrived, without waiting for more and without a round
// trip; asks the server again only for what an event has made unknown: after a new
// keyboard everything, after renamed indicators their places. Other clients do either
// seldom; what a press of this connection brings is taken in by the press itself.
void X11Keyboard::takeEvents() {
    takePendingEvents();
    // Changes that keep coming could keep voiding the answer; the next read tries again.
    for (int attempt = 0; attempt < 3 && (stateStale_ || namesStale_); ++attempt) {
        if (stateStale_) {
            readStateFromServer();
        } else {
            readIndicatorPlaces();
        }
        takePendingEvents();
    }
}

void X11Keyboard::takePendingEvents() {
    // QueuedAfterReading: one look at what the socket holds, nothing is sent.
    while (XEventsQueued(display_, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        // Whether the event is newer than the last answer from the server.
        const bool newState = event.xany.serial >= stateSerial_;
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            keycodesStale_ = true;
            keymapStale_ = true;
        } else if (event.type == xkbEventBase_) {
            auto* xkb = reinterpret_cast<XkbEvent*>(&event);
            switch (xkb->any.xkb_type) {
                case XkbMapNotify:
                    XkbRefreshKeyboardMapping(&xkb->map);
                    keycodesStale_ = true;
                    keymapStale_ = true;
                    break;
                case XkbIndicatorMapNotify:
                    indicatorMapsStale_ = true;
                    break;
                case XkbIndicatorStateNotify:
                    if (newState) {
                        indicatorState_ = xkb->indicators.state;
                    }
                    break;
                case XkbNamesNotify:
                    // Also sent when an indicator is set by name, with no name changed.
                    if (event.xany.serial >= namesSerial_ &&
                        (xkb->names.changed & XkbIndicatorNamesMask) != 0) {
                        namesStale_ = true;
                    }
                    break;
                case XkbNewKeyboardNotify:
                    // Another device now stands behind the core keyboard, such as the
                    // XTest one after a real keyboard: its keymap replaces the old one.
                    keycodesStale_ = true;
                    keymapStale_ = true;
                    indicatorMapsStale_ = true;
                    stateStale_ = stateStale_ || newState;
                    break;
                default:
                    break;
            }
        }
    }
}

// Whether the key is held down. The answer to "which keys are down" is asked for once
// for reads of different keys that come close together, so the three reads of one
// analysis cycle share one round trip; a second read of the same key asks again.
// Following key presses through events instead would take XInput's raw key events (a
// key without an action in the keymap changes no XKB state), and the server would
// keep every key event of the session for this connection while no one reads, that is
// for as long as the LEDs are not in use.
bool X11Keyboard::keyDown(LockKey key, unsigned char keycode) {
    const auto now = std::chrono::steady_clock::now();
    const auto bit = static_cast<unsigned char>(1u << indexOf(key));
    if ((keysDownServed_ & bit) != 0 || now - keysDownAsked_ > kKeysDownShared) {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        for (size_t i = 0; i < keysDown_.size(); ++i) {
            keysDown_[i] = static_cast<unsigned char>(keys[i]);
        }
        keysDownAsked_ = now;
        keysDownServed_ = 0;
    }
    keysDownServed_ |= bit;
    return (keysDown_[keycode / 8] & (1u << (keycode % 8))) != 0;
}

unsigned char X11Keyboard::keycodeOf(LockKey key) {
    if (keycodesStale_) {
        for (size_t i = 0; i < keycodes_.size(); ++i) {
            keycodes_[i] = XKeysymToKeycode(display_, kLockKeySyms[i]);
        }
        keycodesStale_ = false;
    }
    return keycodes_[indexOf(key)];
}

bool X11Keyboard::usable() const {
    return display_ != nullptr && !lost_.load();
}

int32_t X11Keyboard::lockKeyState(LockKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!usable()) {
        return 0;
    }
    takeEvents();
    const int index = indicatorIndex_[indexOf(key)];
    int32_t state = index >= 0 && (indicatorState_ & (1u << index)) != 0 ? 1 : 0;
    const unsigned char keycode = keycodeOf(key);
    if (keycode != 0 && keyDown(key, keycode)) {
        state |= kLockKeyHeld;
    }
    return state;
}

unsigned long X11Keyboard::requestsSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return usable() ? NextRequest(display_) - 1 : 0;
}

void X11Keyboard::pressAndReleaseLockKey(LockKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!usable()) {
        return;
    }
    takeEvents();
    const int index = indicatorIndex_[indexOf(key)];
    if (index < 0) {
        // No such LED. Pressing the key anyway would flip a lock nobody can see, and
        // the next comparison would flip it again.
        return;
    }
    // The keymap and the indicator maps, asked for when they have changed (or never
    // been asked for): a press otherwise costs the one round trip at its end.
    if (indicatorMapsStale_) {
        indicatorMapsStale_ =
            XkbGetIndicatorMap(display_, XkbAllIndicatorsMask, indicators_) != Success ||
            indicators_->indicators == nullptr;
        if (indicatorMapsStale_) {
            return;
        }
    }
    if (keymapStale_) {
        if (keymap_ != nullptr) {
            XkbFreeKeyboard(keymap_, 0, True);
        }
        keymap_ = XkbGetMap(
            display_, XkbKeyTypesMask | XkbKeySymsMask | XkbKeyActionsMask | XkbModifierMapMask,
            XkbUseCoreKbd);
        keymapStale_ = keymap_ == nullptr;
    }
    const XkbIndicatorMapRec& map = indicators_->indicators->maps[index];
    const KeyCode keycode = keycodeOf(key);
    if (haveXTest_ && keycode != 0 && keymap_ != nullptr &&
        keyTogglesIndicator(display_, keymap_, keycode, map)) {
        XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
    } else if ((map.flags & XkbIM_NoExplicit) == 0) {
        const bool on = (indicatorState_ & (1u << index)) != 0;
        XkbSetNamedIndicator(display_, indicatorAtoms_[indexOf(key)], True, on ? False : True,
                             False, nullptr);
    } else {
        return;
    }
    // The server has handled both events (and so the LED) once the round trip is back,
    // and every event that the change caused is in. Taking them in now, and asking for
    // what they make unknown, keeps that cost here rather than in the next read.
    XSync(display_, False);
    takeEvents();
    keycodeOf(key);
}

}  // namespace glowtern
