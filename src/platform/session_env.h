#pragma once
// The desktop environment the engine runs in: DPI and interactive session.
#include <memory>
#include <optional>
#include <string>

namespace kvd::platform {

struct DpiAwareness {
    std::string step;  // which awareness step took effect
    double scale = 1.0;
};

// Declares DPI awareness (first action of the process) and reads the system
// scale: 1.0 when it cannot be determined.
DpiAwareness setupDpiAwareness();

// Whether the engine runs without an interactive desktop ("session 0").
// nullopt when the probe itself failed; errorText then says why.
struct SessionProbe {
    std::optional<bool> noInteractiveDesktop;
    int errorCode = 0;
};
SessionProbe probeSession();

// Keeps the display awake while held on; idempotent.
class PowerRequest {
  public:
    virtual ~PowerRequest() = default;
    virtual bool setKeepAwake(bool on) = 0;
    virtual bool keepingAwake() const = 0;
};
std::unique_ptr<PowerRequest> makePowerRequest();

}  // namespace kvd::platform
