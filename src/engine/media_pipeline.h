#pragma once
// The media side of a session: the capture and encoder it holds, the capture
// ladder that replaces them, and the per-pass frame pipeline that captures,
// encodes and hands access units to the viewer's video sender.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/screen_capture.h"
#include "common/clock.h"
#include "common/json_util.h"
#include "common/log.h"
#include "encode/buffer_pressure.h"
#include "encode/quality_controller.h"
#include "encode/video_encoder.h"
#include "engine/change_classifier.h"
#include "engine/cursor_stream.h"

namespace kvd {

struct EngineConfig;
struct LifecycleState;
struct ProcessState;
class VideoSender;

// Where encoded access units go; the video sender in production.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual bool sendFrame(const EncodedFrame& frame) = 0;
    virtual uint64_t bufferedAmount() const = 0;
};

class VideoSenderSink final : public FrameSink {
  public:
    explicit VideoSenderSink(std::unique_ptr<VideoSender> sender);
    ~VideoSenderSink() override;
    bool sendFrame(const EncodedFrame& frame) override;
    uint64_t bufferedAmount() const override;
    VideoSender& sender() { return *sender_; }

  private:
    std::unique_ptr<VideoSender> sender_;
};

// What the pipeline needs from the peer connection side. The send functions
// drop the message when their channel is not open.
class MediaPeer {
  public:
    using Bytes = std::vector<uint8_t>;
    virtual ~MediaPeer() = default;
    virtual bool videoTrackOpen() const = 0;
    // A sender for the open track and the "video" channel; null when it
    // cannot be made now.
    virtual std::unique_ptr<FrameSink> makeSink() = 0;
    virtual bool controlChannelOpen() const = 0;
    virtual bool inputChannelOpen() const = 0;
    virtual void sendControlJson(const std::string& text) = 0;
    virtual void sendControlBinary(const Bytes& data) = 0;
    virtual void sendInputBinary(const Bytes& data) = 0;
};

// The session recorder as the pipeline sees it.
class RecorderHook {
  public:
    struct StartResult {
        bool ok = false;
        std::string path;
    };
    virtual ~RecorderHook() = default;
    virtual bool active() const = 0;
    virtual StartResult start() = 0;
    virtual void append(const uint8_t* data, size_t size, bool keyframe, int64_t timestampUs) = 0;
};

enum class CaptureKind : uint8_t { None, Dxgi, Gdi, ShmV2, ShmV1 };
const char* captureKindName(CaptureKind kind);  // "none", "dxgi", "gdi", "shm2", "shm"

struct CaptureFactory {
    using Made = std::unique_ptr<ScreenCapture>;
    std::function<Made()> makeDxgi;
    std::function<Made()> makeGdi;
    // Shared-memory captures fed by the helper on the secure desktop; either
    // may be empty or return null when this build has none.
    std::function<Made(int32_t heartbeatTimeoutMs, const std::string& sessionId)> makeShmV2;
    std::function<Made(const std::string& sessionId)> makeShmV1;
};
// DXGI and GDI on the default display; no shared-memory makers.
CaptureFactory defaultCaptureFactory();

using EncoderFactory = std::function<std::unique_ptr<VideoEncoder>(const EncoderConfig&)>;
EncoderFactory defaultEncoderFactory();

enum class StartupEncoderResult { Ok, NoCapture, Failed };

struct MediaStats {
    uint64_t classifierFrames = 0, classifierNone = 0, classifierPartial = 0, classifierMajor = 0;
    int32_t currentFps = 0;
    int32_t ladderRetries = 0;
    int32_t starvedDeaths = 0;
};

class MediaPipeline {
  public:
    struct MonitorHooks {
        // At each connection start: the control-channel send function.
        std::function<void(std::function<void(const std::string&)>)> connectionStarted;
        // After a capture size change.
        std::function<void()> refreshList;
        // Topology change: re-enumerate, announce, return the current index.
        std::function<int32_t()> reenumerateAndAnnounce;
    };

    struct Deps {
        CaptureFactory captures;
        EncoderFactory encoderFactory;
        // Installs the "encoder_error" relay on every freshly built encoder.
        std::function<void(VideoEncoder&)> installEncoderErrorCallback;
        MediaPeer* peer = nullptr;
        // "REMOTE_CAPTURE_TRANSITION" payloads; empty without a relay client.
        std::function<void(const Json& payload)> sendTransition;
        // The injector's active-monitor bounds; empty without an injector.
        std::function<void(int32_t x, int32_t y, int32_t w, int32_t h)> setInputBounds;
        MonitorHooks monitors;
        // Display state (evaluate + send on change) and its memory reset.
        std::function<void()> reportDisplayState;
        std::function<void()> clearDisplayState;
        // "REMOTE_SESSION_STATUS": whether it is wanted now (emitStatus on and
        // a relay client present) and the sender.
        std::function<bool()> statusReportEnabled;
        std::function<void()> sendStatusReport;
        std::function<bool()> secureDesktopActive;
        // The helper pipe client's bridgeRelease; empty without one.
        std::function<void()> bridgeRelease;
        RecorderHook* recorder = nullptr;
        // Recording policy; empty: the configuration's recordingEnabled.
        std::function<bool()> recordingEnabled;
        std::function<void(int64_t ms)> sleepMs;  // empty: a real sleep
    };

