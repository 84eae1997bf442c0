/* A clipboard manager as desktops run one: owns CLIPBOARD_MANAGER and, when a program
 * that leaves asks it to keep the clipboard (SAVE_TARGETS), fetches the clipboard in one
 * format and writes it to a file, answers, and ends. With --silent it never answers.
 * Usage: xclipkeeper FILE TARGET [--silent]   (the display from DISPLAY; prints "ready"
 * once it is the manager) */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

static int fetch(Display* d, Window w, Atom target, const char* file) {
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom kept = XInternAtom(d, "KV_KEPT", False);
    XConvertSelection(d, clipboard, target, kept, w, CurrentTime);
    XEvent e;
    do
        XNextEvent(d, &e);
    while (e.type != SelectionNotify || e.xselection.requestor != w);
    if (e.xselection.property == None)
        return 0;
    Atom type;
    int format;
    unsigned long count, left;
    unsigned char* data = NULL;
    if (XGetWindowProperty(d, w, kept, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format, &count, &left,
                           &data) != Success ||
        !data || type == XInternAtom(d, "INCR", False))
        return 0;
    FILE* out = fopen(file, "wb");
    const int ok = out && fwrite(data, 1, count * (unsigned long)(format / 8), out) ==
                              count * (unsigned long)(format / 8);
    if (out)
        fclose(out);
    XFree(data);
    return ok;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: xclipkeeper FILE TARGET [--silent]\n");
        return 2;
    }
    const int silent = argc > 3 && strcmp(argv[3], "--silent") == 0;
    Display* d = XOpenDisplay(NULL);
    if (!d)
        return 1;
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom manager = XInternAtom(d, "CLIPBOARD_MANAGER", False);
    const Atom saveTargets = XInternAtom(d, "SAVE_TARGETS", False);
    XSetSelectionOwner(d, manager, w, CurrentTime);
    if (XGetSelectionOwner(d, manager) != w)
        return 1;
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type != SelectionRequest || e.xselectionrequest.target != saveTargets || silent)
            continue;
        const XSelectionRequestEvent req = e.xselectionrequest;
        const int ok = fetch(d, w, XInternAtom(d, argv[2], False), argv[1]);
        XEvent reply;
        memset(&reply, 0, sizeof reply);
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = req.requestor;
        reply.xselection.selection = req.selection;
        reply.xselection.target = req.target;
        reply.xselection.property = ok ? req.property : None;
        reply.xselection.time = req.time;
        XSendEvent(d, req.requestor, False, NoEventMask, &reply);
        XSync(d, False);
        return ok ? 0 : 1;
    }
}
