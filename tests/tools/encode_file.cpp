// Encodes synthetic BGRA pictures with one of the engine's encoders and writes
// the access units back to back as a raw H.264 (Annex B) file, so that the
// system tests can hand the result to ffprobe/ffmpeg.
//
//   kvdtool_encode_file --encoder sw|x264 --size WxH --frames N --out FILE
//                       [--keyframe-at I]... [--resize-at I:WxH]
// Prints one JSON line per input frame: {"i":..,"bytes":..,"key":..}.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encode/hw_encoder.h"
#include "encode/sw_encoder.h"

namespace {

// Red, green, blue and white quadrants with a grey bar moving along the top.
std::vector<uint8_t> picture(int w, int h, int phase) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    const uint8_t colours[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int q = (y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0);
            const uint8_t* c = colours[q];
            uint8_t grey[3] = {128, 128, 128};
            if (h >= 16 && y < h / 8 && ((x + phase * 8) / 16) % 4 == 0) c = grey;
            uint8_t* p = px.data() + (static_cast<size_t>(y) * w + x) * 4;
            p[0] = c[0];
            p[1] = c[1];
            p[2] = c[2];
            p[3] = 255;
        }
    }
    return px;
}

bool parseSize(const char* s, int& w, int& h) {
    return std::sscanf(s, "%dx%d", &w, &h) == 2 && w > 0 && h > 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string encoder = "sw", out;
    int w = 640, h = 360, frames = 30;
    std::vector<int> keyframeAt;
    int resizeAt = -1, resizeW = 0, resizeH = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--encoder") {
            encoder = v;
        } else if (k == "--size") {
            if (!parseSize(v, w, h)) return 2;
        } else if (k == "--frames") {
            frames = std::atoi(v);
        } else if (k == "--out") {
            out = v;
        } else if (k == "--keyframe-at") {
            keyframeAt.push_back(std::atoi(v));
        } else if (k == "--resize-at") {
            const char* colon = std::strchr(v, ':');
            if (!colon || !parseSize(colon + 1, resizeW, resizeH)) return 2;
            resizeAt = std::atoi(v);
        } else {
            return 2;
        }
    }
    if (out.empty()) return 2;

    std::unique_ptr<kvd::VideoEncoder> enc;
    if (encoder == "sw")
        enc = std::make_unique<kvd::SwEncoder>();
    else if (encoder == "x264")
        enc = std::make_unique<kvd::HwEncoder>(std::vector<std::string>{"libx264"});
    else
        return 2;
    kvd::EncoderConfig cfg;
    cfg.width = w;
    cfg.height = h;
    if (!enc->init(cfg)) {
        std::fprintf(stderr, "init failed\n");
        return 1;
    }
    std::FILE* f = std::fopen(out.c_str(), "wb");
    if (!f) return 1;
    // The source keeps its size; a resize changes only the encoded size.
    for (int i = 0; i < frames; ++i) {
        if (i == resizeAt && !enc->reconfigure(resizeW, resizeH, 30, 2000, w, h)) {
            std::fprintf(stderr, "reconfigure failed\n");
            return 1;
        }
        for (int k : keyframeAt)
            if (k == i) enc->requestKeyframe();
        const auto px = picture(w, h, i);
        const kvd::EncodedFrame ef = enc->encode(px.data(), w * 4, int64_t{i} * 33'333);
        if (!ef.data.empty()) std::fwrite(ef.data.data(), 1, ef.data.size(), f);
        std::printf("{\"i\":%d,\"bytes\":%zu,\"key\":%s}\n", i, ef.data.size(),
                    ef.keyframe ? "true" : "false");
    }
    std::fclose(f);
    return 0;
}
