// Per-frame capture cost on a live display, for both backends and a plain
// XGetImage loop. One JSON line per run:
//   bench_capture --display :N --backend gdi|dxgi|xgetimage [--frames N]
// {"backend":..,"w":..,"h":..,"frames":..,"valid":..,"wall_us":{"min","median"},
//  "cpu_us":{"min","median"}}
// Wall time includes the duplication path's wait for damage (up to 33 ms on a
// static screen); CPU time is what the capture itself costs.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/dxgi_capture.h"
#include "capture/gdi_capture.h"

namespace {

int64_t nowUs(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Stats {
    int64_t min = 0, median = 0;
};

Stats stats(std::vector<int64_t> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    std::string display, backend = "gdi";
    int frames = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--display") display = argv[i + 1];
        if (k == "--backend") backend = argv[i + 1];
        if (k == "--frames") frames = std::max(1, std::atoi(argv[i + 1]));
    }
    std::vector<int64_t> wall, cpu;
    int valid = 0, w = 0, h = 0;
    if (backend == "xgetimage") {
        Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str());
        if (!d) return 1;
        w = DisplayWidth(d, DefaultScreen(d));
        h = DisplayHeight(d, DefaultScreen(d));
        for (int i = 0; i < frames; ++i) {
            const int64_t t0 = nowUs(CLOCK_MONOTONIC), c0 = nowUs(CLOCK_THREAD_CPUTIME_ID);
            XImage* img = XGetImage(d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(w),
                                    static_cast<unsigned>(h), AllPlanes, ZPixmap);
            if (img) {
                ++valid;
                XDestroyImage(img);
            }
            wall.push_back(nowUs(CLOCK_MONOTONIC) - t0);
            cpu.push_back(nowUs(CLOCK_THREAD_CPUTIME_ID) - c0);
        }
        XCloseDisplay(d);
    } else {
        std::unique_ptr<kvd::ScreenCapture> cap;
        if (backend == "dxgi")
            cap = std::make_unique<kvd::DxgiCapture>(display);
        else
            cap = std::make_unique<kvd::GdiCapture>(display);
        if (!cap->init(-1)) return 1;
        w = cap->width();
        h = cap->height();
        for (int i = 0; i < frames; ++i) {
            const int64_t t0 = nowUs(CLOCK_MONOTONIC), c0 = nowUs(CLOCK_THREAD_CPUTIME_ID);
            auto f = cap->captureFrame();
            wall.push_back(nowUs(CLOCK_MONOTONIC) - t0);
            cpu.push_back(nowUs(CLOCK_THREAD_CPUTIME_ID) - c0);
            valid += f.valid ? 1 : 0;
            cap->releaseFrame(f);
        }
    }
    const Stats sw = stats(wall), sc = stats(cpu);
    std::printf(
        "{\"backend\":\"%s\",\"w\":%d,\"h\":%d,\"frames\":%d,\"valid\":%d,"
        "\"wall_us\":{\"min\":%lld,\"median\":%lld},\"cpu_us\":{\"min\":%lld,\"median\":%lld}}\n",
        backend.c_str(), w, h, frames, valid, static_cast<long long>(sw.min),
        static_cast<long long>(sw.median), static_cast<long long>(sc.min),
        static_cast<long long>(sc.median));
    return 0;
}
