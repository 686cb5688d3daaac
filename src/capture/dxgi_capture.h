#pragma once
// The primary capture: damage-driven duplication of one output into a frame
// cache, with dirty rectangles, pointer tracking and the death rules the
// capture ladder relies on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/screen_capture.h"
#include "common/clock.h"
#include "platform/desktop_duplication.h"
#include "platform/displays.h"
#include "platform/pointer.h"
#include "platform/screen_grabber.h"

namespace kvd {

class DxgiCapture : public ScreenCapture {
  public:
    struct Platform {
        std::unique_ptr<platform::DesktopDuplication> duplication;
        std::unique_ptr<platform::Displays> displays;
        std::unique_ptr<platform::Pointer> pointer;
        std::unique_ptr<platform::ScreenGrabber> grabber;  // thumbnail cross-check
        const Clock* clock = nullptr;                      // null: the steady clock
        std::function<void(int64_t)> sleepMs;              // null: a real sleep
    };
    explicit DxgiCapture(const std::string& display = {});
    explicit DxgiCapture(Platform platform);
    ~DxgiCapture() override;

    bool init(int32_t monitorIndex) override;
    std::vector<CaptureMonitor> monitors() override;
    CapturedFrame captureFrame() override;
    void releaseFrame(CapturedFrame& frame) override;
    int32_t width() const override { return width_; }
    int32_t height() const override { return height_; }
    bool isDead() const override;
    bool diedStarved() const override { return starved_; }
    void setCursorOverlay(bool on) override { cursorOverlay_ = on; }
    bool cursorVisible() const override { return cursorVisible_; }
    void cursorPosition(uint16_t& x, uint16_t& y) override;
    bool takeCursorShapeChanged() override;
    int32_t cursorWidth() const override { return cursorWidth_; }
    int32_t cursorHeight() const override { return cursorHeight_; }
    int32_t cursorHotspotX() const override { return cursorHotspotX_; }
    int32_t cursorHotspotY() const override { return cursorHotspotY_; }
    int32_t originX() const override { return originX_; }
    int32_t originY() const override { return originY_; }
    const std::vector<uint8_t>& cursorShape() const override { return cursorPixels_; }
    bool waitsForChange() const override { return true; }

    bool onBasicAdapter() const { return onBasicAdapter_; }
    // Set once any duplication device landed on the basic display adapter.
    static bool anyOnBasicAdapter();
    int32_t rotation() const { return rotation_; }
    int32_t nativeWidth() const { return nativeWidth_; }
    int32_t nativeHeight() const { return nativeHeight_; }
    int32_t cursorType() const { return cursorType_; }

  private:
    bool createDevice();
    bool setupOutput(int32_t monitorIndex);
    CapturedFrame handleAccessLost(int64_t nowMs);
    // The whole native surface, or with `rects` only those logical regions
    // (identity rotation only).
    void copyFrame(const std::vector<DirtyRect>* rects = nullptr);
    void handlePointerShape(const platform::DuplicationPointerShape& shape);
    void refreshShapeFromPointer();
    bool canDrawPointer() const;
    // The image handed out, with the pointer drawn unless the viewer draws
    // it; fills the frame's change marks from what the cache changed.
    const uint8_t* deliverImage(CapturedFrame& f, bool imageChanged);
    DirtyRect pointerRect() const;
    void nudgeDisplay();
    void sleepMs(int64_t ms);

    Platform p_;
    int32_t width_ = 0, height_ = 0, originX_ = 0, originY_ = 0;
    int32_t nativeWidth_ = 0, nativeHeight_ = 0;
    int32_t rotation_ = 1;
    bool duplicated_ = false;
    std::vector<uint8_t> frameCache_;
    // The pointer is drawn into this copy so that the cache stays clean. It
    // is kept in step with the cache region by region; drawnRect_ is where
    // the pointer sits in it.
    std::vector<uint8_t> outputFrame_;
    bool outputSynced_ = false;
    DirtyRect drawnRect_;
    uint64_t drawnShapeGen_ = 0;
    uint64_t shapeGen_ = 0;
    // Mode of the last delivered image (-1: none since set-up).
    int deliveredOverlay_ = -1;
    std::vector<platform::DuplicationRect> moveScratch_, dirtyScratch_;
    std::vector<DirtyRect> spareRects_;
    std::vector<uint8_t> cursorPixels_;
    int32_t cursorWidth_ = 0, cursorHeight_ = 0, cursorHotspotX_ = 0, cursorHotspotY_ = 0;
    int32_t cursorX_ = -1, cursorY_ = -1;  // relative to the output
    int32_t cursorType_ = 2;
    bool cursorVisible_ = false;
    bool cursorShapeChanged_ = false;
    bool cursorOverlay_ = false;
    uint64_t lastCursorSerial_ = 0;
    bool initialized_ = false;
    bool deliveredFirstFrame_ = false;
    bool wasStatic_ = true;
    int32_t monitorIndex_ = -1;
    int32_t accessLostReinits_ = 0;
    bool initFailed_ = false;
    int64_t lastAccessLostAt_ = 0;  // ms; 0 = never
    int64_t initAt_ = 0;
    bool starved_ = false;
    int32_t acquireFailures_ = 0;
    int64_t lastFrameAt_ = 0;
    int64_t lastGdiCheckAt_ = 0;
    uint64_t lastGdiHash_ = 0;
    bool hasGdiHash_ = false;
    int32_t framelessReinits_ = 0;
    bool onBasicAdapter_ = false;
};

}  // namespace kvd
