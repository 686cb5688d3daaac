#pragma once
// H.264 in software with OpenH264, tuned for screen content.
#include <cstdint>
#include <string>
#include <vector>

#include "encode/video_encoder.h"

class ISVCEncoder;

namespace kvd {

class SwEncoder final : public VideoEncoder {
  public:
    SwEncoder();
    ~SwEncoder() override;
    SwEncoder(const SwEncoder&) = delete;
    SwEncoder& operator=(const SwEncoder&) = delete;

    bool init(const EncoderConfig& config) override;
    EncodedFrame encode(const uint8_t* bgra, int32_t stride, int64_t timestampUs) override;
    void requestKeyframe() override { keyframeRequested = true; }
    void setBitrate(int32_t kbps) override;
    void setFrameRate(int32_t fps) override;
    bool reconfigure(int32_t width, int32_t height, int32_t fps, int32_t kbps, int32_t sourceWidth,
                     int32_t sourceHeight) override;
    std::string name() const override { return "openh264"; }
    void setChangedRegions(const std::vector<DirtyRect>& regions) override;
    void recycle(std::vector<uint8_t>&& buffer) override;

    // Slice threads for a host reporting `hardwareThreads` (0 = unknown).
    static int sliceThreadsFor(unsigned hardwareThreads);

    // Fault injection for tests: the next n EncodeFrame calls / inits fail.
    void failNextEncodes(int n) { failEncodes_ = n; }
    void failNextInits(int n) { failInits_ = n; }
    // Replaces the host's hardware thread count (tests).
    void setHardwareThreadsForTest(unsigned n) { hwThreadsOverride_ = n; }

    const EncoderConfig& currentConfig() const { return config; }
    int32_t currentSourceWidth() const { return sourceWidth; }
    int32_t currentSourceHeight() const { return sourceHeight; }
    uint64_t encodedCount() const { return framesEncoded; }
    int32_t failureCount() const { return consecutiveFailures; }
    int32_t reinitCount() const { return reinitAttempts; }
    bool isDead() const { return dead; }
    bool hasInstance() const { return encoder != nullptr; }
    int sliceThreads() const { return sliceThreads_; }
    // The running instance's bitrate (bit/s) and frame rate; 0 without one.
    int liveBitrate() const;
    float liveFrameRate() const;
    // The converted picture (Y, U, V planes) of the last encode.
    const std::vector<uint8_t>& pictureForTest() const { return i420Buffer; }
    // Pixels converted by the last encode (the whole picture or the regions).
    int64_t convertedPixels() const { return convertedPixels_; }

  private:
    void destroyEncoder();
    // BGRA of the encoded size into i420Buffer: only the changed regions
    // when they are known and the buffer holds the previous frame.
    void convert(const uint8_t* src, int32_t srcStride);

    ISVCEncoder* encoder = nullptr;
    EncoderConfig config;
    std::vector<uint8_t> i420Buffer;
    std::vector<uint8_t> scaleBuffer;
    uint64_t framesEncoded = 0;
    bool keyframeRequested = false;
    int32_t failureThreshold = 30;
    int32_t maxReinitAttempts = 3;
    int32_t consecutiveFailures = 0;
    int32_t reinitAttempts = 0;
    bool dead = false;
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;

    // Changed regions for the next encode, and whether i420Buffer holds the
    // previous frame's picture (false after init, scaling or a dropped frame).
    std::vector<DirtyRect> changed_;
    bool changedKnown_ = false;
    bool pictureValid_ = false;
    int64_t convertedPixels_ = 0;
    std::vector<uint8_t> spareOutput_;

    int sliceThreads_ = 0;
    int failEncodes_ = 0;
    int failInits_ = 0;
    unsigned hwThreadsOverride_ = ~0u;
};

}  // namespace kvd
