#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

#include "platform/dialog_window.h"
#include "platform/linux/x11_capture_conn.h"
#include "platform/linux/x11_drawing_surface.h"

namespace kvd::platform {

namespace x11 {
namespace {

// The access letter marked by "&" and the label without the mark.
std::string stripMnemonic(const std::string& label, std::string& letter) {
    std::string out;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '&' && i + 1 < label.size()) {
            if (letter.empty() && label[i + 1] != '&') letter = label.substr(i + 1, 1);
            out += label[++i];
            continue;
        }
        out += label[i];
    }
    return out;
}

class X11DialogWindow final : public DialogWindow {
  public:
    X11DialogWindow(DialogOptions opts, const std::string& display)
        : opts_(std::move(opts)), conn_(display) {}

    ~X11DialogWindow() override {
        if (!conn_.usable()) {
            (void)surface_.release();  // the server took every resource with it
            return;
        }
        Display* d = dpy();
        if (windowPicture_) XRenderFreePicture(d, windowPicture_);
        if (surfacePicture_) XRenderFreePicture(d, surfacePicture_);
        surface_.reset();
        if (win_ && !destroyed_) XDestroyWindow(d, win_);
        if (vis_.colormap) XFreeColormap(d, vis_.colormap);
        XSync(d, False);
    }

    bool init(std::string& error) {
        if (!conn_.ensure()) {
            error = "cannot open display";
            return false;
        }
        Display* d = dpy();
        if (!vis_.find(d)) {
            error = "no 32-bit ARGB visual";
            return false;
        }
        const int w = std::max(1, opts_.width), h = std::max(1, opts_.height);
        const unsigned long before = xErrorCount();
        XSetWindowAttributes a{};
        a.background_pixel = WhitePixel(d, DefaultScreen(d));
        a.event_mask =
            ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
        int x = 0, y = 0;
        centre(x, y);
        win_ = XCreateWindow(d, DefaultRootWindow(d), x, y, w, h, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWBackPixel | CWEventMask, &a);
        if (!win_) {
            error = "XCreateWindow failed";
            return false;
        }
        surface_ = std::make_unique<X11DrawingSurface>(d, vis_, w, h);
        surfacePicture_ = XRenderCreatePicture(
            d, surface_->pixmap(), XRenderFindStandardFormat(d, PictStandardARGB32), 0, nullptr);
        windowPicture_ = XRenderCreatePicture(
            d, win_, XRenderFindVisualFormat(d, DefaultVisual(d, DefaultScreen(d))), 0, nullptr);
        setProperties(w, h);
        if (!syncAndCheck(d, before)) {
            error = "X error " + std::to_string(lastXErrorCode()) + " creating the window";
            return false;
        }
        return true;
    }

    DrawingSurface& surface() override { return *surface_; }

    bool present() override {
        if (!usable()) return false;
        for (const auto& b : opts_.buttons) drawButton(b);
        copyToWindow(0, 0, opts_.width, opts_.height);
        XFlush(dpy());
        return true;
    }

    void show() override {
        if (!usable()) return;
        Display* d = dpy();
        XMapRaised(d, win_);
        // Focus can only go to a viewable window: wait for the map (a window
        // manager may take a moment to reparent it).
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!mapped_ && std::chrono::steady_clock::now() < until) {
            DialogEvent ev = waitEvent(50);
            if (ev.kind != DialogEvent::Kind::Nothing) pending_.push_back(ev);
            if (!usable()) return;
        }
        XSetInputFocus(d, win_, RevertToParent, CurrentTime);
        XFlush(d);
    }

    DialogEvent waitEvent(int32_t timeoutMs) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
        for (;;) {
            if (!pending_.empty()) {
                DialogEvent ev = pending_.front();
                pending_.erase(pending_.begin());
                return ev;
            }
            if (!usable()) return destroyedEvent();
            Display* d = dpy();
            while (XPending(d) > 0) {
                XEvent e;
                XNextEvent(d, &e);
                handle(e);
                if (!usable()) break;
            }
            if (!pending_.empty()) continue;
            if (!usable()) return destroyedEvent();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return {};
            pollfd p{ConnectionNumber(d), POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
        }
    }

