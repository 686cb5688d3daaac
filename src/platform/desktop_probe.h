#pragma once
// Which desktop currently receives input: the normal one ("Default") or a
// secure one (logon, lock screen, elevation prompt).
#include <memory>
#include <string>

namespace kvd::platform {

struct DesktopProbeResult {
    enum class Outcome {
        Ok,            // `name` holds the input desktop's name
        AccessDenied,  // the input desktop exists but this process may not open it
        Unsupported,   // the system cannot say
        Failed,        // any other failure (`error` says which)
    };
    Outcome outcome = Outcome::Failed;
    int error = 0;
    std::string name;
};

class DesktopProbe {
  public:
    virtual ~DesktopProbe() = default;
    virtual DesktopProbeResult probe() = 0;
};

// Never null; an unreachable display yields Failed.
std::unique_ptr<DesktopProbe> createDesktopProbe(const std::string& display = {});

}  // namespace kvd::platform
