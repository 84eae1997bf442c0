/* Starts a program and prints how many milliseconds pass until its top-level window
 * is mapped, then ends the program (SIGTERM).
 *   xmaptime [--timeout SECONDS] [--picture RRGGBB] NAME PROGRAM [ARGS...]
 * With --picture RRGGBB it also waits until the window shows the picture, a figure of
 * that one colour, and prints both times, "MAPPED SHOWN". Shown is the first moment
 * the window's middle row holds at least 32 pixels of that colour (each channel within
 * 3 of it), whether the program painted them before or after mapping: it is checked
 * at the map, after each change the X server reports for the window, and every 2 ms.
 * NAME "*" takes the first top-level window that maps, whatever its name. The display
 * comes from DISPLAY; there is no window manager. The program finds the moment it was
 * started in KV_STARTED_AT (milliseconds of CLOCK_MONOTONIC), for its own trace.
 * A program that ends before its window shows makes it end with status 1; with
 * --timeout, one whose window has not shown after that many seconds is ended, and so is
 * xmaptime, with status 124 (as timeout(1) does). */
#define _DEFAULT_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int named(Display* d, Window w, const char* name) {
    if (strcmp(name, "*") == 0)
        return 1;
    char* got = NULL;
    int same = 0;
    if (XFetchName(d, w, &got) && got) {
        same = strcmp(got, name) == 0;
        XFree(got);
    }
    return same;
}

static int failed;
static int ignoreErrors(Display* d, XErrorEvent* e) {
    (void)d;
    (void)e;
    failed = 1;
    return 0;
}

/* Within 3 of the colour in each channel: a viewer that scales the picture may round. */
static int near(unsigned long a, unsigned long b) {
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = (int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF);
        if (d < -3 || d > 3)
            return 0;
    }
    return 1;
}

/* Whether the window's middle row holds the colour (32 pixels or more). */
static int shows(Display* d, Window w, unsigned long rgb) {
    XWindowAttributes a;
    failed = 0;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable)
        return 0;
    XImage* row = XGetImage(d, w, 0, a.height / 2, (unsigned)a.width, 1, AllPlanes, ZPixmap);
    XSync(d, False);
    if (!row || failed)
        return 0;
    int count = 0;
    for (int x = 0; x < a.width; ++x)
        if (near(XGetPixel(row, x, 0), rgb))
            ++count;
    XDestroyImage(row);
    return count >= 32;
}

/* Ends the program: SIGTERM, and SIGKILL after 1 s for a program that only notes SIGTERM
 * for later (feh, while idle) or is busy (a viewer decoding a huge figure). */
static void end(pid_t pid) {
    kill(pid, SIGTERM);
    int ended = 0;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(pid, NULL, WNOHANG) == pid;
        if (!ended)
            usleep(5000);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
    }
}

int main(int argc, char** argv) {
    unsigned long picture = 0;
    int wantPicture = 0;
    double limit = -1;
    if (argc > 2 && strcmp(argv[1], "--timeout") == 0) {
        limit = atof(argv[2]) * 1e3;
        argv += 2;
        argc -= 2;
    }
    if (argc > 2 && strcmp(argv[1], "--picture") == 0) {
        picture = strtoul(argv[2], NULL, 16);
        wantPicture = 1;
        argv += 2;
        argc -= 2;
    }
    if (argc < 3) {
        fprintf(stderr,
                "usage: xmaptime [--timeout SECONDS] [--picture RRGGBB] NAME|'*' PROGRAM [ARGS...]\n");
        return 2;
    }
    Display* d = XOpenDisplay(NULL);
    if (!d)
        return 1;
    int damageEvent = 0, damageError = 0;
    if (wantPicture && !XDamageQueryExtension(d, &damageEvent, &damageError)) {
        fprintf(stderr, "xmaptime: the X server has no DAMAGE extension\n");
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    XSync(d, False);
    const double start = now_ms();
    char started[32];
    snprintf(started, sizeof started, "%.3f", start);
    setenv("KV_STARTED_AT", started, 1);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    double mapped = -1, shown = -1;
    Window window = None;
    while (mapped < 0 || (wantPicture && shown < 0)) {
        if (limit >= 0 && now_ms() - start > limit) {
            fprintf(stderr, "xmaptime: %s did not show its window in %.0f s\n", argv[2], limit / 1e3);
            end(pid);
            return 124;
        }
        if (!XPending(d)) {
            /* Nothing reported: look anyway every 2 ms, and give up on a program that
             * ended without showing its window. */
            struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
            if (poll(&p, 1, 2) == 0) {
                int status;
                if (waitpid(pid, &status, WNOHANG) == pid) {
                    fprintf(stderr, "xmaptime: %s ended before its window showed\n", argv[2]);
                    return 1;
                }
                if (window != None && shows(d, window, picture))
                    shown = now_ms() - start;
                continue;
            }
        }
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == MapNotify && mapped < 0 && !e.xmap.override_redirect &&
            e.xmap.event == DefaultRootWindow(d) && named(d, e.xmap.window, argv[1])) {
            mapped = now_ms() - start;
            if (wantPicture) {
                window = e.xmap.window;
                XDamageCreate(d, window, XDamageReportNonEmpty);
                if (shows(d, window, picture))
                    shown = now_ms() - start;
            }
        } else if (wantPicture && e.type == damageEvent + XDamageNotify) {
            const XDamageNotifyEvent* n = (const XDamageNotifyEvent*)&e;
            XDamageSubtract(d, n->damage, None, None);
            if (shows(d, window, picture))
                shown = now_ms() - start;
        }
    }
    end(pid);
    if (wantPicture)
        printf("%.1f %.1f\n", mapped, shown);
    else
        printf("%.1f\n", mapped);
    XCloseDisplay(d);
    return 0;
}
