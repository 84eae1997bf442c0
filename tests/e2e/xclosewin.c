/* Presses a window's close box the way a window manager does: sends WM_DELETE_WINDOW.
 * Usage: xclosewin WINDOW-ID   (the display from DISPLAY) */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: xclosewin WINDOW-ID\n");
        return 2;
    }
    Display* dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "xclosewin: cannot open display\n");
        return 1;
    }
    Window win = (Window)strtoul(argv[1], NULL, 0);
    XEvent ev = {0};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = win;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, win, False, NoEventMask, &ev);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return 0;
}
