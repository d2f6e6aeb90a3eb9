/* wmclose WINDOW-ID: ask a top-level X window to close as a window manager does when the user
 * clicks its close button, with a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW
 * ("xdotool windowclose" destroys the window instead, skipping the program's own close path). */
#include <X11/Xlib.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    char *end = NULL;
    const Window win = argc == 2 ? (Window)strtoul(argv[1], &end, 0) : 0;
    Display *dpy = win && !*end ? XOpenDisplay(NULL) : NULL;
    if (!dpy)
        return fprintf(stderr, "usage: wmclose WINDOW-ID, with DISPLAY set\n"), 1;
    XEvent ev = {.xclient = {.type = ClientMessage, .window = win, .format = 32}};
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    /* No event mask: delivered to the window's owner, as a window manager does. */
    XSendEvent(dpy, win, False, NoEventMask, &ev);
    XCloseDisplay(dpy); /* flushes the request */
    return 0;
}
