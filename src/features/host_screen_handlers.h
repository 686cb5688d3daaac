#pragma once
// The control messages that draw on the host's screen: annotations and the
// connection indicator.
#include "features/annotation_overlay.h"
#include "features/connection_indicator.h"
#include "features/control_dispatcher.h"

namespace kvd {

// "annotation_draw", "annotation_clear" and "connection_indicator"; a null
// feature leaves its messages unhandled.
void installHostScreenHandlers(ControlDispatcher& dispatcher, AnnotationOverlay* annotations,
                               ConnectionIndicator* indicator);

}  // namespace kvd
