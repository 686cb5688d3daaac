#pragma once
// Copying the screen into memory: the grab path of capture. One object owns
// one connection to the display and one frame buffer.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

class ScreenGrabber {
  public:
    virtual ~ScreenGrabber() = default;
    // Makes sure the connection to the screen is usable, reconnecting when it
    // was lost. Cheap when already connected. False: lastError() says why.
    virtual bool connect() = 0;
    // Reserves the frame buffer for grabs of width x height pixels, 4 bytes a
    // pixel (B, G, R, unused), stride 4 * width.
    virtual bool allocate(int32_t width, int32_t height) = 0;
    // The frame buffer; null before a successful allocate().
    virtual uint8_t* buffer() = 0;
    // Copies the screen area whose top-left is (x, y), of the allocated size,
    // into buffer(). False: lastError() says why; the buffer may be stale.
    virtual bool grab(int32_t x, int32_t y) = 0;
    // A 32 x 32 point-sampled picture of the area (0, 0, width, height), 4096
    // bytes B, G, R, unused. False when the screen cannot be read.
    virtual bool thumbnail(int32_t width, int32_t height, std::vector<uint8_t>& out) = 0;
    // errno-style code of the last failure (0: none).
    virtual int lastError() const = 0;
};

// The grabber for a display ("" = the default display). Never null; a display
// that cannot be reached makes connect() fail.
std::unique_ptr<ScreenGrabber> createScreenGrabber(const std::string& display = {});

}  // namespace kvd::platform
