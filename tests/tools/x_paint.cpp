// A tiny X client for the capture tests: paints solid rectangles in known
// colours (override-redirect windows, so no window manager is involved),
// can animate one region, set a known root pointer image and move the pointer.
//
//   kvdtool_x_paint --display :N [--rect x,y,w,h,RRGGBB]... [--animate x,y,w,h,ms]
//                   [--cursor w,h,hotx,hoty,RRGGBB] [--warp x,y]
// Prints "ready" once everything is on screen. Then reads commands from stdin,
// answering each with "ok": "rect x,y,w,h,RRGGBB", "warp x y", "quit".
// Ends at end of input.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    unsigned long colour = 0;
};

bool parseRect(const char* s, Rect& r) {
    return std::sscanf(s, "%d,%d,%d,%d,%lx", &r.x, &r.y, &r.w, &r.h, &r.colour) == 5 && r.w > 0 &&
           r.h > 0;
}

Window paint(Display* d, const Rect& r) {
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = r.colour;
    const Window w = XCreateWindow(d, DefaultRootWindow(d), r.x, r.y, static_cast<unsigned>(r.w),
                                   static_cast<unsigned>(r.h), 0, CopyFromParent, InputOutput,
                                   CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapRaised(d, w);
    return w;
}

void setCursor(Display* d, int w, int h, int hx, int hy, unsigned long rgb) {
    const Window root = DefaultRootWindow(d);
    std::vector<char> bits(static_cast<size_t>((w + 7) / 8) * h, static_cast<char>(0xFF));
    Pixmap src = XCreateBitmapFromData(d, root, bits.data(), static_cast<unsigned>(w),
                                       static_cast<unsigned>(h));
    Pixmap mask = XCreateBitmapFromData(d, root, bits.data(), static_cast<unsigned>(w),
                                        static_cast<unsigned>(h));
    XColor fg{}, bg{};
    fg.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257);
    fg.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257);
    fg.blue = static_cast<unsigned short>((rgb & 0xFF) * 257);
    fg.flags = bg.flags = DoRed | DoGreen | DoBlue;
    const Cursor c = XCreatePixmapCursor(d, src, mask, &fg, &bg, static_cast<unsigned>(hx),
                                         static_cast<unsigned>(hy));
    XDefineCursor(d, root, c);
    XFreePixmap(d, src);
    XFreePixmap(d, mask);
}

}  // namespace

int main(int argc, char** argv) {
    std::string display;
    std::vector<Rect> rects;
    Rect anim;
    int animMs = 0;
    int cursor[4] = {0, 0, 0, 0};
    unsigned long cursorRgb = 0;
    bool haveCursor = false, haveWarp = false;
    int warpX = 0, warpY = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--display") {
            display = v;
        } else if (k == "--rect") {
            Rect r;
            if (!parseRect(v, r)) return 2;
            rects.push_back(r);
        } else if (k == "--animate") {
            if (std::sscanf(v, "%d,%d,%d,%d,%d", &anim.x, &anim.y, &anim.w, &anim.h, &animMs) != 5)
                return 2;
        } else if (k == "--cursor") {
            if (std::sscanf(v, "%d,%d,%d,%d,%lx", &cursor[0], &cursor[1], &cursor[2], &cursor[3],
                            &cursorRgb) != 5)
                return 2;
            haveCursor = true;
        } else if (k == "--warp") {
            if (std::sscanf(v, "%d,%d", &warpX, &warpY) != 2) return 2;
            haveWarp = true;
        } else {
            return 2;
        }
    }
    Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!d) {
        std::fprintf(stderr, "cannot open display\n");
        return 1;
    }
    for (const auto& r : rects) paint(d, r);
    Window animWin = 0;
    if (animMs > 0) {
        anim.colour = 0x000000;
        animWin = paint(d, anim);
    }
    if (haveCursor) setCursor(d, cursor[0], cursor[1], cursor[2], cursor[3], cursorRgb);
    if (haveWarp) XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, warpX, warpY);
    XSync(d, False);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string line;
    bool phase = false;
    for (;;) {
        pollfd p{0, POLLIN, 0};
        const int rc = poll(&p, 1, animMs > 0 ? animMs : 1000);
        if (rc == 0) {
            if (animWin) {
                phase = !phase;
                XSetWindowBackground(d, animWin, phase ? 0xFFFFFF : 0x000000);
                XClearWindow(d, animWin);
                XFlush(d);
            }
            continue;
        }
        if (rc < 0) continue;
        char buf[256];
        const ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = line.find('\n')) != std::string::npos) {
            const std::string cmd = line.substr(0, nl);
            line.erase(0, nl + 1);
            Rect r;
            int x = 0, y = 0;
            if (cmd.rfind("rect ", 0) == 0 && parseRect(cmd.c_str() + 5, r)) {
                paint(d, r);
            } else if (std::sscanf(cmd.c_str(), "warp %d %d", &x, &y) == 2) {
                XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
            } else if (cmd == "quit") {
                XCloseDisplay(d);
                return 0;
            }
            XSync(d, False);
            std::printf("ok\n");
            std::fflush(stdout);
        }
    }
    XCloseDisplay(d);
    return 0;
}
