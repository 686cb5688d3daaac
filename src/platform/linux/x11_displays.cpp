#include <X11/extensions/Xrandr.h>

#include <cerrno>
#include <cmath>
#include <mutex>

#include "common/log.h"
#include "platform/displays.h"
#include "platform/linux/x11_capture_conn.h"

namespace kvd::platform {

namespace {

uint32_t modeRate(const XRRModeInfo& m) {
    if (!m.hTotal || !m.vTotal) return 0;
    double v = static_cast<double>(m.dotClock) / (static_cast<double>(m.hTotal) * m.vTotal);
    if (m.modeFlags & RR_DoubleScan) v /= 2;
    if (m.modeFlags & RR_Interlace) v *= 2;
    return static_cast<uint32_t>(std::lround(v));
}

struct Resources {
    XRRScreenResources* res = nullptr;
    ~Resources() {
        if (res) XRRFreeScreenResources(res);
    }
    const XRRModeInfo* mode(RRMode id) const {
        for (int i = 0; i < res->nmode; ++i)
            if (res->modes[i].id == id) return &res->modes[i];
        return nullptr;
    }
};

class X11Displays final : public Displays {
  public:
    explicit X11Displays(std::string display) : conn_(std::move(display)) {}

    std::vector<MonitorInfo> monitors() override {
        std::lock_guard<std::mutex> lk(mu_);
        std::vector<MonitorInfo> out;
        if (!ready()) return out;
        Display* d = conn_.get();
        int n = 0;
        XRRMonitorInfo* mons = XRRGetMonitors(d, DefaultRootWindow(d), True, &n);
        for (int i = 0; mons && i < n; ++i) {
            MonitorInfo m;
            if (char* name = XGetAtomName(d, mons[i].name)) {
                m.name = name;
                XFree(name);
            }
            m.x = mons[i].x;
            m.y = mons[i].y;
            m.width = mons[i].width;
            m.height = mons[i].height;
            m.primary = mons[i].primary;
            out.push_back(std::move(m));
        }
        if (mons) XRRFreeMonitors(mons);
        if (!conn_.usable()) out.clear();
        return out;
    }

    bool primarySize(int32_t& width, int32_t& height) override {
        auto mons = monitors();
        for (const auto& m : mons)
            if (m.primary) {
                width = m.width;
                height = m.height;
                return true;
            }
        std::lock_guard<std::mutex> lk(mu_);
        if (!ready()) return false;
        Display* d = conn_.get();
        int w = DisplayWidth(d, DefaultScreen(d)), h = DisplayHeight(d, DefaultScreen(d));
        rootSize(w, h);
        width = w;
        height = h;
        return width > 0 && height > 0;
    }

    bool currentMode(const std::string& device, ModeInfo& out) override {
        std::lock_guard<std::mutex> lk(mu_);
        Resources r;
        RROutput output = 0;
        if (!findOutput(device, r, output)) return false;
        Display* d = conn_.get();
        XRROutputInfo* oi = XRRGetOutputInfo(d, r.res, output);
        if (!oi) return false;
        bool ok = false;
        if (oi->crtc) {
            if (XRRCrtcInfo* ci = XRRGetCrtcInfo(d, r.res, oi->crtc)) {
                if (const XRRModeInfo* m = r.mode(ci->mode)) {
                    out.width = m->width;
                    out.height = m->height;
                    out.frequency = modeRate(*m);
                    out.bitsPerPixel = bitsPerPixel();
                    ok = true;
                }
                XRRFreeCrtcInfo(ci);
            }
        }
        XRRFreeOutputInfo(oi);
        return ok;
    }

    std::vector<ModeInfo> modes(const std::string& device) override {
        std::lock_guard<std::mutex> lk(mu_);
        std::vector<ModeInfo> out;
        Resources r;
        RROutput output = 0;
        if (!findOutput(device, r, output)) return out;
        XRROutputInfo* oi = XRRGetOutputInfo(conn_.get(), r.res, output);
        if (!oi) return out;
        for (int i = 0; i < oi->nmode; ++i)
            if (const XRRModeInfo* m = r.mode(oi->modes[i]))
                out.push_back({m->width, m->height, modeRate(*m), bitsPerPixel()});
        XRRFreeOutputInfo(oi);
        return out;
    }

