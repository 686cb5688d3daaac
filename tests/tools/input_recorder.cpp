// Records the input an X display delivers: maps a window over the whole
// screen, takes the keyboard focus and prints one JSON line per event:
//   {"ev":"key","down":true,"keycode":38,"keysym":97,"name":"a","text":"a"}
//   {"ev":"button","down":true,"button":1,"x":10,"y":20}
//   {"ev":"motion","x":10,"y":20}
// A line {"ev":"ready"} comes first. Runs until killed or stdin closes.
// Usage: kvdtool_input_recorder [display]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/json_util.h"

namespace {

std::string utf8(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// The character a keysym stands for, when it is a printable one.
std::string keysymText(KeySym ks) {
    if ((ks >= 0x20 && ks <= 0x7E) || (ks >= 0xA0 && ks <= 0xFF)) return utf8(ks);
    if ((ks & 0xFF000000) == 0x01000000) return utf8(ks & 0x00FFFFFF);
    return {};
}

void emit(const kvd::Json& j) {
    std::fputs((kvd::dumpJson(j) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Display* dpy = XOpenDisplay(argc > 1 ? argv[1] : nullptr);
    if (!dpy) {
        std::fprintf(stderr, "cannot open display\n");
        return 1;
    }
    const int screen = DefaultScreen(dpy);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                       PointerMotionMask | StructureNotifyMask;
    Window win = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, DisplayWidth(dpy, screen),
                               DisplayHeight(dpy, screen), 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    XMapRaised(dpy, win);
    XEvent ev;
    do XNextEvent(dpy, &ev);
    while (ev.type != MapNotify);
    XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
    XSync(dpy, False);
    emit({{"ev", "ready"}});

    pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {0, POLLIN, 0}};
    for (;;) {
        while (XPending(dpy)) {
            XNextEvent(dpy, &ev);
            switch (ev.type) {
                case MappingNotify:
                    // Characters are typed through keycodes remapped on the
                    // fly: pick up the new keymap before the next key event.
                    XRefreshKeyboardMapping(&ev.xmapping);
                    break;
                case KeyPress:
                case KeyRelease: {
                    char buf[32];
                    KeySym ks = NoSymbol;
                    XLookupString(&ev.xkey, buf, sizeof buf, &ks, nullptr);
                    // Xlib allocates (and never frees) names of Unicode keysyms.
                    char unicodeName[16];
                    const char* name = nullptr;
                    if ((ks & 0xFF000000) == 0x01000000) {
                        std::snprintf(unicodeName, sizeof unicodeName, "U%04lX", ks & 0xFFFFFF);
                        name = unicodeName;
                    } else {
                        name = XKeysymToString(ks);
                    }
                    emit({{"ev", "key"},
                          {"down", ev.type == KeyPress},
                          {"keycode", ev.xkey.keycode},
                          {"keysym", static_cast<uint64_t>(ks)},
                          {"name", name ? name : ""},
                          {"text", keysymText(ks)},
                          {"state", ev.xkey.state}});
                    break;
                }
                case ButtonPress:
                case ButtonRelease:
                    emit({{"ev", "button"},
                          {"down", ev.type == ButtonPress},
                          {"button", ev.xbutton.button},
                          {"x", ev.xbutton.x_root},
                          {"y", ev.xbutton.y_root}});
                    break;
                case MotionNotify:
                    emit({{"ev", "motion"}, {"x", ev.xmotion.x_root}, {"y", ev.xmotion.y_root}});
                    break;
                default:
                    break;
            }
        }
        if (poll(fds, 2, 1000) < 0) break;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char c;
            if (read(0, &c, 1) <= 0) break;
        }
    }
    XCloseDisplay(dpy);
    return 0;
}
