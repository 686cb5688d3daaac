#pragma once
// Well-known locations of the host.
#include <string>

namespace kvd::platform {

// Base of the per-user public documents location used for logs and
// recordings: $PUBLIC when set, else $XDG_STATE_HOME, else ~/.local/state.
std::string publicDataBase();

// Machine-wide data directory (logs live in its "logs" sibling).
std::string machineDataDir();

// The temporary directory ($TMPDIR or /tmp).
std::string tempDir();

}  // namespace kvd::platform
