#include "webrtc/peer_connection_manager.h"

#include <gtest/gtest.h>

#include "unit/webrtc/fakes.h"

namespace kvd {
namespace {

using test::FakeChannel;
using test::FakeFactory;
using test::FakePeer;
using test::FakeSignaling;
using test::TextLogCapture;

const std::string kOffer =
    "v=0\r\nm=video 0 UDP/TLS/RTP/SAVPF 96\r\na=mid:video\r\nm=application 0 UDP/DTLS/SCTP "
    "webrtc-datachannel\r\n";
const std::string kAnswer =
    "v=0\r\na=fingerprint:sha-256 AB:CD\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n";
const std::string kCandidate = "candidate:1 1 UDP 2015363327 10.99.0.1 40000 typ host";

class PcmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        factory = std::make_shared<FakeFactory>();
        pcm = std::make_unique<PeerConnectionManager>(factory, clock);
        pcm->signaling = &sig;
        pcm->onViewerActivity = [this] { ++activity; };
        ASSERT_TRUE(pcm->initialize());
        pcm->registerPeerJoined();
    }
    FakePeer& peer() { return factory->last(); }
    void join(bool synthetic = false) {
        sig.deliver({{"type", "peer_joined"}, {"role", "viewer"}, {"synthetic", synthetic}});
    }
    void joinAndOffer() {
        join();
        peer().emitOffer(kOffer);
    }
    void answer(const Json& sdp = kAnswer) { sig.deliver({{"type", "answer"}, {"sdp", sdp}}); }
    void ice(const std::string& c) {
        sig.deliver({{"type", "ice"}, {"candidate", c}, {"sdpMid", "video"}});
    }
    std::shared_ptr<FakeChannel> openChannel(const std::string& label) {
        auto ch = peer().channel(label);
        ch->open = true;
        return ch;
    }

    ManualClock clock;
    std::shared_ptr<FakeFactory> factory;
    FakeSignaling sig;
    std::unique_ptr<PeerConnectionManager> pcm;
    int activity = 0;
};

TEST_F(PcmTest, InitializeBuildsConfigurationAndGuardsTurnUrls) {
    pcm->reset();
    pcm->setIceServers({"stun:stun.example.org:19302"},
                       {{"turn:turn.example.org:3478?transport=tcp", "u", "p"},
                        {"turn:host:0", "u", "p"},
                        {"stun:wrong.example.org", "u", "p"}});
    TextLogCapture log;
    ASSERT_TRUE(pcm->initialize());
    const auto& cfg = peer().config;
    ASSERT_EQ(cfg.iceServers.size(), 2u);
    EXPECT_EQ(cfg.iceServers[1].kind, RtcIceServer::Kind::Turn);
    EXPECT_EQ(cfg.iceServers[1].transport, "tcp");
    EXPECT_EQ(cfg.iceServers[1].username, "u");
    EXPECT_EQ(cfg.iceServers[1].password, "p");
    EXPECT_TRUE(cfg.enableIceTcp);
    EXPECT_EQ(cfg.portRangeBegin, 49152);
    EXPECT_EQ(cfg.portRangeEnd, 65535);
    EXPECT_EQ(log.count("Skipping invalid TURN URL (rejected by guard)"), 2u);
    EXPECT_TRUE(log.has("Creating PeerConnection with 2 ICE servers, TCP=true"));
    EXPECT_TRUE(log.has("PeerConnection initialized with 1 STUN and 3 TURN servers"));
    EXPECT_EQ(pcm->iceServerCount(), 2);
    // The video section as negotiated.
    EXPECT_EQ(peer().track->init.mid, "video");
    EXPECT_EQ(peer().track->init.payloadType, 96);
    EXPECT_EQ(peer().track->init.fmtp,
              "profile-level-id=42e01f;packetization-mode=1;level-asymmetry-allowed=1");
    for (const char* type : {"answer", "ice", "ping", "join_ack", "turn_refresh", "peer_joined"})
        EXPECT_TRUE(sig.handlers.count(type)) << type;
}

