#include "encode/sw_encoder.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include <libyuv.h>

#include "common/log.h"

namespace kvd {
namespace {

void openh264Trace(void*, int level, const char* message) {
    if (!message) return;
    std::string text(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (level <= WELS_LOG_ERROR)
        logger().warn("[sw-encoder] openh264: {}", text);
    else
        logger().debug("[sw-encoder] openh264: {}", text);
}

bool validParameters(int32_t w, int32_t h, int32_t fps, int32_t kbps) {
    return w >= 1 && h >= 1 && w <= kMaxEncodeDimension && h <= kMaxEncodeDimension && fps >= 1 &&
           fps <= 1000 && kbps >= 1 && kbps <= 2'000'000;
}

// OpenH264 accepts any size at init but refuses every frame narrower or
// lower than 16 pixels; tiny sources are scaled up to that instead of failing
// frame after frame into the dead state.
constexpr int32_t kMinOpenH264Dimension = 16;
int32_t encodedDimension(int32_t v) {
    return std::max(kMinOpenH264Dimension, evenDimension(v));
}

size_t i420Size(int32_t w, int32_t h) {
    const size_t cw = (static_cast<size_t>(w) + 1) / 2;
    const size_t ch = (static_cast<size_t>(h) + 1) / 2;
    return static_cast<size_t>(w) * h + 2 * cw * ch;
}

}  // namespace

SwEncoder::SwEncoder() = default;

SwEncoder::~SwEncoder() {
    destroyEncoder();
}

void SwEncoder::destroyEncoder() {
    if (!encoder) return;
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
    encoder = nullptr;
}

int SwEncoder::sliceThreadsFor(unsigned hardwareThreads) {
    if (hardwareThreads == 0) return 2;
    return static_cast<int>(std::min(hardwareThreads, 4u));
}

bool SwEncoder::init(const EncoderConfig& cfg) {
    if (!validParameters(cfg.width, cfg.height, cfg.fps, cfg.bitrateKbps)) {
        logger().error("[sw-encoder] invalid encoder configuration {}x{} @ {} fps, {} kbps",
                       cfg.width, cfg.height, cfg.fps, cfg.bitrateKbps);
        return false;
    }
    destroyEncoder();
    config = cfg;
    config.width = encodedDimension(cfg.width);
    config.height = encodedDimension(cfg.height);
    // The true size stays the source size; the scaler maps it to the even
    // encoded size.
    sourceWidth = cfg.width;
    sourceHeight = cfg.height;

    if (WelsCreateSVCEncoder(&encoder) != 0 || !encoder) {
        encoder = nullptr;
        logger().error("WelsCreateSVCEncoder failed");
        return false;
    }
    WelsTraceCallback trace = openh264Trace;
    encoder->SetOption(ENCODER_OPTION_TRACE_CALLBACK, &trace);
    int traceLevel = WELS_LOG_WARNING;
    encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &traceLevel);

    SEncParamExt p;
    std::memset(&p, 0, sizeof p);
    int rc = encoder->GetDefaultParams(&p);
    if (rc != 0) {
        logger().error("openh264 GetDefaultParams failed: {}", rc);
        destroyEncoder();
        return false;
    }
    const unsigned hw =
        hwThreadsOverride_ != ~0u ? hwThreadsOverride_ : std::thread::hardware_concurrency();
    sliceThreads_ = sliceThreadsFor(hw);
    const int bps = config.bitrateKbps * 1000;
    p.iUsageType = SCREEN_CONTENT_REAL_TIME;
    p.iPicWidth = config.width;
    p.iPicHeight = config.height;
    p.iTargetBitrate = bps;
    p.fMaxFrameRate = static_cast<float>(config.fps);
    p.iSpatialLayerNum = 1;
    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = config.width;
    layer.iVideoHeight = config.height;
    layer.fFrameRate = static_cast<float>(config.fps);
    layer.iSpatialBitrate = bps;
    layer.iMaxSpatialBitrate = bps;
    layer.sSliceArgument.uiSliceMode = SM_FIXEDSLCNUM_SLICE;
    layer.sSliceArgument.uiSliceNum = static_cast<unsigned>(sliceThreads_);
    p.iComplexityMode = LOW_COMPLEXITY;
    p.iMultipleThreadIdc = static_cast<unsigned short>(sliceThreads_);
    p.bEnableDenoise = false;

