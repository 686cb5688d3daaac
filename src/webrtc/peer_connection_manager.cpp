#include "webrtc/peer_connection_manager.h"

#include <exception>

#include "common/log.h"
#include "signaling/signaling.h"

namespace kvd {

namespace {

const char* descriptionTypeWord(const std::string& type) {
    return type == "answer" ? "answer" : "offer";
}

std::string exceptionText(std::exception_ptr ep) {
    try {
        std::rethrow_exception(ep);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown";
    }
}

}  // namespace

PeerConnectionManager::PeerConnectionManager(std::shared_ptr<RtcFactory> factory,
                                             const Clock& clock)
    : factory_(std::move(factory)), clock_(clock) {}

PeerConnectionManager::~PeerConnectionManager() {
    // The peer's callbacks point at this object: stop them before it goes.
    std::shared_ptr<RtcPeerConnection> peer;
    {
        std::lock_guard lk(mu_);
        peer = std::move(peer_);
    }
    if (peer) peer->close();
}

void PeerConnectionManager::setIceServers(std::vector<std::string> stun,
                                          std::vector<IceServerEntry> turn) {
    std::lock_guard lk(mu_);
    stunServers_ = std::move(stun);
    turnServers_ = std::move(turn);
}

std::vector<IceServerEntry> PeerConnectionManager::turnServers() const {
    std::lock_guard lk(mu_);
    return turnServers_;
}

std::vector<std::string> PeerConnectionManager::stunServers() const {
    std::lock_guard lk(mu_);
    return stunServers_;
}

bool PeerConnectionManager::initialize() {
    std::vector<std::string> stun;
    std::vector<IceServerEntry> turn;
    uint64_t gen;
    {
        std::lock_guard lk(mu_);
        stun = stunServers_;
        turn = turnServers_;
        gen = generation_;
    }

    RtcPeerConfig config;
    for (const auto& url : stun) {
        try {
            config.iceServers.push_back(parseIceServerUrl(url));
        } catch (const std::exception& e) {
            logger().warn("STUN server construction failed, skipping: {}", e.what());
        }
    }
    for (const auto& entry : turn) {
        if (!turnUrlPassesGuard(entry.url)) {
            logger().warn("Skipping invalid TURN URL (rejected by guard)");
            continue;
        }
        try {
            RtcIceServer server = parseIceServerUrl(entry.url);
            server.username = entry.username;
            server.password = entry.credential;
            config.iceServers.push_back(std::move(server));
        } catch (const std::exception& e) {
            logger().warn("TURN server construction failed, skipping: {}", e.what());
        }
    }
    config.enableIceTcp = true;
    config.portRangeBegin = 49152;
    config.portRangeEnd = 65535;
    logger().info("Creating PeerConnection with {} ICE servers, TCP={}", config.iceServers.size(),
                  true);
    iceServerCount_ = static_cast<int32_t>(config.iceServers.size());

    // Late events of an earlier connection carry an older generation and are
    // dropped, so a rebuilt manager never acts on a dead peer's state change.
    auto live = [this, gen] {
        std::lock_guard lk(mu_);
        return gen == generation_;
    };
    RtcPeerCallbacks callbacks;
    callbacks.onStateChange = [this, live](RtcPeerState s) {
        if (live()) handleStateChange(s);
    };
    callbacks.onGatheringStateChange = [this, live](RtcGatheringState s) {
        if (live()) handleGatheringState(s);
    };
    callbacks.onLocalCandidate = [this, live](const std::string& c, const std::string& mid) {
        if (live()) handleLocalCandidate(c, mid);
    };
    callbacks.onLocalDescription = [this, live](const RtcDescription& d) {
        if (live()) handleLocalDescription(d);
    };

    std::shared_ptr<RtcPeerConnection> peer;
    try {
        peer = factory_->createPeerConnection(config, std::move(callbacks));
    } catch (const std::exception& e) {
        logger().error("PeerConnection creation failed: {}", e.what());
        return false;
    }
    if (!peer) {
        logger().error("PeerConnection creation failed: no peer connection");
        return false;
    }
    {
        std::lock_guard lk(mu_);
        peer_ = peer;
    }

    if (signaling) {
        signaling->on("answer", [this](const Json& m) { handleAnswer(m); });
        signaling->on("ice", [this](const Json& m) { handleIce(m); });
        signaling->on("ping", [this](const Json& m) { handlePing(m); });
        signaling->on("join_ack", [](const Json&) {});
        signaling->on("turn_refresh", [this](const Json& m) { handleTurnRefresh(m); });
    }

    RtcVideoTrackInit trackInit;
    trackInit.bitrateKbps = videoBitrateKbps;
    RtcVideoTrackCallbacks trackCallbacks;
    trackCallbacks.onOpen = [this, live] {
        if (!live()) return;
        logger().info("Video track OPENED — ready to send frames");
        if (onVideoTrackOpen) onVideoTrackOpen();
    };
    trackCallbacks.onClosed = [live] {
        if (live()) logger().info("Video track CLOSED");
    };
    trackCallbacks.onError = [live](const std::string& err) {
        if (live()) logger().error("Video track error: {}", err);
    };
    trackCallbacks.onKeyframeRequest = [this, live] {
        if (!live()) return;
        logger().info("Viewer requested a keyframe (PLI/FIR)");
        if (onKeyframeRequest) onKeyframeRequest();
    };
    std::shared_ptr<RtcVideoTrack> track;
    try {
        track = peer->addVideoTrack(trackInit, std::move(trackCallbacks));
    } catch (const std::exception& e) {
        logger().error("Video track creation failed: {}", e.what());
    }
    {
        std::lock_guard lk(mu_);
        videoTrack_ = track;
    }
    logger().info("Video track added, track is open: {}", track && track->isOpen());
    logger().info("PeerConnection initialized with {} STUN and {} TURN servers", stun.size(),
                  turn.size());
    return true;
}

void PeerConnectionManager::registerPeerJoined() {
    if (!hasPeer() || !signaling) return;
    signaling->on("peer_joined", [this](const Json& m) { handlePeerJoined(m); });
}

bool PeerConnectionManager::hasPeer() const {
    std::lock_guard lk(mu_);
    return peer_ != nullptr;
}

void PeerConnectionManager::reset() {
    std::vector<std::shared_ptr<RtcDataChannel>> channels;
    std::shared_ptr<RtcPeerConnection> peer;
    {
        std::lock_guard lk(mu_);
        ++generation_;
        for (auto* ch :
             {&videoChannel_, &controlChannel_, &fileChannel_, &chatChannel_, &inputChannel_})
            if (*ch) channels.push_back(std::move(*ch));
        videoTrack_.reset();
        peer = std::move(peer_);
        remoteCandidateCount_ = 0;
        pendingCandidates_.clear();
        resendLimiter_.reset();
        gatheringDeadlineArmed_ = false;
    }
    connected_ = false;
    remoteDescriptionSet_ = false;
    sawNonHostCandidate_ = false;
    hostCandidates_ = srflxCandidates_ = relayCandidates_ = otherCandidates_ = 0;
    // Closing calls back into nothing of ours (the generation moved on), and no
    // lock is held, so a callback in flight can finish before close returns.
    for (auto& ch : channels) ch->close();
    if (peer) peer->close();
    if (onFileChannelClosed) onFileChannelClosed();
    logger().info("PeerConnection reset — ready for rebuild");
}

void PeerConnectionManager::resendOffer() {
    std::shared_ptr<RtcPeerConnection> peer;
    {
        std::lock_guard lk(mu_);
        peer = peer_;
    }
    if (!peer) return;
    auto desc = peer->localDescription();
    if (!desc || desc->type != "offer") return;
    const std::string sdp = rewriteZeroPorts(desc->sdp);
    logger().info("Re-sending cached SDP offer to (re)joined viewer (length={})", sdp.size());
    sendSignaling(Json{{"type", "offer"}, {"sdp", sdp}});
}

bool PeerConnectionManager::gatheringDeadlineExceeded() const {
    std::lock_guard lk(mu_);
    return gatheringDeadlineArmed_ && clock_.nowMs() - gatheringStartMs_ >= gatheringDeadlineMs_;
}

PeerConnectionManager::IceCounters PeerConnectionManager::iceCounters() const {
    IceCounters c;
    c.iceServers = static_cast<size_t>(iceServerCount_.load());
    c.host = hostCandidates_;
    c.srflx = srflxCandidates_;
    c.relay = relayCandidates_;
    c.other = otherCandidates_;
    return c;
}

int32_t PeerConnectionManager::remoteCandidateCount() const {
    std::lock_guard lk(mu_);
    return remoteCandidateCount_;
}

size_t PeerConnectionManager::pendingCandidateCount() const {
    std::lock_guard lk(mu_);
    return pendingCandidates_.size();
}

std::shared_ptr<RtcVideoTrack> PeerConnectionManager::videoTrack() const {
    std::lock_guard lk(mu_);
    return videoTrack_;
}

std::shared_ptr<RtcDataChannel> PeerConnectionManager::videoChannel() const {
    std::lock_guard lk(mu_);
    return videoChannel_;
}

std::shared_ptr<RtcDataChannel> PeerConnectionManager::fileChannel() const {
    return channel(Channel::File);
}

void PeerConnectionManager::sendSignaling(const Json& msg) {
    if (!signaling) return;
    try {
        signaling->send(msg);
    } catch (const std::exception& e) {
        logger().warn("Signaling send of '{}' failed: {}", jsonStringOr(msg, "type", ""), e.what());
    }
}

// --- signaling handlers ------------------------------------------------------

void PeerConnectionManager::handlePeerJoined(const Json& msg) {
    if (jsonStringOr(msg, "role", "") != "viewer") return;
    const bool synthetic = jsonBool(msg, "synthetic").value_or(false);
    if (!synthetic && onViewerActivity) onViewerActivity();

    std::shared_ptr<RtcPeerConnection> peer;
    bool haveVideoChannel;
    {
        std::lock_guard lk(mu_);
        peer = peer_;
        haveVideoChannel = videoChannel_ != nullptr;
    }
    if (!peer) return;
    if (!haveVideoChannel) {
        logger().info("Viewer joined, creating DataChannel + SDP offer");
        createChannels(peer);
        return;
    }
    if (remoteDescriptionSet_ || connected_) return;
    if (synthetic) {
        bool allowed;
        {
            std::lock_guard lk(mu_);
            allowed = resendLimiter_.allow(clock_.nowMs());
        }
        if (!allowed) {
            logger().debug("resendOffer suppressed by C4 limiter");
            return;
        }
        resendOffer();
    } else {
        resendOffer();
        std::lock_guard lk(mu_);
        (void)resendLimiter_.allow(clock_.nowMs());
    }
}

void PeerConnectionManager::createChannels(const std::shared_ptr<RtcPeerConnection>& peer) {
    struct ChannelSetup {
        Channel which;
        const char* label;
        bool ordered;
        std::optional<uint16_t> maxRetransmits;
    };
    static const ChannelSetup kChannels[] = {
        {Channel::Video, "video", true, std::nullopt},
        {Channel::Control, "control", true, std::nullopt},
        {Channel::File, "file", true, std::nullopt},
        {Channel::Input, "input", false, uint16_t{0}},
        {Channel::Chat, "chat", true, std::nullopt},
    };
    for (const auto& setup : kChannels) {
        if (channel(setup.which)) continue;
        RtcDataChannelInit init;
        init.ordered = setup.ordered;
        init.maxRetransmits = setup.maxRetransmits;
        std::shared_ptr<RtcDataChannel> ch;
        try {
            ch = peer->createDataChannel(setup.label, init, channelCallbacks(setup.which));
        } catch (const std::exception& e) {
            logger().error("DataChannel '{}' creation failed: {}", setup.label, e.what());
            continue;
        }
        std::lock_guard lk(mu_);
        if (peer_ != peer) return;  // reset meanwhile
        switch (setup.which) {
            case Channel::Video:
                videoChannel_ = ch;
                break;
            case Channel::Control:
                controlChannel_ = ch;
                break;
            case Channel::File:
                fileChannel_ = ch;
                break;
            case Channel::Input:
                inputChannel_ = ch;
                break;
            case Channel::Chat:
                chatChannel_ = ch;
                break;
        }
    }
}

std::shared_ptr<RtcDataChannel> PeerConnectionManager::channel(Channel which) const {
    std::lock_guard lk(mu_);
    switch (which) {
        case Channel::Video:
            return videoChannel_;
        case Channel::Control:
            return controlChannel_;
        case Channel::File:
            return fileChannel_;
        case Channel::Input:
            return inputChannel_;
        case Channel::Chat:
            return chatChannel_;
    }
    return nullptr;
}

bool PeerConnectionManager::channelOpen(Channel which) const {
    auto ch = channel(which);
    return ch && ch->isOpen();
}

uint64_t PeerConnectionManager::bufferedAmount(Channel which) const {
    auto ch = channel(which);
    return ch ? ch->bufferedAmount() : 0;
}

RtcDataChannelCallbacks PeerConnectionManager::channelCallbacks(Channel which) {
    uint64_t gen;
    {
        std::lock_guard lk(mu_);
        gen = generation_;
    }
    auto live = [this, gen] {
        std::lock_guard lk(mu_);
        return gen == generation_;
    };
    RtcDataChannelCallbacks cb;
    switch (which) {
        case Channel::Video:
            cb.onOpen = [this, live] {
                if (!live()) return;
                auto ch = channel(Channel::Video);
                const uint64_t maxSize = ch ? ch->maxMessageSize() : 0;
                logger().info("Video DataChannel OPENED — maxMessageSize={}", maxSize);
                if (maxSize != 0 && maxSize < kVideoChunkMessageBytes)
                    logger().warn(
                        "Video DataChannel maxMessageSize={} is below one video chunk ({} bytes) — "
                        "large frames on the data channel will fail",
                        maxSize, kVideoChunkMessageBytes);
            };
            cb.onClosed = [live] {
                if (live()) logger().info("Video DataChannel CLOSED");
            };
            cb.onError = [live](const std::string& e) {
                if (live()) logger().error("Video DataChannel error: {}", e);
            };
            cb.onText = [this, live](const std::string& text) {
                if (live()) handleVideoChannelText(text);
            };
            break;
        case Channel::Control:
            cb.onOpen = [live] {
                if (live()) logger().info("Control DataChannel OPENED");
            };
            cb.onClosed = [live] {
                if (live()) logger().info("Control DataChannel CLOSED");
            };
            cb.onError = [live](const std::string& e) {
                if (live()) logger().error("Control DataChannel error: {}", e);
            };
            cb.onText = [this, live](const std::string& text) {
                if (live() && onControlText) onControlText(text);
            };
            cb.onBinary = [this, live](const uint8_t* d, size_t n) {
                if (live() && onInputBinary) onInputBinary(d, n);
            };
            break;
        case Channel::File:
            cb.onOpen = [this, live] {
                if (!live()) return;
                auto ch = channel(Channel::File);
                logger().info("File DataChannel OPENED -- maxMessageSize={}",
                              ch ? ch->maxMessageSize() : 0);
            };
            cb.onClosed = [this, live] {
                if (!live()) return;
                logger().info("File DataChannel CLOSED");
                if (onFileChannelClosed) onFileChannelClosed();
            };
            cb.onError = [live](const std::string& e) {
                if (live()) logger().error("File DataChannel error: {}", e);
            };
            cb.onBinary = [this, live](const uint8_t* d, size_t n) {
                if (!live() || !onFileBinary) return;
                try {
                    onFileBinary(d, n);
                } catch (...) {
                    logger().error("File DataChannel handler threw (message dropped): {}",
                                   exceptionText(std::current_exception()));
                }
            };
            break;
        case Channel::Input:
            cb.onOpen = [this, live] {
                if (!live()) return;
                auto ch = channel(Channel::Input);
                logger().info("Input DataChannel OPENED (unordered/unreliable) — maxMessageSize={}",
                              ch ? ch->maxMessageSize() : 0);
            };
            cb.onClosed = [live] {
                if (live()) logger().info("Input DataChannel CLOSED");
            };
            cb.onError = [live](const std::string& e) {
                if (live()) logger().error("Input DataChannel error: {}", e);
            };
            cb.onBinary = [this, live](const uint8_t* d, size_t n) {
                if (live() && onInputBinary) onInputBinary(d, n);
            };
            break;
        case Channel::Chat:
            cb.onOpen = [live] {
                if (live()) logger().info("Chat DataChannel OPENED");
            };
            cb.onClosed = [live] {
                if (live()) logger().info("Chat DataChannel CLOSED");
            };
            cb.onError = [live](const std::string& e) {
                if (live()) logger().error("Chat DataChannel error: {}", e);
            };
            cb.onText = [this, live](const std::string& text) {
                if (live() && onChatText) onChatText(text);
            };
            break;
    }
    return cb;
}

void PeerConnectionManager::handleVideoChannelText(const std::string& text) {
    auto j = parseJson(text);
    if (!j || !j->is_object()) return;
    if (jsonStringOr(*j, "cmd", "") != "quality" || !onQualityRequest) return;
    const auto clampInt = [](int64_t v) {
        return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    const int maxHeight = clampInt(jsonInt(*j, "maxHeight").value_or(0));
    const int fps = clampInt(jsonInt(*j, "fps").value_or(0));
    logger().info("Viewer quality request: maxHeight={} fps={}", maxHeight, fps);
    onQualityRequest(maxHeight, fps);
}

void PeerConnectionManager::handleAnswer(const Json& msg) {
    logger().info("Received SDP answer from viewer");
    try {
        if (!msg.is_object() || !msg.contains("sdp")) throw std::runtime_error("answer has no sdp");
        const std::string sdp = msg.at("sdp").get<std::string>();
        if (auto reason = answerRejectReason(sdp)) {
            logger().error("Rejected SDP answer (len={}): {}", sdp.size(), *reason);
            return;
        }
        logger().debug("Answer SDP len={} media={}", sdp.size(), countMediaSections(sdp));
        logger().debug("Answer SDP body:\n{}", sdp);

        std::shared_ptr<RtcPeerConnection> peer;
        {
            std::lock_guard lk(mu_);
            peer = peer_;
        }
        if (!peer) throw std::runtime_error("no peer connection");
        peer->setRemoteDescription(RtcDescription{"answer", sdp});

        std::vector<std::pair<std::string, std::string>> pending;
        {
            std::lock_guard lk(mu_);
            if (peer_ != peer) return;
            remoteDescriptionSet_ = true;
            pending.swap(pendingCandidates_);
        }
        for (const auto& [candidate, mid] : pending) {
            try {
                peer->addRemoteCandidate(candidate, mid);
            } catch (const std::exception& e) {
                logger().error("flush addRemoteCandidate failed: {}", e.what());
            }
        }
        logger().info("Set remote SDP answer successfully ({} buffered candidates flushed)",
                      pending.size());
    } catch (const std::exception& e) {
        logger().error("Failed to set remote SDP answer: {}", e.what());
    }
}

void PeerConnectionManager::handleIce(const Json& msg) {
    const std::string candidate = jsonStringOr(msg, "candidate", "");
    const std::string mid = jsonStringOr(msg, "sdpMid", "video");
    if (candidate.empty()) return;
    if (!remoteCandidatePassesGuard(candidate)) {
        logger().warn("Dropping malformed remote ICE candidate (failed format guard)");
        return;
    }
    std::shared_ptr<RtcPeerConnection> peer;
    {
        std::lock_guard lk(mu_);
        ++remoteCandidateCount_;
        if (remoteCandidateCount_ > kMaxRemoteCandidates) {
            if (remoteCandidateCount_ == kMaxRemoteCandidates + 1)
                logger().warn("Remote ICE candidate cap ({}) hit — dropping further candidates",
                              kMaxRemoteCandidates);
            // Keep the counter from wrapping under a flood.
            remoteCandidateCount_ = kMaxRemoteCandidates + 2;
            return;
        }
        peer = peer_;
    }
    if (onViewerActivity) onViewerActivity();
    logger().debug("Remote ICE candidate: {} mid={}", candidate, mid);
    {
        std::lock_guard lk(mu_);
        if (!remoteDescriptionSet_) {
            logger().warn("Remote candidate arrived before SDP answer — buffering");
            pendingCandidates_.emplace_back(candidate, mid);
            return;
        }
    }
    if (!peer) return;
    try {
        peer->addRemoteCandidate(candidate, mid);
    } catch (const std::exception& e) {
        logger().error("addRemoteCandidate failed: {}", e.what());
    }
}

void PeerConnectionManager::handlePing(const Json& msg) {
    sendSignaling(Json{{"type", "pong"}, {"ts", jsonInt(msg, "ts").value_or(0)}});
}

void PeerConnectionManager::handleTurnRefresh(const Json& msg) {
    const Json* servers = jsonArray(msg, "turnServers");
    if (!servers) {
        logger().warn("turn_refresh missing turnServers array — ignoring");
        return;
    }
    std::vector<IceServerEntry> fresh;
    for (const auto& element : *servers) {
        if (!element.is_object()) continue;
        const Json* urls = jsonArray(element, "urls");
        if (!urls) continue;
        const std::string username = jsonStringOr(element, "username", "");
        const std::string credential = jsonStringOr(element, "credential", "");
        for (const auto& url : *urls) {
            if (!url.is_string()) continue;
            const std::string u = url.get<std::string>();
            if (!turnUrlPassesGuard(u)) {
                logger().warn("turn_refresh: skipping invalid TURN URL");
                continue;
            }
            fresh.push_back(IceServerEntry{u, username, credential});
        }
    }
    if (fresh.empty()) {
        logger().warn("turn_refresh produced no valid TURN servers — keeping current");
        return;
    }
    const size_t n = fresh.size();
    {
        std::lock_guard lk(mu_);
        turnServers_ = std::move(fresh);
    }
    turnRefreshPending_ = true;
    logger().info("turn_refresh: applying {} TURN server(s) on next rebuild", n);
}

// --- peer callbacks ------------------------------------------------------------

void PeerConnectionManager::handleStateChange(RtcPeerState state) {
    logger().info("PeerConnection state: {}", static_cast<int>(state));
    switch (state) {
        case RtcPeerState::Connected:
            connected_ = true;
            {
                std::lock_guard lk(mu_);
                gatheringDeadlineArmed_ = false;
            }
            if (onConnected) onConnected();
            break;
        case RtcPeerState::Disconnected:
        case RtcPeerState::Failed:
        case RtcPeerState::Closed:
            connected_ = false;
            if (onDisconnected) onDisconnected();
            break;
        default:
            break;
    }
}

void PeerConnectionManager::handleGatheringState(RtcGatheringState state) {
    logger().debug("ICE gathering state: {}", static_cast<int>(state));
    std::lock_guard lk(mu_);
    if (state == RtcGatheringState::InProgress) {
        gatheringDeadlineArmed_ = true;
        gatheringStartMs_ = clock_.nowMs();
        gatheringDeadlineMs_ = kGatheringDeadlineMs;
    } else if (state == RtcGatheringState::Complete) {
        gatheringDeadlineArmed_ = false;
    }
}

void PeerConnectionManager::handleLocalCandidate(const std::string& candidate,
                                                 const std::string& mid) {
    logger().info("Local ICE candidate: {} mid={}", candidate, mid);
    const bool srflx = candidate.find(" typ srflx") != std::string::npos;
    const bool relay = candidate.find(" typ relay") != std::string::npos;
    if (srflx || relay) sawNonHostCandidate_ = true;
    if (srflx)
        ++srflxCandidates_;
    else if (relay)
        ++relayCandidates_;
    else if (candidate.find(" typ host") != std::string::npos)
        ++hostCandidates_;
    else
        ++otherCandidates_;
    sendSignaling(
        Json{{"type", "ice"}, {"candidate", candidate}, {"sdpMid", "video"}, {"sdpMLineIndex", 0}});
}

void PeerConnectionManager::handleLocalDescription(const RtcDescription& description) {
    const std::string sdp = rewriteZeroPorts(description.sdp);
    const char* type = descriptionTypeWord(description.type);
    logger().info("Sending SDP {} (length={})", type, sdp.size());
    sendSignaling(Json{{"type", type}, {"sdp", sdp}});
}

// --- send helpers ------------------------------------------------------------

bool PeerConnectionManager::sendText(Channel which, const std::string& text,
                                     const char* failureFormat) {
    auto ch = channel(which);
    if (!ch || !ch->isOpen()) return false;
    try {
        ch->sendText(text);
        return true;
    } catch (const std::exception& e) {
        logger().warn(fmt::runtime(failureFormat), e.what());
    }
    return false;
}

void PeerConnectionManager::sendBinary(Channel which, const uint8_t* data, size_t size,
                                       const char* failureFormat) {
    if (!data || size == 0) return;
    auto ch = channel(which);
    if (!ch || !ch->isOpen()) return;
    try {
        ch->sendBinary(std::vector<uint8_t>(data, data + size));
    } catch (const std::exception& e) {
        logger().warn(fmt::runtime(failureFormat), e.what());
    }
}

void PeerConnectionManager::sendControlJson(const std::string& json) {
    sendText(Channel::Control, json, "sendControlJson failed: {}");
}

void PeerConnectionManager::sendControlBinary(const uint8_t* data, size_t size) {
    sendBinary(Channel::Control, data, size, "sendControlBinary failed: {}");
}

void PeerConnectionManager::sendInputBinary(const uint8_t* data, size_t size) {
    sendBinary(Channel::Input, data, size, "sendInputBinary failed: {}");
}

void PeerConnectionManager::sendFileBinary(const uint8_t* data, size_t size) {
    sendBinary(Channel::File, data, size, "sendFileBinary failed: {}");
}

bool PeerConnectionManager::sendChatJson(const std::string& json) {
    return sendText(Channel::Chat, json, "sendChatJson failed: {}");
}

bool PeerConnectionManager::sendKeepalive() {
    return sendText(Channel::Control, R"({"type":"keepalive"})", "keepalive send failed: {}");
}

std::optional<uint64_t> PeerConnectionManager::packetsReceived() const {
    std::shared_ptr<RtcPeerConnection> peer;
    {
        std::lock_guard lk(mu_);
        peer = peer_;
    }
    if (!peer) return std::nullopt;
    return peer->packetsReceived();
}

}  // namespace kvd
