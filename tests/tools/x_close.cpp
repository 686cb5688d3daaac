// Asks a window to close the way a window manager's close button does: a
// WM_DELETE_WINDOW client message to the first window with the given name.
//
//   kvdtool_x_close --display :N --name "Window Title"
// Exits 0 once sent, 1 when no such window exists.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <string>

namespace {
Window findByName(Display* d, Window w, const std::string& name) {
    char* got = nullptr;
    if (XFetchName(d, w, &got) && got) {
        const bool match = name == got;
        XFree(got);
        if (match) return w;
    }
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    Window found = 0;
    if (XQueryTree(d, w, &root, &parent, &children, &n)) {
        for (unsigned i = 0; i < n && !found; ++i) found = findByName(d, children[i], name);
        if (children) XFree(children);
    }
    return found;
}
}  // namespace

int main(int argc, char** argv) {
    std::string display, name;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--display")) display = argv[i + 1];
        if (!std::strcmp(argv[i], "--name")) name = argv[i + 1];
    }
    Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!d) return 1;
    const Window w = findByName(d, DefaultRootWindow(d), name);
    if (!w) return 1;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XCloseDisplay(d);
    return 0;
}
