#include "capture/dxgi_capture.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "capture/capture_pixels.h"
#include "common/log.h"

namespace kvd {

namespace {
std::atomic<bool> gAnyOnBasicAdapter{false};

constexpr int kInitAttempts = 5;
constexpr int kPrimeTimeoutMs = 2000;
constexpr int64_t kFirstFrameDeadlineMs = 5000;
constexpr int64_t kCrossCheckMs = 3000;
constexpr int64_t kAccessLostSpacingMs = 250;
constexpr int32_t kAccessLostBudget = 8;
constexpr int32_t kFramelessReinitLimit = 5;
constexpr int32_t kAcquireFailureLimit = 90;

uint32_t hex(int error) {
    return static_cast<uint32_t>(error);
}
}  // namespace

DxgiCapture::DxgiCapture(const std::string& display)
    : DxgiCapture(Platform{platform::createDesktopDuplication(display),
                           platform::createDisplays(display), platform::createPointer(display),
                           platform::createScreenGrabber(display), nullptr, nullptr}) {}

DxgiCapture::DxgiCapture(Platform platform) : p_(std::move(platform)) {
    if (!p_.clock) p_.clock = &SteadyClock::instance();
}

DxgiCapture::~DxgiCapture() {
    if (p_.duplication) p_.duplication->releaseDuplication();
}

bool DxgiCapture::anyOnBasicAdapter() {
    return gAnyOnBasicAdapter.load();
}

bool DxgiCapture::isDead() const {
    return initFailed_ || starved_ || accessLostReinits_ >= kAccessLostBudget;
}

void DxgiCapture::sleepMs(int64_t ms) {
    if (p_.sleepMs)
        p_.sleepMs(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void DxgiCapture::nudgeDisplay() {
    p_.duplication->wakeDisplay();
    sleepMs(200);
}

std::vector<CaptureMonitor> DxgiCapture::monitors() {
    std::vector<CaptureMonitor> out;
    std::vector<platform::DuplicationOutput> outputs;
    int err = 0;
    if (!p_.duplication || !p_.duplication->enumOutputs(outputs, err)) return out;
    for (const auto& o : outputs) {
        CaptureMonitor m;
        m.index = static_cast<int32_t>(out.size());
        m.x = o.left;
        m.y = o.top;
        m.width = o.right - o.left;
        m.height = o.bottom - o.top;
        m.primary = out.empty();
        out.push_back(m);
    }
    return out;
}

bool DxgiCapture::init(int32_t monitorIndex) {
    monitorIndex_ = monitorIndex;
    accessLostReinits_ = 0;
    initFailed_ = false;
    if (!p_.duplication) {
        initFailed_ = true;
        return false;
    }
    nudgeDisplay();
    if (!createDevice()) {
        initFailed_ = true;
        return false;
    }
    if (onBasicAdapter_) {
        const char* decline = std::getenv("KELVANDRUM_DECLINE_DXGI_ON_BASIC");
        if (decline && *decline && decline[0] != '0') {
            logger().warn(
                "DXGI declined on the Microsoft Basic display adapter by operator override "
                "(KELVANDRUM_DECLINE_DXGI_ON_BASIC) — using GDI");
            initFailed_ = true;
            return false;
        }
    }
    for (int attempt = 1; attempt <= kInitAttempts; ++attempt) {
        if (setupOutput(monitorIndex)) {
            initialized_ = true;
            logger().info("DXGI capture initialized: {}x{} (attempt {})", width_, height_, attempt);
            return true;
        }
        if (attempt < kInitAttempts) {
            logger().warn("DXGI init attempt {} failed, retrying in 1s...", attempt);
            sleepMs(1000);
            nudgeDisplay();
        }
    }
    logger().error("DXGI init failed after 5 attempts");
    initFailed_ = true;
    return false;
}

bool DxgiCapture::createDevice() {
    std::string description;
    int err = 0;
    if (!p_.duplication->createDevice(description, err)) {
        logger().error("D3D11CreateDevice failed: 0x{:08x}", hex(err));
        return false;
    }
    if (description.find("Microsoft Basic") != std::string::npos) {
        onBasicAdapter_ = true;
        gAnyOnBasicAdapter = true;
        logger().warn(
            "D3D11 device sits on '{}' — headless basic-display stub, capture output will be "
            "black",
            description);
    } else {
        onBasicAdapter_ = false;
    }
    return true;
}

bool DxgiCapture::setupOutput(int32_t monitorIndex) {
    // Resolve the index to a device name the same way the monitor list does.
    std::string wanted, primaryName, firstName;
    bool found = false;
    const auto mons = p_.displays ? p_.displays->monitors() : std::vector<platform::MonitorInfo>{};
    for (size_t i = 0; i < mons.size(); ++i) {
        if (i == 0) firstName = mons[i].name;
        if (mons[i].primary && primaryName.empty()) primaryName = mons[i].name;
        if (static_cast<int32_t>(i) == monitorIndex) {
            wanted = mons[i].name;
            found = true;
        }
    }
    if (monitorIndex == -1 && !mons.empty()) {
        wanted = primaryName.empty() ? firstName : primaryName;
        found = true;
    }
    if (!found) {
        logger().error("Monitor index {} not found via EnumDisplayMonitors", monitorIndex);
        return false;
    }

    std::vector<platform::DuplicationOutput> outputs;
    int err = 0;
    if (!p_.duplication->enumOutputs(outputs, err)) {
        logger().error("EnumOutputs({}) failed: 0x{:08x}", outputs.size(), hex(err));
        return false;
    }
    const platform::DuplicationOutput* out = nullptr;
    for (const auto& o : outputs)
        if (o.deviceName == wanted) {
            out = &o;
            break;
        }
    if (!out) {
        logger().error("DXGI output not found for monitor index {} (device name lookup miss)",
                       monitorIndex);
        return false;
    }

    width_ = out->right - out->left;
    height_ = out->bottom - out->top;
    originX_ = out->left;
    originY_ = out->top;
    rotation_ = out->rotation;
    if (rotation_ == kRotation90 || rotation_ == kRotation270) {
        nativeWidth_ = height_;
        nativeHeight_ = width_;
        logger().info("DXGI output rotated by {} degrees — native {}x{}, logical {}x{}",
                      rotation_ == kRotation90 ? 90 : 270, nativeWidth_, nativeHeight_, width_,
                      height_);
    } else {
        nativeWidth_ = width_;
        nativeHeight_ = height_;
        if (rotation_ == kRotation180) logger().info("DXGI output rotated 180 degrees");
    }
    if (width_ <= 0 || height_ <= 0) {
        logger().error("DuplicateOutput failed: 0x{:08x}", hex(0));
        return false;
    }

    p_.duplication->releaseDuplication();
    duplicated_ = false;
    if (!p_.duplication->duplicate(*out, err)) {
        logger().error("DuplicateOutput failed: 0x{:08x}", hex(err));
        return false;
    }
    duplicated_ = true;

    frameCache_.assign(static_cast<size_t>(width_) * height_ * 4, 0);
    outputSynced_ = false;
    drawnRect_ = {};
    deliveredOverlay_ = -1;
    deliveredFirstFrame_ = false;
    initAt_ = 0;
    starved_ = false;
    acquireFailures_ = 0;
    lastFrameAt_ = 0;
    lastGdiCheckAt_ = 0;
    lastGdiHash_ = 0;
    hasGdiHash_ = false;

    platform::DuplicationFrameInfo info;
    if (p_.duplication->acquireNextFrame(kPrimeTimeoutMs, info, err) != platform::AcquireStatus::Ok)
        return true;  // an empty cache is fine; the first frame comes later
    if (info.imageUpdated) {
        copyFrame();
        deliveredFirstFrame_ = true;
        lastFrameAt_ = p_.clock->nowMs();
        logger().info("Initial desktop frame captured into cache");
    }
    if (info.hasPointerShape) {
        handlePointerShape(info.pointerShape);
        logger().info("Cursor shape captured: {}x{} type={}", cursorWidth_, cursorHeight_,
                      cursorType_);
    }
    if (info.pointerUpdated) {
        cursorVisible_ = info.pointerVisible;
        cursorX_ = info.pointerX;
        cursorY_ = info.pointerY;
    }
    p_.duplication->releaseFrame();
    return true;
}

void DxgiCapture::copyFrame(const std::vector<DirtyRect>* rects) {
    const uint8_t* data = nullptr;
    int32_t pitch = 0;
    if (!p_.duplication->mapFrame(data, pitch) || !data || pitch < nativeWidth_ * 4) return;
    if (rects && !rects->empty() && rotation_ == kRotationIdentity) {
        for (const auto& r : *rects)
            copyRegion(data, pitch, frameCache_.data(), width_ * 4, r, width_, height_);
        return;
    }
    copyRotated(data, pitch, nativeWidth_, nativeHeight_, rotation_, frameCache_.data(), width_,
                height_);
}

void DxgiCapture::handlePointerShape(const platform::DuplicationPointerShape& shape) {
    auto conv = convertPointerShape(shape);
    switch (conv.verdict) {
        case ConvertedPointer::Verdict::RejectedColour:
            logger().warn("[dxgi] rejecting color cursor with unreasonable size {}x{} (cap {})",
                          shape.width, shape.height, kMaxPointerSide);
            return;
        case ConvertedPointer::Verdict::RejectedMonochrome:
            logger().warn(
                "[dxgi] rejecting monochrome cursor with unreasonable size {}x{} (cap {})",
                shape.width, shape.height, kMaxPointerSide);
            return;
        case ConvertedPointer::Verdict::UnknownType:
            return;
        case ConvertedPointer::Verdict::Ok:
            break;
    }
    cursorType_ = conv.type;
    cursorWidth_ = conv.width;
    cursorHeight_ = conv.height;
    cursorHotspotX_ = shape.hotspotX;
    cursorHotspotY_ = shape.hotspotY;
    cursorPixels_ = std::move(conv.bgra);
    cursorShapeChanged_ = true;
    ++shapeGen_;
}

void DxgiCapture::refreshShapeFromPointer() {
    if (!p_.pointer) return;
    platform::PointerImage img;
    if (!p_.pointer->image(img) || img.width <= 0 || img.height <= 0 ||
        img.width > kMaxPointerSide || img.height > kMaxPointerSide ||
        img.argb.size() < static_cast<size_t>(img.width) * img.height)
        return;
    if (img.serial != 0 && img.serial == lastCursorSerial_ && !cursorPixels_.empty()) return;
    img.argb.resize(static_cast<size_t>(img.width) * img.height);
    auto bgra = premultipliedArgbToBgra(img.argb);
    bool anyAlpha = false;
    for (size_t i = 3; i < bgra.size(); i += 4) anyAlpha = anyAlpha || bgra[i] != 0;
    if (!anyAlpha)
        for (size_t i = 3; i < bgra.size(); i += 4) bgra[i] = 255;
    cursorPixels_ = std::move(bgra);
    cursorWidth_ = img.width;
    cursorHeight_ = img.height;
    cursorHotspotX_ = img.hotspotX;
    cursorHotspotY_ = img.hotspotY;
    cursorType_ = kPointerTypeColour;
    cursorShapeChanged_ = true;
    ++shapeGen_;
    lastCursorSerial_ = img.serial;
}

bool DxgiCapture::canDrawPointer() const {
    return cursorVisible_ && !cursorPixels_.empty() && deliveredFirstFrame_ && cursorHeight_ >= 1;
}

DirtyRect DxgiCapture::pointerRect() const {
    if (!canDrawPointer()) return {};
    return clipRect(
        {cursorX_ - cursorHotspotX_, cursorY_ - cursorHotspotY_, cursorWidth_, cursorHeight_},
        width_, height_);
}

const uint8_t* DxgiCapture::deliverImage(CapturedFrame& f, bool imageChanged) {
    // The first image since set-up (the pipeline never saw the primed one)
    // or since the pointer changed hands: what changed is not known.
    const int overlay = cursorOverlay_ ? 1 : 0;
    const bool fresh = deliveredOverlay_ != overlay;
    deliveredOverlay_ = overlay;
    if (fresh) f.dirtyRects.clear();
    if (cursorOverlay_) {
        outputSynced_ = false;
        f.unchanged = !fresh && !imageChanged;
        return frameCache_.data();
    }

    const DirtyRect want = pointerRect();
    const bool pointerChanged = want != drawnRect_ || drawnShapeGen_ != shapeGen_;
    if (!outputSynced_ || fresh) {
        outputFrame_.resize(frameCache_.size());
        std::memcpy(outputFrame_.data(), frameCache_.data(), frameCache_.size());
        outputSynced_ = true;
        f.dirtyRects.clear();
    } else if (!imageChanged && !pointerChanged) {
        f.unchanged = true;
        return outputFrame_.data();
    } else {
        const int32_t stride = width_ * 4;
        copyRegion(frameCache_.data(), stride, outputFrame_.data(), stride, drawnRect_, width_,
                   height_);
        if (!imageChanged) {
            f.dirtyRects.clear();
        } else if (f.dirtyRects.empty()) {
            // Changed, but not known where: the whole image.
            std::memcpy(outputFrame_.data(), frameCache_.data(), frameCache_.size());
        } else {
            for (const auto& r : f.dirtyRects)
                copyRegion(frameCache_.data(), stride, outputFrame_.data(), stride, r, width_,
                           height_);
        }
        // A known list must also name the pointer's old and new places when
        // it moved; drawn again where it was, it changes nothing else.
        if (pointerChanged && (!imageChanged || !f.dirtyRects.empty())) {
            if (drawnRect_.width > 0) f.dirtyRects.push_back(drawnRect_);
            if (want.width > 0) f.dirtyRects.push_back(want);
        }
    }
    if (want.width > 0)
        drawPointer(outputFrame_.data(), width_, height_, width_ * 4, cursorPixels_.data(),
                    cursorWidth_, cursorHeight_, cursorX_ - cursorHotspotX_,
                    cursorY_ - cursorHotspotY_, cursorType_);
    drawnRect_ = want;
    drawnShapeGen_ = shapeGen_;
    // Nothing drawn and nothing changed: the pointer went from one empty
    // place to another.
    if (!fresh && !imageChanged && f.dirtyRects.empty()) f.unchanged = true;
    return outputFrame_.data();
}

CapturedFrame DxgiCapture::handleAccessLost(int64_t now) {
    CapturedFrame f;
    if (accessLostReinits_ >= kAccessLostBudget ||
        (lastAccessLostAt_ != 0 && now - lastAccessLostAt_ < kAccessLostSpacingMs))
        return f;
    lastAccessLostAt_ = now;
    logger().warn("DXGI access lost, reinitializing (attempt {}/{}, monitor {})...",
                  accessLostReinits_ + 1, kAccessLostBudget, monitorIndex_);
    const bool hadFrame = deliveredFirstFrame_;
    p_.duplication->releaseDuplication();
    duplicated_ = false;
    bool ok = setupOutput(monitorIndex_);
    if (!ok && monitorIndex_ >= 0) ok = setupOutput(-1);
    if (!ok) {
        ++accessLostReinits_;
        if (isDead())
            logger().error("DXGI re-init budget exhausted ({} attempts) — capture marked dead",
                           kAccessLostBudget);
        return f;
    }
    accessLostReinits_ = 0;
    if (!hadFrame && !deliveredFirstFrame_) {
        if (++framelessReinits_ >= kFramelessReinitLimit && !starved_) {
            starved_ = true;
            logger().error(
                "DXGI cycled {} ACCESS_LOST reinits without delivering a single frame — "
                "marking capture dead (starved)",
                framelessReinits_);
        }
    } else {
        framelessReinits_ = 0;
    }
    logger().info("DXGI re-acquired after access loss: {}x{}", width_, height_);
    return f;
}

CapturedFrame DxgiCapture::captureFrame() {
    CapturedFrame f;
    if (!initialized_) return f;
    int64_t now = p_.clock->nowMs();
    // A failed re-initialisation leaves no duplication; keep retrying it as
    // an access loss so that the budget can run out and the ladder replaces
    // this object, instead of returning empty frames forever.
    if (!duplicated_) return handleAccessLost(now);
    if (initAt_ == 0) initAt_ = now;

    platform::DuplicationFrameInfo info;
    int err = 0;
    const auto status = p_.duplication->acquireNextFrame(cursorOverlay_ ? 8 : 33, info, err);
    now = p_.clock->nowMs();

    if (status == platform::AcquireStatus::Timeout) {
        if (!deliveredFirstFrame_) {
            if (!starved_ && initAt_ != 0 && now - initAt_ > kFirstFrameDeadlineMs) {
                starved_ = true;
                logger().error(
                    "DXGI duplication delivered no first frame within {}s of init — marking "
                    "capture dead (starved surface)",
                    kFirstFrameDeadlineMs / 1000);
            }
            return f;
        }
        int32_t vx = 0, vy = 0;
        if (p_.pointer && p_.pointer->position(vx, vy)) {
            cursorX_ = vx - originX_;
            cursorY_ = vy - originY_;
            cursorVisible_ = true;
        }
        if (onBasicAdapter_ && !starved_ && lastFrameAt_ != 0 &&
            now - lastFrameAt_ > kCrossCheckMs &&
            (lastGdiCheckAt_ == 0 || now - lastGdiCheckAt_ > kCrossCheckMs)) {
            lastGdiCheckAt_ = now;
            uint64_t hash = 0;
            std::vector<uint8_t> thumb;
            if (p_.grabber && p_.grabber->connect() &&
                p_.grabber->thumbnail(width_, height_, thumb) && thumb.size() == 4096)
                hash = thumbnailHash(thumb.data(), thumb.size());
            if (hash != 0) {
                if (hasGdiHash_ && hash != lastGdiHash_) {
                    starved_ = true;
                    logger().error(
                        "DXGI delivered no new frame for {}s while a GDI cross-check of the same "
                        "screen changed — duplication is stalled on this adapter; marking "
                        "capture dead so the ladder falls back to GDI",
                        kCrossCheckMs / 1000);
                }
                lastGdiHash_ = hash;
                hasGdiHash_ = true;
            }
        }
        f.width = width_;
        f.height = height_;
        f.stride = width_ * 4;
        f.timestampUs = p_.clock->nowUs();
        f.valid = true;
        f.data = deliverImage(f, false);
        return f;
    }

    if (status == platform::AcquireStatus::AccessLost) return handleAccessLost(now);

    if (status == platform::AcquireStatus::Failed) {
        ++acquireFailures_;
        if (acquireFailures_ == 1 || acquireFailures_ % kAcquireFailureLimit == 0)
            logger().warn("DXGI AcquireNextFrame failing: 0x{:08x} (consecutive={})", hex(err),
                          acquireFailures_);
        if (acquireFailures_ >= kAcquireFailureLimit && !starved_) {
            starved_ = true;
            logger().error(
                "DXGI AcquireNextFrame failed {} times in a row (last 0x{:08x}) — marking "
                "capture dead so the ladder re-acquires",
                acquireFailures_, hex(err));
        }
        return f;
    }

    f.width = width_;
    f.height = height_;
    f.stride = width_ * 4;
    f.timestampUs = p_.clock->nowUs();
    f.valid = true;
    f.dirtyRects.swap(spareRects_);
    f.dirtyRects.clear();
    if (info.pointerUpdated) {
        cursorX_ = info.pointerX;
        cursorY_ = info.pointerY;
        cursorVisible_ = info.pointerVisible;
    }
    if (info.hasPointerShape) handlePointerShape(info.pointerShape);
    if (cursorOverlay_) refreshShapeFromPointer();
    if (!info.imageUpdated && !deliveredFirstFrame_) {
        // A pointer-only update before any image: the cache holds nothing yet.
        p_.duplication->releaseFrame();
        return CapturedFrame{};
    }
    if (info.hasMetadata) {
        bool ok = p_.duplication->moveRects(moveScratch_);
        if (ok)
            for (const auto& r : moveScratch_)
                f.dirtyRects.push_back(nativeRectToLogical(r, rotation_, width_, height_));
        ok = ok && p_.duplication->dirtyRects(dirtyScratch_);
        if (ok) {
            for (const auto& r : dirtyScratch_)
                f.dirtyRects.push_back(nativeRectToLogical(r, rotation_, width_, height_));
        } else {
            f.dirtyRects.assign(1, DirtyRect{0, 0, width_, height_});
        }
    }
    if (info.imageUpdated) copyFrame(info.hasMetadata ? &f.dirtyRects : nullptr);
    const bool isStatic = f.dirtyRects.empty();
    if (isStatic != wasStatic_) {
        logger().info("[dirty] {} (rects={})", isStatic ? "static" : "active", f.dirtyRects.size());
        wasStatic_ = isStatic;
    }
    p_.duplication->releaseFrame();
    deliveredFirstFrame_ = true;
    acquireFailures_ = 0;
    lastFrameAt_ = now;
    hasGdiHash_ = false;
    f.data = deliverImage(f, info.imageUpdated);
    return f;
}

void DxgiCapture::releaseFrame(CapturedFrame& frame) {
    frame.data = nullptr;
    // The list's storage serves the next frame.
    if (frame.dirtyRects.capacity() > spareRects_.capacity())
        spareRects_ = std::move(frame.dirtyRects);
    frame.dirtyRects.clear();
}

void DxgiCapture::cursorPosition(uint16_t& x, uint16_t& y) {
    if (width_ < 1 || height_ < 1) {
        x = y = 0;
        return;
    }
    int64_t ox = cursorX_, oy = cursorY_;
    int32_t vx = 0, vy = 0;
    if (p_.pointer && p_.pointer->position(vx, vy)) {
        ox = static_cast<int64_t>(vx) - originX_;
        oy = static_cast<int64_t>(vy) - originY_;
    }
    x = normalisePointer(ox, width_);
    y = normalisePointer(oy, height_);
}

bool DxgiCapture::takeCursorShapeChanged() {
    const bool v = cursorShapeChanged_;
    cursorShapeChanged_ = false;
    return v;
}

}  // namespace kvd
