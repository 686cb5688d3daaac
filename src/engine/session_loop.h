#pragma once
// The session lifecycle: keep-awake while a viewer is connected, health
// checks, rebuilding the peer connection for the next viewer with back-off,
// the ICE give-up, the exit window, and the signaling thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/bounded_thread.h"
#include "common/clock.h"
#include "engine/peer_liveness.h"

namespace kvd {

class ISignalingClient;
namespace platform {
class PowerRequest;
}

// What the lifecycle needs from the peer connection side.
class SessionPeer {
  public:
    virtual ~SessionPeer() = default;
    virtual bool gatheringDeadlineExceeded() const = 0;
    virtual bool takeTurnRefreshPending() = 0;  // read and clear
    virtual bool remoteDescriptionSet() const = 0;
    virtual bool sawNonHostCandidate() const = 0;
    virtual bool hasIceServers() const = 0;
    virtual void reset(bool videoOverDataChannel) = 0;
    virtual bool initialize() = 0;
    virtual void registerPeerJoined() = 0;
    // "[ice-diag]" evidence line values.
    struct IceCounters {
        size_t iceServers = 0;
        uint64_t host = 0, srflx = 0, relay = 0, other = 0;
    };
    virtual IceCounters iceCounters() const = 0;
    // Packets received on the current connection so far (only grows);
    // none when the connection cannot count them.
    virtual std::optional<uint64_t> packetsReceived() const = 0;
    // Sends the viewer something its transport must acknowledge.
    virtual void probeViewer() = 0;
};

// Lifecycle fields shared with callbacks and threads.
struct LifecycleState {
    std::atomic<bool> connected{false};
    bool hadViewer = false;
    bool exitWindowArmed = false;
    int64_t exitDeadlineMs = 0;
    bool exitDeferralLogged = false;
    std::atomic<bool> rebuildRequested{false};
    std::atomic<bool> rebuildInProgress{false};
    std::atomic<bool> reconnectRequested{false};
    std::atomic<bool> signalingReconnectFailed{false};
    std::atomic<int64_t> lastFrameSentMs{-1};
    int32_t rebuildAttempts = 0;
    int64_t rebuildNotBeforeMs = 0;
    int32_t answeredStreak = 0;
    bool iceDeadCertain = false;
    std::atomic<int64_t> lastViewerActivityMs{0};
    bool showIndicator = true;
    std::atomic<bool> videoOverDataChannel{false};
    int lastKeepAwake = 0;  // 0 off, 1 on
};

class SessionLoop {
  public:
    // The media side of one pass and the per-viewer hooks; all optional.
    struct Hooks {
        // Terminal-only engines skip capture and video.
        bool terminalOnly = false;
        bool iceDiagnostics = false;
        // How long the engine waits for a viewer to come back; only tests
        // shorten it.
        int64_t exitWindowMs = 45000;
        // A connected viewer from which nothing arrived for this long is
        // treated as gone; only tests shorten it.
        int64_t viewerSilenceMs = PeerLiveness::kDefaultSilenceMs;
        // True while the display server is gone; after kDisplayLostMs of it
        // the session ends with an error instead of capturing nothing.
        std::function<bool()> displayLost;
        // Publishes capture geometry for the cursor thread.
        std::function<void()> publishGeometry;
        // Ladder pass, sender creation, display-state triggers.
        std::function<void()> mediaHousekeeping;
        // One frame pass when everything is present; returns whether it ran
        // (it then did its own sleeping).
        std::function<bool()> framePass;
        // Rebuild: drop the video sender and the per-connection frame state.
        std::function<void()> dropConnectionState;
        // Viewer connect / disconnect side effects.
        std::function<void(bool viewOnly)> showIndicator;
        std::function<void()> hideIndicator;
        std::function<void()> restoreResolutionIfPreferred;
        std::function<void(int64_t nowMs)> onRebuilt;  // e.g. last keyframe time
        std::function<void(int64_t ms)> sleepMs;
    };

    SessionLoop(LifecycleState& state, SessionPeer& peer, ISignalingClient& signaling,
                platform::PowerRequest* power, const Clock& clock, Hooks hooks,
                std::atomic<bool>& running, std::atomic<int32_t>& exitReason,
                std::atomic<int64_t>& heartbeatMs, bool viewOnly);

    // Peer connection callbacks (any thread).
    void onConnected();
    void onDisconnected();
    void onViewerActivity();

    // One pass; returns false when the loop must end.
    bool pass();
    void run();

    static constexpr int64_t kExitWindowMs = 45000;
    static constexpr int64_t kActivityFreshMs = 15000;
    static constexpr int64_t kStallMs = 5000;
    static constexpr int64_t kDisplayLostMs = 2000;

  private:
    void keepAwake();
    void healthChecks(int64_t nowMs);
    void checkViewerAlive(bool connected);
    // Returns false when the exit window ran out and the loop must end.
    bool exitWindowOpen(int64_t nowMs);
    // Returns false when the loop ends (give-up or re-init failure).
    bool maybeRebuild(int64_t nowMs);
    void giveUp();
    // Returns false when the display server stayed away too long.
    bool displayPresent(int64_t nowMs);

    LifecycleState& st_;
    SessionPeer& peer_;
    ISignalingClient& signaling_;
    platform::PowerRequest* power_;
    const Clock& clock_;
    Hooks hooks_;
    std::atomic<bool>& running_;
    std::atomic<int32_t>& exitReason_;
    std::atomic<int64_t>& heartbeat_;
    bool viewOnly_;
    int64_t displayLostSinceMs_ = -1;
    PeerLiveness liveness_;
};

// Polls the signaling client every 5 ms and performs requested reconnects.
class SignalingThread {
  public:
    SignalingThread(ISignalingClient& client, LifecycleState& state, std::atomic<bool>& running);
    ~SignalingThread();
    void start();
    // Bounded join; false when it had to be detached.
    bool join(int64_t limitMs);
    // One pass (for tests).
    void passOnce();

  private:
    ISignalingClient& client_;
    LifecycleState& st_;
    std::atomic<bool>& running_;
    BoundedThread thread_;
};

}  // namespace kvd
