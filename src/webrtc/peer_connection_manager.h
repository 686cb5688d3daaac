#pragma once
// The WebRTC side of a session: one peer connection per viewer with its
// send-only H.264 track and the five data channels, driven by signaling
// messages. Everything that arrives from the viewer is guarded here before it
// reaches the peer connection.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/json_util.h"
#include "webrtc/ice_server.h"
#include "webrtc/rtc_adapter.h"
#include "webrtc/sdp_guard.h"

namespace kvd {

class ISignalingClient;

inline constexpr int32_t kMaxRemoteCandidates = 500;
inline constexpr int64_t kGatheringDeadlineMs = 20000;
// Largest video data-channel message: 204800 payload bytes + 12 header bytes.
inline constexpr uint64_t kVideoChunkMessageBytes = 204812;

class PeerConnectionManager {
  public:
    // Installed by the engine at start-up; empty ones drop their events.
    std::function<void()> onConnected;
    std::function<void()> onDisconnected;
    std::function<void()> onViewerActivity;
    std::function<void(int maxHeight, int fps)> onQualityRequest;
    std::function<void(const uint8_t*, size_t)> onInputBinary;
    std::function<void(const std::string&)> onControlText;
    std::function<void(const uint8_t*, size_t)> onFileBinary;
    // The file channel closed, or the connection was reset under it.
    std::function<void()> onFileChannelClosed;
    std::function<void(const std::string&)> onChatText;
    // The viewer asked for a keyframe (RTCP PLI/FIR on the video track).
    std::function<void()> onKeyframeRequest;
    // Video track state, for the engine's video-sender creation.
    std::function<void()> onVideoTrackOpen;

    ISignalingClient* signaling = nullptr;
    uint32_t videoBitrateKbps = 4000;

    PeerConnectionManager(std::shared_ptr<RtcFactory> factory,
                          const Clock& clock = SteadyClock::instance());
    ~PeerConnectionManager();
    PeerConnectionManager(const PeerConnectionManager&) = delete;
    PeerConnectionManager& operator=(const PeerConnectionManager&) = delete;

    // Server lists used by the next initialize (turn_refresh replaces the TURN list).
    void setIceServers(std::vector<std::string> stun, std::vector<IceServerEntry> turn);
    std::vector<IceServerEntry> turnServers() const;
    std::vector<std::string> stunServers() const;

    bool initialize();
    void registerPeerJoined();
    void reset();
    void resendOffer();
    bool gatheringDeadlineExceeded() const;

    void sendControlJson(const std::string& json);
    void sendControlBinary(const uint8_t* data, size_t size);
    void sendInputBinary(const uint8_t* data, size_t size);
    void sendFileBinary(const uint8_t* data, size_t size);
    // True when the message went out (chat reports delivery to its sender).
    bool sendChatJson(const std::string& json);
    // A tiny message on the control channel that the viewer's transport
    // acknowledges whether or not the viewer understands it; false when
    // there is no open control channel.
    bool sendKeepalive();
    // Packets received from the viewer on the current connection; none
    // without a connection or when it cannot count them.
    std::optional<uint64_t> packetsReceived() const;

    // Counters and flags the session loop reads.
    bool isConnected() const { return connected_.load(); }
    bool remoteDescriptionSet() const { return remoteDescriptionSet_.load(); }
    bool sawNonHostCandidate() const { return sawNonHostCandidate_.load(); }
    bool hasIceServers() const { return iceServerCount_.load() > 0; }
    int32_t iceServerCount() const { return iceServerCount_.load(); }
    // Reads and clears the flag.
    bool takeTurnRefreshPending() { return turnRefreshPending_.exchange(false); }
    bool turnRefreshPending() const { return turnRefreshPending_.load(); }
    struct IceCounters {
        size_t iceServers = 0;
        uint64_t host = 0, srflx = 0, relay = 0, other = 0;
    };
    IceCounters iceCounters() const;
    int32_t remoteCandidateCount() const;
    size_t pendingCandidateCount() const;

    // Shared references for the video sender of this connection.
    std::shared_ptr<RtcVideoTrack> videoTrack() const;
    std::shared_ptr<RtcDataChannel> videoChannel() const;
    // The current connection's file channel (file transfer paces on it).
    std::shared_ptr<RtcDataChannel> fileChannel() const;
    bool hasPeer() const;

    enum class Channel { Video, Control, File, Input, Chat };
    // The channel of the current connection exists and is open.
    bool channelOpen(Channel which) const;
    // Bytes queued on the channel and not yet sent (0 without a channel).
    uint64_t bufferedAmount(Channel which) const;

  private:
    // Signaling handlers.
    void handlePeerJoined(const Json& msg);
    void handleAnswer(const Json& msg);
    void handleIce(const Json& msg);
    void handlePing(const Json& msg);
    void handleTurnRefresh(const Json& msg);

    // Peer callbacks.
    void handleStateChange(RtcPeerState state);
    void handleGatheringState(RtcGatheringState state);
    void handleLocalCandidate(const std::string& candidate, const std::string& mid);
    void handleLocalDescription(const RtcDescription& description);

    void createChannels(const std::shared_ptr<RtcPeerConnection>& peer);
    RtcDataChannelCallbacks channelCallbacks(Channel which);
    void handleVideoChannelText(const std::string& text);
    std::shared_ptr<RtcDataChannel> channel(Channel which) const;
    bool sendText(Channel which, const std::string& text, const char* failureFormat);
    void sendBinary(Channel which, const uint8_t* data, size_t size, const char* failureFormat);
    void sendSignaling(const Json& msg);

    std::shared_ptr<RtcFactory> factory_;
    const Clock& clock_;

    // Guards the pointers below and the per-connection lists; never held
    // across a call into the peer connection or an engine callback.
    mutable std::mutex mu_;
    std::vector<IceServerEntry> turnServers_;
    std::vector<std::string> stunServers_;
    std::shared_ptr<RtcPeerConnection> peer_;
    std::shared_ptr<RtcVideoTrack> videoTrack_;
    std::shared_ptr<RtcDataChannel> videoChannel_, controlChannel_, fileChannel_, chatChannel_,
        inputChannel_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> remoteDescriptionSet_{false};
    std::atomic<bool> sawNonHostCandidate_{false};
    std::atomic<uint32_t> hostCandidates_{0}, srflxCandidates_{0}, relayCandidates_{0},
        otherCandidates_{0};
    std::atomic<int32_t> iceServerCount_{0};
    int32_t remoteCandidateCount_ = 0;
    std::vector<std::pair<std::string, std::string>> pendingCandidates_;
    OfferResendLimiter resendLimiter_;
    bool gatheringDeadlineArmed_ = false;
    int64_t gatheringStartMs_ = 0;
    int64_t gatheringDeadlineMs_ = kGatheringDeadlineMs;
    std::atomic<bool> turnRefreshPending_{false};
    // Bumped by reset so that late events of a closed connection are ignored.
    uint64_t generation_ = 0;
};

}  // namespace kvd
