/* wmclose WINDOW-ID: ask a top-level X window to close the way a window
 * manager does when the user clicks its close button: a WM_PROTOCOLS client
 * message carrying WM_DELETE_WINDOW. (Destroying the window instead, as
 * "xdotool windowclose" does, is not what a user does and skips the
 * application's own close path.)
 * Exit status: 0 sent, 1 usage or display error, 2 the window does not take
 * WM_DELETE_WINDOW. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdio.h>
#include <stdlib.h>

static int takesDelete(Display *dpy, Window win, Atom deleteWindow)
{
    Atom *protocols = NULL;
    int count = 0;
    int found = 0;
    if (XGetWMProtocols(dpy, win, &protocols, &count)) {
        for (int i = 0; i < count; ++i)
            found |= protocols[i] == deleteWindow;
        XFree(protocols);
    }
    return found;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s WINDOW-ID\n", argv[0]);
        return 1;
    }
    char *end = NULL;
    const unsigned long id = strtoul(argv[1], &end, 0);
    if (end == argv[1] || *end != '\0' || id == 0) {
        fprintf(stderr, "wmclose: not a window id: %s\n", argv[1]);
        return 1;
    }
    Display *dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "wmclose: cannot open display\n");
        return 1;
    }
    const Window win = (Window)id;
    const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    if (!takesDelete(dpy, win, deleteWindow)) {
        fprintf(stderr, "wmclose: window 0x%lx does not list WM_DELETE_WINDOW\n", id);
        XCloseDisplay(dpy);
        return 2;
    }

    XEvent ev = {0};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = win;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)deleteWindow;
    ev.xclient.data.l[1] = CurrentTime;
    /* No event mask: delivered to the window's owner, as a window manager does. */
    XSendEvent(dpy, win, False, NoEventMask, &ev);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return 0;
}
