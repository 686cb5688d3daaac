#include "capture/gdi_capture.h"

#include "capture/capture_pixels.h"
#include "common/log.h"

namespace kvd {

namespace {
constexpr int32_t kDeathAfterFailures = 90;

bool thinned(int32_t n) {
    return n == 1 || n % 30 == 0;
}
}  // namespace

GdiCapture::GdiCapture(const std::string& display)
    : GdiCapture(Platform{platform::createScreenGrabber(display), platform::createDisplays(display),
                          platform::createPointer(display), platform::createDesktopProbe(display),
                          nullptr}) {}

GdiCapture::GdiCapture(Platform platform) : p_(std::move(platform)) {
    if (!p_.clock) p_.clock = &SteadyClock::instance();
}

GdiCapture::~GdiCapture() = default;

bool GdiCapture::isDead() const {
    return initFailed_ || consecutiveFailures_ >= kDeathAfterFailures;
}

std::vector<CaptureMonitor> GdiCapture::monitors() {
    std::vector<CaptureMonitor> out;
    if (!p_.displays) return out;
    for (const auto& m : p_.displays->monitors()) {
        CaptureMonitor c;
        c.index = static_cast<int32_t>(out.size());
        c.name = m.name.substr(0, 64);
        c.width = m.width;
        c.height = m.height;
        c.x = m.x;
        c.y = m.y;
        c.primary = m.primary;
        out.push_back(std::move(c));
    }
    return out;
}

bool GdiCapture::init(int32_t monitorIndex) {
    initFailed_ = false;
    const auto desk = p_.probe ? p_.probe->probe() : platform::DesktopProbeResult{};
    if (desk.outcome != platform::DesktopProbeResult::Outcome::Ok) {
        logger().warn(
            "[gdi-capture] input desktop inaccessible (err={}) — likely secure desktop without "
            "SYSTEM rights; GDI capture would be black, failing init honestly",
            desk.error);
        initFailed_ = true;
        return false;
    }
    if (!p_.grabber || !p_.grabber->connect()) {
        logger().error("[gdi-capture] GetDC(NULL) failed: {}",
                       p_.grabber ? p_.grabber->lastError() : -1);
        initFailed_ = true;
        return false;
    }
    const auto mons = monitors();
    if (monitorIndex >= 0 && monitorIndex < static_cast<int32_t>(mons.size())) {
        const auto& m = mons[static_cast<size_t>(monitorIndex)];
        width_ = m.width;
        height_ = m.height;
        originX_ = m.x;
        originY_ = m.y;
    } else {
        int32_t w = 0, h = 0;
        if (!p_.displays || !p_.displays->primarySize(w, h)) w = h = 0;
        width_ = w;
        height_ = h;
        originX_ = originY_ = 0;
    }
    if (width_ <= 0 || height_ <= 0) {
        logger().error("[gdi-capture] invalid screen dimensions {}x{}", width_, height_);
        initFailed_ = true;
        return false;
    }
    if (!p_.grabber->allocate(width_, height_) || !p_.grabber->buffer()) {
        logger().error("[gdi-capture] CreateDIBSection failed: {}", p_.grabber->lastError());
        initFailed_ = true;
        return false;
    }
    bits_ = p_.grabber->buffer();
    initialized_ = true;
    logger().info("[gdi-capture] initialized: {}x{} (fallback mode)", width_, height_);
    return true;
}

CapturedFrame GdiCapture::captureFrame() {
    CapturedFrame f;
    f.width = width_;
    f.height = height_;
    f.stride = width_ * 4;
    f.timestampUs = p_.clock->nowUs();
    if (!initialized_) return f;

    // Grabbing while another desktop has the input would show a stale or
    // black picture: drop the frame instead.
    const auto desk = p_.probe->probe();
    if (desk.outcome != platform::DesktopProbeResult::Outcome::Ok) {
        ++consecutiveFailures_;
        if (thinned(consecutiveFailures_))
            logger().warn(
                "[gdi-capture] input desktop attach failed (err={}, consecutive={}) — dropping "
                "frame instead of blitting a stale desktop",
                desk.error, consecutiveFailures_);
        return f;
    }
    if (!p_.grabber->connect() || !p_.grabber->grab(originX_, originY_)) {
        ++consecutiveFailures_;
        if (thinned(consecutiveFailures_))
            logger().warn("[gdi-capture] BitBlt failed (err={}, consecutive={})",
                          p_.grabber->lastError(), consecutiveFailures_);
        return f;
    }
    if (consecutiveFailures_ > 0) {
        logger().info("[gdi-capture] capture recovered after {} dropped frames",
                      consecutiveFailures_);
        consecutiveFailures_ = 0;
    }
    bits_ = p_.grabber->buffer();
    drawCursor();
    // The grab knows nothing of what changed; comparing with the previous
    // image (pointer included) is far cheaper than encoding it again.
    f.unchanged = keepIfChanged(bits_, width_ * 4, width_ * 4, height_, previous_);
    f.data = bits_;
    f.valid = true;
    return f;
}

void GdiCapture::drawCursor() {
    // The grab never contains the pointer; the buffer is refilled on every
    // frame, so drawing straight into it leaves no trail.
    pointerPainter_.paint(p_.pointer.get(), bits_, width_, height_, width_ * 4, originX_, originY_);
}

}  // namespace kvd
