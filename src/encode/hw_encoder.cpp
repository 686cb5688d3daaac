#include "encode/hw_encoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "common/log.h"
#include "encode/ffmpeg_log.h"

namespace kvd {

struct HwEncoder::Pipeline {
    AVCodecContext* ctx = nullptr;
    SwsContext* sws = nullptr;
    AVFrame* frame = nullptr;       // NV12 in system memory, the scaler's output
    AVBufferRef* device = nullptr;  // only for encoders that take device frames
    AVFrame* hwFrame = nullptr;

    Pipeline() = default;
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    ~Pipeline() {
        av_frame_free(&hwFrame);
        av_frame_free(&frame);
        sws_freeContext(sws);
        avcodec_free_context(&ctx);
        av_buffer_unref(&device);
    }
};

namespace {

struct PrivateOption {
    const char* name;
    const char* value;
};

// Low-latency settings per encoder. libx264 only appears when a caller puts it
// in the candidate list (tests on machines without a GPU).
std::vector<PrivateOption> privateOptionsFor(const std::string& encoder) {
    if (encoder == "h264_videotoolbox") return {{"realtime", "1"}, {"allow_sw", "0"}};
    if (encoder == "h264_qsv")
        return {{"preset", "veryfast"}, {"async_depth", "1"}, {"look_ahead", "0"}};
    if (encoder == "h264_nvenc") return {{"preset", "p1"}, {"tune", "ull"}, {"zerolatency", "1"}};
    if (encoder == "h264_vaapi") return {};
    if (encoder == "libx264") return {{"preset", "ultrafast"}, {"tune", "zerolatency"}};
    return {{"preset", "speed"}, {"quality", "speed"}};
}

bool hasPixelFormat(const AVCodec* codec, AVPixelFormat fmt) {
    if (!codec->pix_fmts) return fmt == AV_PIX_FMT_NV12;  // unknown list: try system memory
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == fmt) return true;
    return false;
}

// Encoders that only take frames in device memory (VA-API) get a device and a
// frame pool; system-memory NV12 is uploaded into it per frame.
bool needsDeviceFrames(const AVCodec* codec) {
    return !hasPixelFormat(codec, AV_PIX_FMT_NV12) && hasPixelFormat(codec, AV_PIX_FMT_VAAPI);
}

int attachDeviceFrames(AVCodecContext* ctx, AVBufferRef** device) {
    int ret = av_hwdevice_ctx_create(device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (ret < 0) return ret;
    AVBufferRef* frames = av_hwframe_ctx_alloc(*device);
    if (!frames) return AVERROR(ENOMEM);
    auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
    fc->format = AV_PIX_FMT_VAAPI;
    fc->sw_format = AV_PIX_FMT_NV12;
    fc->width = ctx->width;
    fc->height = ctx->height;
    fc->initial_pool_size = 8;
    ret = av_hwframe_ctx_init(frames);
    if (ret >= 0) {
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(frames);
        if (!ctx->hw_frames_ctx) ret = AVERROR(ENOMEM);
    }
    av_buffer_unref(&frames);
    return ret;
}

// The viewer negotiates constrained baseline (profile-level-id 42e01f); a
// High-profile stream is refused by its decoder, so every encoder is asked for
// constrained baseline, through its own profile option where it has one.
void requestConstrainedBaseline(AVCodecContext* ctx) {
    ctx->profile = FF_PROFILE_H264_CONSTRAINED_BASELINE;
    const AVOption* opt = av_opt_find(ctx->priv_data, "profile", nullptr, 0, 0);
    if (!opt) return;
    // A free-text option accepts any value and fails only at open: use the
    // name every encoder knows. Named constants are checked when set.
    if (opt->type == AV_OPT_TYPE_STRING) {
        av_opt_set(ctx->priv_data, "profile", "baseline", 0);
        return;
    }
    for (const char* v : {"constrained_baseline", "baseline"})
        if (av_opt_set(ctx->priv_data, "profile", v, 0) >= 0) return;
}

}  // namespace

std::vector<std::string> HwEncoder::defaultCandidates() {
    return {"h264_nvenc", "h264_qsv", "h264_amf", "h264_videotoolbox", "h264_vaapi"};
}

HwEncoder::HwEncoder(std::vector<std::string> candidates) : candidates_(std::move(candidates)) {
    routeFfmpegLogging();
}

HwEncoder::~HwEncoder() {
    pipe_.reset();
    av_packet_free(&packet_);
}

bool HwEncoder::probe() {
    const int savedLevel = av_log_get_level();
    av_log_set_level(AV_LOG_FATAL);
    std::string chosen;
    for (const auto& cand : candidates_) {
        const AVCodec* codec = avcodec_find_encoder_by_name(cand.c_str());
        if (!codec) continue;
        AVCodecContext* ctx = avcodec_alloc_context3(codec);
        if (!ctx) continue;
        ctx->width = 1920;
        ctx->height = 1080;
        ctx->time_base = AVRational{1, 30};
        ctx->pix_fmt = AV_PIX_FMT_NV12;
        ctx->bit_rate = 4000000;
        AVBufferRef* device = nullptr;
        int ret = 0;
        if (needsDeviceFrames(codec)) ret = attachDeviceFrames(ctx, &device);
        if (ret >= 0) ret = avcodec_open2(ctx, codec, nullptr);
        avcodec_free_context(&ctx);
        av_buffer_unref(&device);
        if (ret == 0) {
            chosen = cand;
            break;
        }
    }
    av_log_set_level(savedLevel);
    if (chosen.empty()) {
        logger().warn("No hardware encoder available");
        return false;
    }
    encoderName = chosen;
    return true;
}

HwEncoder::OpenError HwEncoder::openPipeline(int32_t width, int32_t height, int32_t fps,
                                             int32_t kbps, int32_t srcW, int32_t srcH,
                                             Pipeline& out, int& ret) {
    ret = 0;
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName.c_str());
    if (!codec) return OpenError::NotFound;
    out.ctx = avcodec_alloc_context3(codec);
    if (!out.ctx) return OpenError::AllocContext;
    AVCodecContext* c = out.ctx;
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, fps};
    c->framerate = AVRational{fps, 1};
    c->pix_fmt = AV_PIX_FMT_NV12;
    c->bit_rate = int64_t{kbps} * 1000;
    c->gop_size = std::max(1, config.keyframeIntervalSec) * fps;
    c->max_b_frames = 0;
    c->rc_max_rate = int64_t{kbps} * 1000;
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    for (const auto& o : privateOptionsFor(encoderName))
        av_opt_set(c->priv_data, o.name, o.value, 0);
    requestConstrainedBaseline(c);

    bool found = false;
    for (const char* opt : {"forced-idr", "forced_idr"}) {
        if (!av_opt_find(c->priv_data, opt, nullptr, 0, 0)) continue;
        found = true;
        const int r = av_opt_set(c->priv_data, opt, "1", 0);
        if (r >= 0)
            logger().info("[encode] {} enabled on {} — forced keyframes will be true IDR", opt,
                          encoderName);
        else
            logger().warn("[encode] {} exists on {} but av_opt_set failed (ret={})", opt,
                          encoderName, r);
        break;
    }
    if (!found)
        logger().debug(
            "[encode] {} has no forced-idr option — a forced keyframe may be a non-IDR I-frame",
            encoderName);

    if (needsDeviceFrames(codec)) {
        ret = attachDeviceFrames(c, &out.device);
        if (ret < 0) return OpenError::Open;
    }
    if (failOpens_ > 0) {
        --failOpens_;
        ret = AVERROR(EIO);
    } else {
        ret = avcodec_open2(c, codec, nullptr);
    }
    if (ret < 0) return OpenError::Open;

    // Source and encoded size may differ (odd capture sizes, viewer caps): the
    // scaler reads the true source size and writes the even encoded size.
    out.sws = sws_getContext(srcW, srcH, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_NV12,
                             SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (!out.sws) return OpenError::Scaler;
    out.frame = av_frame_alloc();
    if (!out.frame) return OpenError::FrameAlloc;
    out.frame->format = AV_PIX_FMT_NV12;
    out.frame->width = width;
    out.frame->height = height;
    ret = av_frame_get_buffer(out.frame, 0);
    if (ret < 0) return OpenError::FrameBuffer;
    if (out.device) {
        out.hwFrame = av_frame_alloc();
        if (!out.hwFrame) return OpenError::FrameAlloc;
    }
    if (!packet_) {
        packet_ = av_packet_alloc();
        if (!packet_) return OpenError::FrameAlloc;
    }
    return OpenError::None;
}

