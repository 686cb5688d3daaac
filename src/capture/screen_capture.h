#pragma once
// The capture interface every screen source implements.
#include <cstdint>
#include <string>
#include <vector>

namespace kvd {

struct DirtyRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const DirtyRect&) const = default;
};

// One captured BGRA frame; `data` belongs to the capture object and stays
// valid until its next captureFrame/releaseFrame or its destruction.
struct CapturedFrame {
    const uint8_t* data = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    int64_t timestampUs = 0;
    bool valid = false;
    std::vector<DirtyRect> dirtyRects;
    // The image is the same as the one the previous frame delivered, pointer
    // included: the backend knows (a wait that saw no change) or compared.
    bool unchanged = false;
};

struct CaptureMonitor {
    int32_t index = 0;
    std::string name;
    int32_t width = 0;
    int32_t height = 0;
    int32_t x = 0;
    int32_t y = 0;
    bool primary = false;
};

class ScreenCapture {
  public:
    virtual ~ScreenCapture();
    // -1: the primary screen.
    virtual bool init(int32_t monitorIndex) = 0;
    virtual std::vector<CaptureMonitor> monitors() = 0;
    virtual CapturedFrame captureFrame() = 0;
    virtual void releaseFrame(CapturedFrame& frame);
    virtual int32_t width() const = 0;
    virtual int32_t height() const = 0;
    virtual bool isDead() const = 0;
    virtual bool diedStarved() const;
    virtual bool permissionDenied() const;
    virtual void setCursorOverlay(bool viewerDrawsCursor);
    virtual bool cursorVisible() const;
    virtual void cursorPosition(uint16_t& x, uint16_t& y);
    virtual bool takeCursorShapeChanged();
    virtual int32_t cursorWidth() const;
    virtual int32_t cursorHeight() const;
    virtual int32_t cursorHotspotX() const;
    virtual int32_t cursorHotspotY() const;
    virtual int32_t originX() const;
    virtual int32_t originY() const;
    // B, G, R, A, row-major, cursorWidth x cursorHeight.
    virtual const std::vector<uint8_t>& cursorShape() const;
    // captureFrame itself waits (briefly) for the screen to change, so
    // asking again right after an unchanged frame costs no extra work.
    virtual bool waitsForChange() const;
};

}  // namespace kvd
