#include "webrtc/video_sender.h"

#include <exception>

#include "common/log.h"

namespace kvd {

namespace {
// Process-wide caps on failure lines; they never reset.
std::atomic<uint64_t> g_rtpFailures{0};
std::atomic<uint64_t> g_dcFailures{0};
}  // namespace

std::array<uint8_t, kVideoChunkHeaderBytes> makeVideoChunkHeader(uint32_t totalSize, bool keyframe,
                                                                 uint32_t timestampMs,
                                                                 uint16_t frameId,
                                                                 uint8_t chunkIndex,
                                                                 uint8_t chunkCount) {
    std::array<uint8_t, kVideoChunkHeaderBytes> h{};
    for (int i = 0; i < 4; ++i) h[i] = static_cast<uint8_t>(totalSize >> (8 * i));
    h[4] = keyframe ? 1 : 0;
    for (int i = 0; i < 3; ++i) h[5 + i] = static_cast<uint8_t>(timestampMs >> (8 * i));
    h[8] = static_cast<uint8_t>(frameId);
    h[9] = static_cast<uint8_t>(frameId >> 8);
    h[10] = chunkIndex;
    h[11] = chunkCount;
    return h;
}

VideoSender::VideoSender(std::shared_ptr<RtcVideoTrack> track,
                         std::shared_ptr<RtcDataChannel> videoChannel, const Clock& clock)
    : track_(std::move(track)), videoChannel_(std::move(videoChannel)), clock_(clock) {}

bool VideoSender::sendFrame(const EncodedFrame& frame) {
    if (frame.data.empty()) return false;
    const bool channelOpen = videoChannel_ && videoChannel_->isOpen();
    const bool dataChannelOnly = channelOpen && skipRtpDoubleSend && skipRtpDoubleSend->load();
    if (track_ && !track_->isClosed() && !dataChannelOnly) sendRtp(frame);
    const bool result = channelOpen ? sendDataChannel(frame) : true;
    ++framesSent_;
    bytesSent_ += frame.data.size();
    return result;
}

void VideoSender::sendRtp(const EncodedFrame& frame) {
    if (track_->isClosed()) return;
    try {
        track_->sendFrame(frame.data.data(), frame.data.size(), frame.timestampUs);
    } catch (const std::exception& e) {
        if (++g_rtpFailures <= 5) logger().warn("Failed to send video frame via RTP: {}", e.what());
    }
}

bool VideoSender::sendDataChannel(const EncodedFrame& frame) {
    const size_t size = frame.data.size();
    size_t count = (size + kVideoChunkPayloadBytes - 1) / kVideoChunkPayloadBytes;
    if (count == 0) count = 1;
    // The chunk count travels in one byte: a larger frame would arrive as an
    // unreassemblable set of chunks, so it is refused whole.
    if (count > kMaxVideoChunks || size > UINT32_MAX) {
        logger().warn(
            "Video DC: frame of {} bytes needs {} chunks (max {}) — not sent on the data channel",
            size, count, kMaxVideoChunks);
        return false;
    }
    const int64_t nowUs = clock_.nowUs();
    if (!channelEpochSet_) {
        channelEpochUs_ = nowUs;
        channelEpochSet_ = true;
    }
    const uint32_t timestamp = static_cast<uint32_t>((nowUs - channelEpochUs_) / 1000) & 0xFFFFFFu;
    const uint16_t frameId = nextFrameId_++;

    for (size_t index = 0; index < count; ++index) {
        const size_t offset = index * kVideoChunkPayloadBytes;
        const size_t n = std::min(kVideoChunkPayloadBytes, size - offset);
        std::vector<uint8_t> msg(kVideoChunkHeaderBytes + n);
        const auto header =
            makeVideoChunkHeader(static_cast<uint32_t>(size), frame.keyframe, timestamp, frameId,
                                 static_cast<uint8_t>(index), static_cast<uint8_t>(count));
        std::copy(header.begin(), header.end(), msg.begin());
        std::copy(frame.data.begin() + static_cast<std::ptrdiff_t>(offset),
                  frame.data.begin() + static_cast<std::ptrdiff_t>(offset + n),
                  msg.begin() + kVideoChunkHeaderBytes);
        const size_t msgSize = msg.size();
        try {
            videoChannel_->sendBinary(std::move(msg));
        } catch (const std::exception& e) {
            if (++g_dcFailures <= 10)
                logger().warn("DC send failed: frame={} chunk={}/{} size={}: {}", frameId,
                              index + 1, count, msgSize, e.what());
            return false;
        }
    }
    if (framesSent_ < 6 || framesSent_ % 60 == 0 || count >= 2)
        logger().info("Video DC: frame={} id={} bytes={} keyframe={} chunks={} ts={}ms",
                      framesSent_ + 1, frameId, size, frame.keyframe, count, timestamp);
    return true;
}

uint64_t VideoSender::bufferedAmount() const {
    if (!videoChannel_ || !videoChannel_->isOpen()) return 0;
    return videoChannel_->bufferedAmount();
}

}  // namespace kvd