    bool applyMode(const std::string& device, const ModeInfo& want, int& error) override {
        std::lock_guard<std::mutex> lk(mu_);
        Resources r;
        RROutput output = 0;
        if (!findOutput(device, r, output)) {
            error = ENODEV;
            return false;
        }
        Display* d = conn_.get();
        const Window root = DefaultRootWindow(d);
        XRROutputInfo* oi = XRRGetOutputInfo(d, r.res, output);
        if (!oi || !oi->crtc) {
            if (oi) XRRFreeOutputInfo(oi);
            error = ENODEV;
            return false;
        }
        // The offered mode of that size, at the asked rate when there is one.
        RRMode chosen = 0;
        uint32_t chosenRate = 0;
        for (int i = 0; i < oi->nmode; ++i) {
            const XRRModeInfo* m = r.mode(oi->modes[i]);
            if (!m || m->width != want.width || m->height != want.height) continue;
            const uint32_t rate = modeRate(*m);
            if (!chosen || rate == want.frequency ||
                (chosenRate != want.frequency && rate > chosenRate)) {
                chosen = m->id;
                chosenRate = rate;
            }
        }
        const RRCrtc crtc = oi->crtc;
        XRRFreeOutputInfo(oi);
        if (!chosen) {
            error = EINVAL;
            return false;
        }
        XRRCrtcInfo* ci = XRRGetCrtcInfo(d, r.res, crtc);
        if (!ci) {
            error = EIO;
            return false;
        }
        // The screen must hold every active CRTC: grow it before the switch
        // and shrink it to the new bounds afterwards.
        const bool swapped = ci->rotation & (RR_Rotate_90 | RR_Rotate_270);
        const int newW = static_cast<int>(swapped ? want.height : want.width);
        const int newH = static_cast<int>(swapped ? want.width : want.height);
        int boundW = ci->x + newW, boundH = ci->y + newH;
        for (int i = 0; i < r.res->ncrtc; ++i) {
            if (r.res->crtcs[i] == crtc) continue;
            if (XRRCrtcInfo* other = XRRGetCrtcInfo(d, r.res, r.res->crtcs[i])) {
                if (other->mode) {
                    boundW = std::max(boundW, other->x + static_cast<int>(other->width));
                    boundH = std::max(boundH, other->y + static_cast<int>(other->height));
                }
                XRRFreeCrtcInfo(other);
            }
        }
        int minW = 0, minH = 0, maxW = 0, maxH = 0;
        XRRGetScreenSizeRange(d, root, &minW, &minH, &maxW, &maxH);
        if (boundW > maxW || boundH > maxH) {
            XRRFreeCrtcInfo(ci);
            error = ERANGE;
            return false;
        }
        boundW = std::max(boundW, minW);
        boundH = std::max(boundH, minH);
        const int scr = DefaultScreen(d);
        // Xlib's cached screen size goes stale after a change (no event
        // processing here): ask the server.
        int curW = DisplayWidth(d, scr), curH = DisplayHeight(d, scr);
        rootSize(curW, curH);
        const double mmPerPxX = curW ? static_cast<double>(DisplayWidthMM(d, scr)) / curW : 0.26;
        const double mmPerPxY = curH ? static_cast<double>(DisplayHeightMM(d, scr)) / curH : 0.26;
        auto setSize = [&](int w, int h) {
            XRRSetScreenSize(d, root, w, h, std::max(1, static_cast<int>(w * mmPerPxX)),
                             std::max(1, static_cast<int>(h * mmPerPxY)));
        };
        const unsigned long before = xErrorCount();
        XGrabServer(d);
        const int growW = std::max(curW, boundW), growH = std::max(curH, boundH);
        if (growW != curW || growH != curH) setSize(growW, growH);
        const Status st = XRRSetCrtcConfig(d, r.res, crtc, CurrentTime, ci->x, ci->y, chosen,
                                           ci->rotation, ci->outputs, ci->noutput);
        if (st == RRSetConfigSuccess && (boundW != growW || boundH != growH))
            setSize(boundW, boundH);
        XUngrabServer(d);
        const bool ok = syncAndCheck(d, before) && st == RRSetConfigSuccess && conn_.usable();
        XRRFreeCrtcInfo(ci);
        if (!ok) error = st != RRSetConfigSuccess ? static_cast<int>(st) : EIO;
        return ok;
    }

  private:
    bool ready() {
        if (!conn_.ensure()) return false;
        if (gen_ != conn_.generation()) {
            int ev = 0, er = 0;
            haveRandr_ = XRRQueryExtension(conn_.get(), &ev, &er);
            gen_ = conn_.generation();
        }
        return haveRandr_;
    }

    void rootSize(int& w, int& h) {
        Display* d = conn_.get();
        Window root = 0;
        int x = 0, y = 0;
        unsigned int gw = 0, gh = 0, border = 0, depth = 0;
        if (XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &gw, &gh, &border, &depth)) {
            w = static_cast<int>(gw);
            h = static_cast<int>(gh);
        }
    }

    uint32_t bitsPerPixel() {
        Display* d = conn_.get();
        const int depth = DefaultDepth(d, DefaultScreen(d));
        return depth > 16 ? 32u : static_cast<uint32_t>(depth);
    }

    // The output behind a device name: an output or monitor of that name,
    // or for "" the primary output (else the first one driving a CRTC).
    bool findOutput(const std::string& device, Resources& r, RROutput& out) {
        if (!ready()) return false;
        Display* d = conn_.get();
        const Window root = DefaultRootWindow(d);
        r.res = XRRGetScreenResourcesCurrent(d, root);
        if (!r.res) return false;
        if (device.empty()) {
            out = XRRGetOutputPrimary(d, root);
            if (out) return true;
        }
        if (!device.empty()) {
            int n = 0;
            XRRMonitorInfo* mons = XRRGetMonitors(d, root, True, &n);
            for (int i = 0; mons && i < n; ++i) {
                char* name = XGetAtomName(d, mons[i].name);
                const bool match = name && device == name;
                if (name) XFree(name);
                if (match && mons[i].noutput > 0) {
                    out = mons[i].outputs[0];
                    XRRFreeMonitors(mons);
                    return true;
                }
            }
            if (mons) XRRFreeMonitors(mons);
        }
        for (int i = 0; i < r.res->noutput; ++i) {
            XRROutputInfo* oi = XRRGetOutputInfo(d, r.res, r.res->outputs[i]);
            if (!oi) continue;
            const bool match = device.empty() ? oi->crtc != 0 : device == oi->name;
            XRRFreeOutputInfo(oi);
            if (match) {
                out = r.res->outputs[i];
                return true;
            }
        }
        return false;
    }

    std::mutex mu_;
    x11::Connection conn_;
    uint64_t gen_ = 0;
    bool haveRandr_ = false;
};

}  // namespace

std::unique_ptr<Displays> createDisplays(const std::string& display) {
    return std::make_unique<X11Displays>(display);
}

}  // namespace kvd::platform
