// Asks an X11 window to close the way a window manager does: a WM_DELETE_WINDOW
// client message, so the program runs its own close handling and exits normally.
// Usage: x11close <window id>   (DISPLAY names the server)
// Exits 0 once the request is sent, 1 when the window does not take it.

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: x11close <window id>\n");
        return 2;
    }
    char* end = nullptr;
    const unsigned long id = std::strtoul(argv[1], &end, 0);
    if (end == argv[1] || *end != '\0' || id == 0) {
        std::fprintf(stderr, "x11close: not a window id: %s\n", argv[1]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "x11close: cannot open display %s\n", XDisplayName(nullptr));
        return 1;
    }
    const Window window = id;
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);

    // A window that does not list WM_DELETE_WINDOW would be destroyed by a
    // window manager instead: say so rather than send a message it ignores.
    Atom* listed = nullptr;
    int count = 0;
    bool takesDelete = false;
    if (XGetWMProtocols(display, window, &listed, &count)) {
        for (int i = 0; i < count; ++i)
            takesDelete = takesDelete || listed[i] == deleteWindow;
        XFree(listed);
    }
    if (!takesDelete) {
        std::fprintf(stderr, "x11close: window 0x%lx does not take WM_DELETE_WINDOW\n", id);
        XCloseDisplay(display);
        return 1;
    }

    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    if (!sent) {
        std::fprintf(stderr, "x11close: could not send to window 0x%lx\n", id);
        return 1;
    }
    return 0;
}
