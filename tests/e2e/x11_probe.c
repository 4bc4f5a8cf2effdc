/*
 * Small X11 helper for the end-to-end tests, for what the stock X tools do not offer:
 *
 *   x11_probe leds                  prints "caps=0 num=1 scroll=0" (XKB named indicators)
 *   x11_probe watch-leds            prints that line, prefixed with CLOCK_MONOTONIC
 *                                   nanoseconds, at start and on every indicator change,
 *                                   until it is killed or the display goes
 *   x11_probe scroll-lock 0|1       sets the "Scroll Lock" indicator (the default keymap
 *                                   has no Scroll Lock key to press)
 *   x11_probe owner SELECTION       prints the window that owns SELECTION (for example
 *                                   _NET_SYSTEM_TRAY_S0: a tray is up); status 1 if none
 *   x11_probe maximise WINDOW       asks the window manager to maximise WINDOW
 *                                   (_NET_WM_STATE), as a taskbar or a title bar would
 *
 * The display is taken from DISPLAY.
 */
#define _GNU_SOURCE

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char* const kIndicators[3] = {"Caps Lock", "Num Lock", "Scroll Lock"};

static long long monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int indicator(Display* display, const char* name) {
    Bool on = False;
    if (!XkbGetNamedIndicator(display, XInternAtom(display, name, False), NULL, &on, NULL, NULL)) {
        return -1;
    }
    return on ? 1 : 0;
}

static void print_leds(Display* display) {
    printf("caps=%d num=%d scroll=%d\n", indicator(display, kIndicators[0]),
           indicator(display, kIndicators[1]), indicator(display, kIndicators[2]));
}

static int watch_leds(Display* display) {
    int event_base = 0;
    int error_base = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    int opcode = 0;
    if (!XkbQueryExtension(display, &opcode, &event_base, &error_base, &major, &minor)) {
        fprintf(stderr, "x11_probe: no XKB\n");
        return 1;
    }
    XkbSelectEvents(display, XkbUseCoreKbd, XkbIndicatorStateNotifyMask,
                    XkbIndicatorStateNotifyMask);
    printf("%lld ", monotonic_ns());
    print_leds(display);
    fflush(stdout);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event); /* Xlib exits the process when the display goes */
        if (event.type == event_base &&
            ((XkbAnyEvent*)&event)->xkb_type == XkbIndicatorStateNotify) {
            printf("%lld ", monotonic_ns());
            print_leds(display);
            fflush(stdout);
        }
    }
}

static int set_scroll_lock(Display* display, int on) {
    const Atom name = XInternAtom(display, kIndicators[2], False);
    if (!XkbSetNamedIndicator(display, name, True, on ? True : False, False, NULL)) {
        return 1;
    }
    XSync(display, False);
    return indicator(display, kIndicators[2]) == on ? 0 : 1;
}

static int print_selection_owner(Display* display, const char* selection) {
    const Window owner = XGetSelectionOwner(display, XInternAtom(display, selection, False));
    if (owner == None) {
        return 1;
    }
    printf("0x%lx\n", owner);
    return 0;
}

static int request_maximise(Display* display, Window window) {
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1; /* _NET_WM_STATE_ADD */
    event.xclient.data.l[1] = (long)XInternAtom(display, "_NET_WM_STATE_MAXIMIZED_VERT", False);
    event.xclient.data.l[2] = (long)XInternAtom(display, "_NET_WM_STATE_MAXIMIZED_HORZ", False);
    event.xclient.data.l[3] = 2; /* from a pager or taskbar: the user asked */
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display, False);
    return 0;
}

static int usage(void) {
    fprintf(stderr,
            "usage: x11_probe leds | watch-leds | scroll-lock 0|1 | owner SEL | maximise WIN\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    Display* display = XOpenDisplay(NULL);
    if (display == NULL) {
        fprintf(stderr, "x11_probe: cannot open the display\n");
        return 1;
    }
    int status;
    const char* command = argv[1];
    if (strcmp(command, "leds") == 0) {
        print_leds(display);
        status = 0;
    } else if (strcmp(command, "watch-leds") == 0) {
        status = watch_leds(display);
    } else if (strcmp(command, "scroll-lock") == 0 && argc == 3) {
        status = set_scroll_lock(display, atoi(argv[2]) != 0);
    } else if (strcmp(command, "owner") == 0 && argc == 3) {
        status = print_selection_owner(display, argv[2]);
    } else if (strcmp(command, "maximise") == 0 && argc == 3) {
        status = request_maximise(display, (Window)strtoul(argv[2], NULL, 0));
    } else {
        status = usage();
    }
    XCloseDisplay(display);
    return status;
}