namespace {
bool validParameters(int32_t w, int32_t h, int32_t fps, int32_t kbps) {
    return w >= 1 && h >= 1 && w <= kMaxEncodeDimension && h <= kMaxEncodeDimension && fps >= 1 &&
           fps <= 1000 && kbps >= 1;
}
}  // namespace

bool HwEncoder::init(const EncoderConfig& cfg) {
    if (!validParameters(cfg.width, cfg.height, cfg.fps, cfg.bitrateKbps)) {
        logger().error("[encode] invalid encoder configuration {}x{} @ {} fps, {} kbps", cfg.width,
                       cfg.height, cfg.fps, cfg.bitrateKbps);
        return false;
    }
    if (encoderName.empty() && !probe()) return false;

    config = cfg;
    config.width = evenDimension(cfg.width);
    config.height = evenDimension(cfg.height);
    sourceWidth = cfg.width;
    sourceHeight = cfg.height;

    auto p = std::make_unique<Pipeline>();
    int ret = 0;
    switch (openPipeline(config.width, config.height, config.fps, config.bitrateKbps, sourceWidth,
                         sourceHeight, *p, ret)) {
        case OpenError::None:
            break;
        case OpenError::Open:
            logger().error("avcodec_open2 failed for {}: {}", encoderName, ret);
            return false;
        case OpenError::Scaler:
            logger().error("sws_getContext failed");
            return false;
        default:
            logger().error("[encode] cannot set up {} (ret={})", encoderName, ret);
            return false;
    }
    pipe_ = std::move(p);
    frameCounter = 0;
    logger().info("Hardware encoder initialized: {} ({}x{} @ {} fps, {} kbps)", encoderName,
                  config.width, config.height, config.fps, config.bitrateKbps);
    return true;
}

