#pragma once
// The control messages of privacy mode and the local input block.
#include "features/control_dispatcher.h"
#include "features/privacy_mode.h"

namespace kvd {

// Installs "privacy_mode" (answered with "privacy_mode_ack") and
// "input_block" (answered with "input_block_ack").
void installPrivacyControl(ControlDispatcher& dispatcher, PrivacyMode& privacy,
                           LocalInputBlock& inputBlock);

// The session is view-only under the dispatcher's current policy.
bool isViewOnly(const ControlDispatcher& dispatcher);

}  // namespace kvd
