#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/desktop_duplication.h"
#include "platform/linux/x11_capture_conn.h"

namespace kvd::platform {

namespace {

// Beyond this many damage rectangles per frame, report their bounding box.
constexpr size_t kMaxRects = 64;
// Damaged row bands closer than this are read in one request; beyond this
// many bands, one request spans them all.
constexpr int32_t kBandGap = 16;
constexpr size_t kMaxBands = 8;

int64_t monoMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class X11DesktopDuplication final : public DesktopDuplication {
  public:
    explicit X11DesktopDuplication(std::string display) : conn_(std::move(display)) {}
    ~X11DesktopDuplication() override { releaseDuplication(); }

    bool createDevice(std::string& description, int& error) override {
        releaseDuplication();
        if (!conn_.ensure()) {
            error = ECONNREFUSED;
            return false;
        }
        Display* d = conn_.get();
        int err = 0;
        if (!XDamageQueryExtension(d, &damageEvent_, &err) ||
            !XFixesQueryExtension(d, &fixesEvent_, &err) ||
            !XRRQueryExtension(d, &randrEvent_, &err)) {
            error = ENOTSUP;
            return false;
        }
        gen_ = conn_.generation();
        description = std::string(ServerVendor(d)) + " (X11 damage)";
        return true;
    }

    void wakeDisplay() override {
        if (!usable()) return;
        XResetScreenSaver(conn_.get());
        XForceScreenSaver(conn_.get(), ScreenSaverReset);
        XFlush(conn_.get());
    }

    bool enumOutputs(std::vector<DuplicationOutput>& out, int& error) override {
        out.clear();
        if (!usable()) {
            error = ENOTCONN;
            return false;
        }
        Display* d = conn_.get();
        int n = 0;
        XRRMonitorInfo* mons = XRRGetMonitors(d, DefaultRootWindow(d), True, &n);
        for (int i = 0; mons && i < n; ++i) {
            DuplicationOutput o;
            if (char* name = XGetAtomName(d, mons[i].name)) {
                o.deviceName = name;
                XFree(name);
            }
            o.left = mons[i].x;
            o.top = mons[i].y;
            o.right = mons[i].x + mons[i].width;
            o.bottom = mons[i].y + mons[i].height;
            // The X framebuffer is already in the orientation the user sees.
            o.rotation = 1;
            out.push_back(std::move(o));
        }
        if (mons) XRRFreeMonitors(mons);
        if (!conn_.usable()) {
            error = ENOTCONN;
            return false;
        }
        return true;
    }

    bool duplicate(const DuplicationOutput& output, int& error) override {
        releaseDuplication();
        if (!usable()) {
            error = ENOTCONN;
            return false;
        }
        Display* d = conn_.get();
        const Window root = DefaultRootWindow(d);
        output_ = output;
        const int w = output.right - output.left, h = output.bottom - output.top;
        const unsigned long before = xErrorCount();
        if (!image_.create(d, w, h)) {
            error = ENOMEM;
            return false;
        }
        damage_ = XDamageCreate(d, root, XDamageReportRawRectangles);
        XRRSelectInput(d, root, RRScreenChangeNotifyMask);
        XFixesSelectCursorInput(d, root, XFixesDisplayCursorNotifyMask);
        if (!syncAndCheck(d, before) || !conn_.usable()) {
            releaseDuplication();
            error = EIO;
            return false;
        }
        // Whatever happened before the duplication started is not news.
        drainEvents();
        rects_.clear();
        lost_ = false;
        cursorChanged_ = true;
        pendingFull_ = true;  // the first frame is the whole desktop
        active_ = true;
        return true;
    }

    void releaseDuplication() override {
        if (damage_ && conn_.usable()) {
            XDamageDestroy(conn_.get(), damage_);
            XRRSelectInput(conn_.get(), DefaultRootWindow(conn_.get()), 0);
            XFixesSelectCursorInput(conn_.get(), DefaultRootWindow(conn_.get()), 0);
            XSync(conn_.get(), False);
        }
        damage_ = 0;
        image_.release();
        active_ = false;
        held_ = false;
    }

    AcquireStatus acquireNextFrame(int timeoutMs, DuplicationFrameInfo& info, int& error) override {
        info = DuplicationFrameInfo{};
        if (!active_ || !usable()) {
            error = ENOTCONN;
            return AcquireStatus::Failed;
        }
        if (held_) releaseFrame();
        const int64_t deadline = monoMs() + std::max(0, timeoutMs);
        Display* d = conn_.get();
        for (;;) {
            drainEvents();
            if (!conn_.usable()) {
                error = ENOTCONN;
                return AcquireStatus::Failed;
            }
            if (lost_) return AcquireStatus::AccessLost;
            if (pendingFull_ || !rects_.empty() || cursorChanged_) break;
            const int64_t left = deadline - monoMs();
            if (left <= 0) return AcquireStatus::Timeout;
            pollfd p{ConnectionNumber(d), POLLIN, 0};
            const int rc = poll(&p, 1, static_cast<int>(left));
            if (rc < 0 && errno != EINTR) {
                error = errno;
                return AcquireStatus::Failed;
            }
            if (rc > 0 && (p.revents & (POLLHUP | POLLERR))) {
                error = ENOTCONN;
                return AcquireStatus::Failed;
            }
        }
        const bool image = pendingFull_ || !rects_.empty();
        if (image) {
            if (!grabDamage()) {
                // The output no longer fits the screen: a mode change whose
                // notification is still on its way.
                if (!conn_.usable()) {
                    error = ENOTCONN;
                    return AcquireStatus::Failed;
                }
                lost_ = true;
                return AcquireStatus::AccessLost;
            }
            frameRects_.clear();
            const int w = output_.right - output_.left, h = output_.bottom - output_.top;
            if (pendingFull_ || rects_.size() > kMaxRects) {
                if (pendingFull_) {
                    frameRects_.push_back({0, 0, w, h});
                } else {
                    DuplicationRect box = rects_.front();
                    for (const auto& r : rects_) {
                        box.left = std::min(box.left, r.left);
                        box.top = std::min(box.top, r.top);
                        box.right = std::max(box.right, r.right);
                        box.bottom = std::max(box.bottom, r.bottom);
                    }
                    frameRects_.push_back(box);
                }
            } else {
                frameRects_ = rects_;
            }
            info.imageUpdated = true;
            info.hasMetadata = true;
        }
        pendingFull_ = false;
        rects_.clear();

        Window root = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        if (XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask)) {
            info.pointerUpdated = true;
            info.pointerVisible = true;
            info.pointerX = rx - output_.left;
            info.pointerY = ry - output_.top;
        }
        if (cursorChanged_) {
            cursorChanged_ = false;
            if (XFixesCursorImage* ci = XFixesGetCursorImage(d)) {
                auto& s = info.pointerShape;
                s.type = 2;
                s.width = ci->width;
                s.height = ci->height;
                s.pitch = ci->width * 4;
                s.hotspotX = ci->xhot;
                s.hotspotY = ci->yhot;
                s.bytes = x11::cursorPixelsToBgra(ci->pixels,
                                                  static_cast<size_t>(ci->width) * ci->height);
                info.hasPointerShape = ci->width > 0 && ci->height > 0;
                XFree(ci);
            }
        }
        held_ = true;
        return AcquireStatus::Ok;
    }

