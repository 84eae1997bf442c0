/* Starts a program and prints how many milliseconds pass until a top-level window with
 * the given name is mapped, then ends the program.
 *   xmaptime NAME PROGRAM [ARGS...]      (the display from DISPLAY; no window manager) */
#define _POSIX_C_SOURCE 200809L
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <stdio.h>
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
    char* got = NULL;
    int same = 0;
    if (XFetchName(d, w, &got) && got) {
        same = strcmp(got, name) == 0;
        XFree(got);
    }
    return same;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: xmaptime NAME PROGRAM [ARGS...]\n");
        return 2;
    }
    Display* d = XOpenDisplay(NULL);
    if (!d)
        return 1;
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    XSync(d, False);
    const double start = now_ms();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    double mapped = -1;
    while (mapped < 0) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == MapNotify && named(d, e.xmap.window, argv[1]))
            mapped = now_ms() - start;
    }
    kill(pid, SIGTERM);
    waitpid(pid, NULL, 0);
    printf("%.1f\n", mapped);
    XCloseDisplay(d);
    return 0;
}