  private:
    Display* dpy() const { return conn_.get(); }
    bool usable() const { return conn_.usable() && !destroyed_; }

    DialogEvent destroyedEvent() {
        DialogEvent ev;
        ev.kind = DialogEvent::Kind::WindowGone;
        return ev;
    }

    void setProperties(int w, int h) {
        Display* d = dpy();
        XTextProperty tp{};
        char* title = const_cast<char*>(opts_.title.c_str());
        if (Xutf8TextListToTextProperty(d, &title, 1, XStdICCTextStyle, &tp) == Success) {
            XSetWMName(d, win_, &tp);
            XFree(tp.value);
        }
        const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
        XChangeProperty(d, win_, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(opts_.title.data()),
                        static_cast<int>(opts_.title.size()));
        XClassHint hint{const_cast<char*>(opts_.className.c_str()),
                        const_cast<char*>(opts_.className.c_str())};
        XSetClassHint(d, win_, &hint);
        XSizeHints* sh = XAllocSizeHints();
        sh->flags = PMinSize | PMaxSize | PPosition;
        sh->min_width = sh->max_width = w;
        sh->min_height = sh->max_height = h;
        XSetWMNormalHints(d, win_, sh);
        XFree(sh);
        XWMHints* wm = XAllocWMHints();
        wm->flags = InputHint | StateHint;
        wm->input = True;
        wm->initial_state = NormalState;
        XSetWMHints(d, win_, wm);
        XFree(wm);
        deleteAtom_ = XInternAtom(d, "WM_DELETE_WINDOW", False);
        protocolsAtom_ = XInternAtom(d, "WM_PROTOCOLS", False);
        XSetWMProtocols(d, win_, &deleteAtom_, 1);
        const Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
        XChangeProperty(d, win_, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&above), 1);
        const Atom dialog = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
        XChangeProperty(d, win_, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&dialog), 1);
    }

    void centre(int& x, int& y) {
        Display* d = dpy();
        int mx = 0, my = 0, mw = DisplayWidth(d, DefaultScreen(d)),
            mh = DisplayHeight(d, DefaultScreen(d));
        int n = 0;
        XRRMonitorInfo* mons = XRRGetMonitors(d, DefaultRootWindow(d), True, &n);
        for (int i = 0; mons && i < n; ++i) {
            if (mons[i].primary || i == 0) {
                mx = mons[i].x;
                my = mons[i].y;
                mw = mons[i].width;
                mh = mons[i].height;
            }
            if (mons[i].primary) break;
        }
        if (mons) XRRFreeMonitors(mons);
        x = mx + (mw - opts_.width) / 2;
        y = my + (mh - opts_.height) / 2;
    }

    void copyToWindow(int x, int y, int w, int h) {
        XRenderComposite(dpy(), PictOpSrc, surfacePicture_, None, windowPicture_, x, y, 0, 0, x, y,
                         w, h);
    }

    void drawButton(const DialogButton& b) {
        DrawingSurface& s = *surface_;
        const bool down = pressed_ == b.id;
        const Argb border = b.isDefault ? rgb(0, 120, 215) : rgb(173, 173, 173);
        s.fillRect(b.rect, border);
        const int32_t bw = b.isDefault ? 2 : 1;
        s.fillRect({b.rect.x + bw, b.rect.y + bw, b.rect.width - 2 * bw, b.rect.height - 2 * bw},
                   down ? rgb(204, 228, 247) : rgb(225, 225, 225));
        std::string letter;
        const std::string label = stripMnemonic(b.label, letter);
        TextStyle ts;
        ts.pixelHeight = std::max(8, b.rect.height * 7 / 16);
        ts.color = rgb(0, 0, 0);
        ts.horizontal = ts.vertical = TextAlign::Center;
        s.text(b.rect, label, ts);
        if (!letter.empty()) {  // underline the access letter
            const auto full = s.measureText(label, ts.pixelHeight, false);
            const auto first = s.measureText(letter, ts.pixelHeight, false);
            const int32_t x0 = b.rect.x + (b.rect.width - full.width) / 2;
            const int32_t y0 = b.rect.y + (b.rect.height + full.height) / 2 - 2;
            if (label.rfind(letter, 0) == 0) s.fillRect({x0, y0, first.width, 1}, rgb(0, 0, 0));
        }
    }

    const DialogButton* buttonAt(int x, int y) const {
        for (const auto& b : opts_.buttons)
            if (x >= b.rect.x && y >= b.rect.y && x < b.rect.x + b.rect.width &&
                y < b.rect.y + b.rect.height)
                return &b;
        return nullptr;
    }

    void handle(XEvent& e) {
        Display* d = dpy();
        switch (e.type) {
            case Expose:
                if (e.xexpose.window == win_)
                    copyToWindow(e.xexpose.x, e.xexpose.y, e.xexpose.width, e.xexpose.height);
                break;
            case MapNotify:
                if (e.xmap.window == win_) mapped_ = true;
                break;
            case DestroyNotify:
                if (e.xdestroywindow.window == win_) {
                    destroyed_ = true;
                    pending_.push_back(destroyedEvent());
                }
                break;
            case ClientMessage:
                if (e.xclient.message_type == protocolsAtom_ && e.xclient.format == 32 &&
                    static_cast<Atom>(e.xclient.data.l[0]) == deleteAtom_) {
                    DialogEvent ev;
                    ev.kind = DialogEvent::Kind::CloseRequested;
                    pending_.push_back(ev);
                }
                break;
            case KeyPress: {
                KeySym sym = NoSymbol;
                char buf[8];
                XLookupString(&e.xkey, buf, sizeof buf, &sym, nullptr);
                DialogEvent ev;
                ev.kind = DialogEvent::Kind::KeyPressed;
                if (sym == XK_Escape)
                    ev.key = DialogEvent::kEscape;
                else if (sym == XK_Return || sym == XK_KP_Enter)
                    ev.key = DialogEvent::kReturn;
                else if (sym >= XK_A && sym <= XK_Z)
                    ev.key = static_cast<uint32_t>(sym - XK_A + 'a');
                else if (sym >= 0x20 && sym <= 0xFF)
                    ev.key = static_cast<uint32_t>(sym);
                else
                    break;
                pending_.push_back(ev);
                break;
            }
            case ButtonPress:
                if (e.xbutton.button == Button1) {
                    const DialogButton* b = buttonAt(e.xbutton.x, e.xbutton.y);
                    pressed_ = b ? b->id : 0;
                    if (b) present();
                }
                break;
            case ButtonRelease:
                if (e.xbutton.button == Button1 && pressed_) {
                    const DialogButton* b = buttonAt(e.xbutton.x, e.xbutton.y);
                    const int32_t id = pressed_;
                    pressed_ = 0;
                    present();
                    if (b && b->id == id) {
                        DialogEvent ev;
                        ev.kind = DialogEvent::Kind::ButtonClicked;
                        ev.buttonId = id;
                        pending_.push_back(ev);
                    }
                }
                break;
            default:
                break;
        }
        (void)d;
    }

    DialogOptions opts_;
    Connection conn_;
    ArgbVisual vis_;
    std::unique_ptr<X11DrawingSurface> surface_;
    Window win_ = 0;
    Picture surfacePicture_ = 0, windowPicture_ = 0;
    Atom deleteAtom_ = None, protocolsAtom_ = None;
    bool mapped_ = false, destroyed_ = false;
    int32_t pressed_ = 0;
    std::vector<DialogEvent> pending_;
};

}  // namespace
}  // namespace x11

std::unique_ptr<DialogWindow> createDialogWindow(const DialogOptions& options, std::string& error,
                                                 const std::string& display) {
    auto w = std::make_unique<x11::X11DialogWindow>(options, display);
    if (!w->init(error)) return nullptr;
    return w;
}

}  // namespace kvd::platform
