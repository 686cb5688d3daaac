#include "platform/session_env.h"

#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/extensions/scrnsaver.h>

#include <cstdlib>
#include <mutex>

#include "platform/linux/x11_util.h"

namespace kvd::platform {

namespace {

double dpiFromResources(Display* dpy) {
    // Xft.dpi is what desktop environments set for the user's scale.
    if (const char* rms = XResourceManagerString(dpy)) {
        XrmInitialize();
        XrmDatabase db = XrmGetStringDatabase(rms);
        if (db) {
            char* type = nullptr;
            XrmValue value{};
            double dpi = 0;
            if (XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr)
                dpi = std::atof(value.addr);
            XrmDestroyDatabase(db);
            if (dpi > 0) return dpi;
        }
    }
    const int screen = DefaultScreen(dpy);
    const int mm = DisplayWidthMM(dpy, screen);
    const int px = DisplayWidth(dpy, screen);
    if (mm > 0 && px > 0) return px * 25.4 / mm;
    return 0;
}

}  // namespace

DpiAwareness setupDpiAwareness() {
    // X11 clients always work in physical pixels: the process is, in effect,
    // system-DPI aware. Only the scale needs reading.
    DpiAwareness out{"system", 1.0};
    XDisplayPtr dpy = openDisplay();
    if (!dpy) return out;
    const double dpi = dpiFromResources(dpy.get());
    if (dpi > 0) out.scale = dpi / 96.0;
    return out;
}

SessionProbe probeSession() {
    SessionProbe p;
    XDisplayPtr dpy = openDisplay();
    p.noInteractiveDesktop = !dpy;
    return p;
}

namespace {
class X11PowerRequest final : public PowerRequest {
  public:
    bool setKeepAwake(bool on) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (on == on_) return true;
        if (!dpy_) dpy_ = openDisplay();
        if (!dpy_) return false;
        int ev = 0, err = 0;
        if (!XScreenSaverQueryExtension(dpy_.get(), &ev, &err)) return false;
        XScreenSaverSuspend(dpy_.get(), on ? True : False);
        XFlush(dpy_.get());
        on_ = on;
        return true;
    }
    bool keepingAwake() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return on_;
    }
    ~X11PowerRequest() override {
        if (dpy_ && on_) {
            XScreenSaverSuspend(dpy_.get(), False);
            XFlush(dpy_.get());
        }
    }

  private:
    mutable std::mutex mu_;
    XDisplayPtr dpy_;
    bool on_ = false;
};
}  // namespace

std::unique_ptr<PowerRequest> makePowerRequest() {
    return std::make_unique<X11PowerRequest>();
}

}  // namespace kvd::platform
