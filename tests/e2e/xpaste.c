/* Pastes the clipboard in one format, as a program that pastes does (INCR transfers of
 * any size), and writes it to a file.
 * Usage: xpaste TARGET FILE [--hold FLAG] [--probe]
 *   --hold FLAG a slow paste: before asking for each further piece of a large
 *               transfer, waits while the file FLAG exists, up to 3 s a piece (the
 *               owner gives a paste up after 5 s without a word). Prints "piece" on
 *               each piece received.
 *   --probe     meanwhile asks the clipboard's owner for its TARGETS again and again,
 *               over a connection of its own, and prints the longest wait for an
 *               answer: how long the owner's event loop was held at most.
 * Prints "asked" once the request is sent, and at the end "ms BYTES [WORST_MS]": the
 * paste's time from the request to the last byte. Status 1 when nothing came. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static void next_event(Display* d, Window w, int type, XEvent* e) {
    for (;;) {
        XNextEvent(d, e);
        if (e->type == type && e->xany.window == w)
            return;
        if (type == SelectionNotify && e->type == SelectionNotify && e->xselection.requestor == w)
            return;
    }
}

/* Asks for TARGETS until told to stop through `stop`; writes the longest wait (ms). */
static void probe(int stop, int result) {
    Display* d = XOpenDisplay(NULL);
    if (!d)
        _exit(1);
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom targets = XInternAtom(d, "TARGETS", False);
    const Atom prop = XInternAtom(d, "KV_PROBE", False);
    double worst = 0;
    struct pollfd p = {stop, POLLIN, 0};
    while (poll(&p, 1, 0) == 0) {
        const double t0 = now_ms();
        XConvertSelection(d, clipboard, targets, prop, w, CurrentTime);
        XEvent e;
        next_event(d, w, SelectionNotify, &e);
        const double took = now_ms() - t0;
        if (took > worst)
            worst = took;
        XDeleteProperty(d, w, prop);
        usleep(2000);
    }
    char text[32];
    const int n = snprintf(text, sizeof text, "%.1f", worst);
    if (write(result, text, (size_t)n) != n)
        _exit(1);
    _exit(0);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: xpaste TARGET FILE [--hold FLAG] [--probe]\n");
        return 2;
    }
    const char* hold = NULL;
    int probing = 0;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--hold") == 0 && i + 1 < argc)
            hold = argv[++i];
        else if (strcmp(argv[i], "--probe") == 0)
            probing = 1;
    }
    int stop[2], result[2];
    pid_t prober = -1;
    if (probing) {
        if (pipe(stop) != 0 || pipe(result) != 0)
            return 1;
        prober = fork();
        if (prober == 0) {
            close(stop[1]);
            close(result[0]);
            probe(stop[0], result[1]);
        }
        close(stop[0]);
        close(result[1]);
        usleep(50000); /* its first answers come before the paste starts */
    }
    Display* d = XOpenDisplay(NULL);
    if (!d)
        return 1;
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, w, PropertyChangeMask);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom target = XInternAtom(d, argv[1], False);
    const Atom prop = XInternAtom(d, "KV_PASTE", False);
    const Atom incr = XInternAtom(d, "INCR", False);
    FILE* out = fopen(argv[2], "wb");
    if (!out)
        return 1;
    const double t0 = now_ms();
    XConvertSelection(d, clipboard, target, prop, w, CurrentTime);
    XFlush(d);
    printf("asked\n");
    fflush(stdout);
    XEvent e;
    next_event(d, w, SelectionNotify, &e);
    unsigned long total = 0;
    int ok = e.xselection.property != None;
    Atom type;
    int format;
    unsigned long count, left;
    unsigned char* data = NULL;
    if (ok && XGetWindowProperty(d, w, prop, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format, &count,
                                 &left, &data) != Success)
        ok = 0;
    if (ok && type == incr) {
        /* The property was deleted as it was read: that asks for the first piece. */
        XFree(data);
        for (;;) {
            do
                next_event(d, w, PropertyNotify, &e);
            while (e.xproperty.atom != prop || e.xproperty.state != PropertyNewValue);
            if (XGetWindowProperty(d, w, prop, 0, LONG_MAX / 4, False, AnyPropertyType, &type, &format,
                                   &count, &left, &data) != Success) {
                ok = 0;
                break;
            }
            const unsigned long bytes = count * (unsigned long)(format / 8);
            fwrite(data, 1, bytes, out);
            total += bytes;
            XFree(data);
            if (bytes == 0) {
                XDeleteProperty(d, w, prop);
                XFlush(d);
                break;
            }
            printf("piece\n");
            fflush(stdout);
            for (int waited = 0; hold && access(hold, F_OK) == 0 && waited < 3000; waited += 20)
                usleep(20 * 1000);
            XDeleteProperty(d, w, prop);
            XFlush(d);
        }
    } else if (ok) {
        total = count * (unsigned long)(format / 8);
        fwrite(data, 1, total, out);
        XFree(data);
    }
    const double took = now_ms() - t0;
    fclose(out);
    if (probing) {
        close(stop[1]);
        char text[32] = "";
        const ssize_t n = read(result[0], text, sizeof text - 1);
        text[n > 0 ? n : 0] = 0;
        waitpid(prober, NULL, 0);
        printf("%.1f %lu %s\n", took, total, text);
    } else {
        printf("%.1f %lu\n", took, total);
    }
    return ok && total > 0 ? 0 : 1;
}
