// Drives the host-screen features on a real display for the overlay tests:
// the annotation overlay and the connection indicator behind the control
// dispatcher, exactly as the engine wires them.
//
//   DISPLAY=:N kvdtool_features_host_screen
// Reads one command a line and answers "ok": a control message (JSON),
// "indicator" (shown as on a viewer's connection), "indicator-off",
// "compositor" (answers "compositor=0|1" instead), "quit".
#include <cstdio>
#include <iostream>
#include <string>

#include "features/host_screen_handlers.h"
#include "platform/overlay_window.h"

int main() {
    using namespace kvd;
    std::atomic<bool> a{false}, b{false}, c{false}, running{true};
    ControlDispatcher dispatcher({&a, &b, &c, &running}, [](const Json&) {});
    AnnotationOverlay annotations(platformOverlayWindows(),
                                  [] { return platform::virtualScreenRect(); });
    ConnectionIndicator indicator(platformOverlayWindows(), 1.0);
    installHostScreenHandlers(dispatcher, &annotations, &indicator);
    annotations.start();
    std::printf("ready compositor=%d\n", platform::compositorRunning() ? 1 : 0);
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") break;
        if (line == "indicator") {
            IndicatorConfig cfg;
            cfg.operatorName = "Remote Tech";
            cfg.mspName = "MSP";
            cfg.visible = true;
            indicator.show(cfg);
        } else if (line == "compositor") {
            std::printf("compositor=%d\n", platform::compositorRunning() ? 1 : 0);
            std::fflush(stdout);
            continue;
        } else if (line == "indicator-off") {
            indicator.stop();
        } else {
            dispatcher.dispatch(line);
        }
        std::printf("ok\n");
        std::fflush(stdout);
    }
    indicator.stop();
    annotations.stop();
    return 0;
}