TEST_F(PcmTest, OnlyRealViewerJoinsCreateTheFiveChannels) {
    for (const Json& msg :
         {Json{{"type", "peer_joined"}}, Json{{"type", "peer_joined"}, {"role", "agent"}},
          Json{{"type", "peer_joined"}, {"role", "Viewer"}},
          Json{{"type", "peer_joined"}, {"role", 7}}}) {
        sig.deliver(msg);
        EXPECT_TRUE(peer().channels.empty()) << msg.dump();
    }
    EXPECT_EQ(activity, 0);

    join(/*synthetic=*/true);
    EXPECT_EQ(activity, 0);  // synthetic joins are not viewer activity
    ASSERT_EQ(peer().channels.size(), 5u);
    const char* labels[] = {"video", "control", "file", "input", "chat"};
    for (size_t i = 0; i < 5; ++i) {
        const auto& ch = *peer().channels[i];
        EXPECT_EQ(ch.name, labels[i]);
        const bool input = ch.name == "input";
        EXPECT_EQ(ch.init.ordered, !input) << ch.name;
        EXPECT_EQ(ch.init.maxRetransmits, input ? std::optional<uint16_t>(0) : std::nullopt)
            << ch.name;
    }
}

TEST_F(PcmTest, OfferIsSentWithZeroPortsRewrittenAndSameLength) {
    TextLogCapture log;
    joinAndOffer();
    auto offers = sig.sentOfType("offer");
    ASSERT_EQ(offers.size(), 1u);
    const std::string sdp = offers[0]["sdp"];
    EXPECT_EQ(sdp.size(), kOffer.size());
    EXPECT_NE(sdp.find("m=video 9 UDP"), std::string::npos);
    EXPECT_NE(sdp.find("m=application 9 UDP"), std::string::npos);
    EXPECT_EQ(sdp.find(" 0 UDP"), std::string::npos);
    EXPECT_TRUE(log.has("Sending SDP offer (length=" + std::to_string(kOffer.size()) + ")"));
}

TEST_F(PcmTest, RejoinsResendTheOfferWithinTheLimiter) {
    joinAndOffer();
    EXPECT_EQ(activity, 1);
    join();  // real: at once
    ASSERT_EQ(sig.sentOfType("offer").size(), 2u);
    EXPECT_EQ(sig.sentOfType("offer")[1], sig.sentOfType("offer")[0]);

    TextLogCapture log;
    clock.advanceMs(29999);
    join(true);  // within 30 s of the real resend
    EXPECT_EQ(sig.sentOfType("offer").size(), 2u);
    EXPECT_TRUE(log.has("resendOffer suppressed by C4 limiter"));

    // Synthetic series: one per 30 s, ten in a row in all.
    for (int i = 0; i < 12; ++i) {
        clock.advanceMs(30000);
        join(true);
    }
    EXPECT_EQ(sig.sentOfType("offer").size(), 2u + 9u);  // the real join used one of the ten
    clock.advanceMs(120001);
    join(true);
    EXPECT_EQ(sig.sentOfType("offer").size(), 12u);

    // Once the answer is applied, joins change nothing.
    answer();
    clock.advanceMs(300000);
    join();
    join(true);
    EXPECT_EQ(sig.sentOfType("offer").size(), 12u);
    EXPECT_EQ(peer().channels.size(), 5u);
}

TEST(OfferResendLimiter, SeriesAndPause) {
    OfferResendLimiter lim;
    EXPECT_TRUE(lim.allow(0));
    EXPECT_FALSE(lim.allow(29999));
    EXPECT_TRUE(lim.allow(30000));
    // A refused ask still counts as "seen": steady asks keep the series alive.
    int64_t t = 30000;
    int allowed = 2;
    for (int i = 0; i < 20; ++i) allowed += lim.allow(t += 30000);
    EXPECT_EQ(allowed, 10);
    EXPECT_FALSE(lim.allow(t += 120000));  // exactly 2 minutes is not a pause
    EXPECT_TRUE(lim.allow(t += 120001));
}

