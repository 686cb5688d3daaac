#pragma once
// Power state of the physical screens: turning them dark leaves the desktop
// picture (and so every screen capture) as it is.
#include <memory>
#include <string>

namespace kvd::platform {

class DisplayPower {
  public:
    virtual ~DisplayPower() = default;
    // Puts every physical output to sleep. False with an errno-style code
    // when the display offers no power control (ENOTSUP) or is unreachable.
    virtual bool sleep(int& error) = 0;
    // Puts the outputs back to sleep when something (input, another client)
    // woke them; call it regularly while asleep.
    virtual void reassert() = 0;
    // Wakes the outputs and restores the power settings sleep found.
    virtual void wake() = 0;
};

// Never null.
std::unique_ptr<DisplayPower> createDisplayPower(const std::string& display = {});

}  // namespace kvd::platform
