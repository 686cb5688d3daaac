#pragma once
// The one path by which remote input reaches the host desktop.
#include <cstdint>
#include <string>

namespace kvd {

class InputInjector {
  public:
    virtual ~InputInjector() = default;
    // x, y normalised 0..65535 over the active monitor.
    virtual void mouseMove(uint16_t x, uint16_t y) = 0;
    // 0 left, 1 right, 2 middle, 3 extra button 1, 4 extra button 2.
    virtual void mouseDown(uint8_t button) = 0;
    virtual void mouseUp(uint8_t button) = 0;
    virtual void mouseWheel(int16_t vertical, int16_t horizontal) = 0;
    // flags bit 0: extended key.
    virtual void keyDown(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) = 0;
    virtual void keyUp(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) = 0;
    virtual void typeText(const std::string& utf8, uint32_t delayMs) = 0;
    virtual void sendSas() = 0;
    // Virtual-desktop pixels.
    virtual void setActiveMonitorBounds(int32_t left, int32_t top, int32_t width,
                                        int32_t height) = 0;
    virtual bool isAvailable() = 0;
};

}  // namespace kvd
