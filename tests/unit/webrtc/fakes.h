#pragma once
// Scripted stand-ins for the WebRTC adapter and the signaling client.
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>

#include "common/log.h"
#include "signaling/signaling.h"
#include "support/log_hub.h"
#include "webrtc/rtc_adapter.h"

namespace kvd::test {

struct FakeChannel : RtcDataChannel {
    std::string name;
    RtcDataChannelInit init;
    RtcDataChannelCallbacks cb;
    bool open = false;
    bool closed = false;
    bool throwOnSend = false;
    int failAfter = -1;  // sends that succeed before the next ones throw
    uint64_t buffered = 0;
    uint64_t maxSize = 262144;
    std::vector<std::string> texts;
    std::vector<std::vector<uint8_t>> binaries;

    std::string label() const override { return name; }
    bool isOpen() const override { return open; }
    void close() override {
        closed = true;
        open = false;
    }
    void maybeThrow() {
        if (throwOnSend || failAfter == 0) throw RtcError("boom");
        if (failAfter > 0) --failAfter;
    }
    void sendText(const std::string& t) override {
        maybeThrow();
        texts.push_back(t);
    }
    void sendBinary(std::vector<uint8_t> b) override {
        maybeThrow();
        binaries.push_back(std::move(b));
    }
    uint64_t bufferedAmount() const override { return buffered; }
    uint64_t maxMessageSize() const override { return maxSize; }
};

struct FakeTrack : RtcVideoTrack {
    RtcVideoTrackInit init;
    RtcVideoTrackCallbacks cb;
    bool open = true;
    bool closed = false;
    bool throwOnSend = false;
    std::vector<std::pair<size_t, int64_t>> frames;  // size, capture timestamp
    bool isOpen() const override { return open; }
    bool isClosed() const override { return closed; }
    void sendFrame(const uint8_t*, size_t size, int64_t ts) override {
        if (throwOnSend) throw RtcError("rtp boom");
        frames.emplace_back(size, ts);
    }
};

struct FakePeer : RtcPeerConnection {
    RtcPeerConfig config;
    RtcPeerCallbacks cb;
    std::shared_ptr<FakeTrack> track;
    std::vector<std::shared_ptr<FakeChannel>> channels;
    std::optional<RtcDescription> local;
    std::vector<RtcDescription> remotes;
    std::vector<std::pair<std::string, std::string>> candidates;
    bool throwOnRemote = false;
    std::string throwOnCandidate;  // candidates containing this text throw
    bool closed = false;
    std::optional<uint64_t> received = 0;

    std::shared_ptr<RtcVideoTrack> addVideoTrack(const RtcVideoTrackInit& init,
                                                 RtcVideoTrackCallbacks c) override {
        track = std::make_shared<FakeTrack>();
        track->init = init;
        track->cb = std::move(c);
        return track;
    }
    std::shared_ptr<RtcDataChannel> createDataChannel(const std::string& label,
                                                      const RtcDataChannelInit& init,
                                                      RtcDataChannelCallbacks c) override {
        auto ch = std::make_shared<FakeChannel>();
        ch->name = label;
        ch->init = init;
        ch->cb = std::move(c);
        channels.push_back(ch);
        return ch;
    }
    std::optional<RtcDescription> localDescription() const override { return local; }
    void setRemoteDescription(const RtcDescription& d) override {
        if (throwOnRemote) throw RtcError("refused by peer");
        remotes.push_back(d);
    }
    void addRemoteCandidate(const std::string& c, const std::string& mid) override {
        if (!throwOnCandidate.empty() && c.find(throwOnCandidate) != std::string::npos)
            throw RtcError("bad cand");
        candidates.emplace_back(c, mid);
    }
    std::optional<uint64_t> packetsReceived() const override { return received; }
    void close() override { closed = true; }

    std::shared_ptr<FakeChannel> channel(const std::string& label) const {
        for (auto& c : channels)
            if (c->name == label) return c;
        return nullptr;
    }
    // Produces an offer as a real peer would after the first channel.
    void emitOffer(const std::string& sdp) {
        local = RtcDescription{"offer", sdp};
        cb.onLocalDescription(*local);
    }
};

struct FakeFactory : RtcFactory {
    std::vector<std::shared_ptr<FakePeer>> peers;
    std::shared_ptr<RtcPeerConnection> createPeerConnection(const RtcPeerConfig& config,
                                                            RtcPeerCallbacks cb) override {
        auto p = std::make_shared<FakePeer>();
        p->config = config;
        p->cb = std::move(cb);
        peers.push_back(p);
        return p;
    }
    FakePeer& last() { return *peers.back(); }
};

struct FakeSignaling : ISignalingClient {
    std::map<std::string, SignalingHandler> handlers;
    std::vector<Json> sent;
    bool connect() override { return true; }
    void disconnect() override {}
    void send(const Json& m) override { sent.push_back(m); }
    void poll() override {}
    void on(const std::string& type, SignalingHandler h) override { handlers[type] = std::move(h); }
    bool isConnected() const override { return true; }
    void deliver(const Json& m) {
        auto it = handlers.find(m.value("type", ""));
        if (it != handlers.end()) it->second(m);
    }
    std::vector<Json> sentOfType(const std::string& type) const {
        std::vector<Json> out;
        for (auto& m : sent)
            if (m.value("type", "") == type) out.push_back(m);
        return out;
    }
};

// Collects the log text written while it lives (substring queries).
class TextLogCapture {
  public:
    TextLogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(out_)) {
        sink_->set_pattern("%l|%v");
        kvd::test::attachLogSink(sink_);
        oldLevel_ = logger().level();
        logger().set_level(spdlog::level::debug);
    }
    ~TextLogCapture() {
        kvd::test::detachLogSink(sink_);
        logger().set_level(oldLevel_);
    }
    std::string text() const { return out_.str(); }
    size_t count(const std::string& needle) const {
        const std::string t = out_.str();
        size_t n = 0;
        for (size_t p = t.find(needle); p != std::string::npos; p = t.find(needle, p + 1)) ++n;
        return n;
    }
    bool has(const std::string& needle) const { return count(needle) > 0; }

  private:
    std::ostringstream out_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
    spdlog::level::level_enum oldLevel_;
};

}  // namespace kvd::test