void HwEncoder::setBitrate(int32_t kbps) {
    if (!pipe_ || kbps < 1) return;
    pipe_->ctx->bit_rate = int64_t{kbps} * 1000;
    pipe_->ctx->rc_max_rate = int64_t{kbps} * 1000;
    logger().info("Bitrate updated to {} kbps", kbps);
}

void HwEncoder::setFrameRate(int32_t fps) {
    if (!pipe_ || fps < 1 || fps > 1000) return;
    pipe_->ctx->time_base = AVRational{1, fps};
    pipe_->ctx->framerate = AVRational{fps, 1};
}

int64_t HwEncoder::liveBitrate() const {
    return pipe_ ? pipe_->ctx->bit_rate : 0;
}
int32_t HwEncoder::liveFrameRate() const {
    return pipe_ ? pipe_->ctx->framerate.num : 0;
}

bool HwEncoder::reconfigure(int32_t width, int32_t height, int32_t fps, int32_t kbps, int32_t srcW,
                            int32_t srcH) {
    if (!validParameters(width, height, fps, kbps)) {
        logger().error(
            "Reconfigure: invalid parameters {}x{} @ {} fps, {} kbps — keeping old encoder", width,
            height, fps, kbps);
        return false;
    }
    if (srcW < 1 || srcH < 1) {
        srcW = width;
        srcH = height;
    }
    if (srcW > kMaxEncodeDimension || srcH > kMaxEncodeDimension) {
        logger().error("Reconfigure: invalid source size {}x{} — keeping old encoder", srcW, srcH);
        return false;
    }
    const int32_t w = evenDimension(width);
    const int32_t h = evenDimension(height);
    logger().info("Reconfiguring encoder: {}x{} -> {}x{} @ {} fps, {} kbps", config.width,
                  config.height, w, h, fps, kbps);

    // The running pipeline is only replaced once the new one is complete; a
    // failure frees the new parts and leaves the old encoder untouched.
    auto p = std::make_unique<Pipeline>();
    int ret = 0;
    switch (openPipeline(w, h, fps, kbps, srcW, srcH, *p, ret)) {
        case OpenError::None:
            break;
        case OpenError::NotFound:
            logger().error("Reconfigure: encoder {} not found — keeping old encoder", encoderName);
            return false;
        case OpenError::AllocContext:
            logger().error("Reconfigure: alloc_context3 failed — keeping old encoder");
            return false;
        case OpenError::Open:
            logger().error("Reconfigure: avcodec_open2 failed (ret={}) — keeping old encoder", ret);
            return false;
        case OpenError::Scaler:
            logger().error("Reconfigure: sws_getContext failed — keeping old encoder");
            return false;
        case OpenError::FrameAlloc:
            logger().error("Reconfigure: av_frame_alloc failed — keeping old encoder");
            return false;
        case OpenError::FrameBuffer:
            logger().error("Reconfigure: av_frame_get_buffer failed (ret={}) — keeping old encoder",
                           ret);
            return false;
    }

    if (pipe_ && pipe_->ctx) {
        if (avcodec_send_frame(pipe_->ctx, nullptr) >= 0) {
            while (avcodec_receive_packet(pipe_->ctx, packet_) >= 0) av_packet_unref(packet_);
        }
    }
    pipe_ = std::move(p);
    config.width = w;
    config.height = h;
    config.fps = fps;
    config.bitrateKbps = kbps;
    sourceWidth = srcW;
    sourceHeight = srcH;
    frameCounter = 0;
    keyframeRequested = true;
    logger().info("Encoder reconfigured to {}x{} @ {} fps, {} kbps", w, h, fps, kbps);
    return true;
}