    MediaPipeline(const EngineConfig& cfg, LifecycleState& life, ProcessState& ps,
                  const Clock& clock, Deps deps);
    ~MediaPipeline();
    MediaPipeline(const MediaPipeline&) = delete;
    MediaPipeline& operator=(const MediaPipeline&) = delete;

    // Start-up: the first capture, then its encoder.
    void startupCapture();
    StartupEncoderResult startupEncoder();

    // Session-loop hooks (main thread).
    void publishGeometry();
    void housekeeping();
    bool framePass();
    void dropConnectionState();
    void onRebuilt(int64_t nowMs);

    // Ladder pass alone (part of housekeeping) and the shared-memory switch.
    void ladderPass();
    bool switchToShm();

    // Requests from other threads.
    void requestMonitorSwitch(int32_t index);
    void requestResolutionReinit();
    void notifyTopologyChanged();
    void secureDesktopEntered();
    void secureDesktopExited();
    void onQualityRequest(int64_t maxHeight, int64_t fps);
    void onQualityConfig(const QualityConfig& q);
    void requestKeyframe();
    void setCursorOverlay(bool on);
    void setCursorOnInputChannel(bool on);

    // Main-thread accessors.
    ScreenCapture* capture() const { return capture_.get(); }
    VideoEncoder* encoder() const { return encoder_.get(); }
    FrameSink* sink() const { return sink_.get(); }
    CaptureKind captureKind() const { return capture_ ? captureKind_ : CaptureKind::None; }
    int32_t captureWidth() const { return capture_ ? capture_->width() : 0; }
    int32_t captureHeight() const { return capture_ ? capture_->height() : 0; }
    bool shmActive() const { return shmActive_; }
    bool candidateActive() const { return candidate_ != nullptr; }
    bool firstFrameSent() const { return firstFrameSent_; }
    int32_t lastWidth() const { return lastWidth_; }
    int32_t lastHeight() const { return lastHeight_; }
    int32_t maxHeight() const { return maxHeight_.load(); }
    int32_t fpsOverride() const { return fpsOverride_.load(); }
    uint64_t bufferedAmount() const { return sink_ ? sink_->bufferedAmount() : 0; }
    const ChangeClassifier& classifier() const { return classifier_; }
    MediaStats stats() const;
    // Shared with the cursor thread.
    std::shared_ptr<CursorShared> cursorShared() const { return cursor_; }

    static constexpr int32_t kPeriodicKeyframeSec = 5;
    // An unchanged screen is still encoded this often.
    static constexpr int64_t kUnchangedRefreshMs = 1000;
    static constexpr int64_t kLadderRetryMs = 2000;
    static constexpr int64_t kShmRetryMs = 2000;
    static constexpr int64_t kStatusReportMs = 2000;
    static constexpr int32_t kShmHeartbeatTimeoutMs = 5000;
    static constexpr int64_t kCandidateWindowMs = 5000;
    static constexpr int64_t kCandidateRequiredFrames = 15;
    // Largest pointer-shape message the viewer's channel takes.
    static constexpr size_t kMaxCursorMessageBytes = 256 * 1024;

  private:
    struct CandidateProof {
        int64_t windowMs = kCandidateWindowMs;
        int64_t requiredFrames = kCandidateRequiredFrames;
        int64_t startMs = -1;
        uint32_t frames = 0;
        bool failed = false;
    };
    enum class Flow { Continue, EndPass };

    void sleepMs(int64_t ms);
    std::unique_ptr<VideoEncoder> buildEncoder(int32_t width, int32_t height);
    void adoptEncoder(std::unique_ptr<VideoEncoder> enc, int32_t width, int32_t height);
    void setCapture(std::unique_ptr<ScreenCapture> cap, CaptureKind kind);
    void dropCaptureAndEncoder();
    std::unique_ptr<ScreenCapture> make(CaptureKind kind);
    // The capture size as seen, unless the encoder is still at another
    // source size (then the size check reconfigures it).
    void noteCaptureSize();
    bool encoderMatchesCapture() const;
    void syncInputBounds();
    void reportDisplayState();
    void sendControlJson(const Json& j);
    void sendTransition(const char* reason, const char* to);
    bool reconfigureEncoder(int32_t w, int32_t h, int32_t fps, int32_t kbps, int32_t srcW,
                            int32_t srcH);
    bool reconfigureOrRebuild(const char* tag, int32_t w, int32_t h);
    bool recordingEnabled() const;
    // Makes `cap` the capture with a fresh encoder; when none can be built
    // the previous encoder stays and the size check reconfigures it later.
    void replaceCapture(std::unique_ptr<ScreenCapture> cap, CaptureKind kind,
                        const char* switchedFormat, const char* encoderFailed);
    // A shared-memory capture is taken only together with its encoder.
    bool adoptShm(std::unique_ptr<ScreenCapture> shm, CaptureKind kind, const char* switchedFormat,
                  const char* encoderFailed);
    // Ladder: a capture without an encoder gets one, or is dropped.
    void encoderForCaptureOrDrop();

