#include "encode_test_util.h"
#include "support/log_hub.h"

#include <algorithm>
#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "common/log.h"

namespace kvd::test {

Bgra quadrantColour(int q) {
    switch (q) {
        case 0:
            return {0, 0, 255, 255};  // red
        case 1:
            return {0, 255, 0, 255};  // green
        case 2:
            return {255, 0, 0, 255};  // blue
        default:
            return {255, 255, 255, 255};  // white
    }
}

Bgra Picture::at(int x, int y) const {
    const uint8_t* p = pixels.data() + static_cast<size_t>(y) * stride + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

Picture quadrants(int width, int height, int phase, int extraStride) {
    Picture pic;
    pic.width = width;
    pic.height = height;
    pic.stride = width * 4 + extraStride;
    pic.pixels.assign(static_cast<size_t>(pic.stride) * height, 0xEE);  // padding is garbage
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int q = (y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0);
            Bgra c = quadrantColour(width == 1 && height == 1 ? 0 : q);
            if (phase && height >= 16 && y < height / 8 && ((x + phase * 8) / 16) % 4 == 0)
                c = {128, 128, 128, 255};
            uint8_t* p = pic.pixels.data() + static_cast<size_t>(y) * pic.stride + 4 * x;
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
            p[3] = c.a;
        }
    }
    return pic;
}

int maxChannelDiff(Bgra a, Bgra b) {
    return std::max({std::abs(a.b - b.b), std::abs(a.g - b.g), std::abs(a.r - b.r)});
}

LogRecorder::LogRecorder() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(20000)) {
    auto& lg = logger();
    oldLevel_ = static_cast<int>(lg.level());
    kvd::test::attachLogSink(sink_);
    lg.set_level(spdlog::level::trace);
}

LogRecorder::~LogRecorder() {
    auto& lg = logger();
    kvd::test::detachLogSink(sink_);
    lg.set_level(static_cast<spdlog::level::level_enum>(oldLevel_));
}

std::vector<std::string> LogRecorder::lines() const {
    std::vector<std::string> out;
    for (const auto& m : sink_->last_raw()) out.emplace_back(m.payload.data(), m.payload.size());
    return out;
}

int LogRecorder::count(const std::string& needle) const {
    int n = 0;
    for (const auto& l : lines())
        if (l.find(needle) != std::string::npos) ++n;
    return n;
}

namespace {
// Start offsets of the NAL units (after their start codes).
std::vector<size_t> nalStarts(const std::vector<uint8_t>& b) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    return starts;
}
}  // namespace

std::vector<int> nalTypes(const std::vector<uint8_t>& annexB) {
    std::vector<int> types;
    for (size_t s : nalStarts(annexB))
        if (s < annexB.size()) types.push_back(annexB[s] & 0x1F);
    return types;
}

std::optional<SpsInfo> findSps(const std::vector<uint8_t>& annexB) {
    for (size_t s : nalStarts(annexB)) {
        if (s + 3 < annexB.size() && (annexB[s] & 0x1F) == 7)
            return SpsInfo{annexB[s + 1], annexB[s + 2], annexB[s + 3]};
    }
    return std::nullopt;
}

bool isConstrainedBaseline(const SpsInfo& sps) {
    return sps.profileIdc == 66 && (sps.constraintFlags & 0x40) != 0;
}

Bgra DecodedPicture::at(int x, int y) const {
    const uint8_t* p = bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

struct H264Decoder::Impl {
    AVCodecContext* ctx = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    ~Impl() {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
    void drain(std::vector<DecodedPicture>& out) {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            DecodedPicture pic;
            pic.width = frame->width;
            pic.height = frame->height;
            // swscale writes whole SIMD blocks: give it padded rows, then copy.
            const int padded = (pic.width * 4 + 63) & ~63;
            std::vector<uint8_t> scratch(static_cast<size_t>(padded) * pic.height + 64);
            SwsContext* sws = sws_getContext(
                frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
            uint8_t* dst[4] = {scratch.data(), nullptr, nullptr, nullptr};
            int dstStride[4] = {padded, 0, 0, 0};
            sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
            sws_freeContext(sws);
            pic.bgra.resize(static_cast<size_t>(pic.width) * pic.height * 4);
            for (int y = 0; y < pic.height; ++y)
                std::copy_n(scratch.data() + static_cast<size_t>(y) * padded, pic.width * 4,
                            pic.bgra.data() + static_cast<size_t>(y) * pic.width * 4);
            out.push_back(std::move(pic));
            av_frame_unref(frame);
        }
    }
};

H264Decoder::H264Decoder() : impl_(std::make_unique<Impl>()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    impl_->ctx = avcodec_alloc_context3(codec);
    impl_->ctx->thread_count = 1;
    impl_->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    impl_->ctx->err_recognition = AV_EF_EXPLODE;
    avcodec_open2(impl_->ctx, codec, nullptr);
    impl_->pkt = av_packet_alloc();
    impl_->frame = av_frame_alloc();
}

H264Decoder::~H264Decoder() = default;

bool H264Decoder::decode(const std::vector<uint8_t>& au, std::vector<DecodedPicture>& out) {
    if (au.empty()) return true;
    av_new_packet(impl_->pkt, static_cast<int>(au.size()));
    std::copy(au.begin(), au.end(), impl_->pkt->data);
    const int ret = avcodec_send_packet(impl_->ctx, impl_->pkt);
    av_packet_unref(impl_->pkt);
    impl_->drain(out);
    if (ret < 0) ++errors_;
    return ret >= 0;
}

void H264Decoder::flush(std::vector<DecodedPicture>& out) {
    avcodec_send_packet(impl_->ctx, nullptr);
    impl_->drain(out);
}

}  // namespace kvd::test