namespace {
bool shouldLogFailure(int32_t before) {
    return before < 5 || (before + 1) % 30 == 0;
}
}  // namespace

EncodedFrame HwEncoder::sendFailure(EncodedFrame result, int ret) {
    if (shouldLogFailure(consecutiveFailures))
        logger().error("[encode] avcodec_send_frame failed: ret={} consecutive={}", ret,
                       consecutiveFailures + 1);
    ++consecutiveFailures;
    if (consecutiveFailures < failureThreshold || dead) return result;

    if (reinitAttempts < maxReinitAttempts) {
        logger().error("[encode] {} consecutive failures — reinit attempt {}/3",
                       consecutiveFailures, reinitAttempts + 1);
        const int32_t sw = sourceWidth > 0 ? sourceWidth : config.width;
        const int32_t sh = sourceHeight > 0 ? sourceHeight : config.height;
        const bool ok =
            reconfigure(config.width, config.height, config.fps, config.bitrateKbps, sw, sh);
        ++reinitAttempts;
        if (ok) {
            consecutiveFailures = 0;
            reinitAttempts = 0;
            dead = false;
            logger().info("[encode] encoder reinit succeeded — resuming");
            return result;
        }
        if (reinitAttempts >= maxReinitAttempts) dead = true;
        logger().error("[encode] encoder reinit FAILED{}",
                       dead ? " — hardware encoder DEAD, no more attempts"
                            : " — will retry after next error burst");
        if (!dead) return result;
    }
    dead = true;
    if (!deadReported) {
        deadReported = true;
        if (errorCallback) errorCallback("hw_encoder_dead");
    }
    return result;
}

