/* Gives input as a user gives it, through the X server's XTEST extension, and tells
 * when, in milliseconds of CLOCK_MONOTONIC (the steady clock of the program's traces):
 *   xpress now              prints the time
 *   xpress click X Y COUNT  moves the pointer to (X, Y) of the screen and lets it rest
 *                           100 ms, then prints the time and clicks the left button
 *                           COUNT times at once (2: a double-click)
 *   xpress key KEYSYM       prints the time, then presses and releases the key
 *   xpress browse WINDOW KEYSYM COUNT PERIOD hold|press X Y WIDTH RRGGBB...
 *                           a key held (hold) while the X server repeats it every
 *                           PERIOD ms after 250 ms, as `xset r rate 250 RATE` sets it,
 *                           until WINDOW has had COUNT presses; or pressed COUNT times,
 *                           PERIOD ms apart (press). Meanwhile the row of WIDTH pixels
 *                           from (X, Y) in WINDOW is watched for the colours given, one
 *                           for each figure the presses should show. Prints "key N MS"
 *                           for each press WINDOW got, as it gets it, and "shown I MS"
 *                           the first time colour I (from 1) fills the row (32 pixels or
 *                           more, each channel within 3), watched at each change the X
 *                           server reports for WINDOW and every 2 ms, until every colour
 *                           has shown or 2 s after the last press. The server's repeat
 *                           rate is put back after.
 * The display comes from DISPLAY. */
#define _DEFAULT_SOURCE
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int failed;
static int ignoreErrors(Display* d, XErrorEvent* e) {
    (void)d;
    (void)e;
    failed = 1;
    return 0;
}

static int near(unsigned long a, unsigned long b) {
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = (int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF);
        if (d < -3 || d > 3)
            return 0;
    }
    return 1;
}

/* The colour among `colours` that fills the row now (32 pixels or more), or -1. */
static int showing(Display* d, Window w, int x, int y, int width, const unsigned long* colours, int n) {
    failed = 0;
    XImage* row = XGetImage(d, w, x, y, (unsigned)width, 1, AllPlanes, ZPixmap);
    XSync(d, False);
    if (!row || failed)
        return -1;
    int found = -1;
    for (int c = 0; c < n && found < 0; ++c) {
        int count = 0;
        for (int i = 0; i < width; ++i)
            if (near(XGetPixel(row, i, 0), colours[c]))
                ++count;
        if (count >= 32)
            found = c;
    }
    XDestroyImage(row);
    return found;
}

static KeyCode keycode(Display* d, const char* name) {
    const KeySym sym = XStringToKeysym(name);
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(d, sym);
    if (!code) {
        fprintf(stderr, "xpress: no key %s\n", name);
        exit(2);
    }
    return code;
}

