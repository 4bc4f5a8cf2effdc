/*
 * X11 look-ups for the end-to-end tests that the stock X tools do not offer (display from
 * DISPLAY):
 *   x11_probe watch-leds        CLOCK_MONOTONIC nanoseconds and "caps=0 num=1 scroll=0" (XKB
 *                               named indicators), at start and on every indicator change,
 *                               until killed or the display goes
 *   x11_probe scroll-lock 0|1   sets Scroll Lock (the default keymap has no key for it)
 *   x11_probe owner SELECTION   status 0 while SELECTION has an owner (a tray is up)
 */
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int indicator(Display* display, const char* name) {
    Bool on = False;
    XkbGetNamedIndicator(display, XInternAtom(display, name, False), NULL, &on, NULL, NULL);
    return on ? 1 : 0;
}

static void print_leds(Display* display) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%lld caps=%d num=%d scroll=%d\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec,
           indicator(display, "Caps Lock"), indicator(display, "Num Lock"),
           indicator(display, "Scroll Lock"));
    fflush(stdout);
}

static int watch_leds(Display* display) {
    int opcode, event_base, error_base, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &event_base, &error_base, &major, &minor)) {
        return 1;
    }
    XkbSelectEvents(display, XkbUseCoreKbd, XkbIndicatorStateNotifyMask,
                    XkbIndicatorStateNotifyMask);
    print_leds(display);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);  // Xlib ends the process when the display goes
        if (event.type == event_base &&
            ((XkbAnyEvent*)&event)->xkb_type == XkbIndicatorStateNotify) {
            print_leds(display);
        }
    }
}

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(NULL);
    if (!display || argc < 2) {
        return 2;
    }
    const char* command = argv[1];
    int status = 2;
    if (strcmp(command, "watch-leds") == 0) {
        status = watch_leds(display);
    } else if (strcmp(command, "scroll-lock") == 0 && argc == 3) {
        const int on = atoi(argv[2]) != 0;
        XkbSetNamedIndicator(display, XInternAtom(display, "Scroll Lock", False), True, on, False,
                             NULL);
        status = indicator(display, "Scroll Lock") == on ? 0 : 1;
    } else if (strcmp(command, "owner") == 0 && argc == 3) {
        status = XGetSelectionOwner(display, XInternAtom(display, argv[2], False)) ? 0 : 1;
    }
    XCloseDisplay(display);  // flushes what was sent
    return status;
}