EncodedFrame HwEncoder::encode(const uint8_t* bgra, int32_t stride, int64_t timestampUs) {
    EncodedFrame result;
    result.timestampUs = timestampUs;
    if (!pipe_) return sendFailure(std::move(result), AVERROR(EINVAL));
    if (!bgra || stride < 1 || int64_t{stride} < int64_t{4} * sourceWidth) {
        if (badInputCount_++ % 90 == 0)
            logger().warn("[encode] dropping frame: stride {} too small for src width {}", stride,
                          sourceWidth);
        return result;
    }
    AVFrame* f = pipe_->frame;
    // The encoder may still hold a reference to the previous picture.
    if (av_frame_make_writable(f) < 0) return sendFailure(std::move(result), AVERROR(ENOMEM));
    // swscale's SIMD readers run past the end of a row; at the bottom of the
    // picture that is past the caller's buffer (a crash when it ends at a page
    // boundary). The rows up to the last kRowPadding bytes are read in place,
    // those last rows from a padded copy.
    const size_t rowBytes = static_cast<size_t>(sourceWidth) * 4;
    const int tailRows =
        static_cast<int>(std::min<size_t>(sourceHeight, kRowPadding / rowBytes + 1));
    const int bodyRows = sourceHeight - tailRows;
    tailCopy_.resize(rowBytes * tailRows + kRowPadding);
    for (int r = 0; r < tailRows; ++r)
        std::memcpy(tailCopy_.data() + rowBytes * r,
                    bgra + static_cast<size_t>(stride) * (bodyRows + r), rowBytes);
    if (bodyRows > 0) {
        const uint8_t* body[4] = {bgra, nullptr, nullptr, nullptr};
        const int bodyStrides[4] = {stride, 0, 0, 0};
        sws_scale(pipe_->sws, body, bodyStrides, 0, bodyRows, f->data, f->linesize);
    }
    const uint8_t* tail[4] = {tailCopy_.data(), nullptr, nullptr, nullptr};
    const int tailStrides[4] = {static_cast<int>(rowBytes), 0, 0, 0};
    sws_scale(pipe_->sws, tail, tailStrides, bodyRows, tailRows, f->data, f->linesize);

    f->pts = frameCounter++;
    const bool wantedKeyframe = keyframeRequested;
    if (wantedKeyframe) {
        f->pict_type = AV_PICTURE_TYPE_I;
        f->key_frame = 1;
        keyframeRequested = false;
    } else {
        f->pict_type = AV_PICTURE_TYPE_NONE;
        f->key_frame = 0;
    }

    AVFrame* toSend = f;
    int ret = 0;
    if (pipe_->hwFrame) {
        av_frame_unref(pipe_->hwFrame);
        ret = av_hwframe_get_buffer(pipe_->ctx->hw_frames_ctx, pipe_->hwFrame, 0);
        if (ret >= 0) ret = av_hwframe_transfer_data(pipe_->hwFrame, f, 0);
        if (ret >= 0) ret = av_frame_copy_props(pipe_->hwFrame, f);
        toSend = pipe_->hwFrame;
    }
    if (ret >= 0) {
        if (failSends_ > 0) {
            --failSends_;
            ret = AVERROR(EIO);
        } else {
            ret = avcodec_send_frame(pipe_->ctx, toSend);
        }
    }
    if (pipe_->hwFrame) av_frame_unref(pipe_->hwFrame);
    if (ret < 0) {
        // The picture never reached the encoder: a keyframe asked for by the
        // viewer must not be lost with it.
        if (wantedKeyframe) keyframeRequested = true;
        return sendFailure(std::move(result), ret);
    }

    ret = avcodec_receive_packet(pipe_->ctx, packet_);
    if (ret == 0) {
        consecutiveFailures = 0;
        result.data.assign(packet_->data, packet_->data + packet_->size);
        result.keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        if (wantedKeyframe || result.keyframe || frameCounter <= 5 || frameCounter % 120 == 0)
            logger().info("Encode: frame={} size={} keyframe={} wantedKF={} pktFlags=0x{:x}",
                          frameCounter - 1, packet_->size, result.keyframe, wantedKeyframe,
                          static_cast<unsigned>(packet_->flags));
        av_packet_unref(packet_);
        return result;
    }
    if (ret == AVERROR(EAGAIN)) return result;

    if (shouldLogFailure(consecutiveFailures))
        logger().error("[encode] avcodec_receive_packet failed: ret={} consecutive={}", ret,
                       consecutiveFailures + 1);
    ++consecutiveFailures;
    if (consecutiveFailures >= failureThreshold && !dead && reinitAttempts >= maxReinitAttempts) {
        dead = true;
        if (!deadReported) {
            deadReported = true;
            if (errorCallback) errorCallback("hw_encoder_dead");
        }
    }
    return result;
}

}  // namespace kvd