TEST_F(PcmTest, AnswerGuard) {
    joinAndOffer();
    const std::string fp = "a=FINGERPRINT:sha-256 00\r\n";
    struct Case {
        Json sdp;
        const char* reason;  // nullptr: accepted
    } cases[] = {
        {"", "empty"},
        {std::string("v=0\r\n") + std::string(kMaxAnswerSdpBytes + 1 - 5, 'x'), "too_large"},
        {"v=0\r\nm=video 9 RTP/SAVPF 96\r\n", "no_fingerprint"},
        {fp + std::string(kMaxAnswerSdpBytes - fp.size(), 'x'), nullptr},
    };
    for (const auto& c : cases) {
        TextLogCapture log;
        const size_t before = peer().remotes.size();
        answer(c.sdp);
        if (c.reason) {
            EXPECT_TRUE(log.has(std::string("Rejected SDP answer (len=") +
                                std::to_string(c.sdp.get<std::string>().size()) + "): " + c.reason))
                << log.text();
            EXPECT_EQ(peer().remotes.size(), before);
            EXPECT_FALSE(pcm->remoteDescriptionSet());
        } else {
            EXPECT_EQ(peer().remotes.size(), before + 1);
            EXPECT_TRUE(pcm->remoteDescriptionSet());
        }
    }
}

TEST_F(PcmTest, MalformedOrRefusedAnswersTakeTheErrorPath) {
    joinAndOffer();
    for (const Json& msg : {Json{{"type", "answer"}}, Json{{"type", "answer"}, {"sdp", 42}}}) {
        TextLogCapture log;
        sig.deliver(msg);
        EXPECT_TRUE(log.has("Failed to set remote SDP answer: ")) << msg.dump();
    }
    // The peer refuses (e.g. an answer rejecting the video section).
    peer().throwOnRemote = true;
    ice(kCandidate);
    TextLogCapture log;
    answer();
    EXPECT_TRUE(log.has("Failed to set remote SDP answer: refused by peer"));
    EXPECT_FALSE(pcm->remoteDescriptionSet());
    EXPECT_EQ(pcm->pendingCandidateCount(), 1u);
    // A later good answer still works and flushes what was waiting.
    peer().throwOnRemote = false;
    answer();
    EXPECT_TRUE(pcm->remoteDescriptionSet());
    EXPECT_EQ(peer().candidates.size(), 1u);
}