    bool mapFrame(const uint8_t*& data, int32_t& pitch) override {
        if (!held_ || !image_.data()) return false;
        data = image_.data();
        pitch = image_.stride();
        return true;
    }

    bool moveRects(std::vector<DuplicationRect>& destinations) override {
        destinations.clear();  // X reports no moves
        return held_;
    }

    bool dirtyRects(std::vector<DuplicationRect>& out) override {
        if (!held_) return false;
        out = frameRects_;
        return true;
    }

    void releaseFrame() override {
        held_ = false;
        frameRects_.clear();
    }

  private:
    bool usable() { return conn_.usable() && gen_ == conn_.generation(); }

    // Reads only the damaged rows from the server (whole rows, so that each
    // band lands in place in the shared image); the rest of the image still
    // holds what the screen shows there.
    bool grabDamage() {
        if (pendingFull_) return image_.grab(output_.left, output_.top);
        bands_.clear();
        for (const auto& r : rects_) bands_.emplace_back(r.top, r.bottom);
        std::sort(bands_.begin(), bands_.end());
        size_t n = 0;
        for (const auto& b : bands_) {
            if (n > 0 && b.first <= bands_[n - 1].second + kBandGap)
                bands_[n - 1].second = std::max(bands_[n - 1].second, b.second);
            else
                bands_[n++] = b;
        }
        bands_.resize(n);
        if (bands_.size() > kMaxBands) {
            bands_.front().second = bands_.back().second;
            bands_.resize(1);
        }
        for (const auto& b : bands_)
            if (!image_.grabRows(output_.left, output_.top, b.first, b.second - b.first))
                return false;
        return true;
    }

    void drainEvents() {
        Display* d = conn_.get();
        while (conn_.usable() && XPending(d) > 0) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == damageEvent_ + XDamageNotify) {
                const auto& de = reinterpret_cast<const XDamageNotifyEvent&>(ev);
                addDamage(de.area.x, de.area.y, de.area.width, de.area.height);
            } else if (ev.type == randrEvent_ + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&ev);
                lost_ = true;
            } else if (ev.type == fixesEvent_ + XFixesCursorNotify) {
                cursorChanged_ = true;
            }
        }
    }

    void addDamage(int x, int y, int w, int h) {
        // Clip to the output and make it output-relative.
        const int l = std::max(x, output_.left), t = std::max(y, output_.top);
        const int r = std::min(x + w, output_.right), b = std::min(y + h, output_.bottom);
        if (r <= l || b <= t) return;
        rects_.push_back({l - output_.left, t - output_.top, r - output_.left, b - output_.top});
        if (rects_.size() > 4 * kMaxRects) {
            DuplicationRect box = rects_.front();
            for (const auto& q : rects_) {
                box.left = std::min(box.left, q.left);
                box.top = std::min(box.top, q.top);
                box.right = std::max(box.right, q.right);
                box.bottom = std::max(box.bottom, q.bottom);
            }
            rects_.assign(1, box);
        }
    }

    x11::Connection conn_;
    uint64_t gen_ = 0;
    int damageEvent_ = 0, fixesEvent_ = 0, randrEvent_ = 0;
    Damage damage_ = 0;
    DuplicationOutput output_;
    x11::RootImage image_;
    std::vector<DuplicationRect> rects_, frameRects_;
    std::vector<std::pair<int32_t, int32_t>> bands_;  // rows [first, second)
    bool active_ = false, held_ = false, lost_ = false, cursorChanged_ = false,
         pendingFull_ = false;
};

}  // namespace

std::unique_ptr<DesktopDuplication> createDesktopDuplication(const std::string& display) {
    return std::make_unique<X11DesktopDuplication>(display);
}

}  // namespace kvd::platform