    // Frame-pass steps.
    void connectionStart();
    bool monitorSwitch();
    void resolutionReinit();
    bool topologyReinit();
    bool applyAdaptiveQuality();
    void checkCaptureSize();
    bool applyReconfigure();
    Flow secureDesktopEvents();
    void secureDesktopLeft(Flow& flow);
    void secureDesktopEnter();
    void candidateProbe();
    void candidateGiveUp();
    void shmRetry();
    void sendCursorShape();
    void encodeAndSend(const CapturedFrame& frame, bool keyframeDue, int64_t frameStartMs);
    void encodeAndDeliver(const CapturedFrame& frame, const EncodedFrame& out, bool keyframeDue,
                          int64_t frameStartMs);
    // Collects what the captured frames changed since the last encode.
    void noteChanges(const CapturedFrame& frame);

    const EngineConfig& cfg_;
    LifecycleState& life_;
    ProcessState& ps_;
    const Clock& clock_;
    Deps deps_;

    std::unique_ptr<ScreenCapture> capture_;
    CaptureKind captureKind_ = CaptureKind::None;
    std::unique_ptr<VideoEncoder> encoder_;
    // Source size the encoder was last opened or reconfigured for.
    int32_t encoderSrcWidth_ = 0, encoderSrcHeight_ = 0;
    std::unique_ptr<FrameSink> sink_;
    // What changed since the frame last handed to the encoder; whole: not
    // known (a new capture or encoder, a frame without rectangles).
    static constexpr size_t kMaxChanges = 256;
    std::vector<DirtyRect> changes_;
    bool changesWhole_ = true;
    // A captured frame changed the picture since the last encode.
    bool unencodedChange_ = true;
    ChangeClassifier classifier_;
    BufferPressureController pressure_;
    std::shared_ptr<CursorShared> cursor_;

    // Frame pipeline.
    bool firstFrameSent_ = false;
    std::atomic<bool> connectionStarted_{false};
    int64_t lastKeyframeMs_ = 0;
    std::atomic<bool> viewerKeyframeRequest_{false};
    // Start of the pass whose frame was last handed to the sender.
    int64_t lastFrameMs_ = 0;
    int64_t lastRefreshTryMs_ = 0;
    int32_t currentFps_;
    std::atomic<int32_t> fpsOverride_{0};
    std::atomic<int32_t> maxHeight_{0};
    std::atomic<bool> reconfigureRequested_{false};
    std::atomic<bool> qualityChangePending_{false};
    std::mutex qualityMu_;
    QualityConfig pendingQuality_;
    int32_t lastWidth_ = 0, lastHeight_ = 0;
    bool cursorChannelWasOpen_ = false;
    bool cursorWasVisible_ = false;
    bool noCaptureReported_ = false;
    // Bumped on every change of capture object; the display state follows it.
    uint64_t captureGeneration_ = 0;
    uint64_t reportedGeneration_ = UINT64_MAX;
    bool recordingSkipLogged_ = false;
    int64_t lastSuppressLogMs_ = INT64_MIN / 2;
    int64_t lastHardDropLogMs_ = INT64_MIN / 2;
    int64_t lastStrideLogMs_ = INT64_MIN / 2;
    int64_t lastMismatchRequestMs_ = INT64_MIN / 2;
    LogThinner mismatchLog_{3, 90};

    // Capture ladder.
    bool shmActive_ = false;
    std::unique_ptr<ScreenCapture> candidate_;
    CandidateProof proof_;
    std::atomic<int32_t> secureDesktopEvent_{0};
    std::atomic<int32_t> monitorSwitchRequest_{-1};
    std::atomic<bool> resolutionReinitRequested_{false};
    std::atomic<bool> topologyChanged_{false};
    int64_t lastShmRetryMs_;
    int32_t starvedDeaths_ = 0;
    int32_t ladderRetries_ = 0;
    int64_t lastLadderRetryMs_ = INT64_MIN / 2;
    int64_t lastEncoderRetryMs_ = INT64_MIN / 2;
    int64_t lastStatusReportMs_ = INT64_MIN / 2;
};

}  // namespace kvd
