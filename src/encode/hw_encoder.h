#pragma once
// H.264 through one of FFmpeg's hardware encoders.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encode/video_encoder.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVBufferRef;
struct SwsContext;

namespace kvd {

class HwEncoder final : public VideoEncoder {
  public:
    // The probe order: the vendor encoders first, VA-API last (an FFmpeg build
    // without one of them simply skips it).
    static std::vector<std::string> defaultCandidates();

    // `candidates` replaces the probe list; tests put a software codec of
    // FFmpeg's here so that every path below runs on machines without a GPU.
    explicit HwEncoder(std::vector<std::string> candidates = defaultCandidates());
    ~HwEncoder() override;
    HwEncoder(const HwEncoder&) = delete;
    HwEncoder& operator=(const HwEncoder&) = delete;

    bool init(const EncoderConfig& config) override;
    EncodedFrame encode(const uint8_t* bgra, int32_t stride, int64_t timestampUs) override;
    void requestKeyframe() override { keyframeRequested = true; }
    void setBitrate(int32_t kbps) override;
    void setFrameRate(int32_t fps) override;
    bool reconfigure(int32_t width, int32_t height, int32_t fps, int32_t kbps, int32_t sourceWidth,
                     int32_t sourceHeight) override;
    std::string name() const override { return encoderName; }

    // Fault injection for tests: the next n frame submissions / codec opens fail.
    void failNextSends(int n) { failSends_ = n; }
    void failNextOpens(int n) { failOpens_ = n; }

    const EncoderConfig& currentConfig() const { return config; }
    int32_t currentSourceWidth() const { return sourceWidth; }
    int32_t currentSourceHeight() const { return sourceHeight; }
    int64_t framesSubmitted() const { return frameCounter; }
    bool isDead() const { return dead; }
    int32_t failureCount() const { return consecutiveFailures; }
    int32_t reinitCount() const { return reinitAttempts; }
    // Live codec settings (bitrate in bit/s), for checks of setBitrate/setFrameRate.
    int64_t liveBitrate() const;
    int32_t liveFrameRate() const;

    // Everything one open encoder needs; freed as a unit.
    struct Pipeline;

  private:
    enum class OpenError { None, NotFound, AllocContext, Open, Scaler, FrameAlloc, FrameBuffer };
    bool probe();
    OpenError openPipeline(int32_t width, int32_t height, int32_t fps, int32_t kbps, int32_t srcW,
                           int32_t srcH, Pipeline& out, int& ret);
    void onFailure(int ret, const char* what, bool fromSend);
    EncodedFrame sendFailure(EncodedFrame result, int ret);

    std::vector<std::string> candidates_;

    EncoderConfig config;
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;
    std::unique_ptr<Pipeline> pipe_;  // codec context, scaler, NV12 frame (+ device frames)
    AVPacket* packet_ = nullptr;
    std::string encoderName;
    int64_t frameCounter = 0;
    bool keyframeRequested = false;
    int32_t failureThreshold = 30;
    int32_t maxReinitAttempts = 3;
    int32_t consecutiveFailures = 0;
    int32_t reinitAttempts = 0;
    bool dead = false;
    bool deadReported = false;

    int failSends_ = 0;
    int failOpens_ = 0;
    uint64_t badInputCount_ = 0;
    static constexpr size_t kRowPadding = 256;
    std::vector<uint8_t> tailCopy_;  // the source's bottom rows, padded for the scaler
};

}  // namespace kvd
