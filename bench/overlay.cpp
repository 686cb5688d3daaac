// Repaint cost of the annotation overlay on the display in $DISPLAY: paints
// N freehand strokes of 200 points on a full-screen overlay and presents it,
// repeatedly. Run it once on a plain display and once with a compositing
// manager (e.g. xcompmgr) to compare the shaped and the blended path.
//
//   DISPLAY=:N bench_overlay [strokes=50] [repaints=20]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "features/annotation_overlay.h"
#include "platform/overlay_window.h"

int main(int argc, char** argv) {
    using namespace kvd;
    const int strokes = argc > 1 ? std::atoi(argv[1]) : 50;
    const int repaints = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    std::string error;
    platform::OverlayOptions o;
    o.opaqueAlphaThreshold = 96;
    auto w = platform::createOverlayWindow(o, error);
    if (!w) {
        std::fprintf(stderr, "no overlay: %s\n", error.c_str());
        return 1;
    }
    w->show();
    const auto r = w->rect();
    std::vector<AnnotationStroke> all;
    for (int i = 0; i < strokes; ++i) {
        AnnotationStroke s;
        s.tool = AnnotationTool::Freehand;
        s.strokeWidth = 4;
        for (int k = 0; k < 200; ++k)
            s.points.push_back({(i * 37 + k * 5) % r.width, (i * 19 + k * 3) % r.height});
        all.push_back(std::move(s));
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < repaints; ++i) {
        AnnotationOverlay::paint(w->surface(), all);
        w->present();
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s %dx%d: %.1f ms per repaint of %d strokes\n",
                w->composited() ? "blended" : "shaped", r.width, r.height, ms / repaints, strokes);
    return 0;
}
