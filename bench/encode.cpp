// Per-frame encode time of the software encoder and of the FFmpeg encoder
// path (over libx264 as the stand-in for a hardware encoder) at 720p and
// 1080p, with static and with changing content. Prints min and median.
//
//   bench_encode [frames-per-case]   (default 90)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "encode/hw_encoder.h"
#include "encode/sw_encoder.h"

namespace {

// A desktop-like picture: flat panels, text-like stripes, and a moving window
// when `phase` advances.
void draw(std::vector<uint8_t>& px, int w, int h, int phase) {
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = px.data() + (static_cast<size_t>(y) * w + x) * 4;
            uint8_t v = (y < 40) ? 60 : 235;
            if (y > 80 && (y % 18) < 10 && (x % 9) < 6 && x < w / 2) v = 30;
            p[0] = v;
            p[1] = v;
            p[2] = static_cast<uint8_t>(y < 40 ? 120 : v);
            p[3] = 255;
        }
    }
    const int wx = (phase * 7) % (w / 2), wy = h / 3;
    for (int y = wy; y < wy + h / 3; ++y)
        for (int x = w / 2 + wx / 2; x < std::min(w, w / 2 + wx / 2 + w / 4); ++x) {
            uint8_t* p = px.data() + (static_cast<size_t>(y) * w + x) * 4;
            p[0] = static_cast<uint8_t>(x + phase);
            p[1] = static_cast<uint8_t>(y * 2 + phase);
            p[2] = 90;
        }
}

struct Result {
    double minMs, medianMs;
    size_t bytes;
    int empty;  // frames that produced no output (skipped)
};

Result run(kvd::VideoEncoder& enc, int w, int h, bool changing, int frames) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    draw(px, w, h, 0);
    std::vector<double> ms;
    size_t bytes = 0;
    int empty = 0;
    for (int i = 0; i < frames; ++i) {
        if (changing) draw(px, w, h, i);
        const auto t0 = std::chrono::steady_clock::now();
        const auto f = enc.encode(px.data(), w * 4, int64_t{i} * 33'333);
        const auto t1 = std::chrono::steady_clock::now();
        bytes += f.data.size();
        empty += f.data.empty();
        if (i > 0) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], bytes, empty};
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(3, std::atoi(argv[1])) : 90;
    std::printf("%-9s %-10s %-9s %9s %9s %12s %8s\n", "encoder", "size", "content", "min ms",
                "median ms", "kbit/frame", "skipped");
    for (const auto& [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
        for (const bool changing : {false, true}) {
            for (const std::string kind : {"openh264", "libx264"}) {
                std::unique_ptr<kvd::VideoEncoder> enc;
                if (kind == "openh264")
                    enc = std::make_unique<kvd::SwEncoder>();
                else
                    enc = std::make_unique<kvd::HwEncoder>(std::vector<std::string>{"libx264"});
                kvd::EncoderConfig cfg;
                cfg.width = w;
                cfg.height = h;
                if (!enc->init(cfg)) {
                    std::printf("%-9s init failed\n", kind.c_str());
                    continue;
                }
                const Result r = run(*enc, w, h, changing, frames);
                std::printf("%-9s %4dx%-5d %-9s %9.2f %9.2f %12.1f %8d\n", kind.c_str(), w, h,
                            changing ? "changing" : "static", r.minMs, r.medianMs,
                            r.bytes * 8.0 / 1000.0 / frames, r.empty);
            }
        }
    }
    return 0;
}
