#pragma once
// The guardian: a small process of the same executable that outlives an
// abrupt end of the engine (SIGKILL, crash) and then gives the person at the
// host back the screens and input devices the engine had taken. The platform
// implementations of LocalInputBlocker and DisplayPower keep it informed.
#include <optional>
#include <string>
#include <vector>

namespace kvd::platform {

// When the command line is the guardian's own, runs the guardian to its end
// and returns its exit code; otherwise nullopt, at once.
std::optional<int> runGuardianIfRequested(const std::vector<std::string>& args);

}  // namespace kvd::platform
