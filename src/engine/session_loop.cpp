#include "engine/session_loop.h"

#include <algorithm>
#include <thread>

#include "common/log.h"
#include "engine/status.h"
#include "platform/session_env.h"
#include "signaling/signaling.h"

namespace kvd {

SessionLoop::SessionLoop(LifecycleState& state, SessionPeer& peer, ISignalingClient& signaling,
                         platform::PowerRequest* power, const Clock& clock, Hooks hooks,
                         std::atomic<bool>& running, std::atomic<int32_t>& exitReason,
                         std::atomic<int64_t>& heartbeatMs, bool viewOnly)
    : st_(state),
      peer_(peer),
      signaling_(signaling),
      power_(power),
      clock_(clock),
      hooks_(std::move(hooks)),
      running_(running),
      exitReason_(exitReason),
      heartbeat_(heartbeatMs),
      viewOnly_(viewOnly),
      liveness_(clock, hooks_.viewerSilenceMs) {
    if (!hooks_.sleepMs)
        hooks_.sleepMs = [](int64_t ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        };
}

void SessionLoop::onConnected() {
    logger().info("WebRTC P2P connected!");
    st_.connected = true;
    st_.hadViewer = true;
    st_.exitWindowArmed = false;
    if (st_.showIndicator && hooks_.showIndicator) hooks_.showIndicator(viewOnly_);
}

void SessionLoop::onDisconnected() {
    if (st_.rebuildInProgress.load()) return;
    logger().warn("WebRTC P2P disconnected — scheduling rebuild for next viewer");
    if (hooks_.restoreResolutionIfPreferred) hooks_.restoreResolutionIfPreferred();
    if (hooks_.hideIndicator) hooks_.hideIndicator();
    st_.rebuildRequested = true;
}

void SessionLoop::onViewerActivity() {
    st_.lastViewerActivityMs = clock_.nowMs();
}

void SessionLoop::keepAwake() {
    const int want = st_.connected.load() ? 1 : 0;
    if (want == st_.lastKeepAwake) return;
    st_.lastKeepAwake = want;
    if (power_) power_->setKeepAwake(want == 1);
    logger().info("[power] keep-display-awake {}", want ? "ON" : "OFF");
}

void SessionLoop::healthChecks(int64_t now) {
    if (st_.rebuildInProgress.load()) return;
    const bool connected = st_.connected.load();
    if (!connected && peer_.gatheringDeadlineExceeded()) {
        logger().warn("ICE gathering deadline exceeded — forcing PeerConnection rebuild");
        st_.rebuildRequested = true;
    }
    const int64_t lastSent = st_.lastFrameSentMs.load();
    if (connected && lastSent >= 0 && now - lastSent >= kStallMs) {
        logger().warn("Stream stalled >5s while connected — scheduling rebuild");
        st_.lastFrameSentMs = -1;
        st_.rebuildRequested = true;
    }
    // The request stays set while the signaling thread works on it, and a
    // failed attempt is handled below before another is asked for: a second
    // request while the first was still connecting would start another
    // attempt at once and hide the failure, keeping a session whose
    // signaling never came back from ever being rebuilt.
    if (connected && !signaling_.isConnected() && !st_.reconnectRequested.load() &&
        !st_.signalingReconnectFailed.load()) {
        logger().warn("Signaling dropped mid-session — requesting reconnect");
        st_.reconnectRequested = true;
    }
    if (st_.signalingReconnectFailed.exchange(false)) {
        logger().warn("Signaling reconnect failed — scheduling PeerConnection rebuild");
        st_.rebuildRequested = true;
    }
    if (peer_.takeTurnRefreshPending()) {
        logger().info("Applying refreshed TURN credentials — scheduling rebuild");
        st_.rebuildRequested = true;
    }
    checkViewerAlive(connected);
}

// A viewer that vanished without closing never produces a state change;
// its silence is turned into the same departure a closing viewer causes.
void SessionLoop::checkViewerAlive(bool connected) {
    switch (liveness_.sample(connected, peer_.packetsReceived())) {
        case PeerLiveness::Verdict::Alive:
            break;
        case PeerLiveness::Verdict::Probe:
            peer_.probeViewer();
            break;
        case PeerLiveness::Verdict::Departed:
            logger().warn(
                "Viewer silent for {} s while connected ({} keepalive probe(s) unanswered) — "
                "treating as departed",
                liveness_.quietForMs() / 1000, liveness_.probesInQuiet());
            onDisconnected();
            break;
    }
}

void SessionLoop::giveUp() {
    const bool certain = st_.iceDeadCertain;
    logger().error(
        "ICE transport dead ({}) — {} answered-but-unconnected PC generation(s); exiting so the "
        "service respawns the process",
        certain ? "certain: server ICE configured yet zero srflx/relay gathered" : "streak",
        st_.answeredStreak);
    if (hooks_.iceDiagnostics) {
        const auto c = peer_.iceCounters();
        logger().info(
            "[ice-diag] give-up evidence: iceServers={} candidates(host={} srflx={} relay={} "
            "other={}) answered={} gatheringExpired={}",
            c.iceServers, c.host, c.srflx, c.relay, c.other, peer_.remoteDescriptionSet(),
            peer_.gatheringDeadlineExceeded());
    }
    writeErrorLine(21, iceGiveUpMessage(certain, static_cast<uint64_t>(st_.answeredStreak)));
    exitReason_ = 21;
    running_ = false;
}

bool SessionLoop::maybeRebuild(int64_t now) {
    if (!st_.rebuildRequested.load() || now < st_.rebuildNotBeforeMs) return true;
    st_.rebuildRequested = false;

    if (st_.connected.load()) {
        st_.answeredStreak = 0;
        st_.iceDeadCertain = false;
    } else if (peer_.remoteDescriptionSet()) {
        st_.answeredStreak += 1;
        if (peer_.hasIceServers() && !peer_.sawNonHostCandidate()) st_.iceDeadCertain = true;
    } else {
        st_.answeredStreak = 0;
    }
    if (st_.iceDeadCertain || st_.answeredStreak >= 3) {
        giveUp();
        return false;
    }

    logger().info("Rebuilding PeerConnection for next viewer");
    st_.rebuildAttempts = std::min(st_.rebuildAttempts + 1, 6);
    st_.rebuildNotBeforeMs = now + std::min<int64_t>(1000LL << (st_.rebuildAttempts - 1), 30000);

    st_.rebuildInProgress = true;
    if (hooks_.dropConnectionState) hooks_.dropConnectionState();
    st_.connected = false;
    liveness_.reset();
    const bool overDc = st_.videoOverDataChannel.exchange(false);
    st_.lastFrameSentMs = -1;

    peer_.reset(overDc);
    if (!peer_.initialize()) {
        logger().error("PeerConnection re-init failed — terminating");
        st_.rebuildInProgress = false;
        running_ = false;
        return false;
    }
    peer_.registerPeerJoined();
    if (hooks_.onRebuilt) hooks_.onRebuilt(now);
    st_.rebuildRequested = false;
    st_.rebuildInProgress = false;

    if (st_.hadViewer) {
        st_.exitDeadlineMs = now + hooks_.exitWindowMs;
        st_.exitWindowArmed = true;
        st_.exitDeferralLogged = false;
        logger().info("Viewer disconnected — will exit in {}s if nobody reconnects",
                      (hooks_.exitWindowMs + 999) / 1000);
    } else {
        logger().info("Waiting for viewer to connect...");
    }
    return true;
}

bool SessionLoop::displayPresent(int64_t now) {
    if (!hooks_.displayLost || !hooks_.displayLost()) {
        displayLostSinceMs_ = -1;
        return true;
    }
    if (displayLostSinceMs_ < 0) displayLostSinceMs_ = now;
    if (now - displayLostSinceMs_ < kDisplayLostMs) return true;
    // A display server that went away does not come back for this session:
    // capturing would only retry forever and the viewer would see nothing.
    logger().error("Display server connection lost — ending the session");
    writeErrorLine(1, "display server connection lost");
    exitReason_ = 1;
    running_ = false;
    return false;
}

bool SessionLoop::pass() {
    int64_t now = clock_.nowMs();
    if (!displayPresent(now)) return false;
    if (hooks_.publishGeometry) hooks_.publishGeometry();
    keepAwake();
    now = clock_.nowMs();
    healthChecks(now);

    now = clock_.nowMs();
    if (st_.connected.load() && st_.rebuildAttempts != 0) {
        st_.rebuildAttempts = 0;
        st_.rebuildNotBeforeMs = now;
    }
    if (!maybeRebuild(now)) return false;

    if (hooks_.terminalOnly) {
        heartbeat_ = clock_.nowMs();
        // The window's own line promises an exit: a terminal-only session
        // that nobody rejoins ends too.
        if (!exitWindowOpen(clock_.nowMs())) return false;
        hooks_.sleepMs(50);
        return running_.load();
    }

    if (hooks_.mediaHousekeeping) hooks_.mediaHousekeeping();
    bool framed = false;
    if (st_.connected.load() && hooks_.framePass) framed = hooks_.framePass();

    if (!framed) {
        now = clock_.nowMs();
        if (!exitWindowOpen(now)) return false;
        if (!st_.connected.load()) heartbeat_ = now;
        hooks_.sleepMs(10);
    }
    return running_.load();
}

bool SessionLoop::exitWindowOpen(int64_t now) {
    if (!st_.exitWindowArmed || now < st_.exitDeadlineMs) return true;
    const int64_t act = st_.lastViewerActivityMs.load();
    if (act >= 1 && now - act < kActivityFreshMs) {
        if (!st_.exitDeferralLogged) {
            logger().info(
                "Exit window expired but a (re)join/negotiation is in flight — deferring exit "
                "while activity stays fresh");
            st_.exitDeferralLogged = true;
        }
        return true;
    }
    logger().info("No viewer reconnected within the exit window — exiting");
    exitReason_ = 6;
    running_ = false;
    return false;
}

void SessionLoop::run() {
    while (running_.load() && pass()) {
    }
}

SignalingThread::SignalingThread(ISignalingClient& client, LifecycleState& state,
                                 std::atomic<bool>& running)
    : client_(client), st_(state), running_(running) {}

SignalingThread::~SignalingThread() = default;

void SignalingThread::passOnce() {
    if (st_.reconnectRequested.load()) {
        const bool ok = client_.connect();
        // The outcome is published before the request is withdrawn, so the
        // main loop never sees neither.
        st_.signalingReconnectFailed = !ok;
        st_.reconnectRequested = false;
        if (ok)
            logger().info("Signaling reconnected mid-session");
        else
            logger().warn("Signaling reconnect failed — main loop will rebuild");
    }
    client_.poll();
}

void SignalingThread::start() {
    thread_.start([this] {
        while (running_.load()) {
            passOnce();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

bool SignalingThread::join(int64_t limitMs) {
    return thread_.joinFor(std::chrono::milliseconds(limitMs));
}

}  // namespace kvd
