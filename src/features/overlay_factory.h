#pragma once
// How the host-screen features get their overlay windows: the platform's by
// default, scripted fakes in tests.
#include <functional>
#include <memory>
#include <string>

#include "platform/overlay_window.h"

namespace kvd {

using OverlayWindowFactory = std::function<std::unique_ptr<platform::OverlayWindow>(
    const platform::OverlayOptions& options, std::string& error)>;

// Windows on the engine's display.
OverlayWindowFactory platformOverlayWindows();

}  // namespace kvd
