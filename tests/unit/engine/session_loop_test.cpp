#include <gtest/gtest.h>

#include "engine/session_loop.h"
#include "platform/session_env.h"
#include "signaling/signaling.h"

namespace kvd {
namespace {

struct FakePeer : SessionPeer {
    bool deadline = false, turnRefresh = false, answered = false, nonHost = false, servers = true;
    bool initOk = true;
    int resets = 0, inits = 0, registers = 0;
    bool lastResetOverDc = false;
    bool gatheringDeadlineExceeded() const override { return deadline; }
    bool takeTurnRefreshPending() override { return std::exchange(turnRefresh, false); }
    bool remoteDescriptionSet() const override { return answered; }
    bool sawNonHostCandidate() const override { return nonHost; }
    bool hasIceServers() const override { return servers; }
    void reset(bool overDc) override {
        ++resets;
        lastResetOverDc = overDc;
        answered = false;
        deadline = false;
    }
    bool initialize() override {
        ++inits;
        return initOk;
    }
    void registerPeerJoined() override { ++registers; }
    IceCounters iceCounters() const override { return {}; }
    std::optional<uint64_t> received = 0;
    int probes = 0;
    // A live viewer answers every probe.
    bool answersProbes = true;
    std::optional<uint64_t> packetsReceived() const override { return received; }
    void probeViewer() override {
        ++probes;
        if (answersProbes && received) ++*received;
    }
};

struct FakeSignaling : ISignalingClient {
    bool up = true;
    int connects = 0, polls = 0;
    bool connectResult = true;
    std::function<void()> whileConnecting;
    bool connect() override {
        ++connects;
        if (whileConnecting) whileConnecting();
        up = connectResult;
        return connectResult;
    }
    void disconnect() override { up = false; }
    void send(const Json&) override {}
    void poll() override { ++polls; }
    void on(const std::string&, SignalingHandler) override {}
    bool isConnected() const override { return up; }
};

struct FakePower : platform::PowerRequest {
    std::vector<bool> calls;
    bool setKeepAwake(bool on) override {
        calls.push_back(on);
        return true;
    }
    bool keepingAwake() const override { return !calls.empty() && calls.back(); }
};

struct LoopFixture : ::testing::Test {
    ManualClock clock{100'000};
    LifecycleState st;
    FakePeer peer;
    FakeSignaling sig;
    FakePower power;
    std::atomic<bool> running{true};
    std::atomic<int32_t> exitReason{0};
    std::atomic<int64_t> heartbeat{0};
    std::vector<int64_t> rebuildTimes;
    int indicatorShown = 0, indicatorHidden = 0, dropped = 0;
    std::unique_ptr<SessionLoop> loop;

    bool displayGone = false;

    void make(bool terminalOnly = false, int64_t exitWindowMs = 45'000,
              int64_t viewerSilenceMs = PeerLiveness::kDefaultSilenceMs) {
        SessionLoop::Hooks h;
        h.terminalOnly = terminalOnly;
        h.exitWindowMs = exitWindowMs;
        h.viewerSilenceMs = viewerSilenceMs;
        h.displayLost = [this] { return displayGone; };
        h.sleepMs = [this](int64_t ms) { clock.advanceMs(ms); };
        h.onRebuilt = [this](int64_t now) { rebuildTimes.push_back(now); };
        h.showIndicator = [this](bool) { ++indicatorShown; };
        h.hideIndicator = [this] { ++indicatorHidden; };
        h.dropConnectionState = [this] { ++dropped; };
        loop = std::make_unique<SessionLoop>(st, peer, sig, &power, clock, h, running, exitReason,
                                             heartbeat, false);
    }
    // Runs passes until the loop ends or `ms` of fake time passed.
    void runFor(int64_t ms) {
        const int64_t end = clock.nowMs() + ms;
        while (running && clock.nowMs() < end && loop->pass()) {
        }
    }
    void SetUp() override { make(); }
};

TEST_F(LoopFixture, ViewerLeavesAndNobodyReturnsExitsWithSix) {
    loop->onConnected();
    runFor(1000);
    EXPECT_EQ(power.calls, std::vector<bool>{true});
    EXPECT_EQ(indicatorShown, 1);
    loop->onDisconnected();
    const int64_t leftAt = clock.nowMs();
    runFor(100);
    ASSERT_EQ(rebuildTimes.size(), 1u);  // at once: attempts were reset while connected
    EXPECT_LE(rebuildTimes[0] - leftAt, 20);
    EXPECT_TRUE(st.exitWindowArmed);
    EXPECT_EQ(indicatorHidden, 1);
    EXPECT_EQ(power.calls, (std::vector<bool>{true, false}));
    runFor(60'000);
    EXPECT_FALSE(running);
    EXPECT_EQ(exitReason, 6);
    EXPECT_NEAR(clock.nowMs() - rebuildTimes[0], 45'000, 20);
}

TEST_F(LoopFixture, ShortenedExitWindowIsHonoured) {
    make(false, 2'000);
    loop->onConnected();
    runFor(100);
    loop->onDisconnected();
    runFor(10'000);
    EXPECT_EQ(exitReason, 6);
    ASSERT_EQ(rebuildTimes.size(), 1u);
    EXPECT_NEAR(clock.nowMs() - rebuildTimes[0], 2'000, 20);
}

TEST_F(LoopFixture, DisplayServerGoneEndsTheSessionUnlessItComesBack) {
    loop->onConnected();
    // A short loss that a new connection ends keeps the session.
    displayGone = true;
    runFor(1'500);
    displayGone = false;
    runFor(100);
    displayGone = true;
    runFor(1'500);
    EXPECT_TRUE(running);
    // Gone for good: exit 1 after two seconds, viewer or not.
    runFor(10'000);
    EXPECT_FALSE(running);
    EXPECT_EQ(exitReason, 1);
    EXPECT_TRUE(rebuildTimes.empty());
}

TEST_F(LoopFixture, FreshActivityDefersExitUntilItGoesStale) {
    loop->onConnected();
    runFor(100);
    loop->onDisconnected();
    runFor(100);
    const int64_t deadline = st.exitDeadlineMs;
    runFor(40'000);
    loop->onViewerActivity();  // a viewer rejoins and negotiates
    const int64_t activity = clock.nowMs();
    runFor(30'000);
    EXPECT_FALSE(running);
    EXPECT_EQ(exitReason, 6);
    EXPECT_TRUE(st.exitDeferralLogged);
    EXPECT_GT(clock.nowMs(), deadline);
    EXPECT_NEAR(clock.nowMs() - activity, 15'000, 20);
}

TEST_F(LoopFixture, ConnectingViewerDisarmsWindow) {
    loop->onConnected();
    runFor(100);
    loop->onDisconnected();
    runFor(30'000);
    loop->onConnected();
    runFor(60'000);
    EXPECT_TRUE(running);
    EXPECT_FALSE(st.exitWindowArmed);
}

TEST_F(LoopFixture, RebuildBackoffDoublesToThirtySeconds) {
    // Requests keep coming while nobody connects (e.g. the gathering deadline).
    for (int i = 0; i < 100'000 && rebuildTimes.size() < 8; ++i) {
        peer.deadline = true;
        loop->pass();
    }
    ASSERT_GE(rebuildTimes.size(), 8u);
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < 8; ++i)
        gaps.push_back((rebuildTimes[i] - rebuildTimes[i - 1] + 500) / 1000);
    EXPECT_EQ(gaps, (std::vector<int64_t>{1, 2, 4, 8, 16, 30, 30}));
    EXPECT_FALSE(st.exitWindowArmed);  // nobody ever connected
    EXPECT_TRUE(running);
}

TEST_F(LoopFixture, ThreeAnsweredButUnconnectedGenerationsGiveUpWith21) {
    peer.nonHost = true;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 4 && running; ++i) {
        peer.answered = true;
        peer.deadline = true;
        runFor(40'000);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(running);
    EXPECT_EQ(exitReason, 21);
    EXPECT_EQ(out,
              "KELVANDRUM_ERROR code=21 msg=ice-never-connected-across-3-answered-generations\n");
    EXPECT_EQ(rebuildTimes.size(), 2u);
}

TEST_F(LoopFixture, CertainIceDeathGivesUpAtOnce) {
    peer.answered = true;
    peer.deadline = true;
    testing::internal::CaptureStdout();
    runFor(1000);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(exitReason, 21);
    EXPECT_EQ(
        out,
        "KELVANDRUM_ERROR code=21 msg=ice-dead-udp-fingerprint-after-1-answered-generations\n");
}

TEST_F(LoopFixture, StallSignalingAndTurnRefreshRequestRebuilds) {
    loop->onConnected();
    st.lastFrameSentMs = clock.nowMs();
    runFor(5'100);
    EXPECT_EQ(rebuildTimes.size(), 1u);  // stalled stream
    EXPECT_EQ(st.lastFrameSentMs, -1);

    loop->onConnected();
    sig.up = false;
    runFor(50);
    EXPECT_TRUE(st.reconnectRequested);
    SignalingThread t(sig, st, running);
    sig.connectResult = false;
    // The main loop keeps passing while the reconnect blocks, and the
    // signaling thread goes on passing after the failure: one attempt, whose
    // failure is not hidden by a second request, then the rebuild.
    sig.whileConnecting = [this] { loop->pass(); };
    t.passOnce();
    sig.whileConnecting = nullptr;
    EXPECT_TRUE(st.signalingReconnectFailed);
    for (int i = 0; i < 10; ++i) {
        t.passOnce();
        loop->pass();
        clock.advanceMs(5);
    }
    EXPECT_EQ(sig.connects, 1);
    EXPECT_EQ(rebuildTimes.size(), 2u);

    loop->onConnected();
    peer.turnRefresh = true;
    runFor(50);
    EXPECT_EQ(rebuildTimes.size(), 3u);
    EXPECT_EQ(dropped, 3);
}

TEST_F(LoopFixture, DisconnectDuringRebuildIgnoredAndReinitFailureStops) {
    st.rebuildInProgress = true;
    loop->onDisconnected();
    EXPECT_FALSE(st.rebuildRequested);
    st.rebuildInProgress = false;

    st.videoOverDataChannel = true;
    peer.initOk = false;
    loop->onConnected();
    loop->onDisconnected();
    runFor(100);
    EXPECT_FALSE(running);
    EXPECT_EQ(exitReason, 0);
    EXPECT_TRUE(peer.lastResetOverDc);
    EXPECT_FALSE(st.videoOverDataChannel);
}

// A viewer killed without a goodbye leaves the connection "up": its
// silence takes the departure route (indicator hidden, rebuild, exit window,
// exit 6), with video and without.
TEST_F(LoopFixture, SilentViewerIsTreatedAsDeparted) {
    for (const bool terminalOnly : {false, true}) {
        SCOPED_TRACE(terminalOnly ? "terminal-only" : "video");
        st.hadViewer = false;
        running = true;
        exitReason = 0;
        rebuildTimes.clear();
        indicatorHidden = 0;
        peer = FakePeer{};
        make(terminalOnly, 2'000, 15'000);
        loop->onConnected();
        // Idle but alive: every keepalive probe is acknowledged.
        runFor(60'000);
        EXPECT_TRUE(rebuildTimes.empty());
        EXPECT_GE(peer.probes, 25);
        peer.answersProbes = false;
        const int64_t goneAt = clock.nowMs();
        runFor(30'000);
        ASSERT_EQ(rebuildTimes.size(), 1u);
        EXPECT_NEAR(rebuildTimes[0] - goneAt, 15'000, 2'100);  // within one probe spacing
        EXPECT_GE(rebuildTimes[0] - goneAt, 13'000);
        EXPECT_EQ(indicatorHidden, 1);
        EXPECT_FALSE(running);
        EXPECT_EQ(exitReason, 6);
        EXPECT_NEAR(clock.nowMs() - rebuildTimes[0], 2'000, 60);
    }
}

TEST_F(LoopFixture, TerminalOnlyBeatsHeartbeat) {
    make(true);
    runFor(200);
    EXPECT_EQ(heartbeat, clock.nowMs() - 50);
}

}  // namespace
}  // namespace kvd
