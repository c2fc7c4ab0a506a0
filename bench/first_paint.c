/* first_paint: how long a program takes from its start to the first time it
 * draws into one of its windows on the X display, seen from outside the
 * program (the X Damage extension), so every program is measured the same way.
 *
 *   first_paint [--keep] COMMAND [ARG...]
 *
 * Starts COMMAND, waits until a window that COMMAND's process owns
 * (_NET_WM_PID) is mapped and drawn into, prints the milliseconds from just
 * before the start to that first drawing, then ends the program with SIGTERM
 * (with --keep: prints its process id as well and leaves it running). Under a
 * window manager the program's window is found inside the frame the manager
 * maps. Exits 1 when nothing is drawn in 30 s. */
#define _GNU_SOURCE
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static long window_pid(Display* dpy, Window w, Atom pid_atom) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = NULL;
    long pid = -1;
    if (XGetWindowProperty(dpy, w, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        data && format == 32 && count == 1)
        pid = (long)*(unsigned long*)data;
    if (data) XFree(data);
    return pid;
}

#define MAX_WINDOWS 16
struct rect {
    int x, y, w, h;
};

/* The window owned by `pid` at or below `w` (a frame holds the client a level
 * or two down), or None. */
static Window owned_window(Display* dpy, Window w, long pid, Atom pid_atom, int depth) {
    if (window_pid(dpy, w, pid_atom) == pid) return w;
    if (depth == 0) return None;
    Window root, parent, *children = NULL, found = None;
    unsigned int count = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &children, &count)) return None;
    for (unsigned int i = 0; i < count && found == None; ++i)
        found = owned_window(dpy, children[i], pid, pid_atom, depth - 1);
    if (children) XFree(children);
    return found;
}

int main(int argc, char** argv) {
    int keep = 0, first = 1;
    if (argc > 1 && strcmp(argv[1], "--keep") == 0) keep = 1, first = 2;
    if (first >= argc) {
        fprintf(stderr, "usage: first_paint [--keep] COMMAND [ARG...]\n");
        return 2;
    }
    Display* dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "first_paint: no X display\n");
        return 2;
    }
    int damage_event, damage_error;
    if (!XDamageQueryExtension(dpy, &damage_event, &damage_error)) {
        fprintf(stderr, "first_paint: the X server has no Damage extension\n");
        return 2;
    }
    Window root = DefaultRootWindow(dpy);
    Atom pid_atom = XInternAtom(dpy, "_NET_WM_PID", False);
    /* Drawing into any window shows up as damage of the root window. */
    XSelectInput(dpy, root, SubstructureNotifyMask);
    XDamageCreate(dpy, root, XDamageReportRawRectangles);
    XSync(dpy, False);

    double start = now_ms();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        execvp(argv[first], argv + first);
        _exit(127);
    }

    struct rect mine[MAX_WINDOWS];
    int count = 0;
    int fd = ConnectionNumber(dpy);
    double painted = -1;
    while (painted < 0 && now_ms() - start < 30000) {
        if (!XPending(dpy)) {
            struct pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, 100);
            if (waitpid(child, NULL, WNOHANG) == child) {
                fprintf(stderr, "first_paint: %s ended before it drew\n", argv[first]);
                return 1;
            }
            continue;
        }
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == MapNotify && ev.xmap.event == root && count < MAX_WINDOWS) {
            Window w = owned_window(dpy, ev.xmap.window, child, pid_atom, 2);
            XWindowAttributes a;
            int x, y;
            Window ignored;
            if (w == None || !XGetWindowAttributes(dpy, w, &a) ||
                !XTranslateCoordinates(dpy, w, root, 0, 0, &x, &y, &ignored))
                continue;
            mine[count++] = (struct rect){x, y, a.width, a.height};
        } else if (ev.type == damage_event + XDamageNotify) {
            XDamageNotifyEvent* d = (XDamageNotifyEvent*)&ev;
            for (int i = 0; i < count; ++i) {
                if (d->area.x < mine[i].x + mine[i].w && d->area.x + d->area.width > mine[i].x &&
                    d->area.y < mine[i].y + mine[i].h && d->area.y + d->area.height > mine[i].y) {
                    painted = now_ms() - start;
                    break;
                }
            }
        }
    }
    if (painted < 0) {
        fprintf(stderr, "first_paint: %s drew nothing in 30 s\n", argv[first]);
        kill(child, SIGKILL);
        waitpid(child, NULL, 0);
        return 1;
    }
    if (keep) {
        printf("%.2f %d\n", painted, (int)child);
        return 0;
    }
    printf("%.2f\n", painted);
    fflush(stdout);
    kill(child, SIGTERM);
    waitpid(child, NULL, 0);
    return 0;
}