static int browse(Display* d, int argc, char** argv) {
    if (argc < 10) {
        fprintf(stderr, "usage: xpress browse WINDOW KEYSYM COUNT PERIOD hold|press X Y WIDTH RRGGBB...\n");
        return 2;
    }
    const Window window = (Window)strtoul(argv[2], NULL, 0);
    const KeyCode key = keycode(d, argv[3]);
    const int count = atoi(argv[4]);
    const double period = atof(argv[5]);
    const int hold = strcmp(argv[6], "hold") == 0;
    const int x = atoi(argv[7]), y = atoi(argv[8]), width = atoi(argv[9]);
    const int n = argc - 10;
    unsigned long* colours = calloc((size_t)n + 1, sizeof *colours);
    double* shownAt = calloc((size_t)n + 1, sizeof *shownAt);
    for (int c = 0; c < n; ++c) {
        colours[c] = strtoul(argv[10 + c], NULL, 16);
        shownAt[c] = -1;
    }
    int damageEvent = 0, damageError = 0;
    if (!XDamageQueryExtension(d, &damageEvent, &damageError)) {
        fprintf(stderr, "xpress: the X server has no DAMAGE extension\n");
        return 1;
    }
    XSelectInput(d, window, KeyPressMask);
    XDamageCreate(d, window, XDamageReportNonEmpty);
    unsigned int delay = 0, interval = 0;
    if (hold) {
        XkbGetAutoRepeatRate(d, XkbUseCoreKbd, &delay, &interval);
        XkbSetAutoRepeatRate(d, XkbUseCoreKbd, 250, (unsigned)(period + 0.5));
        XAutoRepeatOn(d);
    }
    XSync(d, False);
    int presses = 0, sent = 0, shownCount = 0, held = 0;
    const double start = now_ms();
    double lastPress = -1;
    for (;;) {
        const double t = now_ms();
        if (hold && !held) {
            XTestFakeKeyEvent(d, key, True, CurrentTime);
            XFlush(d);
            held = 1;
        } else if (!hold && sent < count && t >= start + sent * period) {
            XTestFakeKeyEvent(d, key, True, CurrentTime);
            XTestFakeKeyEvent(d, key, False, CurrentTime);
            XFlush(d);
            ++sent;
        }
        if (presses >= count && (shownCount == n || t > lastPress + 2000))
            break;
        if (presses == 0 && t > start + 2000) {
            fprintf(stderr, "xpress: the window got no key press in 2 s\n");
            break;
        }
        if (!XPending(d)) {
            struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
            if (poll(&p, 1, 2) == 0) {
                const int c = showing(d, window, x, y, width, colours, n);
                if (c >= 0 && shownAt[c] < 0) {
                    shownAt[c] = now_ms();
                    printf("shown %d %.2f\n", c + 1, shownAt[c]);
                    ++shownCount;
                }
                continue;
            }
        }
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == KeyPress && e.xkey.window == window && e.xkey.keycode == key && presses < count) {
            lastPress = now_ms();
            printf("key %d %.2f\n", ++presses, lastPress);
            if (hold && presses == count) {
                XTestFakeKeyEvent(d, key, False, CurrentTime);
                XFlush(d);
            }
        } else if (e.type == damageEvent + XDamageNotify) {
            const XDamageNotifyEvent* damage = (const XDamageNotifyEvent*)&e;
            XDamageSubtract(d, damage->damage, None, None);
            const int c = showing(d, window, x, y, width, colours, n);
            if (c >= 0 && shownAt[c] < 0) {
                shownAt[c] = now_ms();
                printf("shown %d %.2f\n", c + 1, shownAt[c]);
                ++shownCount;
            }
        }
    }
    if (hold) {
        if (presses < count)
            XTestFakeKeyEvent(d, key, False, CurrentTime);
        XkbSetAutoRepeatRate(d, XkbUseCoreKbd, delay, interval);
        XSync(d, False);
    }
    free(colours);
    free(shownAt);
    return presses == count ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: xpress now | click X Y COUNT | key KEYSYM | browse ...\n");
        return 2;
    }
    if (strcmp(argv[1], "now") == 0) {
        printf("%.2f\n", now_ms());
        return 0;
    }
    Display* d = XOpenDisplay(NULL);
    int event, error, major, minor;
    if (!d || !XTestQueryExtension(d, &event, &error, &major, &minor)) {
        fprintf(stderr, "xpress: no X display with the XTEST extension\n");
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    setvbuf(stdout, NULL, _IOLBF, 0);
    int status = 0;
    if (strcmp(argv[1], "click") == 0 && argc == 5) {
        XTestFakeMotionEvent(d, -1, atoi(argv[2]), atoi(argv[3]), CurrentTime);
        XSync(d, False);
        usleep(100000);
        const double t = now_ms();
        for (int i = 0; i < atoi(argv[4]); ++i) {
            XTestFakeButtonEvent(d, 1, True, CurrentTime);
            XTestFakeButtonEvent(d, 1, False, CurrentTime);
        }
        XSync(d, False);
        printf("%.2f\n", t);
    } else if (strcmp(argv[1], "key") == 0 && argc == 3) {
        const KeyCode key = keycode(d, argv[2]);
        const double t = now_ms();
        XTestFakeKeyEvent(d, key, True, CurrentTime);
        XTestFakeKeyEvent(d, key, False, CurrentTime);
        XSync(d, False);
        printf("%.2f\n", t);
    } else if (strcmp(argv[1], "browse") == 0) {
        status = browse(d, argc, argv);
    } else {
        fprintf(stderr, "usage: xpress now | click X Y COUNT | key KEYSYM | browse ...\n");
        status = 2;
    }
    XCloseDisplay(d);
    return status;
}