TEST(CandidateGuard, Table) {
    const std::string srflx =
        "842163049 1 udp 1677729535 203.0.113.7 51234 typ srflx raddr 0.0.0.0 rport 0";
    struct Case {
        std::string candidate;
        bool ok;
    } cases[] = {
        {"candidate:" + srflx, true},
        {srflx, true},
        {"candidate:1\t1\tUDP\t2015363327\t10.0.0.1\t4000 typ host", true},
        {"candidate:" + srflx.substr(0, srflx.find(" typ ")), false},
        {"candidate:1 1 UDP 2 10.0.0.1 4000 typ", false},  // no " typ " with a type after it
        {"candidate:1 1 UDP typ host", false},             // too few tokens
        {"", false},
        {"candidate:" + srflx + std::string(kMaxCandidateBytes, ' '), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(remoteCandidatePassesGuard(c.candidate), c.ok) << c.candidate;
    std::string exact = "candidate:" + srflx;
    exact += std::string(kMaxCandidateBytes - exact.size(), ' ');
    EXPECT_TRUE(remoteCandidatePassesGuard(exact));
}

TEST_F(PcmTest, CandidatesBeforeTheAnswerAreBufferedThenFlushedInOrder) {
    joinAndOffer();
    TextLogCapture log;
    ice("");  // ignored silently
    ice("garbage");
    EXPECT_EQ(log.count("Dropping malformed remote ICE candidate (failed format guard)"), 1u);
    for (int i = 0; i < 3; ++i)
        ice("candidate:" + std::to_string(i) + " 1 UDP 2 10.0.0.1 4000 typ host");
    EXPECT_EQ(log.count("Remote candidate arrived before SDP answer — buffering"), 3u);
    EXPECT_TRUE(peer().candidates.empty());
    EXPECT_EQ(activity, 1 + 3);
    peer().throwOnCandidate = "candidate:1 ";
    answer();
    ASSERT_EQ(peer().candidates.size(), 2u);  // the failing one is skipped, the flush goes on
    EXPECT_EQ(peer().candidates[0].first, "candidate:0 1 UDP 2 10.0.0.1 4000 typ host");
    EXPECT_EQ(peer().candidates[1].first, "candidate:2 1 UDP 2 10.0.0.1 4000 typ host");
    EXPECT_EQ(peer().candidates[0].second, "video");
    EXPECT_TRUE(log.has("flush addRemoteCandidate failed: bad cand"));
    EXPECT_TRUE(log.has("Set remote SDP answer successfully (3 buffered candidates flushed)"));
    // After the answer they go straight in.
    peer().throwOnCandidate.clear();
    ice(kCandidate);
    EXPECT_EQ(peer().candidates.size(), 3u);
}

TEST_F(PcmTest, RemoteCandidateCapPerConnection) {
    joinAndOffer();
    answer();
    TextLogCapture log;
    for (int i = 0; i < 502; ++i) ice(kCandidate);
    EXPECT_EQ(peer().candidates.size(), 500u);
    EXPECT_EQ(log.count("Remote ICE candidate cap (500) hit — dropping further candidates"), 1u);
    for (int i = 0; i < 5; ++i) ice(kCandidate);
    EXPECT_EQ(log.count("cap (500) hit"), 1u);
    EXPECT_EQ(activity, 1 + 500);
    // A rebuilt connection has a fresh budget.
    pcm->reset();
    ASSERT_TRUE(pcm->initialize());
    EXPECT_EQ(pcm->remoteCandidateCount(), 0);
}

TEST(TurnUrlGuard, Table) {
    struct Case {
        const char* url;
        bool ok;
    } cases[] = {
        {"turn:turn.example.org:3478?transport=udp", true},
        {"turns:turn.example.org", true},
        {"turn:[2001:db8::1]:3478", true},
        {"turn:host:65535", true},
        {"turn:host:0", false},
        {"turn:host:65536", false},
        {"turn::3478", false},
        {"turn:host:", false},
        {"turn:host:34a8", false},
        {"stun:host:3478", false},
        {"turn:", false},
        {"turn:?transport=udp", false},
        {"TURN:host", false},
    };
    for (const auto& c : cases) EXPECT_EQ(turnUrlPassesGuard(c.url), c.ok) << c.url;
}

TEST_F(PcmTest, TurnRefreshReplacesServersForTheNextRebuild) {
    struct Case {
        Json msg;
        const char* log;
        bool applied;
    } cases[] = {
        {{{"type", "turn_refresh"}}, "turn_refresh missing turnServers array — ignoring", false},
        {{{"type", "turn_refresh"}, {"turnServers", "x"}},
         "turn_refresh missing turnServers array",
         false},
        {{{"type", "turn_refresh"},
          {"turnServers", {{{"urls", {"stun:a", 5}}}, {{"urls", "turn:a"}}}}},
         "turn_refresh produced no valid TURN servers — keeping current",
         false},
        {{{"type", "turn_refresh"},
          {"turnServers",
           {{{"urls", {"turn:a:3478", "turn:b:0"}}, {"username", "u"}, {"credential", "c"}},
            {{"urls", {"turns:c"}}}}}},
         "turn_refresh: applying 2 TURN server(s) on next rebuild",
         true},
    };
    for (const auto& c : cases) {
        TextLogCapture log;
        sig.deliver(c.msg);
        EXPECT_TRUE(log.has(c.log)) << c.msg.dump();
        EXPECT_EQ(pcm->takeTurnRefreshPending(), c.applied);
    }
    const auto turn = pcm->turnServers();
    ASSERT_EQ(turn.size(), 2u);
    EXPECT_EQ(turn[0], (IceServerEntry{"turn:a:3478", "u", "c"}));
    EXPECT_EQ(turn[1], (IceServerEntry{"turns:c", "", ""}));
    EXPECT_EQ(factory->peers.size(), 1u);  // the live connection is not touched
}

TEST_F(PcmTest, PingIsAnsweredWithItsTimestamp) {
    sig.deliver({{"type", "ping"}, {"ts", 1733812345678LL}});
    sig.deliver({{"type", "ping"}});
    sig.deliver({{"type", "ping"}, {"ts", "12"}});
    auto pongs = sig.sentOfType("pong");
    ASSERT_EQ(pongs.size(), 3u);
    EXPECT_EQ(pongs[0]["ts"], 1733812345678LL);
    EXPECT_EQ(pongs[1]["ts"], 0);
    EXPECT_EQ(pongs[2]["ts"], 0);
}

TEST_F(PcmTest, LocalCandidatesAreCountedAndSentAsVideoMidZero) {
    joinAndOffer();
    for (const char* c :
         {"candidate:1 1 UDP 1 10.0.0.1 1 typ host",
          "candidate:2 1 UDP 1 1.2.3.4 1 typ srflx raddr x",
          "candidate:3 1 UDP 1 5.6.7.8 1 typ relay raddr y", "candidate:4 1 UDP 1 ::1 1 typ prflx"})
        peer().cb.onLocalCandidate(c, "application0");
    const auto counters = pcm->iceCounters();
    EXPECT_EQ(counters.host, 1u);
    EXPECT_EQ(counters.srflx, 1u);
    EXPECT_EQ(counters.relay, 1u);
    EXPECT_EQ(counters.other, 1u);
    EXPECT_TRUE(pcm->sawNonHostCandidate());
    auto sent = sig.sentOfType("ice");
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1], (Json{{"type", "ice"},
                             {"candidate", "candidate:2 1 UDP 1 1.2.3.4 1 typ srflx raddr x"},
                             {"sdpMid", "video"},
                             {"sdpMLineIndex", 0}}));
}

