#pragma once
// Damage-driven duplication of one output: frames are delivered only when the
// screen changed, with the changed rectangles and pointer updates.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

struct DuplicationOutput {
    std::string deviceName;
    int32_t left = 0, top = 0, right = 0, bottom = 0;  // desktop rectangle
    int32_t rotation = 1;  // 1 identity, 2 = 90 degrees, 3 = 180, 4 = 270
};

struct DuplicationRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;  // on the native surface
};

struct DuplicationPointerShape {
    int32_t type = 2;  // 1 monochrome, 2 colour (BGRA), 4 masked colour
    int32_t width = 0;
    int32_t height = 0;  // for monochrome: AND and XOR masks, twice the pointer height
    int32_t pitch = 0;
    int32_t hotspotX = 0;
    int32_t hotspotY = 0;
    std::vector<uint8_t> bytes;
};

struct DuplicationFrameInfo {
    bool imageUpdated = false;    // the desktop image changed; mapFrame gives it
    bool pointerUpdated = false;  // pointerVisible/X/Y are current
    bool pointerVisible = false;
    int32_t pointerX = 0, pointerY = 0;  // relative to the output
    bool hasPointerShape = false;
    DuplicationPointerShape pointerShape;
    bool hasMetadata = false;  // moveRects/dirtyRects describe this frame
};

enum class AcquireStatus { Ok, Timeout, AccessLost, Failed };

class DesktopDuplication {
  public:
    virtual ~DesktopDuplication() = default;
    // Opens the device; `adapterDescription` names what renders the desktop.
    virtual bool createDevice(std::string& adapterDescription, int& error) = 0;
    // Keeps the display awake and out of the screen saver.
    virtual void wakeDisplay() = 0;
    virtual bool enumOutputs(std::vector<DuplicationOutput>& out, int& error) = 0;
    virtual bool duplicate(const DuplicationOutput& output, int& error) = 0;
    virtual void releaseDuplication() = 0;
    // Waits up to timeoutMs for a change. Ok: a frame is held until releaseFrame().
    virtual AcquireStatus acquireNextFrame(int timeoutMs, DuplicationFrameInfo& info,
                                           int& error) = 0;
    // The held frame's native surface (4 bytes a pixel, B, G, R, unused).
    virtual bool mapFrame(const uint8_t*& data, int32_t& pitch) = 0;
    virtual bool moveRects(std::vector<DuplicationRect>& destinations) = 0;
    virtual bool dirtyRects(std::vector<DuplicationRect>& out) = 0;
    virtual void releaseFrame() = 0;
};

// Never null; an unreachable display makes createDevice fail.
std::unique_ptr<DesktopDuplication> createDesktopDuplication(const std::string& display = {});

}  // namespace kvd::platform
