#include <gtest/gtest.h>

#include "common/process_state.h"
#include "engine/config.h"
#include "engine/media_pipeline.h"
#include "engine/session_loop.h"
#include "media_fakes.h"

namespace kvd {
namespace {

using test::CaptureScript;
using test::EncoderState;
using test::FakeCapture;
using test::FakeEncoder;
using test::MediaLog;
using test::Reconfigure;

const std::string kFallbackGdi = R"({"type":"capture_fallback","mode":"gdi"})";
const std::string kFallbackShm = R"({"type":"capture_fallback","mode":"shm"})";

class Media : public ::testing::Test {
  protected:
    EngineConfig cfg;
    LifecycleState life;
    ProcessState ps;
    ManualClock clock{1'000'000};
    std::vector<int64_t> sleeps;
    test::FakeMediaPeer peer;
    test::FakeRecorder recorder;
    bool withRecorder = true;
    bool recordingEnabled = true;
    MediaLog log;

    // Template per backend; every capture made gets its own copy.
    std::map<CaptureKind, CaptureScript> tmpl{{CaptureKind::Dxgi, {}},
                                              {CaptureKind::Gdi, {}},
                                              {CaptureKind::ShmV2, {}},
                                              {CaptureKind::ShmV1, {}}};
    std::map<CaptureKind, std::vector<std::shared_ptr<CaptureScript>>> made;
    bool shmMakersPresent = true;
    bool encoderBuildOk = true;
    bool encoderReconfigureOk = true;
    std::vector<std::shared_ptr<EncoderState>> encoders;
    std::vector<Json> transitions;
    std::vector<std::array<int32_t, 4>> bounds;
    int displayReports = 0, displayClears = 0, listRefreshes = 0, bridgeReleases = 0;
    int statusReports = 0;
    bool statusEnabled = false;
    int32_t reenumIndex = -1;
    bool secure = false;
    std::unique_ptr<MediaPipeline> mp;

    std::unique_ptr<ScreenCapture> makeOf(CaptureKind k) {
        auto s = std::make_shared<CaptureScript>(tmpl[k]);
        made[k].push_back(s);
        return std::make_unique<FakeCapture>(s);
    }
    int madeCount(CaptureKind k) { return static_cast<int>(made[k].size()); }
    CaptureScript& live(CaptureKind k) { return *made[k].back(); }
    EncoderState& enc() { return *encoders.back(); }

    void build() {
        MediaPipeline::Deps d;
        d.captures.makeDxgi = [this] { return makeOf(CaptureKind::Dxgi); };
        d.captures.makeGdi = [this] { return makeOf(CaptureKind::Gdi); };
        if (shmMakersPresent) {
            d.captures.makeShmV2 = [this](int32_t timeoutMs, const std::string& sid) {
                EXPECT_EQ(timeoutMs, 5000);
                EXPECT_EQ(sid, cfg.sessionId);
                return makeOf(CaptureKind::ShmV2);
            };
            d.captures.makeShmV1 = [this](const std::string&) {
                return makeOf(CaptureKind::ShmV1);
            };
        }
        d.encoderFactory = [this](const EncoderConfig& c) -> std::unique_ptr<VideoEncoder> {
            if (!encoderBuildOk) return nullptr;
            auto s = std::make_shared<EncoderState>();
            s->reconfigureOk = encoderReconfigureOk;
            auto e = std::make_unique<FakeEncoder>(s);
            e->init(c);
            encoders.push_back(s);
            return e;
        };
        d.installEncoderErrorCallback = [](VideoEncoder& e) { e.errorCallback = [](auto&) {}; };
        d.peer = &peer;
        d.sendTransition = [this](const Json& j) { transitions.push_back(j); };
        d.setInputBounds = [this](int32_t x, int32_t y, int32_t w, int32_t h) {
            bounds.push_back({x, y, w, h});
        };
        d.monitors.connectionStarted = [](std::function<void(const std::string&)>) {};
        d.monitors.refreshList = [this] { ++listRefreshes; };
        d.monitors.reenumerateAndAnnounce = [this] { return reenumIndex; };
        d.reportDisplayState = [this] { ++displayReports; };
        d.clearDisplayState = [this] { ++displayClears; };
        d.statusReportEnabled = [this] { return statusEnabled; };
        d.sendStatusReport = [this] { ++statusReports; };
        d.secureDesktopActive = [this] { return secure; };
        d.bridgeRelease = [this] { ++bridgeReleases; };
        d.recorder = withRecorder ? &recorder : nullptr;
        d.recordingEnabled = [this] { return recordingEnabled; };
        d.sleepMs = [this](int64_t ms) {
            sleeps.push_back(ms);
            clock.advanceMs(ms);
        };
        mp = std::make_unique<MediaPipeline>(cfg, life, ps, clock, std::move(d));
    }

    // Started with a capture and encoder, a viewer connected, the sender made,
    // and the first pass (size check, first keyframe) done.
    void streaming() {
        build();
        mp->startupCapture();
        ASSERT_EQ(mp->startupEncoder(), StartupEncoderResult::Ok);
        life.connected = true;
        mp->publishGeometry();
        mp->housekeeping();
        ASSERT_NE(mp->sink(), nullptr);
        ASSERT_TRUE(mp->framePass());
    }

    // One session-loop pass as the loop makes it.
    bool loopPass() {
        mp->publishGeometry();
        mp->housekeeping();
        return mp->framePass();
    }