TEST_F(PcmTest, StateChangesAndGatheringDeadline) {
    int connected = 0, disconnected = 0;
    pcm->onConnected = [&] { ++connected; };
    pcm->onDisconnected = [&] { ++disconnected; };
    peer().cb.onGatheringStateChange(RtcGatheringState::InProgress);
    clock.advanceMs(19999);
    EXPECT_FALSE(pcm->gatheringDeadlineExceeded());
    clock.advanceMs(1);
    EXPECT_TRUE(pcm->gatheringDeadlineExceeded());
    peer().cb.onStateChange(RtcPeerState::Connecting);
    peer().cb.onStateChange(RtcPeerState::Connected);
    EXPECT_TRUE(pcm->isConnected());
    EXPECT_FALSE(pcm->gatheringDeadlineExceeded());  // disarmed by the connection
    EXPECT_EQ(connected, 1);
    for (auto s : {RtcPeerState::Disconnected, RtcPeerState::Failed, RtcPeerState::Closed})
        peer().cb.onStateChange(s);
    EXPECT_FALSE(pcm->isConnected());
    EXPECT_EQ(disconnected, 3);
    peer().cb.onGatheringStateChange(RtcGatheringState::InProgress);
    peer().cb.onGatheringStateChange(RtcGatheringState::Complete);
    clock.advanceMs(60000);
    EXPECT_FALSE(pcm->gatheringDeadlineExceeded());
}

TEST_F(PcmTest, ChannelMessagesReachTheirCallbacks) {
    std::vector<std::string> got;
    pcm->onControlText = [&](const std::string& t) { got.push_back("control:" + t); };
    pcm->onChatText = [&](const std::string& t) { got.push_back("chat:" + t); };
    pcm->onInputBinary = [&](const uint8_t*, size_t n) {
        got.push_back("input:" + std::to_string(n));
    };
    pcm->onFileBinary = [&](const uint8_t* d, size_t n) {
        if (n == 1 && d[0] == 0xEE) throw std::runtime_error("disk full");
        if (n == 1 && d[0] == 0xEF) throw 7;
        got.push_back("file:" + std::to_string(n));
    };
    pcm->onQualityRequest = [&](int h, int f) {
        got.push_back("quality:" + std::to_string(h) + "/" + std::to_string(f));
    };
    join();
    const uint8_t two[2] = {1, 2};
    const uint8_t bad[1] = {0xEE}, odd[1] = {0xEF};
    auto& p = peer();
    p.channel("control")->cb.onText("{\"type\":\"x\"}");
    p.channel("control")->cb.onBinary(two, 2);  // binary control goes to the input handler
    p.channel("input")->cb.onBinary(two, 1);
    p.channel("file")->cb.onBinary(two, 2);
    p.channel("chat")->cb.onText("hi");
    p.channel("video")->cb.onText("{\"cmd\":\"quality\",\"maxHeight\":720,\"fps\":24}");
    p.channel("video")->cb.onText("{\"cmd\":\"quality\"}");
    p.channel("video")->cb.onText("not json");
    p.channel("video")->cb.onText("{\"cmd\":\"other\",\"maxHeight\":1}");
    TextLogCapture log;
    p.channel("file")->cb.onBinary(bad, 1);
    p.channel("file")->cb.onBinary(odd, 1);
    EXPECT_EQ(got,
              (std::vector<std::string>{"control:{\"type\":\"x\"}", "input:2", "input:1", "file:2",
                                        "chat:hi", "quality:720/24", "quality:0/0"}));
    EXPECT_TRUE(log.has("File DataChannel handler threw (message dropped): disk full"));
    EXPECT_TRUE(log.has("File DataChannel handler threw (message dropped): unknown"));
}

