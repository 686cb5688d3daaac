#pragma once
// The WebRTC objects the peer connection manager and the video sender work
// with. The webrtcbin implementation lives in webrtcbin_adapter.cpp; unit
// tests substitute scripted fakes. No GStreamer type appears here.
//
// Threading contract of every implementation: callbacks are delivered on the
// implementation's own dispatch thread (never on a media-library thread and
// never from inside one of the calls below), one at a time and in order, so a
// callback may call back into the objects freely. Sends never block.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvd {

// Numbering as logged in "PeerConnection state: {}".
enum class RtcPeerState {
    New = 0,
    Connecting = 1,
    Connected = 2,
    Disconnected = 3,
    Failed = 4,
    Closed = 5
};
enum class RtcGatheringState { New = 0, InProgress = 1, Complete = 2 };

// Raised by adapter operations the peer or the library refused; the caller
// logs e.what().
class RtcError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct RtcIceServer {
    enum class Kind { Stun, Turn };
    Kind kind = Kind::Stun;
    bool tls = false;  // turns:
    std::string host;
    uint16_t port = 3478;
    std::string transport;  // "udp", "tcp" or empty
    std::string username;
    std::string password;
};

// Parses "stun:host[:port]", "turn:host[:port][?transport=udp|tcp]" and
// "turns:..." (also the "//" forms). Throws RtcError on anything else.
RtcIceServer parseIceServerUrl(const std::string& url);

struct RtcPeerConfig {
    std::vector<RtcIceServer> iceServers;
    bool enableIceTcp = false;
    uint16_t portRangeBegin = 0;  // 0: library default
    uint16_t portRangeEnd = 0;
};

struct RtcDescription {
    std::string type;  // "offer" or "answer"
    std::string sdp;
};

struct RtcDataChannelInit {
    bool ordered = true;
    std::optional<uint16_t> maxRetransmits;  // none: reliable
};

struct RtcDataChannelCallbacks {
    std::function<void()> onOpen;
    std::function<void()> onClosed;
    std::function<void(const std::string&)> onError;
    std::function<void(const std::string&)> onText;
    std::function<void(const uint8_t*, size_t)> onBinary;
};

class RtcDataChannel {
  public:
    virtual ~RtcDataChannel() = default;
    virtual std::string label() const = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // Throw RtcError when the channel refuses the message.
    virtual void sendText(const std::string& text) = 0;
    virtual void sendBinary(std::vector<uint8_t> bytes) = 0;
    virtual uint64_t bufferedAmount() const = 0;
    // The peer's maximum message size as negotiated (0 when not yet known).
    virtual uint64_t maxMessageSize() const = 0;
};

struct RtcVideoTrackInit {
    std::string mid = "video";
    int payloadType = 96;
    std::string fmtp = "profile-level-id=42e01f;packetization-mode=1;level-asymmetry-allowed=1";
    uint32_t bitrateKbps = 0;  // b=AS of the video section; 0 writes none
    uint32_t ssrc = 1;
    std::string cname = "kelvandrum-video";
    uint32_t nackHistoryPackets = 512;
    int width = 1920;  // only hints for the media pipeline's caps
    int height = 1080;
    int fps = 30;
};

struct RtcVideoTrackCallbacks {
    std::function<void()> onOpen;
    std::function<void()> onClosed;
    std::function<void(const std::string&)> onError;
    // The viewer asked for a keyframe (PLI/FIR).
    std::function<void()> onKeyframeRequest;
};

class RtcVideoTrack {
  public:
    virtual ~RtcVideoTrack() = default;
    virtual bool isOpen() const = 0;
    virtual bool isClosed() const = 0;
    // One Annex B access unit; the RTP timestamp follows captureTimestampUs
    // (steady-clock microseconds). Throws RtcError when refused.
    virtual void sendFrame(const uint8_t* data, size_t size, int64_t captureTimestampUs) = 0;
};

struct RtcPeerCallbacks {
    std::function<void(RtcPeerState)> onStateChange;
    std::function<void(RtcGatheringState)> onGatheringStateChange;
    std::function<void(const std::string& candidate, const std::string& mid)> onLocalCandidate;
    std::function<void(const RtcDescription&)> onLocalDescription;
};

class RtcPeerConnection {
  public:
    virtual ~RtcPeerConnection() = default;
    virtual std::shared_ptr<RtcVideoTrack> addVideoTrack(const RtcVideoTrackInit& init,
                                                         RtcVideoTrackCallbacks callbacks) = 0;
    // The first channel starts negotiation on its own: the offer arrives
    // through onLocalDescription.
    virtual std::shared_ptr<RtcDataChannel> createDataChannel(
        const std::string& label, const RtcDataChannelInit& init,
        RtcDataChannelCallbacks callbacks) = 0;
    virtual std::optional<RtcDescription> localDescription() const = 0;
    // Throws RtcError when the description is unusable or refused.
    virtual void setRemoteDescription(const RtcDescription& description) = 0;
    virtual void addRemoteCandidate(const std::string& candidate, const std::string& mid) = 0;
    // Packets that arrived from the viewer over the connection's transport
    // (DTLS records: media, RTCP and SCTP; ICE checks are not counted). Only
    // ever grows; a viewer that is alive keeps it moving. None while the
    // connection cannot count them. Cheap to read from any thread.
    virtual std::optional<uint64_t> packetsReceived() const = 0;
    // Stops everything; no callback runs once close() has returned.
    virtual void close() = 0;
};

class RtcFactory {
  public:
    virtual ~RtcFactory() = default;
    virtual std::shared_ptr<RtcPeerConnection> createPeerConnection(const RtcPeerConfig& config,
                                                                    RtcPeerCallbacks callbacks) = 0;
};

// The webrtcbin implementation (process-wide; initialises GStreamer once).
std::shared_ptr<RtcFactory> webrtcbinFactory();

}  // namespace kvd
