#pragma once
// The encoder interface the frame pipeline drives, its parameters, one encoded
// access unit, and the factory that picks hardware or software encoding.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/screen_capture.h"

namespace kvd {

struct EncoderConfig {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 30;
    int32_t bitrateKbps = 4000;
    int32_t keyframeIntervalSec = 2;
};

// One H.264 access unit in Annex B form; empty data when the encoder produced
// nothing for the input frame.
struct EncodedFrame {
    std::vector<uint8_t> data;
    int64_t timestampUs = 0;
    bool keyframe = false;
};

class VideoEncoder {
  public:
    std::function<void(const std::string& reason)> errorCallback;

    virtual ~VideoEncoder() = default;
    virtual bool init(const EncoderConfig& config) = 0;
    // bgra holds sourceWidth x sourceHeight pixels with rows `stride` bytes apart.
    virtual EncodedFrame encode(const uint8_t* bgra, int32_t stride, int64_t timestampUs) = 0;
    virtual void requestKeyframe() = 0;
    virtual void setBitrate(int32_t kbps) = 0;
    virtual void setFrameRate(int32_t fps) = 0;
    // On failure the previous encoder stays in use.
    virtual bool reconfigure(int32_t width, int32_t height, int32_t fps, int32_t kbps,
                             int32_t sourceWidth, int32_t sourceHeight) = 0;
    virtual std::string name() const = 0;
    // Where the next frame differs from the previous one handed to encode(),
    // in source pixels; an encoder that keeps its converted picture may
    // convert only these regions. Without a call before an encode the whole
    // frame counts as changed. Consumed by the next encode().
    virtual void setChangedRegions(const std::vector<DirtyRect>& regions) { (void)regions; }
    // Hands an access unit's buffer back for the next one.
    virtual void recycle(std::vector<uint8_t>&& buffer) { (void)buffer; }
};

// Every encoded dimension is even and at least 2: the 4:2:0 chroma planes of an
// odd size would need a half pixel, and encoders either refuse such sizes or
// write past the planes.
inline int32_t evenDimension(int32_t v) {
    if (v < 2) return 2;
    return v & ~1;
}

// Dimensions above this are refused outright (no display is that large, and
// the byte counts derived from them must stay far from overflow).
inline constexpr int32_t kMaxEncodeDimension = 16384;

struct EncoderFactoryOptions {
    // nullopt: decided by KELVANDRUM_FORCE_SW_ENCODER.
    std::optional<bool> forceSoftware;
    // Hardware encoder names to probe, in order; empty: the built-in list.
    std::vector<std::string> hwCandidates;
};

// Hardware first (unless forced to software), OpenH264 as the fallback; null
// when neither opens.
std::unique_ptr<VideoEncoder> createEncoder(const EncoderConfig& config);
std::unique_ptr<VideoEncoder> createEncoder(const EncoderConfig& config,
                                            const EncoderFactoryOptions& options);

}  // namespace kvd
