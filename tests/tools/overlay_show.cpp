// Shows one overlay window through the platform layer, for tests that judge
// overlays from pixels:
//
//   kvdtool_overlay_show --display :N [--fill AARRGGBB] [--rect x,y,w,h,AARRGGBB]...
//                        [--text "words" --text-colour AARRGGBB --text-size PX]
//                        [--threshold A]
// Prints "ready composited=0|1 WxH" once presented, then keeps the window
// (following screen changes) until standard input ends or says "quit".
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/overlay_window.h"

using namespace kvd::platform;

namespace {
struct Box {
    SurfaceRect r;
    Argb c = 0;
};

void paint(OverlayWindow& w, Argb fill, const std::vector<Box>& boxes, const std::string& text,
           Argb textColour, int textSize) {
    DrawingSurface& s = w.surface();
    s.clear(fill);
    for (const auto& b : boxes) s.fillRect(b.r, b.c);
    if (!text.empty()) {
        TextStyle st;
        st.pixelHeight = textSize;
        st.color = textColour;
        st.horizontal = st.vertical = TextAlign::Center;
        s.text({0, 0, s.size().width, s.size().height}, text, st);
    }
    w.present();
}
}  // namespace

int main(int argc, char** argv) {
    std::string display, text;
    Argb fill = 0, textColour = 0xFFFFFFFF;
    int textSize = 32;
    OverlayOptions opts;
    opts.name = "KvdTestOverlay";
    std::vector<Box> boxes;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--display") display = v;
        if (k == "--fill") fill = static_cast<Argb>(std::strtoul(v, nullptr, 16));
        if (k == "--text") text = v;
        if (k == "--text-colour") textColour = static_cast<Argb>(std::strtoul(v, nullptr, 16));
        if (k == "--text-size") textSize = std::atoi(v);
        if (k == "--threshold") opts.opaqueAlphaThreshold = static_cast<uint8_t>(std::atoi(v));
        if (k == "--rect") {
            Box b;
            unsigned long c = 0;
            if (std::sscanf(v, "%d,%d,%d,%d,%lx", &b.r.x, &b.r.y, &b.r.width, &b.r.height, &c) ==
                5) {
                b.c = static_cast<Argb>(c);
                boxes.push_back(b);
            }
        }
    }
    std::string error;
    auto w = createOverlayWindow(opts, error, display);
    if (!w) {
        std::fprintf(stderr, "overlay failed: %s\n", error.c_str());
        return 1;
    }
    paint(*w, fill, boxes, text, textColour, textSize);
    w->show();
    w->processEvents();
    std::printf("ready composited=%d %dx%d\n", w->composited() ? 1 : 0, w->rect().width,
                w->rect().height);
    std::fflush(stdout);
    for (;;) {
        pollfd p{0, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buf[256];
            const ssize_t n = read(0, buf, sizeof buf - 1);
            if (n <= 0) break;
            buf[n] = 0;
            if (std::strstr(buf, "quit")) break;
        }
        const OverlayEvents ev = w->processEvents();
        if (ev.lost) return 1;
        if (ev.geometryChanged) {
            paint(*w, fill, boxes, text, textColour, textSize);
            std::printf("resized %dx%d\n", w->rect().width, w->rect().height);
            std::fflush(stdout);
        }
    }
    return 0;
}