TEST_F(PcmTest, VideoChannelOpenWarnsWhenChunksCannotFit) {
    join();
    auto video = openChannel("video");
    {
        TextLogCapture log;
        video->maxSize = 262144;
        video->cb.onOpen();
        EXPECT_TRUE(log.has("Video DataChannel OPENED — maxMessageSize=262144"));
        EXPECT_FALSE(log.has("below one video chunk"));
    }
    TextLogCapture log;
    video->maxSize = 65536;
    video->cb.onOpen();
    EXPECT_EQ(log.count("maxMessageSize=65536 is below one video chunk (204812 bytes)"), 1u);
}

TEST_F(PcmTest, SendHelpersCheckTheirPreconditions) {
    const uint8_t bytes[3] = {1, 2, 3};
    // No channels yet: dropped without a trace.
    {
        TextLogCapture log;
        pcm->sendControlJson("{}");
        pcm->sendChatJson("{}");
        pcm->sendInputBinary(bytes, 3);
        EXPECT_EQ(log.text(), "");
    }
    join();
    auto control = peer().channel("control");
    pcm->sendControlJson("{}");  // exists but not open
    EXPECT_TRUE(control->texts.empty());

    struct Case {
        const char* label;
        std::function<void()> send;
        const char* failure;
        bool binary;
    } cases[] = {
        {"control", [&] { pcm->sendControlJson("{\"a\":1}"); }, "sendControlJson failed: boom",
         false},
        {"chat", [&] { pcm->sendChatJson("{\"a\":1}"); }, "sendChatJson failed: boom", false},
        {"control", [&] { pcm->sendKeepalive(); }, "keepalive send failed: boom", false},
        {"control", [&] { pcm->sendControlBinary(bytes, 3); }, "sendControlBinary failed: boom",
         true},
        {"input", [&] { pcm->sendInputBinary(bytes, 3); }, "sendInputBinary failed: boom", true},
        {"file", [&] { pcm->sendFileBinary(bytes, 3); }, "sendFileBinary failed: boom", true},
    };
    for (auto& c : cases) {
        auto ch = openChannel(c.label);
        ch->texts.clear();
        ch->binaries.clear();
        c.send();
        EXPECT_EQ(ch->texts.size() + ch->binaries.size(), 1u) << c.label;
        if (c.binary) {
            EXPECT_EQ(ch->binaries.back(), (std::vector<uint8_t>{1, 2, 3}));
        }
        ch->throwOnSend = true;
        TextLogCapture log;
        c.send();
        EXPECT_EQ(log.count(c.failure), 1u) << c.failure;
        ch->throwOnSend = false;
    }
    control->texts.clear();
    EXPECT_TRUE(pcm->sendKeepalive());
    EXPECT_EQ(control->texts, std::vector<std::string>{R"({"type":"keepalive"})"});
    TextLogCapture log;
    auto input = peer().channel("input");
    input->binaries.clear();
    pcm->sendInputBinary(nullptr, 3);
    pcm->sendInputBinary(bytes, 0);
    EXPECT_TRUE(input->binaries.empty());
    EXPECT_EQ(log.text(), "");
}

