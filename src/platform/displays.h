#pragma once
// Monitors and display modes of the host display.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

struct MonitorInfo {
    std::string name;  // device name of the monitor (UTF-8)
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool primary = false;
};

struct ModeInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frequency = 0;  // Hz, rounded
    uint32_t bitsPerPixel = 0;
};

class Displays {
  public:
    virtual ~Displays() = default;
    // Every monitor of the virtual desktop, in enumeration order.
    virtual std::vector<MonitorInfo> monitors() = 0;
    // Size of the primary screen; false when unknown.
    virtual bool primarySize(int32_t& width, int32_t& height) = 0;
    // Current mode of the display named `device` ("" = the primary display).
    virtual bool currentMode(const std::string& device, ModeInfo& out) = 0;
    // Every mode the display offers (duplicates possible).
    virtual std::vector<ModeInfo> modes(const std::string& device) = 0;
    // Switches the display to the mode; frequency 0 = any. False with an
    // errno-style code when the mode is not offered or the switch failed.
    virtual bool applyMode(const std::string& device, const ModeInfo& mode, int& error) = 0;
};

// Thread-safe; never null. An unreachable display yields empty results.
std::unique_ptr<Displays> createDisplays(const std::string& display = {});

// True while the connection to the display server is broken and no new one
// could be opened since (the server went away).
bool displayServerLost();

}  // namespace kvd::platform
