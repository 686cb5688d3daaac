#include "engine/media_pipeline.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "capture/dxgi_capture.h"
#include "capture/gdi_capture.h"
#include "capture/shared_memory_capture.h"
#include "common/process_state.h"
#include "engine/config.h"
#include "engine/session_loop.h"
#include "webrtc/video_sender.h"

namespace kvd {

namespace {

bool validSize(int32_t w, int32_t h) {
    return w >= 1 && w <= kMaxEncodeDimension && h >= 1 && h <= kMaxEncodeDimension;
}

const char* const kFallbackShm = R"({"type":"capture_fallback","mode":"shm"})";
const char* const kFallbackGdi = R"({"type":"capture_fallback","mode":"gdi"})";

void putU16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

// The pointer-shape message: B, G, R, A pixels become R, G, B, A. Shapes
// whose message would not fit into one channel message are sampled down by
// the smallest integer factor that fits; an image shorter than its declared
// size is not sent at all.
std::vector<uint8_t> cursorShapeMessage(const std::vector<uint8_t>& bgra, int32_t w, int32_t h,
                                        int32_t hotX, int32_t hotY, size_t maxBytes) {
    const int64_t need = int64_t{w} * h * 4;
    if (w <= 0 || h <= 0 || static_cast<int64_t>(bgra.size()) < need) {
        logger().warn("[cursor] pointer shape {}x{} carries {} bytes, expected {} — not sent", w, h,
                      bgra.size(), need);
        return {};
    }
    int64_t f = 1;
    auto scaled = [&](int64_t v) { return (v + f - 1) / f; };
    while (8 + scaled(w) * scaled(h) * 4 > static_cast<int64_t>(maxBytes)) ++f;
    const int64_t nw = scaled(w), nh = scaled(h);
    if (f > 1)
        logger().warn("[cursor] pointer shape {}x{} exceeds {} bytes — downscaled to {}x{}", w, h,
                      maxBytes, nw, nh);
    std::vector<uint8_t> msg(static_cast<size_t>(8 + nw * nh * 4));
    msg[0] = 0x11;
    msg[1] = 0xFF;
    // One byte each on the wire: larger hotspots arrive truncated.
    msg[2] = static_cast<uint8_t>(hotX / f);
    msg[3] = static_cast<uint8_t>(hotY / f);
    putU16(msg, 4, static_cast<uint32_t>(nw));
    putU16(msg, 6, static_cast<uint32_t>(nh));
    uint8_t* out = msg.data() + 8;
    for (int64_t y = 0; y < nh; ++y) {
        const uint8_t* row = bgra.data() + (y * f) * w * 4;
        for (int64_t x = 0; x < nw; ++x, out += 4) {
            const uint8_t* p = row + (x * f) * 4;
            out[0] = p[2];
            out[1] = p[1];
            out[2] = p[0];
            out[3] = p[3];
        }
    }
    return msg;
}

}  // namespace

VideoSenderSink::VideoSenderSink(std::unique_ptr<VideoSender> sender)
    : sender_(std::move(sender)) {}
VideoSenderSink::~VideoSenderSink() = default;
bool VideoSenderSink::sendFrame(const EncodedFrame& frame) {
    return sender_->sendFrame(frame);
}
uint64_t VideoSenderSink::bufferedAmount() const {
    return sender_->bufferedAmount();
}

const char* captureKindName(CaptureKind kind) {
    switch (kind) {
        case CaptureKind::Dxgi:
            return "dxgi";
        case CaptureKind::Gdi:
            return "gdi";
        case CaptureKind::ShmV2:
            return "shm2";
        case CaptureKind::ShmV1:
            return "shm";
        default:
            return "none";
    }
}

CaptureFactory defaultCaptureFactory() {
    CaptureFactory f;
    f.makeDxgi = [] { return std::make_unique<DxgiCapture>(); };
    f.makeGdi = [] { return std::make_unique<GdiCapture>(); };
    f.makeShmV2 = [](int32_t heartbeatTimeoutMs, const std::string& sessionId) {
        auto cap = std::make_unique<SharedMemoryCaptureV2>(heartbeatTimeoutMs);
        cap->setSessionId(sessionId);
        return std::unique_ptr<ScreenCapture>(std::move(cap));
    };
    f.makeShmV1 = [](const std::string& sessionId) {
        auto cap = std::make_unique<SharedMemoryCapture>();
        cap->setSessionId(sessionId);
        return std::unique_ptr<ScreenCapture>(std::move(cap));
    };
    return f;
}

EncoderFactory defaultEncoderFactory() {
    return [](const EncoderConfig& c) { return createEncoder(c); };
}

MediaPipeline::MediaPipeline(const EngineConfig& cfg, LifecycleState& life, ProcessState& ps,
                             const Clock& clock, Deps deps)
    : cfg_(cfg),
      life_(life),
      ps_(ps),
      clock_(clock),
      deps_(std::move(deps)),
      classifier_(0, 0, 30, 0.0f, 0.3f),
      pressure_(static_cast<uint32_t>(std::max(cfg.maxBitrate, 1)), clock),
      cursor_(std::make_shared<CursorShared>()),
      currentFps_(cfg.targetFps),
      // The first shared-memory retry must not wait.
      lastShmRetryMs_(clock.nowMs() - 10000) {}

MediaPipeline::~MediaPipeline() = default;

// ---------------------------------------------------------------- helpers

void MediaPipeline::sleepMs(int64_t ms) {
    if (ms <= 0) return;
    if (deps_.sleepMs)
        deps_.sleepMs(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::unique_ptr<VideoEncoder> MediaPipeline::buildEncoder(int32_t width, int32_t height) {
    if (!deps_.encoderFactory) return nullptr;
    EncoderConfig c;
    c.width = width;
    c.height = height;
    c.fps = cfg_.targetFps;
    c.bitrateKbps = cfg_.maxBitrate;
    c.keyframeIntervalSec = 5;
    std::unique_ptr<VideoEncoder> enc;
    try {
        enc = deps_.encoderFactory(c);
    } catch (const std::exception& e) {
        logger().error("[encode] encoder factory failed: {}", e.what());
        return nullptr;
    }
    if (enc && deps_.installEncoderErrorCallback) deps_.installEncoderErrorCallback(*enc);
    return enc;
}

void MediaPipeline::adoptEncoder(std::unique_ptr<VideoEncoder> enc, int32_t width, int32_t height) {
    encoder_ = std::move(enc);
    changesWhole_ = true;
    encoderSrcWidth_ = width;
    encoderSrcHeight_ = height;
}

void MediaPipeline::setCapture(std::unique_ptr<ScreenCapture> cap, CaptureKind kind) {
    if (!cap && !capture_) return;
    capture_ = std::move(cap);
    captureKind_ = capture_ ? kind : CaptureKind::None;
    ++captureGeneration_;
    changesWhole_ = true;
    unencodedChange_ = true;
}

void MediaPipeline::dropCaptureAndEncoder() {
    setCapture(nullptr, CaptureKind::None);
    encoder_.reset();
    encoderSrcWidth_ = encoderSrcHeight_ = 0;
}

std::unique_ptr<ScreenCapture> MediaPipeline::make(CaptureKind kind) {
    try {
        if (kind == CaptureKind::Dxgi && deps_.captures.makeDxgi) return deps_.captures.makeDxgi();
        if (kind == CaptureKind::Gdi && deps_.captures.makeGdi) return deps_.captures.makeGdi();
    } catch (const std::exception& e) {
        logger().error("[capture] creating the {} capture failed: {}", captureKindName(kind),
                       e.what());
    }
    return nullptr;
}

bool MediaPipeline::encoderMatchesCapture() const {
    return capture_ && encoder_ && encoderSrcWidth_ == capture_->width() &&
           encoderSrcHeight_ == capture_->height();
}

void MediaPipeline::noteCaptureSize() {
    if (!capture_) return;
    classifier_.resize(capture_->width(), capture_->height());
    // An encoder still at the old size must go through the size check, which
    // reconfigures it; recording the size here would hide the mismatch.
    if (!encoderMatchesCapture()) return;
    lastWidth_ = capture_->width();
    lastHeight_ = capture_->height();
}

void MediaPipeline::syncInputBounds() {
    if (!capture_ || !deps_.setInputBounds) return;
    const int32_t w = capture_->width(), h = capture_->height();
    if (w <= 0 || h <= 0) return;
    const int32_t x = capture_->originX(), y = capture_->originY();
    deps_.setInputBounds(x, y, w, h);
    logger().info("[input] bounds synced to capture: ({}, {}) {}x{}", x, y, w, h);
}

void MediaPipeline::reportDisplayState() {
    reportedGeneration_ = captureGeneration_;
    if (deps_.reportDisplayState) deps_.reportDisplayState();
}

void MediaPipeline::sendControlJson(const Json& j) {
    if (deps_.peer) deps_.peer->sendControlJson(dumpJson(j));
}

void MediaPipeline::sendTransition(const char* reason, const char* to) {
    if (!deps_.sendTransition) return;
    deps_.sendTransition(Json{{"from", "shm2"}, {"reason", reason}, {"to", to}});
}

bool MediaPipeline::reconfigureEncoder(int32_t w, int32_t h, int32_t fps, int32_t kbps,
                                       int32_t srcW, int32_t srcH) {
    if (!encoder_) return false;
    // Whatever the outcome, the encoder may have started a new picture.
    changesWhole_ = true;
    if (!encoder_->reconfigure(w, h, fps, kbps, srcW, srcH)) return false;
    encoderSrcWidth_ = srcW;
    encoderSrcHeight_ = srcH;
    return true;
}

bool MediaPipeline::reconfigureOrRebuild(const char* tag, int32_t w, int32_t h) {
    if (reconfigureEncoder(w, h, cfg_.targetFps, cfg_.maxBitrate, w, h)) return true;
    logger().warn("{} encoder reconfigure failed — rebuilding encoder at {}x{}", tag, w, h);
    if (auto enc = buildEncoder(w, h)) {
        adoptEncoder(std::move(enc), w, h);
        return true;
    }
    logger().error("{} encoder rebuild FAILED — keeping old encoder, frames will be dropped", tag);
    return false;
}

void MediaPipeline::replaceCapture(std::unique_ptr<ScreenCapture> cap, CaptureKind kind,
                                   const char* switchedFormat, const char* encoderFailed) {
    const int32_t w = cap->width(), h = cap->height();
    auto enc = buildEncoder(w, h);
    setCapture(std::move(cap), kind);
    if (enc) {
        adoptEncoder(std::move(enc), w, h);
        logger().info(fmt::runtime(switchedFormat), w, h);
    } else {
        logger().error(encoderFailed);
    }
    noteCaptureSize();
    syncInputBounds();
}

bool MediaPipeline::adoptShm(std::unique_ptr<ScreenCapture> shm, CaptureKind kind,
                             const char* switchedFormat, const char* encoderFailed) {
    const int32_t w = shm->width(), h = shm->height();
    auto enc = buildEncoder(w, h);
    if (!enc) {
        logger().error(encoderFailed);
        return false;
    }
    setCapture(std::move(shm), kind);
    adoptEncoder(std::move(enc), w, h);
    noteCaptureSize();
    logger().info(fmt::runtime(switchedFormat), w, h);
    syncInputBounds();
    return true;
}

void MediaPipeline::encoderForCaptureOrDrop() {
    const int32_t w = capture_->width(), h = capture_->height();
    if (auto enc = buildEncoder(w, h)) {
        adoptEncoder(std::move(enc), w, h);
    } else {
        logger().error("Encoder init failed after capture retry");
        setCapture(nullptr, CaptureKind::None);
    }
}

bool MediaPipeline::recordingEnabled() const {
    return deps_.recordingEnabled ? deps_.recordingEnabled() : cfg_.recordingEnabled;
}

MediaStats MediaPipeline::stats() const {
    MediaStats s;
    s.classifierFrames = classifier_.frames();
    s.classifierNone = classifier_.none();
    s.classifierPartial = classifier_.partial();
    s.classifierMajor = classifier_.major();
    s.currentFps = currentFps_;
    s.ladderRetries = ladderRetries_;
    s.starvedDeaths = starvedDeaths_;
    return s;
}

// ---------------------------------------------------------------- start-up

void MediaPipeline::startupCapture() {
    if (cfg_.terminalOnly) return;
    auto tryInit = [](std::unique_ptr<ScreenCapture>& c) {
        return c && c->init(-1) && validSize(c->width(), c->height());
    };
    if (cfg_.unattendedMode) {
        auto gdi = make(CaptureKind::Gdi);
        if (tryInit(gdi)) {
            logger().info("Unattended GDI capture: {}x{}", gdi->width(), gdi->height());
            setCapture(std::move(gdi), CaptureKind::Gdi);
        } else {
            logger().warn(
                "GDI capture failed/invalid in unattended mode — will retry in main loop");
        }
    } else {
        auto dxgi = make(CaptureKind::Dxgi);
        if (tryInit(dxgi)) {
            logger().info("Screen capture: {}x{}", dxgi->width(), dxgi->height());
            setCapture(std::move(dxgi), CaptureKind::Dxgi);
        } else {
            logger().warn(
                "DXGI init failed/invalid — trying GDI fallback (display may be asleep or locked)");
            dxgi.reset();
            auto gdi = make(CaptureKind::Gdi);
            if (tryInit(gdi)) {
                logger().info("GDI fallback capture at startup: {}x{}", gdi->width(),
                              gdi->height());
                setCapture(std::move(gdi), CaptureKind::Gdi);
            } else {
                logger().warn("GDI fallback also failed/invalid — will retry after TCP connect");
            }
        }
    }
    if (capture_) classifier_.resize(capture_->width(), capture_->height());
}

StartupEncoderResult MediaPipeline::startupEncoder() {
    if (!capture_) return StartupEncoderResult::NoCapture;
    const int32_t w = capture_->width(), h = capture_->height();
    auto enc = buildEncoder(w, h);
    if (!enc) {
        logger().error("Failed to initialize encoder");
        // Unattended engines exit with 4; everyone else lets the ladder retry both.
        if (!cfg_.unattendedMode) setCapture(nullptr, CaptureKind::None);
        return StartupEncoderResult::Failed;
    }
    adoptEncoder(std::move(enc), w, h);
    return StartupEncoderResult::Ok;
}

// ---------------------------------------------------------------- session-loop hooks

void MediaPipeline::publishGeometry() {
    if (!capture_) return;
    cursor_->originX = capture_->originX();
    cursor_->originY = capture_->originY();
    cursor_->width = capture_->width();
    cursor_->height = capture_->height();
}

void MediaPipeline::housekeeping() {
    if (!cfg_.terminalOnly) ladderPass();

    if (!sink_ && deps_.peer && deps_.peer->videoTrackOpen()) {
        sink_ = deps_.peer->makeSink();
        if (sink_) logger().info("VideoTrack created (DC will activate when open)");
    }

    // Display-state triggers: a connected engine without a capture (once per
    // connection, from a fresh memory), and every change of capture object.
    if (life_.connected.load() && !capture_ && !noCaptureReported_) {
        noCaptureReported_ = true;
        if (deps_.clearDisplayState) deps_.clearDisplayState();
        reportDisplayState();
    } else if (captureGeneration_ != reportedGeneration_) {
        reportDisplayState();
    }
}

void MediaPipeline::dropConnectionState() {
    sink_.reset();
    firstFrameSent_ = false;
    connectionStarted_ = false;
    noCaptureReported_ = false;
    cursor_->cursorOverlay = false;
    cursor_->cursorOnInputChannel = false;
    cursorChannelWasOpen_ = false;
    cursorWasVisible_ = false;
}

void MediaPipeline::onRebuilt(int64_t nowMs) {
    lastKeyframeMs_ = nowMs;
}

// ---------------------------------------------------------------- requests

void MediaPipeline::requestMonitorSwitch(int32_t index) {
    monitorSwitchRequest_ = index;
}
void MediaPipeline::requestResolutionReinit() {
    resolutionReinitRequested_ = true;
}
void MediaPipeline::notifyTopologyChanged() {
    topologyChanged_ = true;
}
void MediaPipeline::secureDesktopEntered() {
    logger().warn("Secure Desktop entered — capture switch pending");
    secureDesktopEvent_ = 1;
}
void MediaPipeline::secureDesktopExited() {
    logger().info("Secure Desktop exited — capture switch pending");
    secureDesktopEvent_ = 2;
}

void MediaPipeline::onQualityRequest(int64_t maxHeight, int64_t fps) {
    // Peer-supplied: heights beyond the capture mean "no cap", rates are kept
    // to what an encoder can be opened with.
    const int64_t capH = cursor_->height.load();
    int64_t h = std::clamp<int64_t>(maxHeight, 0, kMaxEncodeDimension);
    if (capH > 0) h = std::min(h, capH);
    const int64_t f = fps <= 0 ? 0 : std::min<int64_t>(fps, QualityController::kMaxViewerFps);
    maxHeight_ = static_cast<int32_t>(h);
    fpsOverride_ = static_cast<int32_t>(f);
    reconfigureRequested_ = true;
}

void MediaPipeline::onQualityConfig(const QualityConfig& q) {
    {
        std::lock_guard<std::mutex> lock(qualityMu_);
        pendingQuality_ = q;
    }
    qualityChangePending_ = true;
}

void MediaPipeline::requestKeyframe() {
    viewerKeyframeRequest_ = true;
}
void MediaPipeline::setCursorOverlay(bool on) {
    cursor_->cursorOverlay = on;
}
void MediaPipeline::setCursorOnInputChannel(bool on) {
    cursor_->cursorOnInputChannel = on;
}

// ---------------------------------------------------------------- capture ladder

bool MediaPipeline::switchToShm() {
    if (cfg_.shmV2 && !cfg_.inputPipeName.empty() && deps_.captures.makeShmV2) {
        auto shm = deps_.captures.makeShmV2(kShmHeartbeatTimeoutMs, cfg_.sessionId);
        if (shm && shm->init(-1) &&
            adoptShm(std::move(shm), CaptureKind::ShmV2, "Switched to SharedMemoryCaptureV2: {}x{}",
                     "Encoder rebuild for SHM v2 capture FAILED — keeping previous "
                     "capture+encoder"))
            return true;
    }
    if (cfg_.inputPipeName.empty()) return false;
    if (!deps_.captures.makeShmV1) return false;
    auto shm = deps_.captures.makeShmV1(cfg_.sessionId);
    if (!shm || !shm->init(-1)) return false;
    return adoptShm(std::move(shm), CaptureKind::ShmV1, "Switched to SharedMemoryCapture: {}x{}",
                    "Encoder rebuild for SHM capture FAILED — keeping previous capture+encoder");
}

void MediaPipeline::ladderPass() {
    const int64_t now = clock_.nowMs();

    if (deps_.sendStatusReport && deps_.statusReportEnabled && deps_.statusReportEnabled() &&
        now - lastStatusReportMs_ >= kStatusReportMs) {
        lastStatusReportMs_ = now;
        deps_.sendStatusReport();
    }

    if (capture_ && capture_->isDead()) {
        if (capture_->diedStarved()) {
            ++starvedDeaths_;
            logger().warn(
                "capture backend died starved (no first frame) — ladder will prefer GDI (starved "
                "deaths: {})",
                starvedDeaths_);
        }
        logger().warn("capture backend marked dead — resetting for ladder re-acquire");
        dropCaptureAndEncoder();
        shmActive_ = false;
    }

    if (capture_) {
        if (encoder_) return;
        // A capture whose encoder could not be built (and had none to keep)
        // would otherwise sit here for good: the frame pass needs both.
        if (now - lastEncoderRetryMs_ < kLadderRetryMs) return;
        lastEncoderRetryMs_ = now;
        encoderForCaptureOrDrop();
        syncInputBounds();
        reportDisplayState();
        ps_.watchdogHeartbeatMs = now;
        return;
    }

    if (now - lastLadderRetryMs_ >= kLadderRetryMs) {
        lastLadderRetryMs_ = now;
        ++ladderRetries_;

        const bool secure = deps_.secureDesktopActive && deps_.secureDesktopActive();
        if (secure && !cfg_.inputPipeName.empty()) {
            shmActive_ = switchToShm();
            if (shmActive_) {
                logger().info("shm-capture acquired on lazy retry (secure desktop)");
                if (deps_.peer) deps_.peer->sendControlJson(kFallbackShm);
            }
        }

        if (!capture_ && starvedDeaths_ == 0) {
            auto dxgi = make(CaptureKind::Dxgi);
            if (dxgi && dxgi->init(-1)) {
                logger().info("DXGI retry succeeded: {}x{}", dxgi->width(), dxgi->height());
                setCapture(std::move(dxgi), CaptureKind::Dxgi);
            }
        }

        if (!capture_ && (ladderRetries_ >= 3 || starvedDeaths_ >= 1)) {
            logger().warn("DXGI failed {} times — switching to GDI fallback", ladderRetries_);
            auto gdi = make(CaptureKind::Gdi);
            if (gdi && gdi->init(-1)) {
                logger().info("GDI fallback capture: {}x{}", gdi->width(), gdi->height());
                setCapture(std::move(gdi), CaptureKind::Gdi);
                if (deps_.peer) deps_.peer->sendControlJson(kFallbackGdi);
            } else {
                logger().error("GDI fallback also failed");
            }
        }

        if (capture_ && !encoder_) encoderForCaptureOrDrop();
        syncInputBounds();
        reportDisplayState();
    }

    ps_.watchdogHeartbeatMs = now;
}

bool MediaPipeline::monitorSwitch() {
    const int32_t index = monitorSwitchRequest_.exchange(-1);
    if (index < 0) return false;
    logger().info("[multi-monitor] switching capture to index {}", index);
    setCapture(nullptr, CaptureKind::None);
    const CaptureKind kind = starvedDeaths_ == 0 ? CaptureKind::Dxgi : CaptureKind::Gdi;
    auto cap = make(kind);
    const bool ok = cap && cap->init(index);
    // A failed object stays until the ladder finds it dead.
    setCapture(std::move(cap), kind);
    if (!ok) {
        logger().warn("[multi-monitor] reinit failed on index {}", index);
        return false;
    }
    reconfigureOrRebuild("[multi-monitor]", capture_->width(), capture_->height());
    noteCaptureSize();
    syncInputBounds();
    return true;
}

void MediaPipeline::resolutionReinit() {
    if (!resolutionReinitRequested_.exchange(false)) return;
    logger().info("[resolution] forcing capture re-init after host display change");
    sleepMs(250);  // let the mode change settle
    setCapture(nullptr, CaptureKind::None);
    const CaptureKind kind = starvedDeaths_ == 0 ? CaptureKind::Dxgi : CaptureKind::Gdi;
    auto cap = make(kind);
    const bool ok = cap && cap->init(-1);
    setCapture(std::move(cap), kind);
    if (ok)
        syncInputBounds();
    else
        logger().warn("[resolution] capture re-init after host display change failed");
    // The mode change also reaches the topology watcher; it is handled now.
    topologyChanged_ = false;
}

bool MediaPipeline::topologyReinit() {
    if (!topologyChanged_.exchange(false) || cfg_.terminalOnly) return false;
    logger().warn("[topology] display change detected — re-initializing capture");
    if (starvedDeaths_ > 0) {
        logger().info(
            "[topology] resetting DXGI starve memory ({} death(s)) — re-probing DXGI on the new "
            "topology",
            starvedDeaths_);
        starvedDeaths_ = 0;
    }
    int32_t index =
        deps_.monitors.reenumerateAndAnnounce ? deps_.monitors.reenumerateAndAnnounce() : -1;
    if (index < 0) index = -1;
    setCapture(nullptr, CaptureKind::None);
    auto cap = make(CaptureKind::Dxgi);
    const bool ok = cap && cap->init(index);
    setCapture(std::move(cap), CaptureKind::Dxgi);
    if (!ok) {
        logger().warn("[topology] re-init failed — dead object, ladder re-acquires next tick");
        reportDisplayState();
        return false;
    }
    const int32_t w = capture_->width(), h = capture_->height();
    reconfigureOrRebuild("[topology]", w, h);
    noteCaptureSize();
    shmActive_ = false;
    syncInputBounds();
    logger().info("[topology] capture re-initialized: {}x{}", w, h);
    reportDisplayState();
    return true;
}

MediaPipeline::Flow MediaPipeline::secureDesktopEvents() {
    const int32_t event = secureDesktopEvent_.exchange(0);
    if (cfg_.terminalOnly) return Flow::Continue;
    Flow flow = Flow::Continue;
    if (event == 2)
        secureDesktopLeft(flow);
    else if (event == 1)
        secureDesktopEnter();
    return flow;
}

void MediaPipeline::secureDesktopLeft(Flow& flow) {
    if (cfg_.shmV2 && cfg_.transitionBridge && cfg_.dxgiCandidatePromotion && shmActive_ &&
        capture_) {
        logger().info("secure desktop EXIT under transition bridge — probing a DXGI candidate");
        auto cand = make(CaptureKind::Dxgi);
        if (cand && cand->init(-1)) {
            candidate_ = std::move(cand);
            proof_ = CandidateProof{};
            proof_.startMs = clock_.nowMs();
            sendTransition("bridge_probe_started", "dxgi-candidate");
        } else {
            logger().warn("DXGI candidate init failed — bridge keeps carrying the stream");
        }
        flow = Flow::EndPass;
        return;
    }

    logger().info("Applying deferred capture switch: secure desktop EXIT");
    shmActive_ = false;
    if (starvedDeaths_ >= 1) {
        logger().warn(
            "secure-desktop EXIT: DXGI previously starved on this host — routing to GDI via "
            "ladder");
        dropCaptureAndEncoder();
        flow = Flow::EndPass;
        return;
    }
    auto dxgi = make(CaptureKind::Dxgi);
    if (!dxgi || !dxgi->init(-1)) {
        logger().warn("DXGI reinit failed — keeping current capture");
        return;
    }
    replaceCapture(std::move(dxgi), CaptureKind::Dxgi, "Switched back to DXGI capture: {}x{}",
                   "Encoder rebuild for DXGI restore FAILED — keeping previous encoder");
}

void MediaPipeline::secureDesktopEnter() {
    if (candidate_) {
        logger().info("secure desktop ENTER — cancelling the DXGI candidate probe");
        candidate_.reset();
        proof_ = CandidateProof{};
    }
    logger().warn("Applying deferred capture switch: secure desktop ENTER");
    const bool currentIsShm =
        capture_ && (captureKind_ == CaptureKind::ShmV2 || captureKind_ == CaptureKind::ShmV1);
    const bool guardKeeps = cfg_.captureEnterGuard && currentIsShm;
    if (guardKeeps) {
        shmActive_ = true;
        logger().info("secure desktop ENTER: shared-memory capture already serving — keeping it");
        return;
    }
    shmActive_ = switchToShm();
    if (shmActive_) return;

    logger().warn("shm-capture unavailable on secure-desktop enter — trying GDI stopgap");
    auto gdi = make(CaptureKind::Gdi);
    if (!gdi || !gdi->init(-1)) return;
    replaceCapture(std::move(gdi), CaptureKind::Gdi, "Switched to GDI capture (fallback): {}x{}",
                   "Encoder rebuild for GDI fallback FAILED — keeping previous encoder");
}

void MediaPipeline::candidateProbe() {
    CapturedFrame f = candidate_->captureFrame();
    if (f.valid && f.data && proof_.startMs >= 0 && !proof_.failed) ++proof_.frames;
    candidate_->releaseFrame(f);
    if (proof_.startMs < 0) return;
    if (proof_.failed) {
        candidateGiveUp();
        return;
    }
    if (static_cast<int64_t>(proof_.frames) < proof_.requiredFrames) {
        if (clock_.nowMs() - proof_.startMs > proof_.windowMs) {
            proof_.failed = true;
            candidateGiveUp();
        }
        return;
    }
    const int32_t w = candidate_->width(), h = candidate_->height();
    auto enc = buildEncoder(w, h);
    if (!enc) {
        logger().error("Encoder rebuild for promoted DXGI FAILED — bridge keeps carrying");
        candidate_.reset();
        proof_ = CandidateProof{};
        return;
    }
    setCapture(std::move(candidate_), CaptureKind::Dxgi);
    proof_ = CandidateProof{};
    adoptEncoder(std::move(enc), w, h);
    shmActive_ = false;
    noteCaptureSize();
    syncInputBounds();
    if (deps_.bridgeRelease) deps_.bridgeRelease();
    sendTransition("candidate_promoted", "dxgi");
    logger().info("DXGI candidate PROMOTED after behavioral proof: {}x{}", w, h);
}

void MediaPipeline::candidateGiveUp() {
    candidate_.reset();
    proof_ = CandidateProof{};
    if (deps_.secureDesktopActive && deps_.secureDesktopActive()) {
        logger().info("DXGI candidate window expired during secure desktop — staying on SHM");
        return;
    }
    logger().warn(
        "DXGI candidate failed behavioral proof (Basic Render class) — committing to GDI under "
        "the bridge");
    auto gdi = make(CaptureKind::Gdi);
    if (!gdi || !gdi->init(-1)) {
        sendTransition("candidate_gave_up_no_fallback", "none");
        return;
    }
    const int32_t w = gdi->width(), h = gdi->height();
    auto enc = buildEncoder(w, h);
    if (!enc) {
        logger().error("Encoder rebuild for GDI fallback FAILED — bridge keeps carrying");
        return;
    }
    setCapture(std::move(gdi), CaptureKind::Gdi);
    adoptEncoder(std::move(enc), w, h);
    shmActive_ = false;
    noteCaptureSize();
    syncInputBounds();
    if (deps_.bridgeRelease) deps_.bridgeRelease();
    if (deps_.peer) deps_.peer->sendControlJson(kFallbackGdi);
    sendTransition("candidate_gave_up", "gdi");
}

void MediaPipeline::shmRetry() {
    if (shmActive_ || cfg_.terminalOnly || cfg_.inputPipeName.empty()) return;
    if (!deps_.secureDesktopActive || !deps_.secureDesktopActive()) return;
    const int64_t now = clock_.nowMs();
    if (now - lastShmRetryMs_ < kShmRetryMs) return;
    lastShmRetryMs_ = now;
    shmActive_ = switchToShm();
    if (shmActive_) logger().info("shm-capture retry succeeded — secure desktop now visible");
}

// ---------------------------------------------------------------- frame pass

void MediaPipeline::connectionStart() {
    if (deps_.monitors.connectionStarted && deps_.peer) {
        MediaPeer* peer = deps_.peer;
        deps_.monitors.connectionStarted(
            [peer](const std::string& text) { peer->sendControlJson(text); });
    }
    if (deps_.clearDisplayState) deps_.clearDisplayState();
    reportDisplayState();
}

bool MediaPipeline::applyAdaptiveQuality() {
    if (!qualityChangePending_.exchange(false)) return false;
    QualityConfig q;
    {
        std::lock_guard<std::mutex> lock(qualityMu_);
        q = pendingQuality_;
    }
    const int32_t cw = capture_->width(), ch = capture_->height();
    if (!validSize(cw, ch)) return false;
    const EncodePlan plan = planAdaptiveQuality(q, cw, ch);
    if (!reconfigureEncoder(plan.width, plan.height, plan.fps, plan.bitrateKbps, cw, ch))
        return false;
    classifier_.resize(cw, ch);
    currentFps_ = plan.fps;
    return true;
}

void MediaPipeline::checkCaptureSize() {
    const int32_t w = capture_->width(), h = capture_->height();
    if (!validSize(w, h) || (w == lastWidth_ && h == lastHeight_)) return;
    logger().info("[resolution] capture size changed {}x{} -> {}x{}", lastWidth_, lastHeight_, w,
                  h);
    lastWidth_ = w;
    lastHeight_ = h;
    classifier_.resize(w, h);
    maxHeight_ = 0;
    reconfigureRequested_ = true;
    sendControlJson(Json{{"height", h}, {"type", "resolution_applied"}, {"width", w}});
    if (deps_.monitors.refreshList) deps_.monitors.refreshList();
    syncInputBounds();
}

bool MediaPipeline::applyReconfigure() {
    if (!reconfigureRequested_.exchange(false)) return false;
    const int32_t cw = capture_->width(), ch = capture_->height();
    if (!validSize(cw, ch)) {
        reconfigureRequested_ = true;  // wait for a capture with a size
        return false;
    }
    const EncodePlan plan = planViewerQuality(maxHeight_.load(), fpsOverride_.load(), cw, ch,
                                              currentFps_, cfg_.maxBitrate);
    if (!reconfigureEncoder(plan.width, plan.height, plan.fps, plan.bitrateKbps, cw, ch))
        return false;
    pressure_.reset(static_cast<uint32_t>(std::max(plan.bitrateKbps, 1)));
    currentFps_ = plan.fps;
    return true;
}

void MediaPipeline::sendCursorShape() {
    if (!deps_.peer) return;
    if (!deps_.peer->controlChannelOpen()) {
        cursorChannelWasOpen_ = false;
        return;
    }
    const bool opening = !cursorChannelWasOpen_;
    cursorChannelWasOpen_ = true;
    const bool visible = capture_->cursorVisible();
    if (!visible) {
        if (cursorWasVisible_) deps_.peer->sendControlBinary({0x11, 0xFE, 0, 0, 0, 0, 0, 0});
    } else {
        const int32_t w = capture_->cursorWidth(), h = capture_->cursorHeight();
        if (w > 0 && h > 0) {
            // Always consume the change mark, so that a shape sent on the
            // opening edge is not sent a second time next pass.
            const bool changed = capture_->takeCursorShapeChanged();
            if (opening || changed) {
                auto msg =
                    cursorShapeMessage(capture_->cursorShape(), w, h, capture_->cursorHotspotX(),
                                       capture_->cursorHotspotY(), kMaxCursorMessageBytes);
                if (!msg.empty()) deps_.peer->sendControlBinary(msg);
            }
        }
    }
    cursorWasVisible_ = visible;
}

bool MediaPipeline::framePass() {
    if (!life_.connected.load() || !sink_ || !capture_ || !encoder_) return false;

    if (!connectionStarted_.exchange(true)) connectionStart();

    bool reconfigured = false;
    if (monitorSwitch()) reconfigured = true;
    resolutionReinit();
    if (topologyReinit()) reconfigured = true;
    if (!capture_ || !encoder_) {
        sleepMs(10);
        return true;
    }

    if (applyAdaptiveQuality()) reconfigured = true;
    checkCaptureSize();

    const uint64_t buffered = sink_->bufferedAmount();
    const AbrDecision abr = pressure_.tick(buffered);

    if (applyReconfigure()) reconfigured = true;

    int64_t now = clock_.nowMs();
    bool keyframeDue =
        !firstFrameSent_ || now - lastKeyframeMs_ >= int64_t{kPeriodicKeyframeSec} * 1000;
    if (!keyframeDue) keyframeDue = viewerKeyframeRequest_.exchange(false);
    if (keyframeDue && abr.suppressKeyframe && firstFrameSent_) {
        keyframeDue = false;
        if (now - lastSuppressLogMs_ >= 5000) {
            lastSuppressLogMs_ = now;
            logger().warn("[ABR] Suppressing periodic keyframe (DC buffer too full)");
        }
    }
    if (reconfigured) keyframeDue = true;
    if (keyframeDue) {
        encoder_->requestKeyframe();
        lastKeyframeMs_ = now;
    }

    if (abr.hardDrop) {
        if (now - lastHardDropLogMs_ >= 2000) {
            lastHardDropLogMs_ = now;
            logger().warn("[ABR] EMERGENCY hard-drop — DC buffer {}KB > {}KB, dropping all frames",
                          buffered / 1024, 1000);
        }
        sleepMs(20);
        return true;
    }
    if (abr.dropFrame && !keyframeDue) {
        sleepMs(10);
        return true;
    }

    if (secureDesktopEvents() == Flow::EndPass) return true;
    if (candidate_) candidateProbe();
    shmRetry();
    if (!capture_ || !encoder_) {
        sleepMs(10);
        return true;
    }

    const int64_t interval = 1000 / std::max(currentFps_, 1);
    now = clock_.nowMs();
    if (!keyframeDue) {
        const int64_t wait = std::min(interval - (now - lastFrameMs_), interval);
        if (wait > 2) {
            sleepMs(wait);
            now = clock_.nowMs();
        }
    }
    // The period of the frames counts from here: the frame's own capture and
    // encoding happen inside it, not after it.
    const int64_t frameStartMs = now;

    const bool overlay = cursor_->cursorOverlay.load();
    capture_->setCursorOverlay(overlay);
    CapturedFrame frame = capture_->captureFrame();
    if (overlay) sendCursorShape();

    if (!frame.valid || !frame.data) {
        capture_->releaseFrame(frame);
        sleepMs(10);
        return true;
    }

    ps_.capturedFrames.fetch_add(1);
    ps_.lastCaptureMs = now;
    noteChanges(frame);

    if (!keyframeDue && now - lastFrameMs_ < interval) {
        capture_->releaseFrame(frame);
        sleepMs(2);
        return true;
    }

    // An unchanged screen is not encoded again at the full rate, but at
    // least once a second, so that the stall detector, the recording and the
    // viewer's decoder keep their pace. "Unchanged" counts from the frame the
    // encoder last saw: a change that came with a frame skipped since then
    // (pacing, back-pressure) is still to be sent.
    if (!frame.dirtyRects.empty()) classifier_.classify(frame.dirtyRects);
    const bool noChange = !unencodedChange_;
    // An encoder that drops the repeated picture must not be asked again on
    // every pass: a refresh is tried once per period.
    const bool refreshDue = now - std::max(lastFrameMs_, lastRefreshTryMs_) >= kUnchangedRefreshMs;
    if (noChange && refreshDue) lastRefreshTryMs_ = now;
    if (noChange && !keyframeDue && !refreshDue) {
        capture_->releaseFrame(frame);
        // A capture that does not wait for changes would be asked again at
        // once: look again one frame interval after this look began.
        int64_t pause = 5;
        if (!capture_->waitsForChange())
            pause = std::max<int64_t>(pause, interval - (clock_.nowMs() - frameStartMs));
        sleepMs(pause);
        return true;
    }

    if (frame.width <= 0 || int64_t{frame.stride} < int64_t{frame.width} * 4) {
        if (now - lastStrideLogMs_ >= 2000) {
            lastStrideLogMs_ = now;
            logger().warn("[encode] skipping frame with stride={} that cannot cover width={}",
                          frame.stride, frame.width);
        }
        capture_->releaseFrame(frame);
        // The fault persists frame after frame; do not spin on it.
        sleepMs(10);
        return true;
    }

    // An encoder left at another source size (a rebuild failed) would read
    // past the frame or misread its rows: skip and have it reconfigured.
    if (frame.width != encoderSrcWidth_ || frame.height != encoderSrcHeight_) {
        if (mismatchLog_.shouldLog())
            logger().warn(
                "[encode] frame {}x{} does not match the encoder source {}x{} — skipped, "
                "reconfigure requested",
                frame.width, frame.height, encoderSrcWidth_, encoderSrcHeight_);
        if (now - lastMismatchRequestMs_ >= 1000) {
            lastMismatchRequestMs_ = now;
            reconfigureRequested_ = true;
        }
        capture_->releaseFrame(frame);
        sleepMs(10);
        return true;
    }

    encodeAndSend(frame, keyframeDue, frameStartMs);
    capture_->releaseFrame(frame);
    return true;
}

void MediaPipeline::encodeAndSend(const CapturedFrame& frame, bool keyframeDue,
                                  int64_t frameStartMs) {
    EncodedFrame out;
    try {
        if (!changesWhole_) encoder_->setChangedRegions(changes_);
        changes_.clear();
        changesWhole_ = false;
        out = encoder_->encode(frame.data, frame.stride, frame.timestampUs);
    } catch (const std::exception& e) {
        changesWhole_ = true;
        logger().error("[encode] encoder threw: {}", e.what());
        return;
    }
    // A picture the encoder dropped (rate control) is still to be sent: the
    // next pass encodes again even when the screen stays as it is.
    if (out.data.empty()) return;
    unencodedChange_ = false;
    encodeAndDeliver(frame, out, keyframeDue, frameStartMs);
    encoder_->recycle(std::move(out.data));
}

void MediaPipeline::noteChanges(const CapturedFrame& frame) {
    if (frame.unchanged) return;
    if (frame.dirtyRects.empty() || classifier_.ratio(frame.dirtyRects) > 0.0)
        unencodedChange_ = true;
    // Frames skipped before the encoder saw them still changed the picture.
    if (changesWhole_) return;
    if (frame.dirtyRects.empty() || changes_.size() + frame.dirtyRects.size() > kMaxChanges) {
        changesWhole_ = true;
        changes_.clear();
        return;
    }
    changes_.insert(changes_.end(), frame.dirtyRects.begin(), frame.dirtyRects.end());
}

void MediaPipeline::encodeAndDeliver(const CapturedFrame& frame, const EncodedFrame& out,
                                     bool keyframeDue, int64_t frameStartMs) {
    int64_t now = clock_.nowMs();
    ps_.encodedFrames.fetch_add(1);
    ps_.lastEncodeMs = now;
    const bool sent = sink_->sendFrame(out);
    now = clock_.nowMs();
    if (sent) {
        ps_.sentFrames.fetch_add(1);
        ps_.lastSendMs = now;
    }
    lastFrameMs_ = frameStartMs;
    life_.lastFrameSentMs = now;
    ps_.watchdogHeartbeatMs = now;

    RecorderHook* rec = deps_.recorder;
    if (rec && !rec->active() && recordingEnabled() && !firstFrameSent_ && out.keyframe) {
        const auto r = rec->start();
        logger().info("[recording] auto-started on first keyframe: ok={} path={}", r.ok, r.path);
    }
    if (rec && rec->active())
        rec->append(out.data.data(), out.data.size(), out.keyframe, frame.timestampUs);

    if (keyframeDue) {
        lastKeyframeMs_ = now;
        // Only a delivered keyframe counts: otherwise the viewer would wait
        // for the next periodic one.
        if (!firstFrameSent_ && sent) {
            firstFrameSent_ = true;
            logger().info("First video frame sent! bytes={}", out.data.size());
            if (!(rec && rec->active()) && !recordingEnabled() && !recordingSkipLogged_) {
                recordingSkipLogged_ = true;
                logger().info("[recording] skipped — disabled by policy");
            }
        }
    }

    if (!sent) {
        sleepMs(25);
        return;
    }
    const uint64_t b = sink_->bufferedAmount();
    if (b <= 131072) return;
    const uint64_t over = b - 131072;
    sleepMs(over < 32768 ? 1 : static_cast<int64_t>(std::min<uint64_t>(over / 32768, 25)));
}

}  // namespace kvd
