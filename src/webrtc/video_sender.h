#pragma once
// Delivers encoded access units to one viewer: on the RTP video track and, in
// 12-byte-header chunks, on the "video" data channel. One per peer connection.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/clock.h"
#include "encode/video_encoder.h"
#include "webrtc/rtc_adapter.h"

namespace kvd {

inline constexpr size_t kVideoChunkPayloadBytes = 204800;
inline constexpr size_t kVideoChunkHeaderBytes = 12;
inline constexpr size_t kMaxVideoChunks = 255;

// The 12-byte header of a video data-channel message (little-endian fields).
std::array<uint8_t, kVideoChunkHeaderBytes> makeVideoChunkHeader(uint32_t totalSize, bool keyframe,
                                                                 uint32_t timestampMs,
                                                                 uint16_t frameId,
                                                                 uint8_t chunkIndex,
                                                                 uint8_t chunkCount);

class VideoSender {
  public:
    VideoSender(std::shared_ptr<RtcVideoTrack> track, std::shared_ptr<RtcDataChannel> videoChannel,
                const Clock& clock = SteadyClock::instance());

    // Engine-owned flag: true (with the channel open) sends on the channel only.
    const std::atomic<bool>* skipRtpDoubleSend = nullptr;

    bool sendFrame(const EncodedFrame& frame);
    uint64_t bufferedAmount() const;

    uint64_t framesSent() const { return framesSent_; }
    uint64_t bytesSent() const { return bytesSent_; }
    uint16_t nextFrameId() const { return nextFrameId_; }

  private:
    void sendRtp(const EncodedFrame& frame);
    bool sendDataChannel(const EncodedFrame& frame);

    std::shared_ptr<RtcVideoTrack> track_;
    std::shared_ptr<RtcDataChannel> videoChannel_;
    const Clock& clock_;
    uint64_t framesSent_ = 0;
    uint64_t bytesSent_ = 0;
    uint16_t nextFrameId_ = 0;
    int64_t channelEpochUs_ = 0;
    bool channelEpochSet_ = false;
};

}  // namespace kvd
