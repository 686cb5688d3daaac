#pragma once
// The mouse pointer as the display shows it: position and current image.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

struct PointerImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t hotspotX = 0;
    int32_t hotspotY = 0;
    // Changes whenever the pointer image changes (0: unknown).
    uint64_t serial = 0;
    // width x height pixels, row-major, 0xAARRGGBB with premultiplied alpha.
    std::vector<uint32_t> argb;
};

class Pointer {
  public:
    virtual ~Pointer() = default;
    // Position in virtual-desktop coordinates; false when it cannot be read.
    virtual bool position(int32_t& x, int32_t& y) = 0;
    // The current pointer image; false when it cannot be read.
    virtual bool image(PointerImage& out) = 0;
};

// Never null; an unreachable display makes every query fail.
std::unique_ptr<Pointer> createPointer(const std::string& display = {});

}  // namespace kvd::platform
