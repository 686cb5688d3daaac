#include "features/host_screen_handlers.h"

namespace kvd {

void installHostScreenHandlers(ControlDispatcher& dispatcher, AnnotationOverlay* annotations,
                               ConnectionIndicator* indicator) {
    if (annotations) {
        dispatcher.setHandler("annotation_draw",
                              [annotations](const Json& msg) { annotations->drawFromJson(msg); });
        dispatcher.setHandler("annotation_clear",
                              [annotations](const Json&) { annotations->clear(); });
    }
    if (indicator) {
        dispatcher.setHandler("connection_indicator",
                              [indicator](const Json& msg) { indicator->updateFromJson(msg); });
    }
}

}  // namespace kvd