TEST_F(PcmTest, ResetDropsTheConnectionAndIgnoresItsLateEvents) {
    int connected = 0;
    pcm->onConnected = [&] { ++connected; };
    std::vector<std::string> texts;
    pcm->onControlText = [&](const std::string& t) { texts.push_back(t); };
    joinAndOffer();
    ice(kCandidate);
    peer().cb.onLocalCandidate("candidate:2 1 UDP 1 1.2.3.4 1 typ srflx", "video");
    peer().cb.onGatheringStateChange(RtcGatheringState::InProgress);
    auto old = factory->peers.back();
    auto oldControl = old->channel("control");
    old->received = 7;
    EXPECT_EQ(pcm->packetsReceived(), 7u);

    TextLogCapture log;
    pcm->reset();
    EXPECT_EQ(pcm->packetsReceived(), std::nullopt);
    EXPECT_TRUE(log.has("PeerConnection reset — ready for rebuild"));
    EXPECT_TRUE(old->closed);
    for (auto& ch : old->channels) EXPECT_TRUE(ch->closed) << ch->name;
    EXPECT_FALSE(pcm->hasPeer());
    EXPECT_EQ(pcm->videoChannel(), nullptr);
    EXPECT_EQ(pcm->videoTrack(), nullptr);
    EXPECT_FALSE(pcm->sawNonHostCandidate());
    EXPECT_EQ(pcm->iceCounters().srflx, 0u);
    EXPECT_EQ(pcm->pendingCandidateCount(), 0u);
    clock.advanceMs(30000);
    EXPECT_FALSE(pcm->gatheringDeadlineExceeded());

    // Events of the dead connection change nothing.
    old->cb.onStateChange(RtcPeerState::Connected);
    oldControl->cb.onText("late");
    EXPECT_EQ(connected, 0);
    EXPECT_TRUE(texts.empty());
    join();  // no peer: nothing happens
    EXPECT_EQ(old->channels.size(), 5u);

    // The next viewer gets a fresh connection with fresh channels.
    ASSERT_TRUE(pcm->initialize());
    pcm->registerPeerJoined();
    joinAndOffer();
    EXPECT_EQ(peer().channels.size(), 5u);
    EXPECT_NE(&peer(), old.get());
    EXPECT_EQ(sig.sentOfType("offer").size(), 2u);
}

TEST(SdpRewrite, ZeroPortsAndBitrate) {
    EXPECT_EQ(
        rewriteZeroPorts("m=audio 0 X\r\nm=video 0 Y\r\nm=application 0 Z\r\nm=video 10 Q\r\n"),
        "m=audio 9 X\r\nm=video 9 Y\r\nm=application 9 Z\r\nm=video 10 Q\r\n");
    struct Case {
        std::string in, out;
    } cases[] = {
        {"v=0\r\nm=video 9 P 96\r\nc=IN IP4 0.0.0.0\r\na=x\r\nm=application 9 D\r\nc=IN IP4 "
         "0.0.0.0\r\n",
         "v=0\r\nm=video 9 P 96\r\nc=IN IP4 0.0.0.0\r\nb=AS:2500\r\na=x\r\nm=application 9 "
         "D\r\nc=IN IP4 0.0.0.0\r\n"},
        {"v=0\nm=video 9 P 96\na=x\n", "v=0\nm=video 9 P 96\nb=AS:2500\na=x\n"},
        {"m=video 9 P\r\nb=AS:100\r\n", "m=video 9 P\r\nb=AS:100\r\n"},
        {"m=application 9 D\r\n", "m=application 9 D\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(insertVideoBitrate(c.in, 2500), c.out);
    EXPECT_EQ(insertVideoBitrate(cases[0].in, 0), cases[0].in);
    EXPECT_EQ(insertSctpMaxMessageSize("m=application 9 D\r\na=sctp-port:5000\r\na=x\r\n", 262144),
              "m=application 9 D\r\na=sctp-port:5000\r\na=max-message-size:262144\r\na=x\r\n");
    EXPECT_EQ(insertSctpMaxMessageSize("a=sctp-port:5000\r\na=max-message-size:1\r\n", 262144),
              "a=sctp-port:5000\r\na=max-message-size:1\r\n");
}

TEST(IceServerUrl, Parsing) {
    auto t = parseIceServerUrl("turns:relay.example.org?transport=tcp");
    EXPECT_EQ(t.kind, RtcIceServer::Kind::Turn);
    EXPECT_TRUE(t.tls);
    EXPECT_EQ(t.port, 5349);
    EXPECT_EQ(t.transport, "tcp");
    auto s = parseIceServerUrl("stun:[2001:db8::1]:3479");
    EXPECT_EQ(s.host, "2001:db8::1");
    EXPECT_EQ(s.port, 3479);
    for (const char* bad :
         {"http://x", "turn:", "turn:u:p@host:3478", "stun:host:70000", "turn:host?transport=sctp"})
        EXPECT_THROW(parseIceServerUrl(bad), RtcError) << bad;
}

}  // namespace
}  // namespace kvd
