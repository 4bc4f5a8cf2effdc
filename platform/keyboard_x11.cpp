#include "platform/keyboard_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace glowtern {

namespace {

constexpr std::array<const char*, 3> kIndicatorNames = {"Caps Lock", "Num Lock", "Scroll Lock"};
constexpr std::array<KeySym, 3> kLockKeySyms = {XK_Caps_Lock, XK_Num_Lock, XK_Scroll_Lock};

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

// Whether a press and release of `keycode` toggles the indicator described by `map`.
// This is read from the keymap rather than tried out, because a trial press would
// itself change the user's keyboard state. The key's action in the current group and
// shift level must lock (and unlock) modifiers that drive the indicator through their
// locked or effective state, or lock a control the indicator shows. On the default
// keymap the Scroll_Lock key is bound to no modifier and has no action at all.
bool keyTogglesIndicator(Display* display, KeyCode keycode, const XkbIndicatorMapRec& map) {
    const XkbDescPtr xkb = XkbGetMap(
        display, XkbKeyTypesMask | XkbKeySymsMask | XkbKeyActionsMask | XkbModifierMapMask,
        XkbUseCoreKbd);
    if (xkb == nullptr) {
        return false;
    }
    bool toggles = false;
    XkbStateRec state;
    if (keycode >= xkb->min_key_code && keycode <= xkb->max_key_code &&
        XkbKeyNumGroups(xkb, keycode) > 0 && XkbKeyHasActions(xkb, keycode) &&
        XkbGetState(display, XkbUseCoreKbd, &state) == Success) {
        const int group = groupForKey(xkb, keycode, state.group);
        const int level = levelForKey(xkb, keycode, group, state.mods);
        const XkbAction* action = XkbKeyActionEntry(xkb, keycode, level, group);
        if (action != nullptr && action->type == XkbSA_LockMods) {
            const XkbModAction& lock = action->mods;
            unsigned int mods = lock.mask;
            if (lock.flags & XkbSA_UseModMapMods) {
                mods |= xkb->map->modmap[keycode];
            }
            const bool onlyOneWay = (lock.flags & (XkbSA_LockNoLock | XkbSA_LockNoUnlock)) != 0;
            const bool followsLocks =
                (map.which_mods & (XkbIM_UseLocked | XkbIM_UseEffective | XkbIM_UseCompat)) != 0;
            toggles = !onlyOneWay && followsLocks && (mods & map.mods.mask) != 0;
        } else if (action != nullptr && action->type == XkbSA_LockControls) {
            toggles = (XkbActionCtrls(&action->ctrls) & map.ctrls) != 0;
        }
    }
    XkbFreeKeyboard(xkb, 0, True);
    return toggles;
}

}  // namespace

X11Keyboard::X11Keyboard(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) {
        return;
    }
    int opcode = 0;
    int xkbError = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &xkbEventBase_, &xkbError, &major, &minor)) {
        // No indicators to read: treat the server like no server at all.
        XCloseDisplay(display);
        return;
    }
    int xtestEvent = 0;
    int xtestError = 0;
    haveXTest_ = XTestQueryExtension(display, &xtestEvent, &xtestError, &major, &minor) != False;
    for (size_t i = 0; i < kIndicatorNames.size(); ++i) {
        indicatorAtoms_[i] = XInternAtom(display, kIndicatorNames[i], False);
    }
    // Keymap changes reach this connection as events; they are read before every use
    // so that the lock keys' keycodes stay current.
    XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
    display_ = display;
}

X11Keyboard::~X11Keyboard() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (display_ != nullptr) {
        XCloseDisplay(display_);
        display_ = nullptr;
    }
}

void X11Keyboard::drainEvents() {
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        } else if (event.type == xkbEventBase_ &&
                   reinterpret_cast<XkbAnyEvent*>(&event)->xkb_type == XkbMapNotify) {
            XkbRefreshKeyboardMapping(reinterpret_cast<XkbMapNotifyEvent*>(&event));
        }
    }
}

int32_t X11Keyboard::lockKeyState(LockKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (display_ == nullptr) {
        return 0;
    }
    drainEvents();
    int32_t state = 0;
    Bool on = False;
    if (XkbGetNamedIndicator(display_, indicatorAtoms_[indexOf(key)], nullptr, &on, nullptr,
                             nullptr) &&
        on) {
        state = 1;
    }
    const KeyCode keycode = XKeysymToKeycode(display_, kLockKeySyms[indexOf(key)]);
    if (keycode != 0) {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        if (keys[keycode / 8] & (1 << (keycode % 8))) {
            state |= kLockKeyHeld;
        }
    }
    return state;
}

void X11Keyboard::pressAndReleaseLockKey(LockKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (display_ == nullptr) {
        return;
    }
    drainEvents();
    const Atom indicator = indicatorAtoms_[indexOf(key)];
    Bool on = False;
    XkbIndicatorMapRec map = {};
    if (!XkbGetNamedIndicator(display_, indicator, nullptr, &on, &map, nullptr)) {
        // No such LED. Pressing the key anyway would flip a lock nobody can see, and
        // the next comparison would flip it again.
        return;
    }
    const KeyCode keycode = XKeysymToKeycode(display_, kLockKeySyms[indexOf(key)]);
    if (haveXTest_ && keycode != 0 && keyTogglesIndicator(display_, keycode, map)) {
        XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
    } else if ((map.flags & XkbIM_NoExplicit) == 0) {
        XkbSetNamedIndicator(display_, indicator, True, on ? False : True, False, nullptr);
    } else {
        return;
    }
    // The server has handled both events (and so the LED) once the round trip is back.
    XSync(display_, False);
}

}  // namespace glowtern
