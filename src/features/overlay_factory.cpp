#include "features/overlay_factory.h"

namespace kvd {

OverlayWindowFactory platformOverlayWindows() {
    return [](const platform::OverlayOptions& options, std::string& error) {
        return platform::createOverlayWindow(options, error);
    };
}

}  // namespace kvd
