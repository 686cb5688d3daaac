#pragma once
// The grab-based fallback capture: copies one monitor (or the primary
// screen) into its own buffer on every frame and draws the pointer into it.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/capture_pixels.h"
#include "capture/screen_capture.h"
#include "common/clock.h"
#include "platform/desktop_probe.h"
#include "platform/displays.h"
#include "platform/pointer.h"
#include "platform/screen_grabber.h"

namespace kvd {

class GdiCapture : public ScreenCapture {
  public:
    struct Platform {
        std::unique_ptr<platform::ScreenGrabber> grabber;
        std::unique_ptr<platform::Displays> displays;
        std::unique_ptr<platform::Pointer> pointer;
        std::unique_ptr<platform::DesktopProbe> probe;
        const Clock* clock = nullptr;  // null: the steady clock
    };
    // The real platform on `display` ("" = the default display).
    explicit GdiCapture(const std::string& display = {});
    explicit GdiCapture(Platform platform);
    ~GdiCapture() override;

    bool init(int32_t monitorIndex) override;
    std::vector<CaptureMonitor> monitors() override;
    CapturedFrame captureFrame() override;
    int32_t width() const override { return width_; }
    int32_t height() const override { return height_; }
    bool isDead() const override;
    int32_t originX() const override { return originX_; }
    int32_t originY() const override { return originY_; }

    int32_t consecutiveFailures() const { return consecutiveFailures_; }

  private:
    void drawCursor();

    Platform p_;
    int32_t consecutiveFailures_ = 0;
    bool initFailed_ = false;
    int32_t width_ = 0, height_ = 0, originX_ = 0, originY_ = 0;
    uint8_t* bits_ = nullptr;
    bool initialized_ = false;
    // Pointer image converted to straight BGRA, kept until its serial changes.
    PointerPainter pointerPainter_;
    // The last delivered image, to tell an unchanged screen.
    std::vector<uint8_t> previous_;
};

}  // namespace kvd