    // A pass far enough from the last frame that pacing lets it through.
    void passAfter(int64_t ms) {
        clock.advanceMs(ms);
        loopPass();
    }
};

// ---------------------------------------------------------------- start-up

TEST_F(Media, StartupPrefersDxgiThenGdiAndChecksTheSize) {
    struct Case {
        const char* name;
        bool unattended, dxgiOk, gdiOk;
        int32_t w, h;
        CaptureKind expected;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"dxgi", false, true, true, 1920, 1080, CaptureKind::Dxgi,
         "info|Screen capture: 1920x1080"},
        {"gdi fallback", false, false, true, 1920, 1080, CaptureKind::Gdi,
         "info|GDI fallback capture at startup: 1920x1080"},
        {"none", false, false, false, 1920, 1080, CaptureKind::None,
         "warning|GDI fallback also failed/invalid — will retry after TCP connect"},
        {"too large", false, true, true, 16385, 1080, CaptureKind::None,
         "warning|DXGI init failed/invalid — trying GDI fallback (display may be asleep or "
         "locked)"},
        {"largest valid", false, true, true, 16384, 16384, CaptureKind::Dxgi,
         "Screen capture: 16384x16384"},
        {"unattended", true, true, true, 1280, 1024, CaptureKind::Gdi,
         "info|Unattended GDI capture: 1280x1024"},
        {"unattended zero size", true, true, true, 0, 1024, CaptureKind::None,
         "warning|GDI capture failed/invalid in unattended mode — will retry in main loop"},
    };
    for (const auto& c : cases) {
        made.clear();
        cfg.unattendedMode = c.unattended;
        tmpl[CaptureKind::Dxgi].initOk = c.dxgiOk;
        tmpl[CaptureKind::Gdi].initOk = c.gdiOk;
        for (auto k : {CaptureKind::Dxgi, CaptureKind::Gdi}) {
            tmpl[k].width = c.w;
            tmpl[k].height = c.h;
        }
        MediaLog caseLog;
        build();
        mp->startupCapture();
        EXPECT_EQ(mp->captureKind(), c.expected) << c.name;
        EXPECT_TRUE(caseLog.has(c.line)) << c.name;
        if (c.unattended) {
            EXPECT_EQ(madeCount(CaptureKind::Dxgi), 0) << c.name;
        }
    }
}

TEST_F(Media, StartupEncoderFailureDropsTheCaptureUnlessUnattended) {
    build();
    EXPECT_EQ(mp->startupEncoder(), StartupEncoderResult::NoCapture);
    encoderBuildOk = false;
    mp->startupCapture();
    EXPECT_EQ(mp->startupEncoder(), StartupEncoderResult::Failed);
    EXPECT_TRUE(log.has("error|Failed to initialize encoder"));
    EXPECT_EQ(mp->capture(), nullptr);

    cfg.unattendedMode = true;
    build();
    mp->startupCapture();
    EXPECT_EQ(mp->startupEncoder(), StartupEncoderResult::Failed);
    EXPECT_NE(mp->capture(), nullptr);  // the engine exits with 4

    encoderBuildOk = true;
    cfg.unattendedMode = false;
    build();
    mp->startupCapture();
    EXPECT_EQ(mp->startupEncoder(), StartupEncoderResult::Ok);
    EXPECT_EQ(enc().config.width, 1920);
    EXPECT_EQ(enc().config.height, 1080);
    EXPECT_EQ(enc().config.fps, cfg.targetFps);
    EXPECT_EQ(enc().config.bitrateKbps, cfg.maxBitrate);
    EXPECT_EQ(enc().config.keyframeIntervalSec, 5);
}

TEST_F(Media, FramePassNeedsConnectionSenderCaptureAndEncoder) {
    build();
    mp->startupCapture();
    mp->startupEncoder();
    EXPECT_FALSE(mp->framePass());  // not connected, no sender
    life.connected = true;
    EXPECT_FALSE(mp->framePass());
    peer.trackOpen = false;
    mp->housekeeping();
    EXPECT_EQ(peer.sinksMade, 0);
    peer.trackOpen = true;
    mp->housekeeping();
    mp->housekeeping();
    EXPECT_EQ(peer.sinksMade, 1);
    EXPECT_EQ(log.count("info|VideoTrack created (DC will activate when open)"), 1);
    EXPECT_TRUE(mp->framePass());

    mp->dropConnectionState();
    EXPECT_EQ(mp->sink(), nullptr);
    EXPECT_FALSE(mp->framePass());
}

// ---------------------------------------------------------------- frame pass

TEST_F(Media, FirstPassAnnouncesTheSizeAndSendsAKeyframe) {
    streaming();
    EXPECT_EQ(peer.jsonCount(R"({"height":1080,"type":"resolution_applied","width":1920})"), 1);
    EXPECT_EQ(enc().reconfigures.size(), 1u);
    EXPECT_EQ(peer.sink->sends, 1);
    EXPECT_TRUE(peer.sink->keyframes.at(0));
    EXPECT_TRUE(mp->firstFrameSent());
    EXPECT_TRUE(log.has("info|First video frame sent! bytes=100"));
    EXPECT_EQ(ps.capturedFrames.load(), 1u);
    EXPECT_EQ(ps.encodedFrames.load(), 1u);
    EXPECT_EQ(ps.sentFrames.load(), 1u);
    EXPECT_EQ(life.lastFrameSentMs.load(), clock.nowMs());
    EXPECT_EQ(ps.watchdogHeartbeatMs.load(), clock.nowMs());
    EXPECT_EQ(displayClears, 1);  // connection start
    EXPECT_EQ(bounds.back(), (std::array<int32_t, 4>{0, 0, 1920, 1080}));
    EXPECT_TRUE(log.has("info|[input] bounds synced to capture: (0, 0) 1920x1080"));
}

TEST_F(Media, CaptureSizeChangeReconfiguresWithCappedBitrateAndKeyframe) {
    cfg.maxBitrate = 8000;
    streaming();
    const int keysBefore = enc().keyframeRequests;
    live(CaptureKind::Dxgi).width = 1280;
    live(CaptureKind::Dxgi).height = 720;
    passAfter(100);
    EXPECT_TRUE(log.has("info|[resolution] capture size changed 1920x1080 -> 1280x720"));
    EXPECT_EQ(peer.jsonCount(R"({"height":720,"type":"resolution_applied","width":1280})"), 1);
    EXPECT_EQ(enc().reconfigures.back(), (Reconfigure{1280, 720, 30, 1000, 1280, 720}));
    EXPECT_EQ(enc().keyframeRequests, keysBefore + 1);
    EXPECT_EQ(listRefreshes, 2);
    EXPECT_EQ(mp->lastWidth(), 1280);
    EXPECT_EQ(mp->classifier().width(), 1280);
    EXPECT_TRUE(peer.sink->keyframes.back());
}

TEST_F(Media, ViewerQualityRequestScalesAndClamps) {
    struct Case {
        int64_t maxHeight, fps;
        Reconfigure expected;
        int32_t storedMaxHeight, storedFps;
    };
    const std::vector<Case> cases = {
        {480, 0, {852, 480, 30, 400, 1920, 1080}, 480, 0},
        {720, 15, {1280, 720, 15, 1000, 1920, 1080}, 720, 15},
        {5000, 500, {1920, 1080, 120, 8000, 1920, 1080}, 1080, 120},  // clamped
        {-7, -3, {1920, 1080, 30, 8000, 1920, 1080}, 0, 0},
        {1, 1, {2, 2, 1, 400, 1920, 1080}, 1, 1},
    };
    cfg.maxBitrate = 8000;
    for (const auto& c : cases) {
        streaming();
        mp->onQualityRequest(c.maxHeight, c.fps);
        EXPECT_EQ(mp->maxHeight(), c.storedMaxHeight);
        EXPECT_EQ(mp->fpsOverride(), c.storedFps);
        passAfter(100);
        EXPECT_EQ(enc().reconfigures.back(), c.expected) << c.maxHeight << " " << c.fps;
        EXPECT_EQ(mp->stats().currentFps, c.expected.fps);
    }
}

TEST_F(Media, AdaptiveQualityConfigIsAppliedOnce) {
    streaming();
    QualityConfig q;
    q.fps = 20;
    q.bitrateKbps = 1500;
    q.height = 600;
    mp->onQualityConfig(q);
    passAfter(100);
    EXPECT_EQ(enc().reconfigures.back(), (Reconfigure{1066, 600, 20, 1500, 1920, 1080}));
    EXPECT_TRUE(peer.sink->keyframes.back());
    const size_t n = enc().reconfigures.size();
    passAfter(100);
    EXPECT_EQ(enc().reconfigures.size(), n);
    EXPECT_EQ(mp->stats().currentFps, 20);
}

TEST_F(Media, EmergencyBacklogHardDropsWithoutCapturing) {
    streaming();
    const int captures = live(CaptureKind::Dxgi).captures;
    peer.sink->buffered = 2'000'000;
    for (int i = 0; i < 150; ++i) loopPass();  // 20 ms each: 3 s
    EXPECT_EQ(live(CaptureKind::Dxgi).captures, captures);
    EXPECT_EQ(sleeps.back(), 20);
    EXPECT_EQ(log.count("warning|[ABR] EMERGENCY hard-drop — DC buffer 1953KB > 1000KB, dropping "
                        "all frames"),
              2);
}

TEST_F(Media, SendBackOffFollowsTheChannelBacklog) {
    struct Case {
        int64_t after;
        int64_t expectSleep;  // -1: none
    };
    const std::vector<Case> cases = {
        {131072, -1}, {131073, 1}, {131072 + 32767, 1}, {200000, 2}, {131072 + 32768 * 40, 25}};
    for (const auto& c : cases) {
        streaming();
        peer.sink->bufferedAfterSend = c.after;
        sleeps.clear();
        passAfter(1000);
        ASSERT_EQ(peer.sink->sends, 2);
        if (c.expectSleep < 0)
            EXPECT_TRUE(sleeps.empty()) << c.after;
        else
            EXPECT_EQ(sleeps, std::vector<int64_t>{c.expectSleep}) << c.after;
        peer.sink->bufferedAfterSend = -1;
        peer.sink->sends = 0;
    }

    // A failed send backs off 25 ms.
    streaming();
    peer.sink->sendOk = false;
    sleeps.clear();
    const auto sentBefore = ps.sentFrames.load();
    passAfter(1000);
    EXPECT_EQ(sleeps, std::vector<int64_t>{25});
    EXPECT_EQ(ps.sentFrames.load(), sentBefore);
}

TEST_F(Media, BadStrideSkipsEveryFrameWithThinnedWarning) {
    tmpl[CaptureKind::Dxgi].strideDelta = -4;
    streaming();
    for (int i = 0; i < 20; ++i) passAfter(100);  // 2 s
    EXPECT_EQ(enc().encodes, 0);
    EXPECT_EQ(peer.sink->sends, 0);
    EXPECT_EQ(log.count("warning|[encode] skipping frame with stride=7676 that cannot cover "
                        "width=1920"),
              2);
    EXPECT_EQ(live(CaptureKind::Dxgi).releases, live(CaptureKind::Dxgi).captures);
}

TEST_F(Media, PacingAndChangeFilterSkipFrames) {
    streaming();
    // Immediately after a frame: pacing sleeps out the rest of the interval.
    sleeps.clear();
    loopPass();
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(sleeps.front(), 33);
    EXPECT_EQ(peer.sink->sends, 2);

    // Nothing changed and no keyframe due: released, 5 ms.
    live(CaptureKind::Dxgi).dirty = {{0, 0, 0, 0}};
    sleeps.clear();
    passAfter(100);
    EXPECT_EQ(sleeps, std::vector<int64_t>{5});
    EXPECT_EQ(peer.sink->sends, 2);
    EXPECT_EQ(mp->classifier().none(), 1u);

    // The same frame with a keyframe due is encoded anyway.
    mp->requestKeyframe();
    passAfter(100);
    EXPECT_EQ(peer.sink->sends, 3);

    // Invalid frame: 10 ms, not counted.
    const auto captured = ps.capturedFrames.load();
    live(CaptureKind::Dxgi).frameValid = false;
    sleeps.clear();
    passAfter(100);
    EXPECT_EQ(sleeps, std::vector<int64_t>{10});
    EXPECT_EQ(ps.capturedFrames.load(), captured);
}

// Frames sent per second of steady-clock time while `passes` run the loop.
struct SendLog {
    std::vector<int64_t> at;
    int64_t maxGap(int64_t from) const {
        int64_t gap = 0, prev = from;
        for (int64_t t : at) {
            gap = std::max(gap, t - prev);
            prev = t;
        }
        return gap;
    }
};

TEST_F(Media, BusyScreenGetsTheTargetRateAlthoughEncodingTakes12ms) {
    tmpl[CaptureKind::Dxgi].dirty = {{0, 0, 800, 600}};
    streaming();
    enc().onEncode = [this] { clock.advanceMs(12); };
    const int before = peer.sink->sends;
    const int64_t end = clock.nowMs() + 3000;
    while (clock.nowMs() < end) loopPass();
    // 30 fps: the 12 ms sit inside each 33 ms period, not after it.
    EXPECT_GE(peer.sink->sends - before, 89);
    EXPECT_LE(peer.sink->sends - before, 92);
}

TEST_F(Media, UnchangedScreenIsRefreshedOncePerSecondAndNeverStalls) {
    tmpl[CaptureKind::Dxgi].unchanged = true;
    // The duplication's wait for a change: 8 ms without one.
    tmpl[CaptureKind::Dxgi].onCapture = [this] { clock.advanceMs(8); };
    streaming();
    SendLog sent;
    peer.sink->onSend = [&] { sent.at.push_back(clock.nowMs()); };
    const int64_t start = clock.nowMs();
    int64_t oldestSend = 0;
    while (clock.nowMs() < start + 20'000) {
        loopPass();
        oldestSend = std::max(oldestSend, clock.nowMs() - life.lastFrameSentMs.load());
    }
    // About one frame a second (four of them periodic keyframes) instead of 600.
    EXPECT_GE(sent.at.size(), 19u);
    EXPECT_LE(sent.at.size(), 22u);
    EXPECT_LE(sent.maxGap(start), 1000 + 40);
    EXPECT_LT(oldestSend, SessionLoop::kStallMs);
    // The first keyframe and the periodic ones at 5, 10 and 15 s.
    EXPECT_GE(std::count(peer.sink->keyframes.begin(), peer.sink->keyframes.end(), true), 4);

    // A keyframe asked for goes out at once; so does a frame that changed.
    const int n = peer.sink->sends;
    mp->requestKeyframe();
    passAfter(100);
    EXPECT_EQ(peer.sink->sends, n + 1);
    EXPECT_TRUE(peer.sink->keyframes.back());
    live(CaptureKind::Dxgi).unchanged = false;
    live(CaptureKind::Dxgi).dirty = {{10, 10, 20, 20}};
    passAfter(100);
    EXPECT_EQ(peer.sink->sends, n + 2);

    // An encoder that drops the repeated picture is still asked once a second.
    live(CaptureKind::Dxgi).unchanged = true;
    live(CaptureKind::Dxgi).dirty.clear();
    passAfter(100);
    enc().emptyOutput = true;
    const int encodes = enc().encodes;
    const int64_t until = clock.nowMs() + 3000;
    while (clock.nowMs() < until) loopPass();
    EXPECT_LE(enc().encodes - encodes, 4);
}

TEST_F(Media, AChangeInAFrameThePacingSkippedIsSentWithTheNextUnchangedFrame) {
    streaming();
    auto& cap = live(CaptureKind::Dxgi);
    cap.dirty = {{0, 0, 100, 100}};
    passAfter(100);
    const int sent = peer.sink->sends;
    // 32 ms after that frame began: too early, the frame is skipped, but the
    // capture has consumed its change.
    cap.dirty = {{10, 10, 5, 5}};
    cap.onCapture = [&cap] {
        cap.onCapture = nullptr;
        cap.unchanged = false;
    };
    passAfter(32);
    EXPECT_EQ(peer.sink->sends, sent);
    cap.dirty.clear();
    cap.unchanged = true;
    loopPass();
    EXPECT_EQ(peer.sink->sends, sent + 1);
    EXPECT_EQ(enc().regions.back(), (std::optional<std::vector<DirtyRect>>{{{10, 10, 5, 5}}}));
    passAfter(100);  // now it is the same picture
    EXPECT_EQ(peer.sink->sends, sent + 1);

    // A changed picture the encoder drops is encoded again on the next pass.
    cap.unchanged = false;
    cap.dirty = {{30, 30, 4, 4}};
    enc().emptyOutput = true;
    passAfter(100);
    cap.unchanged = true;
    cap.dirty.clear();
    enc().emptyOutput = false;
    passAfter(40);
    EXPECT_EQ(peer.sink->sends, sent + 2);
}

TEST_F(Media, UnchangedFramesOfAGrabAreLookedAtOncePerInterval) {
    // A grab returns at once; without pacing the skip path would grab ~200
    // times a second.
    tmpl[CaptureKind::Dxgi].unchanged = true;
    tmpl[CaptureKind::Dxgi].waits = false;
    tmpl[CaptureKind::Dxgi].onCapture = [this] { clock.advanceMs(3); };
    streaming();
    const int c0 = live(CaptureKind::Dxgi).captures;
    const int64_t end = clock.nowMs() + 2000;
    while (clock.nowMs() < end) loopPass();
    EXPECT_GE(live(CaptureKind::Dxgi).captures - c0, 55);
    EXPECT_LE(live(CaptureKind::Dxgi).captures - c0, 62);
    EXPECT_LE(peer.sink->sends, 1 + 2);
}

TEST_F(Media, TheEncoderLearnsWhatChangedSinceTheFrameItLastSaw) {
    using Regions = std::optional<std::vector<DirtyRect>>;
    streaming();
    EXPECT_EQ(enc().regions.back(), Regions{});  // a new encoder: everything
    auto& cap = live(CaptureKind::Dxgi);
    cap.dirty = {{5, 5, 1, 1}};
    cap.strideDelta = -4;  // skipped before encoding, but its change counts
    passAfter(100);
    cap.strideDelta = 0;
    cap.dirty = {{20, 20, 2, 2}};
    passAfter(100);
    EXPECT_EQ(enc().regions.back(), (Regions{{{5, 5, 1, 1}, {20, 20, 2, 2}}}));
    cap.dirty.clear();  // changed, not known where
    passAfter(100);
    EXPECT_EQ(enc().regions.back(), Regions{});
    cap.unchanged = true;  // the once-a-second refresh changes nothing
    passAfter(1000);
    EXPECT_EQ(enc().regions.back(), (Regions{std::vector<DirtyRect>{}}));
    EXPECT_EQ(enc().encodes, 4);
}

TEST_F(Media, KeyframesOnConnectPeriodicallyAndOnRequest) {
    streaming();
    auto keys = [&] { return enc().keyframeRequests; };
    const int k0 = keys();
    passAfter(1000);
    EXPECT_EQ(keys(), k0);
    EXPECT_FALSE(peer.sink->keyframes.back());
    passAfter(4000);  // 5 s since the first keyframe
    EXPECT_EQ(keys(), k0 + 1);
    EXPECT_TRUE(peer.sink->keyframes.back());
    mp->requestKeyframe();
    passAfter(100);
    EXPECT_EQ(keys(), k0 + 2);
    passAfter(100);
    EXPECT_EQ(keys(), k0 + 2);  // the request was consumed

    // A rebuild: new connection, keyframe again on its first frame.
    mp->dropConnectionState();
    mp->onRebuilt(clock.nowMs());
    EXPECT_FALSE(mp->firstFrameSent());
    passAfter(100);
    EXPECT_EQ(keys(), k0 + 3);
    EXPECT_EQ(peer.sinksMade, 2);
}

TEST_F(Media, BacklogSuppressesPeriodicKeyframesButNotReconfigures) {
    streaming();
    const int k0 = enc().keyframeRequests;
    peer.sink->buffered = 500'000;                 // CRITICAL: drops 3 of 4, suppresses keyframes
    for (int i = 0; i < 100; ++i) passAfter(100);  // 10 s
    EXPECT_EQ(enc().keyframeRequests, k0);
    EXPECT_EQ(log.count("warning|[ABR] Suppressing periodic keyframe (DC buffer too full)"), 2);

    mp->onQualityRequest(720, 0);
    passAfter(100);
    EXPECT_EQ(enc().keyframeRequests, k0 + 1);
}

TEST_F(Media, FirstFrameCountsOnlyWhenDelivered) {
    build();
    mp->startupCapture();
    mp->startupEncoder();
    life.connected = true;
    mp->housekeeping();
    peer.sink->sendOk = false;
    mp->framePass();
    EXPECT_FALSE(mp->firstFrameSent());
    EXPECT_FALSE(log.has("First video frame sent!"));
    peer.sink->sendOk = true;
    const int keys = enc().keyframeRequests;
    passAfter(30);
    EXPECT_EQ(enc().keyframeRequests, keys + 1);
    EXPECT_TRUE(mp->firstFrameSent());
}

TEST_F(Media, RecorderStartsOnTheFirstKeyframeOnce) {
    streaming();
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_TRUE(
        log.has("info|[recording] auto-started on first keyframe: ok=true path=/tmp/rec.h264"));
    passAfter(100);
    EXPECT_EQ(recorder.appendedKeyframes, (std::vector<bool>{true, false}));

    // The next viewer does not start a second recording.
    mp->dropConnectionState();
    passAfter(100);
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(recorder.appendedKeyframes.size(), 3u);
}

TEST_F(Media, RecordingDisabledByPolicyIsLoggedOncePerProcess) {
    recordingEnabled = false;
    streaming();
    mp->dropConnectionState();
    passAfter(100);
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_EQ(log.count("info|[recording] skipped — disabled by policy"), 1);
}

TEST_F(Media, CursorShapeOnOpeningEdgeAndHiddenMessage) {
    tmpl[CaptureKind::Dxgi].cursorVisible = true;
    tmpl[CaptureKind::Dxgi].cursorW = 2;
    tmpl[CaptureKind::Dxgi].cursorH = 1;
    tmpl[CaptureKind::Dxgi].hotX = 300;  // wider than one byte
    tmpl[CaptureKind::Dxgi].hotY = 1;
    tmpl[CaptureKind::Dxgi].cursorBgra = {1, 2, 3, 4, 5, 6, 7, 8};
    streaming();
    EXPECT_TRUE(peer.controlBinary.empty());  // no overlay yet
    EXPECT_FALSE(live(CaptureKind::Dxgi).overlay);

    mp->setCursorOverlay(true);
    passAfter(100);
    EXPECT_TRUE(live(CaptureKind::Dxgi).overlay);
    const std::vector<uint8_t> shape{0x11, 0xFF, 300 & 0xFF, 1, 2, 0, 1, 0, 3, 2, 1, 4, 7, 6, 5, 8};
    ASSERT_EQ(peer.controlBinary.size(), 1u);
    EXPECT_EQ(peer.controlBinary[0], shape);

    passAfter(100);  // unchanged
    EXPECT_EQ(peer.controlBinary.size(), 1u);
    live(CaptureKind::Dxgi).cursorChanged = true;
    passAfter(100);
    EXPECT_EQ(peer.controlBinary.size(), 2u);

    live(CaptureKind::Dxgi).cursorVisible = false;
    passAfter(100);
    passAfter(100);
    ASSERT_EQ(peer.controlBinary.size(), 3u);
    EXPECT_EQ(peer.controlBinary[2], (std::vector<uint8_t>{0x11, 0xFE, 0, 0, 0, 0, 0, 0}));

    // Channel closes and reopens: the shape goes out again.
    live(CaptureKind::Dxgi).cursorVisible = true;
    peer.controlOpen = false;
    passAfter(100);
    peer.controlOpen = true;
    passAfter(100);
    EXPECT_EQ(peer.controlBinary.size(), 4u);
}

TEST_F(Media, OversizedCursorShapeIsDownscaledAndShortImageSkipped) {
    auto& t = tmpl[CaptureKind::Dxgi];
    t.cursorVisible = true;
    t.cursorW = 512;
    t.cursorH = 512;
    t.hotX = 100;
    t.hotY = 50;
    t.cursorBgra.assign(512 * 512 * 4, 0x40);
    streaming();
    mp->setCursorOverlay(true);
    passAfter(100);
    ASSERT_EQ(peer.controlBinary.size(), 1u);
    const auto& m = peer.controlBinary[0];
    EXPECT_LE(m.size(), MediaPipeline::kMaxCursorMessageBytes);
    EXPECT_EQ(m[4] | m[5] << 8, 171);  // 512 / 3, rounded up
    EXPECT_EQ(m.size(), 8u + 171 * 171 * 4);
    EXPECT_EQ(m[2], 33);
    EXPECT_TRUE(
        log.has("[cursor] pointer shape 512x512 exceeds 262144 bytes — downscaled to 171x171"));

    live(CaptureKind::Dxgi).cursorBgra.resize(16);
    live(CaptureKind::Dxgi).cursorChanged = true;
    passAfter(100);
    EXPECT_EQ(peer.controlBinary.size(), 1u);
    EXPECT_TRUE(log.has("not sent"));
}

// ---------------------------------------------------------------- capture ladder

TEST_F(Media, LadderTriesDxgiThenGdiFromTheThirdRetry) {
    tmpl[CaptureKind::Dxgi].initOk = false;
    tmpl[CaptureKind::Gdi].initOk = false;
    build();
    mp->ladderPass();
    EXPECT_EQ(madeCount(CaptureKind::Dxgi), 1);
    mp->ladderPass();  // throttled
    EXPECT_EQ(madeCount(CaptureKind::Dxgi), 1);
    EXPECT_EQ(ps.watchdogHeartbeatMs.load(), clock.nowMs());
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_EQ(madeCount(CaptureKind::Gdi), 0);
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_EQ(madeCount(CaptureKind::Dxgi), 3);
    EXPECT_EQ(madeCount(CaptureKind::Gdi), 1);
    EXPECT_TRUE(log.has("warning|DXGI failed 3 times — switching to GDI fallback"));
    EXPECT_EQ(log.count("error|GDI fallback also failed"), 1);

    tmpl[CaptureKind::Gdi].initOk = true;
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
    EXPECT_NE(mp->encoder(), nullptr);
    EXPECT_EQ(peer.jsonCount(kFallbackGdi), 1);
    EXPECT_TRUE(log.has("info|GDI fallback capture: 1920x1080"));
    EXPECT_EQ(mp->stats().ladderRetries, 4);
    EXPECT_FALSE(bounds.empty());
    EXPECT_GE(displayReports, 4);
}

TEST_F(Media, StarvedDeathRoutesToGdiUntilATopologyChange) {
    streaming();
    live(CaptureKind::Dxgi).dead = true;
    live(CaptureKind::Dxgi).starved = true;
    clock.advanceMs(100);
    mp->ladderPass();
    EXPECT_EQ(mp->stats().starvedDeaths, 1);
    EXPECT_TRUE(
        log.has("warning|capture backend died starved (no first frame) — ladder will "
                "prefer GDI (starved deaths: 1)"));
    EXPECT_TRUE(log.has("warning|capture backend marked dead — resetting for ladder re-acquire"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);  // at once, no DXGI attempt
    EXPECT_EQ(madeCount(CaptureKind::Dxgi), 1);

    // A monitor switch also stays on GDI while starved.
    mp->requestMonitorSwitch(1);
    passAfter(100);
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
    EXPECT_EQ(live(CaptureKind::Gdi).initIndex, 1);

    reenumIndex = 1;
    mp->notifyTopologyChanged();
    passAfter(100);
    EXPECT_EQ(mp->stats().starvedDeaths, 0);
    EXPECT_TRUE(
        log.has("[topology] resetting DXGI starve memory (1 death(s)) — re-probing DXGI "
                "on the new topology"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::Dxgi);
    EXPECT_EQ(live(CaptureKind::Dxgi).initIndex, 1);
    EXPECT_TRUE(log.has("info|[topology] capture re-initialized: 1920x1080"));
}

TEST_F(Media, ResolutionReinitSwallowsTheFollowingTopologyReport) {
    streaming();
    const int dxgiBefore = madeCount(CaptureKind::Dxgi);
    mp->notifyTopologyChanged();
    mp->requestResolutionReinit();
    sleeps.clear();
    passAfter(100);
    EXPECT_EQ(madeCount(CaptureKind::Dxgi), dxgiBefore + 1);
    EXPECT_EQ(sleeps.front(), 250);
    EXPECT_FALSE(log.has("[topology] display change detected"));
    EXPECT_TRUE(log.has("info|[resolution] forcing capture re-init after host display change"));
}

TEST_F(Media, CaptureWithoutEncoderIsRetriedAndDroppedOnFailure) {
    build();
    encoderBuildOk = false;
    mp->ladderPass();
    EXPECT_EQ(mp->capture(), nullptr);
    EXPECT_TRUE(log.has("error|Encoder init failed after capture retry"));
    encoderBuildOk = true;
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_NE(mp->encoder(), nullptr);
    EXPECT_TRUE(log.has("info|DXGI retry succeeded: 1920x1080"));

    // A capture left without an encoder gets one from the ladder instead of
    // blocking it for good.
    cfg.unattendedMode = true;
    build();
    mp->startupCapture();
    encoderBuildOk = false;
    EXPECT_EQ(mp->startupEncoder(), StartupEncoderResult::Failed);
    ASSERT_NE(mp->capture(), nullptr);
    encoderBuildOk = true;
    mp->ladderPass();
    EXPECT_NE(mp->encoder(), nullptr);
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
}

TEST_F(Media, MonitorSwitchRebuildsTheEncoderWhenReconfigureFails) {
    streaming();
    tmpl[CaptureKind::Dxgi].width = 2560;
    tmpl[CaptureKind::Dxgi].height = 1440;
    enc().reconfigureOk = false;
    const int keys = enc().keyframeRequests;
    const auto* old = &enc();
    mp->requestMonitorSwitch(1);
    passAfter(100);
    EXPECT_TRUE(log.has("info|[multi-monitor] switching capture to index 1"));
    EXPECT_TRUE(
        log.has("warning|[multi-monitor] encoder reconfigure failed — rebuilding encoder "
                "at 2560x1440"));
    EXPECT_NE(&enc(), old);
    EXPECT_EQ(enc().config.width, 2560);
    EXPECT_EQ(old->keyframeRequests, keys);
    EXPECT_EQ(enc().keyframeRequests, 1);  // the reconfigured mark forces a keyframe
    EXPECT_EQ(mp->lastWidth(), 2560);
    EXPECT_EQ(bounds.back(), (std::array<int32_t, 4>{0, 0, 2560, 1440}));

    tmpl[CaptureKind::Dxgi].initOk = false;
    mp->requestMonitorSwitch(3);
    passAfter(100);
    EXPECT_TRUE(log.has("warning|[multi-monitor] reinit failed on index 3"));
}

// ---------------------------------------------------------------- secure desktop

class SecureMedia : public Media {
  protected:
    void SetUp() override {
        cfg.sessionId = "s1";
        cfg.inputPipeName = "kvd-input";
        cfg.shmV2 = true;
        tmpl[CaptureKind::ShmV2].width = 1280;
        tmpl[CaptureKind::ShmV2].height = 1024;
    }
    void enter() {
        mp->secureDesktopEntered();
        secure = true;
        passAfter(100);
    }
    void exit() {
        mp->secureDesktopExited();
        secure = false;
        passAfter(100);
    }
};

TEST_F(SecureMedia, EnterTakesSharedMemoryAndExitReturnsToDxgi) {
    streaming();
    enter();
    EXPECT_TRUE(log.has("warning|Secure Desktop entered — capture switch pending"));
    EXPECT_TRUE(log.has("warning|Applying deferred capture switch: secure desktop ENTER"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);
    EXPECT_TRUE(mp->shmActive());
    EXPECT_TRUE(log.has("info|Switched to SharedMemoryCaptureV2: 1280x1024"));
    EXPECT_EQ(mp->lastWidth(), 1280);
    EXPECT_EQ(enc().config.width, 1280);

    exit();
    EXPECT_TRUE(log.has("info|Secure Desktop exited — capture switch pending"));
    EXPECT_TRUE(log.has("info|Applying deferred capture switch: secure desktop EXIT"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::Dxgi);
    EXPECT_FALSE(mp->shmActive());
    EXPECT_TRUE(log.has("info|Switched back to DXGI capture: 1920x1080"));
    EXPECT_TRUE(transitions.empty());
}

TEST_F(SecureMedia, EnterFallsBackToV1ThenToGdiStopgap) {
    tmpl[CaptureKind::ShmV2].initOk = false;
    streaming();
    enter();
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV1);
    EXPECT_TRUE(log.has("info|Switched to SharedMemoryCapture: 1920x1080"));

    exit();
    tmpl[CaptureKind::ShmV1].initOk = false;
    enter();
    EXPECT_TRUE(
        log.has("warning|shm-capture unavailable on secure-desktop enter — trying GDI "
                "stopgap"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
    EXPECT_FALSE(mp->shmActive());
    EXPECT_TRUE(log.has("info|Switched to GDI capture (fallback): 1920x1080"));

    // The shared-memory retry picks the helper up once it serves, every 2 s at most.
    tmpl[CaptureKind::ShmV2].initOk = true;
    passAfter(2000);
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);
    EXPECT_TRUE(log.has("info|shm-capture retry succeeded — secure desktop now visible"));
}

TEST_F(SecureMedia, GuardKeepsASharedMemoryCaptureAlreadyServing) {
    cfg.captureEnterGuard = true;
    streaming();
    enter();
    const int made2 = madeCount(CaptureKind::ShmV2);
    enter();
    EXPECT_EQ(madeCount(CaptureKind::ShmV2), made2);
    EXPECT_TRUE(
        log.has("info|secure desktop ENTER: shared-memory capture already serving — "
                "keeping it"));
    EXPECT_TRUE(mp->shmActive());
}

TEST_F(SecureMedia, ShmEncoderFailureKeepsPreviousCaptureAndEncoder) {
    streaming();
    ScreenCapture* before = mp->capture();
    VideoEncoder* encBefore = mp->encoder();
    encoderBuildOk = false;
    tmpl[CaptureKind::ShmV1].initOk = false;
    tmpl[CaptureKind::Gdi].initOk = false;
    enter();
    EXPECT_TRUE(
        log.has("error|Encoder rebuild for SHM v2 capture FAILED — keeping previous "
                "capture+encoder"));
    EXPECT_EQ(mp->capture(), before);
    EXPECT_EQ(mp->encoder(), encBefore);
}

TEST_F(SecureMedia, LadderAcquiresSharedMemoryOnTheSecureDesktop) {
    build();
    secure = true;
    mp->ladderPass();
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);
    EXPECT_TRUE(mp->shmActive());
    EXPECT_TRUE(log.has("info|shm-capture acquired on lazy retry (secure desktop)"));
    EXPECT_EQ(peer.jsonCount(kFallbackShm), 1);
    EXPECT_EQ(madeCount(CaptureKind::Dxgi), 0);
}

TEST_F(SecureMedia, WithoutShmMakersTheEnterFallsToGdi) {
    shmMakersPresent = false;
    streaming();
    enter();
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
    EXPECT_FALSE(mp->shmActive());
}

TEST_F(SecureMedia, ExitAfterStarvedDeathRoutesThroughTheLadder) {
    streaming();
    enter();
    // DXGI starved earlier in this process: simulate with a starved DXGI death.
    tmpl[CaptureKind::ShmV2].dead = false;
    live(CaptureKind::ShmV2).dead = true;
    live(CaptureKind::ShmV2).starved = true;
    mp->ladderPass();
    ASSERT_EQ(mp->stats().starvedDeaths, 1);
    passAfter(100);  // ladder re-acquires shm (still secure)
    exit();
    EXPECT_TRUE(
        log.has("warning|secure-desktop EXIT: DXGI previously starved on this host — "
                "routing to GDI via ladder"));
    EXPECT_EQ(mp->capture(), nullptr);
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
}

class BridgeMedia : public SecureMedia {
  protected:
    void SetUp() override {
        SecureMedia::SetUp();
        cfg.transitionBridge = true;
        cfg.dxgiCandidatePromotion = true;
    }
};

TEST_F(BridgeMedia, CandidatePromotedAfterFifteenFramesWithinFiveSeconds) {
    streaming();
    enter();
    exit();
    EXPECT_TRUE(
        log.has("info|secure desktop EXIT under transition bridge — probing a DXGI "
                "candidate"));
    EXPECT_TRUE(mp->candidateActive());
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);  // the bridge keeps streaming
    ASSERT_EQ(transitions.size(), 1u);
    EXPECT_EQ(dumpJson(transitions[0]),
              R"({"from":"shm2","reason":"bridge_probe_started","to":"dxgi-candidate"})");

    for (int i = 0; i < 14; ++i) passAfter(100);
    EXPECT_TRUE(mp->candidateActive());
    passAfter(100);
    EXPECT_FALSE(mp->candidateActive());
    EXPECT_EQ(mp->captureKind(), CaptureKind::Dxgi);
    EXPECT_FALSE(mp->shmActive());
    EXPECT_EQ(bridgeReleases, 1);
    EXPECT_EQ(dumpJson(transitions.back()),
              R"({"from":"shm2","reason":"candidate_promoted","to":"dxgi"})");
    EXPECT_TRUE(log.has("info|DXGI candidate PROMOTED after behavioral proof: 1920x1080"));
    EXPECT_EQ(mp->lastWidth(), 1920);
}

TEST_F(BridgeMedia, BlackCandidateGivesUpToGdi) {
    streaming();
    enter();
    tmpl[CaptureKind::Dxgi].frameValid = false;
    exit();
    for (int i = 0; i < 60 && mp->candidateActive(); ++i) passAfter(100);
    EXPECT_FALSE(mp->candidateActive());
    EXPECT_TRUE(
        log.has("warning|DXGI candidate failed behavioral proof (Basic Render class) — "
                "committing to GDI under the bridge"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::Gdi);
    EXPECT_FALSE(mp->shmActive());
    EXPECT_EQ(bridgeReleases, 1);
    EXPECT_EQ(peer.jsonCount(kFallbackGdi), 1);
    EXPECT_EQ(dumpJson(transitions.back()),
              R"({"from":"shm2","reason":"candidate_gave_up","to":"gdi"})");
}

TEST_F(BridgeMedia, CandidateGiveUpWithoutGdiAndDuringSecureDesktop) {
    streaming();
    enter();
    tmpl[CaptureKind::Dxgi].frameValid = false;
    tmpl[CaptureKind::Gdi].initOk = false;
    exit();
    for (int i = 0; i < 60 && mp->candidateActive(); ++i) passAfter(100);
    EXPECT_EQ(dumpJson(transitions.back()),
              R"({"from":"shm2","reason":"candidate_gave_up_no_fallback","to":"none"})");
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);

    // A fresh probe whose window runs out while the secure desktop is shown
    // again (its enter event not applied yet) stays on shared memory.
    exit();
    ASSERT_TRUE(mp->candidateActive());
    secure = true;
    for (int i = 0; i < 60 && mp->candidateActive(); ++i) passAfter(100);
    EXPECT_TRUE(
        log.has("info|DXGI candidate window expired during secure desktop — staying on SHM"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);
}

TEST_F(BridgeMedia, EnterCancelsTheCandidate) {
    streaming();
    enter();
    exit();
    ASSERT_TRUE(mp->candidateActive());
    enter();
    EXPECT_FALSE(mp->candidateActive());
    EXPECT_TRUE(log.has("info|secure desktop ENTER — cancelling the DXGI candidate probe"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);
    EXPECT_TRUE(mp->shmActive());
}

TEST_F(BridgeMedia, CandidateInitFailureKeepsTheBridge) {
    streaming();
    enter();
    tmpl[CaptureKind::Dxgi].initOk = false;
    exit();
    EXPECT_TRUE(log.has("warning|DXGI candidate init failed — bridge keeps carrying the stream"));
    EXPECT_FALSE(mp->candidateActive());
    EXPECT_EQ(mp->captureKind(), CaptureKind::ShmV2);
}

// ---------------------------------------------------------------- mismatched encoder

TEST_F(SecureMedia, FailedEncoderRebuildNeverEncodesAMismatchedFrame) {
    streaming();
    enter();  // 1280x1024 shared memory with its encoder
    EXPECT_EQ(enc().config.width, 1280);
    const int encodes = enc().encodes;
    encoderBuildOk = false;
    enc().reconfigureOk = false;
    exit();  // DXGI 1920x1080, encoder build fails: old encoder kept
    EXPECT_TRUE(
        log.has("error|Encoder rebuild for DXGI restore FAILED — keeping previous encoder"));
    EXPECT_EQ(mp->captureKind(), CaptureKind::Dxgi);
    EXPECT_EQ(mp->lastWidth(), 1280);  // not recorded as seen
    passAfter(100);
    EXPECT_EQ(enc().encodes, encodes);
    EXPECT_TRUE(log.has("does not match the encoder source 1280x1024"));
    // The size check asked for a reconfigure at the new size.
    EXPECT_EQ(enc().reconfigures.back().srcW, 1920);

    enc().reconfigureOk = true;
    passAfter(1000);
    passAfter(100);
    EXPECT_GT(enc().encodes, encodes);
    for (auto s : enc().encodeStrides) EXPECT_TRUE(s == 1280 * 4 || s == 1920 * 4);
}

// ---------------------------------------------------------------- status and display state

TEST_F(Media, StatusReportAtMostEveryTwoSeconds) {
    build();
    statusEnabled = true;
    mp->ladderPass();
    mp->ladderPass();
    EXPECT_EQ(statusReports, 1);
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_EQ(statusReports, 2);
    statusEnabled = false;
    clock.advanceMs(2000);
    mp->ladderPass();
    EXPECT_EQ(statusReports, 2);
}

TEST_F(Media, ConnectedEngineWithoutCaptureReportsOncePerConnection) {
    tmpl[CaptureKind::Dxgi].initOk = false;
    tmpl[CaptureKind::Gdi].initOk = false;
    build();
    life.connected = true;
    mp->housekeeping();
    mp->housekeeping();
    EXPECT_EQ(displayClears, 1);
    mp->dropConnectionState();
    mp->housekeeping();
    EXPECT_EQ(displayClears, 2);
}

}  // namespace
}  // namespace kvd
