#include "capture/screen_capture.h"

namespace kvd {

ScreenCapture::~ScreenCapture() = default;
void ScreenCapture::releaseFrame(CapturedFrame&) {}
bool ScreenCapture::diedStarved() const {
    return false;
}
bool ScreenCapture::permissionDenied() const {
    return false;
}
void ScreenCapture::setCursorOverlay(bool) {}
bool ScreenCapture::cursorVisible() const {
    return false;
}
void ScreenCapture::cursorPosition(uint16_t& x, uint16_t& y) {
    x = 0;
    y = 0;
}
bool ScreenCapture::takeCursorShapeChanged() {
    return false;
}
int32_t ScreenCapture::cursorWidth() const {
    return 0;
}
int32_t ScreenCapture::cursorHeight() const {
    return 0;
}
int32_t ScreenCapture::cursorHotspotX() const {
    return 0;
}
int32_t ScreenCapture::cursorHotspotY() const {
    return 0;
}
int32_t ScreenCapture::originX() const {
    return 0;
}
int32_t ScreenCapture::originY() const {
    return 0;
}
const std::vector<uint8_t>& ScreenCapture::cursorShape() const {
    static const std::vector<uint8_t> empty;
    return empty;
}
bool ScreenCapture::waitsForChange() const {
    return false;
}

}  // namespace kvd