    if (failInits_ > 0) {
        --failInits_;
        rc = -1;
    } else {
        rc = encoder->InitializeExt(&p);
    }
    if (rc != 0) {
        logger().error("openh264 InitializeExt failed: {}", rc);
        destroyEncoder();
        return false;
    }
    int format = videoFormatI420;
    encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    i420Buffer.assign(i420Size(config.width, config.height), 0);
    pictureValid_ = false;
    logger().info(
        "Software encoder initialized: openh264 SCREEN_CONTENT low-complexity ({}x{} @ {} fps, {} "
        "kbps, {} slice-threads)",
        config.width, config.height, config.fps, config.bitrateKbps, sliceThreads_);
    return true;
}

void SwEncoder::setBitrate(int32_t kbps) {
    if (!encoder || kbps < 1 || kbps > 2'000'000) return;
    SBitrateInfo info;
    info.iLayer = SPATIAL_LAYER_ALL;
    info.iBitrate = kbps * 1000;
    encoder->SetOption(ENCODER_OPTION_BITRATE, &info);
}

void SwEncoder::setFrameRate(int32_t fps) {
    if (!encoder || fps < 1 || fps > 1000) return;
    float rate = static_cast<float>(fps);
    encoder->SetOption(ENCODER_OPTION_FRAME_RATE, &rate);
}

int SwEncoder::liveBitrate() const {
    if (!encoder) return 0;
    SBitrateInfo info;
    info.iLayer = SPATIAL_LAYER_0;
    info.iBitrate = 0;
    encoder->GetOption(ENCODER_OPTION_BITRATE, &info);
    return info.iBitrate;
}

float SwEncoder::liveFrameRate() const {
    if (!encoder) return 0;
    float rate = 0;
    encoder->GetOption(ENCODER_OPTION_FRAME_RATE, &rate);
    return rate;
}

bool SwEncoder::reconfigure(int32_t width, int32_t height, int32_t fps, int32_t kbps, int32_t srcW,
                            int32_t srcH) {
    if (!validParameters(width, height, fps, kbps)) {
        logger().error("[sw-encoder] reconfigure: invalid parameters {}x{} @ {} fps, {} kbps",
                       width, height, fps, kbps);
        return false;
    }
    if (srcW > kMaxEncodeDimension || srcH > kMaxEncodeDimension) {
        logger().error("[sw-encoder] reconfigure: invalid source size {}x{}", srcW, srcH);
        return false;
    }
    const int32_t w = encodedDimension(width);
    const int32_t h = encodedDimension(height);
    // Non-positive source sizes mean "same as encoded"; keep the caller's true
    // size when it is odd, the scaler handles the difference.
    const int32_t newSrcW = srcW >= 1 ? srcW : width;
    const int32_t newSrcH = srcH >= 1 ? srcH : height;

    if (w == config.width && h == config.height && encoder) {
        setBitrate(kbps);
        setFrameRate(fps);
        sourceWidth = newSrcW;
        sourceHeight = newSrcH;
        return true;
    }

    logger().info("[sw-encoder] reconfigure: {}x{} -> {}x{} @ {} fps, {} kbps", config.width,
                  config.height, w, h, fps, kbps);
    const EncoderConfig kept = config;
    const int32_t keptSrcW = sourceWidth;
    const int32_t keptSrcH = sourceHeight;
    destroyEncoder();

    EncoderConfig next;
    next.width = w;
    next.height = h;
    next.fps = fps;
    next.bitrateKbps = kbps;
    next.keyframeIntervalSec = kept.keyframeIntervalSec;
    if (init(next)) {
        keyframeRequested = true;
        sourceWidth = newSrcW;
        sourceHeight = newSrcH;
        return true;
    }

    logger().error("[sw-encoder] reconfigure reinit failed — attempting restore at old dims");
    if (init(kept)) {
        // init takes the encoded size as the source size; the frames still
        // arrive at the old source size, so that must come back as well.
        sourceWidth = keptSrcW;
        sourceHeight = keptSrcH;
        keyframeRequested = true;
        return false;
    }
    logger().error("[sw-encoder] restore also failed — encoder dead");
    // Keep the old geometry so that the recovery path rebuilds at that size.
    config = kept;
    sourceWidth = keptSrcW;
    sourceHeight = keptSrcH;
    return false;
}

void SwEncoder::setChangedRegions(const std::vector<DirtyRect>& regions) {
    changed_.assign(regions.begin(), regions.end());
    changedKnown_ = true;
}

void SwEncoder::recycle(std::vector<uint8_t>&& buffer) {
    if (buffer.capacity() > spareOutput_.capacity()) spareOutput_ = std::move(buffer);
}

void SwEncoder::convert(const uint8_t* src, int32_t srcStride) {
    const int32_t w = config.width, h = config.height;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    uint8_t* y = i420Buffer.data();
    uint8_t* u = y + static_cast<size_t>(w) * h;
    uint8_t* v = u + static_cast<size_t>(cw) * ch;
    const bool known = changedKnown_ && pictureValid_;
    changedKnown_ = false;
    if (known) {
        // Chroma covers 2 x 2 blocks: regions are widened to even edges so
        // that every block is converted whole, as the full conversion does.
        int64_t area = 0;
        for (auto& r : changed_) {
            const int32_t x0 = std::clamp(r.x, 0, w) & ~1, y0 = std::clamp(r.y, 0, h) & ~1;
            const int32_t x1 = std::min(w, (std::clamp(r.x + r.width, 0, w) + 1) & ~1);
            const int32_t y1 = std::min(h, (std::clamp(r.y + r.height, 0, h) + 1) & ~1);
            r = {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
            area += int64_t{r.width} * r.height;
        }
        // Beyond half the picture, overlapping regions cost more than one pass.
        if (area * 2 <= int64_t{w} * h) {
            for (const auto& r : changed_) {
                if (r.width <= 0 || r.height <= 0) continue;
                libyuv::ARGBToI420(src + static_cast<size_t>(r.y) * srcStride + r.x * 4, srcStride,
                                   y + static_cast<size_t>(r.y) * w + r.x, w,
                                   u + static_cast<size_t>(r.y / 2) * cw + r.x / 2, cw,
                                   v + static_cast<size_t>(r.y / 2) * cw + r.x / 2, cw, r.width,
                                   r.height);
            }
            convertedPixels_ = area;
            return;
        }
    }
    libyuv::ARGBToI420(src, srcStride, y, w, u, cw, v, cw, w, h);
    convertedPixels_ = int64_t{w} * h;
    pictureValid_ = true;
}

EncodedFrame SwEncoder::encode(const uint8_t* bgra, int32_t stride, int64_t timestampUs) {
    EncodedFrame result;
    result.timestampUs = timestampUs;
    result.data.swap(spareOutput_);
    result.data.clear();

    const int32_t srcW = sourceWidth >= 1 ? sourceWidth : config.width;
    const int32_t srcH = sourceHeight >= 1 ? sourceHeight : config.height;
    if (!bgra || stride < 1 || srcW < 1 || int64_t{stride} < int64_t{4} * srcW) {
        logger().warn(
            "[sw-encoder] dropping frame: stride {} too small for src width {} (min {}); "
            "bgraData={}",
            stride, srcW, int64_t{4} * srcW, static_cast<const void*>(bgra));
        // The regions said what changed since a frame this one replaces.
        pictureValid_ = changedKnown_ = false;
        return result;
    }

    int rc = 0;
    SFrameBSInfo info;
    std::memset(&info, 0, sizeof info);
    if (!encoder) {
        pictureValid_ = changedKnown_ = false;
        rc = -1;
    } else {
        const int32_t w = config.width;
        const int32_t h = config.height;
        const uint8_t* src = bgra;
        int srcStride = stride;
        if (srcW != w || srcH != h) {
            scaleBuffer.resize(static_cast<size_t>(w) * h * 4);
            libyuv::ARGBScale(bgra, stride, srcW, srcH, scaleBuffer.data(), w * 4, w, h,
                              libyuv::kFilterBilinear);
            src = scaleBuffer.data();
            srcStride = w * 4;
            // Scaled pixels mix their neighbours: convert all of them.
            pictureValid_ = changedKnown_ = false;
        }
        convert(src, srcStride);
        const int cw = (w + 1) / 2;
        const int ch = (h + 1) / 2;
        uint8_t* y = i420Buffer.data();
        uint8_t* u = y + static_cast<size_t>(w) * h;
        uint8_t* v = u + static_cast<size_t>(cw) * ch;

        if (keyframeRequested) {
            encoder->ForceIntraFrame(true);
            keyframeRequested = false;
        }
        SSourcePicture pic;
        std::memset(&pic, 0, sizeof pic);
        pic.iColorFormat = videoFormatI420;
        pic.iStride[0] = w;
        pic.iStride[1] = cw;
        pic.iStride[2] = cw;
        pic.pData[0] = y;
        pic.pData[1] = u;
        pic.pData[2] = v;
        pic.iPicWidth = w;
        pic.iPicHeight = h;
        pic.uiTimeStamp = timestampUs / 1000;
        if (failEncodes_ > 0) {
            --failEncodes_;
            rc = -1;
        } else {
            rc = encoder->EncodeFrame(&pic, &info);
        }
    }

    if (rc == 0) {
        if (info.eFrameType == videoFrameTypeSkip) return result;
        for (int l = 0; l < info.iLayerNum && l < MAX_LAYER_NUM_OF_FRAME; ++l) {
            const SLayerBSInfo& layer = info.sLayerInfo[l];
            size_t bytes = 0;
            for (int n = 0; n < layer.iNalCount; ++n)
                bytes += static_cast<size_t>(std::max(0, layer.pNalLengthInByte[n]));
            if (bytes && layer.pBsBuf)
                result.data.insert(result.data.end(), layer.pBsBuf, layer.pBsBuf + bytes);
        }
        result.keyframe = info.eFrameType == videoFrameTypeIDR;
        ++framesEncoded;
        consecutiveFailures = 0;
        return result;
    }

    ++consecutiveFailures;
    if (consecutiveFailures < failureThreshold || dead) return result;
    if (reinitAttempts >= maxReinitAttempts) {
        dead = true;
        return result;
    }
    logger().error("[sw-encoder] {} consecutive EncodeFrame failures — reinit attempt",
                   consecutiveFailures);
    // Without an instance (both inits of a failed size change failed) this
    // rebuilds at the kept size; otherwise it re-applies rate settings.
    const bool ok = reconfigure(config.width, config.height, config.fps, config.bitrateKbps,
                                sourceWidth, sourceHeight);
    ++reinitAttempts;
    if (ok) {
        consecutiveFailures = 0;
        reinitAttempts = 0;
        dead = false;
        logger().info("[sw-encoder] reinit succeeded — resuming");
        return result;
    }
    if (reinitAttempts >= maxReinitAttempts) dead = true;
    logger().error("[sw-encoder] reinit FAILED ({}/{}){}", reinitAttempts, maxReinitAttempts,
                   dead ? " — software encoder DEAD, dropping frames" : "");
    return result;
}

}  // namespace kvd
