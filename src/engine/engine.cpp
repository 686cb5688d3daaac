#include "engine/engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include "capture/display_topology_watcher.h"
#include "capture/monitor_manager.h"
#include "capture/resolution_manager.h"
#include "capture/secure_desktop_watcher.h"
#include "capture/shared_memory_producer.h"
#include "chat/chat_service.h"
#include "chat/tray_chat_bridge.h"
#include "common/json_util.h"
#include "common/log.h"
#include "common/process_state.h"
#include "encode/quality_controller.h"
#include "engine/config.h"
#include "engine/cursor_stream.h"
#include "engine/media_pipeline.h"
#include "engine/session_loop.h"
#include "engine/status.h"
#include "features/annotation_overlay.h"
#include "features/clipboard_sync.h"
#include "features/connection_indicator.h"
#include "features/consent.h"
#include "features/control_dispatcher.h"
#include "features/file_dc_transport.h"
#include "features/file_session.h"
#include "features/host_screen_handlers.h"
#include "features/privacy_control.h"
#include "features/privacy_mode.h"
#include "features/privacy_notice.h"
#include "features/session_cleanup.h"
#include "features/session_commands.h"
#include "features/terminal_manager.h"
#include "helper/input_helper.h"
#include "input/failover_input_injector.h"
#include "input/input_channel_handler.h"
#include "input/input_pipe_client.h"
#include "input/win32_input_injector.h"
#include "platform/clipboard.h"
#include "platform/command.h"
#include "platform/dialog_window.h"
#include "platform/display_power.h"
#include "platform/displays.h"
#include "platform/local_input_blocker.h"
#include "platform/overlay_window.h"
#include "platform/paths.h"
#include "platform/pointer.h"
#include "platform/process.h"
#include "platform/session_env.h"
#include "recording/recording_crypto.h"
#include "recording/recording_service.h"
#include "signaling/pipe_signaling_client.h"
#include "signaling/signaling_client.h"
#include "webrtc/peer_connection_manager.h"
#include "webrtc/rtc_adapter.h"
#include "webrtc/video_sender.h"

namespace kvd {

namespace {

// Viewer-requested host mode changes are at least this far apart.
constexpr int64_t kHostModeChangeIntervalMs = 1000;

void sleepForMs(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The peer connection manager as the lifecycle loop sees it.
class LifecyclePeer final : public SessionPeer {
  public:
    explicit LifecyclePeer(PeerConnectionManager& pcm) : pcm_(pcm) {}
    bool gatheringDeadlineExceeded() const override { return pcm_.gatheringDeadlineExceeded(); }
    bool takeTurnRefreshPending() override { return pcm_.takeTurnRefreshPending(); }
    bool remoteDescriptionSet() const override { return pcm_.remoteDescriptionSet(); }
    bool sawNonHostCandidate() const override { return pcm_.sawNonHostCandidate(); }
    bool hasIceServers() const override { return pcm_.hasIceServers(); }
    // The viewer's transport choice is per connection; the manager keeps none.
    void reset(bool) override { pcm_.reset(); }
    bool initialize() override { return pcm_.initialize(); }
    void registerPeerJoined() override { pcm_.registerPeerJoined(); }
    IceCounters iceCounters() const override {
        const auto c = pcm_.iceCounters();
        return {c.iceServers, c.host, c.srflx, c.relay, c.other};
    }
    std::optional<uint64_t> packetsReceived() const override { return pcm_.packetsReceived(); }
    void probeViewer() override { pcm_.sendKeepalive(); }

  private:
    PeerConnectionManager& pcm_;
};

// The peer connection manager as the media pipeline sees it. The pipeline
// exists before the manager (it holds the start-up capture), so this reads
// the engine's slot and behaves as "nothing open" until it is filled.
class PipelinePeer final : public MediaPeer {
  public:
    PipelinePeer(const std::unique_ptr<PeerConnectionManager>& pcm,
                 const std::atomic<bool>& videoOverDataChannel)
        : pcm_(pcm), videoOverDc_(videoOverDataChannel) {}
    bool videoTrackOpen() const override {
        auto track = pcm_ ? pcm_->videoTrack() : nullptr;
        return track && track->isOpen();
    }
    std::unique_ptr<FrameSink> makeSink() override {
        auto track = pcm_ ? pcm_->videoTrack() : nullptr;
        if (!track) return nullptr;
        auto sender = std::make_unique<VideoSender>(track, pcm_->videoChannel());
        sender->skipRtpDoubleSend = &videoOverDc_;
        return std::make_unique<VideoSenderSink>(std::move(sender));
    }
    bool controlChannelOpen() const override {
        return pcm_ && pcm_->channelOpen(PeerConnectionManager::Channel::Control);
    }
    bool inputChannelOpen() const override {
        return pcm_ && pcm_->channelOpen(PeerConnectionManager::Channel::Input);
    }
    void sendControlJson(const std::string& text) override {
        if (pcm_) pcm_->sendControlJson(text);
    }
    void sendControlBinary(const Bytes& data) override {
        if (pcm_) pcm_->sendControlBinary(data.data(), data.size());
    }
    void sendInputBinary(const Bytes& data) override {
        if (pcm_) pcm_->sendInputBinary(data.data(), data.size());
    }

  private:
    const std::unique_ptr<PeerConnectionManager>& pcm_;
    const std::atomic<bool>& videoOverDc_;
};

// The recorder as the media pipeline sees it.
class PipelineRecorder final : public RecorderHook {
  public:
    explicit PipelineRecorder(SessionRecorder& r) : r_(r) {}
    bool active() const override { return r_.active(); }
    StartResult start() override {
        const bool ok = r_.start();
        return {ok, r_.outputPath()};
    }
    void append(const uint8_t* data, size_t size, bool keyframe, int64_t timestampUs) override {
        r_.writeFrame(data, size, keyframe, timestampUs);
    }

  private:
    SessionRecorder& r_;
};

class Engine {
  public:
    Engine(EngineConfig cfg, platform::DpiAwareness dpi)
        : cfg_(std::move(cfg)), dpi_(std::move(dpi)) {}

    ~Engine() {
        // Threads that had to be detached still use these: never free them.
        if (leakSignaling_) {
            (void)signalingThread_.release();
            (void)signaling_.release();
            (void)pcm_.release();
        }
        if (leakCursor_) (void)cursorStream_.release();
        if (leakRecording_) (void)recording_.release();
    }

    int run() {
        logStartup();
        if (cfg_.inputMode) {
            logger().info("Entering input helper mode");
            return runInputHelperMode();
        }
        if (cfg_.unattendedMode)
            logger().info("Unattended mode: forcing GDI capture, direct input");

        // Start-up builds every component once, in dependency order; a
        // failure that leaves the session useless ends it with its error line.
        buildRecording();
        buildPipeline();
        if (!cfg_.terminalOnly) {
            media_->startupCapture();
            const auto enc = media_->startupEncoder();
            if (enc == StartupEncoderResult::Failed && cfg_.unattendedMode)
                return writeErrorLine(4, "encoder init failed");
        }
        buildSignaling();
        applyIceServers();
        if (!buildPeerConnection()) {
            logger().error("Failed to initialize peer connection");
            return writeErrorLine(4, "peer connection init failed");
        }
        buildInput();
        buildChat();
        configureRecorder();
        installRelayCallbacks();
        buildPrivacy();
        startSecureDesktopWatcher();
        startHostScreenFeatures();
        // Nothing reaches the viewer before the person at the host agreed.
        if (consentRequired_ && !askConsent()) return consentDenied();
        buildQualityAndMonitors();  // also creates the control dispatcher
        buildSessionCommands();     // registers with the dispatcher, as does
        // the file transfer below
        buildFileTransfer();
        checkSession0();
        startTopologyWatcher();
        pcm_->registerPeerJoined();

        if (!signaling_->isConnected() && !signaling_->connect()) {
            logger().error("Failed to connect signaling");
            return writeErrorLine(3, "signaling connect failed");
        }
        startThreads();

        writeReadyLine(cfg_.sessionId);
        logger().info("Waiting for viewer to connect...");

        processState().watchdogHeartbeatMs = steadyNowMs();
        startWatchdogThread();

        loop_->run();
        return shutdown();
    }

    void setConsentRequired(bool required) { consentRequired_ = required; }

  private:
    void logStartup() {
        auto& log = logger();
        log.info("kelvandrum-remote v{} starting", KVD_VERSION);
        log.info("Platform: {}", platform::platformName());
        log.info("DPI awareness: {} (scale {:.2f})", dpi_.step, dpi_.scale);
        log.info("Session: {}", cfg_.sessionId);
        log.info("Signaling: {}", cfg_.signalingUrl);
        log.info("Target FPS: {}, Max bitrate: {} kbps", cfg_.targetFps, cfg_.maxBitrate);
        if (cfg_.terminalOnly) log.info("--terminal-only: skipping screen capture / video encode");
    }

    int runInputHelperMode() {
        InputHelperOptions o;
        o.pipeName = cfg_.inputPipeName;
        o.sessionId = cfg_.sessionId;
        o.token = cfg_.inputPipeToken;
        o.shmV2 = cfg_.shmV2;
        o.transitionBridge = cfg_.transitionBridge;
        InputHelperSeams seams;
        seams.makeV1Producer = makeProducer<SharedMemoryProducer>;
        seams.makeV2Producer = makeProducer<SharedMemoryProducerV2>;
        return runInputHelper(o, std::move(seams));
    }

    // The helper starts and stops the secure desktop's frame producers
    // through this; a producer that cannot map its objects is never offered.
    template <typename Producer>
    class ProducerAdapter final : public ProducerControl {
      public:
        explicit ProducerAdapter(std::unique_ptr<Producer> p) : p_(std::move(p)) {}
        bool start(const std::string&, const std::string&) override {
            p_->start();
            return p_->isRunning();
        }
        void stop() override { p_->stop(); }
        bool running() override { return p_->isRunning(); }

      private:
        std::unique_ptr<Producer> p_;
    };

    template <typename Producer>
    static std::unique_ptr<ProducerControl> makeProducer(const std::string& display,
                                                         const std::string& sessionId) {
        auto p = std::make_unique<Producer>(display);
        if (!p->init(sessionId)) return nullptr;
        return std::make_unique<ProducerAdapter<Producer>>(std::move(p));
    }

    // The media pipeline exists from the start: it holds the start-up capture.
    void buildPipeline() {
        MediaPipeline::Deps d;
        d.captures = defaultCaptureFactory();
        d.encoderFactory = defaultEncoderFactory();
        d.installEncoderErrorCallback = [this](VideoEncoder& enc) {
            enc.errorCallback = [this](const std::string& reason) {
                if (pcm_) pcm_->sendControlJson(encoderErrorMessage(reason));
            };
        };
        pipelinePeer_ = std::make_unique<PipelinePeer>(pcm_, life_.videoOverDataChannel);
        d.peer = pipelinePeer_.get();
        d.sendTransition = [this](const Json& payload) {
            if (pipe_) pipe_->sendEnvelope("REMOTE_CAPTURE_TRANSITION", payload);
        };
        d.setInputBounds = [this](int32_t x, int32_t y, int32_t w, int32_t h) {
            if (inputHandler_ && inputHandler_->injector())
                inputHandler_->injector()->setActiveMonitorBounds(x, y, w, h);
        };
        d.monitors.connectionStarted = [this](std::function<void(const std::string&)> send) {
            if (monitors_) monitors_->setSendJson(std::move(send));
        };
        d.monitors.refreshList = [this] {
            if (monitors_) monitors_->refresh();
        };
        d.monitors.reenumerateAndAnnounce = [this]() -> int32_t {
            if (!monitors_) return -1;
            monitors_->refresh();
            monitors_->sendMonitorList();
            return monitors_->activeIndex();
        };
        d.reportDisplayState = [this] { reportDisplayState(); };
        d.clearDisplayState = [this] { displayState_.clear(); };
        d.statusReportEnabled = [this] {
            return pipe_ != nullptr && dispatcher_ && dispatcher_->policy().emitStatus;
        };
        d.recordingEnabled = [this] {
            return dispatcher_ ? dispatcher_->policy().recordingEnabled : cfg_.recordingEnabled;
        };
        d.sendStatusReport = [this] { sendStatusReport(); };
        d.bridgeRelease = [this] {
            if (pipeClient_) pipeClient_->bridgeRelease();
        };
        d.secureDesktopActive = [this] {
            return secureWatcher_ && secureWatcher_->isSecureActive();
        };
        d.recorder = recorderHook_.get();
        d.sleepMs = sleepForMs;
        media_ = std::make_unique<MediaPipeline>(cfg_, life_, processState(),
                                                 SteadyClock::instance(), std::move(d));
    }

    // The recorder exists before the pipeline that feeds it; it is configured
    // once the capture size is known.
    void buildRecording() {
        RecordingService::Deps d;
        d.sendControl = [this](const std::string& json) {
            if (pcm_) pcm_->sendControlJson(json);
        };
        d.uploadTarget = [this] {
            if (!dispatcher_)
                return UploadTarget{cfg_.uploadUrl, cfg_.uploadToken, cfg_.maxSizeBytes};
            const auto p = dispatcher_->policy();
            return UploadTarget{p.uploadUrl, p.uploadToken, p.maxSizeBytes};
        };
        d.keepAlive = [] { processState().watchdogHeartbeatMs = steadyNowMs(); };
        d.recorder.keepAlive = d.keepAlive;
        recording_ = std::make_unique<RecordingService>(std::move(d));
        recorderHook_ = std::make_unique<PipelineRecorder>(recording_->recorder());
    }

    RecorderConfig recorderConfig(const std::string& tenant, RecordingFormat format,
                                  uint64_t maxSizeBytes) {
        RecorderConfig rc;
        rc.tenantId = tenant;
        rc.sessionId = cfg_.sessionId;
        rc.encryptionKey = deriveRecordingKey(cfg_.sessionToken, cfg_.sessionId);
        if (rc.encryptionKey.empty())
            logger().error("[recording] key derivation failed — encrypted recording refused");
        // The capture belongs to the main thread: later reconfigurations (on
        // the relay's thread) keep the size taken at start-up.
        const auto previous = recording_->recorder().config();
        rc.width = previous.width;
        rc.height = previous.height;
        rc.fps = static_cast<uint32_t>(cfg_.targetFps > 0 ? cfg_.targetFps : 30);
        rc.format = format;
        rc.maxSizeBytes = maxSizeBytes;
        const auto env = processEnvironment();
        if (auto dir = env("KELVANDRUM_RECORDING_DIR"); dir && !dir->empty()) rc.outputDir = *dir;
        return rc;
    }

    void configureRecorder() {
        const auto env = processEnvironment();
        RecordingFormat format = RecordingFormat::Mp4;
        if (envFlagNonZero(env, "KELVANDRUM_REC_ENCRYPTED"))
            format = RecordingFormat::Mp4Encrypted;
        else if (envFlagNonZero(env, "KELVANDRUM_REC_H264"))
            format = RecordingFormat::RawH264;
        auto rc = recorderConfig("standalone", format, cfg_.maxSizeBytes);
        if (media_->captureWidth() > 0 && media_->captureHeight() > 0) {
            rc.width = static_cast<uint32_t>(media_->captureWidth());
            rc.height = static_cast<uint32_t>(media_->captureHeight());
        }
        const size_t keyBytes = rc.encryptionKey.size();
        recording_->recorder().configure(std::move(rc));
        logger().info("[recording] configured tenant={} session={} key-bytes={}", "standalone",
                      cfg_.sessionId, keyBytes);
        logger().info("[recording] temp file path: {}", recording_->recorder().outputPath());
    }

    void buildSignaling() {
        if (!cfg_.pipeName.empty()) {
            logger().info("Signaling mode: Named Pipe relay (pipe={})", cfg_.pipeName);
            auto pipe = std::make_unique<PipeSignalingClient>(cfg_.pipeName, cfg_.sessionToken);
            pipe_ = pipe.get();
            signaling_ = std::move(pipe);
        } else {
            logger().info("Signaling mode: direct WebSocket (url={})", cfg_.signalingUrl);
            signaling_ = std::make_unique<SignalingClient>(cfg_.signalingUrl, cfg_.sessionToken,
                                                           cfg_.sessionId);
        }
    }

    void applyIceServers() {
        const auto env = processEnvironment();
        if (auto text = env("KELVANDRUM_ICE_SERVERS"); text && !text->empty()) {
            const auto r = ingestIceServers(cfg_, *text);
            if (r.parsed) {
                logger().info("[ice] ingested {} STUN + {} TURN from KELVANDRUM_ICE_SERVERS",
                              cfg_.stunServers.size(), cfg_.turnServers.size());
            } else {
                logger().warn("[ice] KELVANDRUM_ICE_SERVERS parse failed: {} — using defaults",
                              r.error);
            }
        }
        if (cfg_.stunServers.empty()) {
            cfg_.stunServers.push_back(kDefaultStunServer);
            logger().info("Added default STUN server: {}", kDefaultStunServer);
        }
    }

    bool buildPeerConnection() {
        pcm_ = std::make_unique<PeerConnectionManager>(webrtcbinFactory());
        pcm_->signaling = signaling_.get();
        pcm_->videoBitrateKbps = static_cast<uint32_t>(std::max(cfg_.maxBitrate, 1));
        pcm_->setIceServers(cfg_.stunServers, cfg_.turnServers);
        if (!pcm_->initialize()) return false;
        lifecyclePeer_ = std::make_unique<LifecyclePeer>(*pcm_);
        pcm_->onKeyframeRequest = [this] { media_->requestKeyframe(); };
        return true;
    }

    void buildInput() {
        auto direct = std::make_unique<Win32InputInjector>();
        const auto m = direct->screenMetrics();
        logger().info(
            "[input] SM_CXSCREEN={} SM_CYSCREEN={} SM_CXVIRTUALSCREEN={} SM_CYVIRTUALSCREEN={} "
            "SM_XVIRTUALSCREEN={} SM_YVIRTUALSCREEN={}",
            m.screenWidth, m.screenHeight, m.virtualWidth, m.virtualHeight, m.virtualLeft,
            m.virtualTop);
        std::unique_ptr<InputInjector> injector;
        if (!cfg_.inputPipeName.empty() && !cfg_.unattendedMode) {
            pipeClient_ = std::make_shared<InputPipeClient>();
            if (pipeClient_->connect(cfg_.inputPipeName, cfg_.inputPipeToken)) {
                logger().info("Input delegated to SYSTEM helper via pipe: {}", cfg_.inputPipeName);
            } else {
                logger().info(
                    "Input pipe not available yet ({}) — direct input serves until the background "
                    "reconnect lands",
                    cfg_.inputPipeName);
            }
            injector = FailoverInputInjector::forPipeClient(pipeClient_, std::move(direct));
        } else {
            injector = std::move(direct);
        }
        inputHandler_ = std::make_unique<InputChannelHandler>(std::move(injector));
        pcm_->onInputBinary = [this](const uint8_t* data, size_t size) {
            inputHandler_->handleMessage(data, size);
        };
        if (pipe_) {
            inputHandler_->setSasCallback([this] {
                pipe_->sendEnvelope("REMOTE_SEND_SAS", Json::object());
                logger().info("[SAS] Sent REMOTE_SEND_SAS to service (Session 0)");
            });
        }
        inputHandler_->applyAccessMode(cfg_.accessMode, false);
        logger().info("Input injection enabled");
    }

    // Viewer chat and the host's tray meet here; neither knows the other.
    void buildChat() {
        chat_ = std::make_unique<ChatService>();
        tray_ = std::make_unique<TrayChatBridge>();
        chat_->setSender([this](const std::string& json) { return pcm_->sendChatJson(json); });
        chat_->setOnMessage([this](const ChatMessage& m) {
            logger().info("[chat] message from={} ({} chars)", m.id, m.text.size());
            tray_->sendToTray(m.text);
        });
        tray_->setOutboundCallback([this](const std::string& text) { chat_->buildOutbound(text); });
        pcm_->onChatText = [this](const std::string& text) { chat_->handleInbound(text); };
        tray_->start(cfg_.sessionId, cfg_.operatorName.empty() ? "Technician" : cfg_.operatorName);
    }

    void installRelayCallbacks() {
        if (!pipe_) return;
        // The reader thread starts with the connection, after the dispatcher
        // exists; the check only guards a misordered start-up.
        pipe_->setOnSessionConfig([this](const Json& payload) {
            if (dispatcher_) dispatcher_->applySessionConfig(payload);
        });
        pipe_->setOnCredentialInject([this](const Json& payload) {
            if (sessionCommands_) sessionCommands_->completeCredentialInject(payload);
        });
        pipe_->setOnStopSession([](const Json& payload) {
            logger().info("[session] stop requested by agent over IPC, reason={}",
                          jsonStringOr(payload, "reason", "unknown"));
            requestStop();
        });
    }

    void buildPrivacy() {
        inputBlocker_ = std::make_unique<SharedInputBlocker>(platform::createLocalInputBlocker());
        PrivacyMode::Deps deps;
        deps.makeDisplayPower = [] { return platform::createDisplayPower(); };
        deps.makeNotice = [] {
            return std::make_unique<OverlayPrivacyNotice>(platformOverlayWindows());
        };
        deps.inputBlocker = inputBlocker_.get();
        deps.inputBlockAllowed = [this] { return !dispatcher_ || !isViewOnly(*dispatcher_); };
        privacy_ = std::make_unique<PrivacyMode>(std::move(deps));
        privacy_->setEventCallback([](const std::string& event, int64_t ts) {
            logger().info("[privacy] event={} ts={}", event, ts);
        });
        localInputBlock_ = std::make_unique<LocalInputBlock>(*inputBlocker_);
    }

    void startSecureDesktopWatcher() {
        if (cfg_.terminalOnly) return;
        secureWatcher_ = std::make_unique<SecureDesktopWatcher>(250);
    }

    void startHostScreenFeatures() {
        annotations_ = std::make_unique<AnnotationOverlay>(
            platformOverlayWindows(), [] { return platform::virtualScreenRect(); });
        annotations_->start();
        indicator_ = std::make_unique<ConnectionIndicator>(platformOverlayWindows(), dpi_.scale);
        life_.showIndicator =
            !envFlagNonZero(processEnvironment(), "KELVANDRUM_HIDE_CONNECTION_INDICATOR");
    }

    bool askConsent() {
        DialogRequest req;
        req.technicianName = "Remote Tech";
        req.mspName = "MSP";
        req.timeoutSeconds =
            consentTimeoutSeconds(processEnvironment()("KELVANDRUM_CONSENT_TIMEOUT_SECONDS"));
        ConsentService service(std::make_unique<Win32ConsentRenderer>(
            [](const platform::DialogOptions& o, std::string& error) {
                return platform::createDialogWindow(o, error);
            },
            dpi_.scale));
        const ConsentResult r = service.request(req);
        if (r.granted) {
            logger().info("Consent granted, continuing with session");
            return true;
        }
        logger().warn("Consent denied (timeout={}) — aborting session", r.timedOut);
        return false;
    }

    int consentDenied() {
        if (clipboardListener_) clipboardListener_->stop();
        kvd::runEndOfSessionCleanup(inputHandler_.get());
        const int code = writeErrorLine(2, "consent denied");
        if (secureWatcher_) secureWatcher_->stop();
        annotations_->stop();
        indicator_->stop();
        pcm_->reset();
        return code;
    }

    void buildQualityAndMonitors() {
        quality_ = std::make_unique<QualityController>(
            makeBaseQuality(static_cast<uint32_t>(std::max(cfg_.targetFps, 1)),
                            static_cast<uint32_t>(std::max(cfg_.maxBitrate, 1)),
                            static_cast<uint32_t>(media_->captureWidth()),
                            static_cast<uint32_t>(media_->captureHeight())));

        monitors_ = std::make_unique<MonitorManager>();
        monitors_->refresh();
        monitors_->setOnSwitch([this](int32_t index, const MonitorDescriptor&) {
            media_->requestMonitorSwitch(index);
        });
        resolution_ = std::make_unique<ResolutionManager>();
        resolution_->limitHostChanges(SteadyClock::instance(), kHostModeChangeIntervalMs);
        quality_->setOnConfigChanged(
            [this](const QualityConfig& q) { media_->onQualityConfig(q); });

        dispatcher_ = std::make_unique<ControlDispatcher>(
            ControlDispatcher::Flags{&media_->cursorShared()->cursorOverlay,
                                     &media_->cursorShared()->cursorOnInputChannel,
                                     &life_.videoOverDataChannel, &processState().running},
            [this](const Json& reply) { pcm_->sendControlJson(dumpJson(reply)); });
        ControlDispatcher::Policy policy;
        policy.accessMode = cfg_.accessMode;
        policy.allowClipboard = cfg_.allowClipboard;
        policy.allowFileTransfer = cfg_.allowFileTransfer;
        policy.recordingEnabled = cfg_.recordingEnabled;
        dispatcher_->setPolicy(policy);
        ControlDispatcher::SessionConfigHooks configHooks;
        configHooks.accessModeChanged = [this](const std::string& mode) {
            inputHandler_->applyAccessMode(mode, true);
            if (terminal_) terminal_->setAllowed(cfg_.terminalOnly || mode != "VIEW_ONLY");
            // A session that became view-only keeps no local input block.
            if (mode == "VIEW_ONLY") {
                privacy_->dropInputBlock();
                localInputBlock_->release();
            }
        };
        configHooks.clipboardPolicyChanged = [this](bool allow) {
            if (clipboardPolicy_) clipboardPolicy_->setEnabled(allow);
        };
        configHooks.recordingReconfigure = [this](const ControlDispatcher::Policy& p) {
            recording_->recorder().configure(
                recorderConfig(p.tenantId, RecordingFormat::Mp4Encrypted, p.maxSizeBytes));
            logger().info("[recording] reconfigured: tenant={} format=Mp4Encrypted", p.tenantId);
        };
        if (pipe_) {
            configHooks.sendRelay = [this](const std::string& type, const Json& payload) {
                pipe_->sendEnvelope(type, payload);
            };
        }
        dispatcher_->setSessionConfigHooks(std::move(configHooks));
        quality_->setOnLevelChanged([this](DegradationLevel level) {
            dispatcher_->reportDegradation(static_cast<int>(level));
        });
        installControlHandlers();
        installHostScreenHandlers(*dispatcher_, annotations_.get(), indicator_.get());
        installPrivacyControl(*dispatcher_, *privacy_, *localInputBlock_);
        buildTerminal();
        pcm_->onControlText = [this](const std::string& text) { dispatcher_->dispatch(text); };

        if (secureWatcher_) {
            secureWatcher_->setOnEnter([this] { media_->secureDesktopEntered(); });
            secureWatcher_->setOnExit([this] { media_->secureDesktopExited(); });
            secureWatcher_->start([this](const std::string& json) { pcm_->sendControlJson(json); });
        }
    }

    void installControlHandlers() {
        auto sendText = [this](const std::string& json) { pcm_->sendControlJson(json); };
        dispatcher_->setHandler("quality_feedback", [this](const Json& msg) {
            quality_->update(qualityFeedbackFromJson(msg));
        });
        dispatcher_->setHandler("quality_preset", [this](const Json& msg) {
            applyQualityPresetMessage(*quality_, msg);
        });
        dispatcher_->setHandler("monitor_switch", [this](const Json& msg) {
            monitors_->switchTo(jsonStringOr(msg, "id", ""));
        });
        dispatcher_->setHandler("monitor_list", [this](const Json&) {
            monitors_->setSendJson([this](const std::string& j) { pcm_->sendControlJson(j); });
            monitors_->sendMonitorList();
        });
        dispatcher_->setHandler("resolution_change", [this, sendText](const Json& msg) {
            const auto outcome = handleResolutionChange(*resolution_, msg, sendText);
            if (outcome.hostChanged) media_->requestResolutionReinit();
            if (outcome.targetChanged) media_->onQualityRequest(outcome.targetHeight, 0);
        });
        dispatcher_->setHandler("resolution_query", [this, sendText](const Json&) {
            sendText(buildResolutionListJson(resolution_->listModes()));
        });
        dispatcher_->setHandler("recording_start", [this](const Json&) {
            bool started = false;
            if (auto reply = recording_->viewerStart(&started)) {
                // The recording must begin with a keyframe.
                if (started) media_->requestKeyframe();
                pcm_->sendControlJson(dumpJson(*reply));
            }
        });
        dispatcher_->setHandler("recording_stop", [this](const Json&) {
            if (auto reply = recording_->viewerStop()) pcm_->sendControlJson(dumpJson(*reply));
        });
        dispatcher_->setHandler("resolution_restore_pref", [this](const Json& msg) {
            const bool v = jsonBool(msg, "restoreOnDisconnect").value_or(true);
            resolution_->setRestoreOnDisconnect(v);
            logger().info("[resolution] restore-on-disconnect pref set to {}", v);
        });
    }

    // Clipboard sync and the host commands of the control channel.
    void buildSessionCommands() {
        clipboardAccess_ = platform::createClipboardAccess();
        ClipboardConfig clip;
        clip.enabled = cfg_.allowClipboard;
        clipboardPolicy_ = std::make_unique<ClipboardPolicy>(clip, clipboardAccess_.get());
        clipboardListener_ = std::make_unique<ClipboardListener>(clipboardAccess_.get());
        if (!clipboardAccess_) {
            logger().warn("[clipboard] no X display reachable — clipboard sync off");
        } else {
            clipboardListener_->start([this](const std::string& text, bool) {
                forwardLocalClipboardChange(
                    *clipboardPolicy_, text,
                    pcm_->channelOpen(PeerConnectionManager::Channel::Control),
                    [this](const std::string& body) { pcm_->sendControlJson(body); });
            });
        }
        SessionCommandDeps d;
        d.clipboard = clipboardPolicy_.get();
        d.listener = clipboardListener_.get();
        d.injector = [this] { return inputHandler_ ? inputHandler_->injector() : nullptr; };
        d.secureDesktopActive = [this] {
            return secureWatcher_ && secureWatcher_->isSecureActive();
        };
        d.accessMode = [this] { return dispatcher_->policy().accessMode; };
        d.allowClipboard = [this] { return dispatcher_->policy().allowClipboard; };
        d.allowsWol = cfg_.allowsWol;
        d.sessionId = cfg_.sessionId;
        if (pipe_) {
            d.sendRelay = [this](const std::string& type, const Json& payload) {
                return pipe_->sendEnvelope(type, payload);
            };
        }
        d.scheduleCommand = platform::scheduleShellCommand;
        d.rebootCommand = rebootCommandFromEnvironment();
        sessionCommands_ = std::make_unique<SessionCommands>(
            std::move(d), [this](const Json& reply) { pcm_->sendControlJson(dumpJson(reply)); });
        sessionCommands_->registerWith(*dispatcher_);
    }

    void buildTerminal() {
        terminal_ = std::make_unique<TerminalManager>();
        terminal_->allowed = cfg_.terminalOnly || cfg_.accessMode != "VIEW_ONLY";
        installTerminalCallbacks(*terminal_,
                                 [this](const std::string& json) { pcm_->sendControlJson(json); });
        terminal_->backlog = [this]() -> std::optional<uint64_t> {
            using Ch = PeerConnectionManager::Channel;
            if (!pcm_->channelOpen(Ch::Control)) return std::nullopt;
            return pcm_->bufferedAmount(Ch::Control);
        };
        registerTerminalHandlers(*dispatcher_, *terminal_);
    }

    // File transfer over the file channel with the session-start
    // permissions, its downloads directory, and the browsing requests.
    void buildFileTransfer() {
        FileSession::Options o;
        o.config.allowFiles = cfg_.allowFileTransfer;
        o.config.allowClipboardData = cfg_.allowClipboard;
        o.env = processEnvironment();
        o.allowFileTransfer = [this] { return dispatcher_->policy().allowFileTransfer; };
        o.sendJson = [this](const Json& reply) { pcm_->sendControlJson(dumpJson(reply)); };
        fileTransport_ = std::make_unique<kvd_dev::FileDcTransport>(pcm_.get());
        fileSession_ = std::make_unique<FileSession>(*fileTransport_, std::move(o));
        fileSession_->registerControlHandlers(*dispatcher_);
        pcm_->onFileBinary = [this](const uint8_t* data, size_t size) {
            fileSession_->onFileBinary(data, size);
        };
        pcm_->onFileChannelClosed = [this] { fileSession_->onChannelClosed(); };
    }

    void checkSession0() {
        const auto probe = platform::probeSession();
        if (!probe.noInteractiveDesktop) {
            logger().warn(
                "[display-state] ProcessIdToSessionId failed (err={}) — assuming an interactive "
                "session; a Session-0 engine would go unreported",
                probe.errorCode);
            return;
        }
        if (*probe.noInteractiveDesktop) {
            logger().warn(
                "[display-state] engine runs in Windows Session 0 — no interactive desktop. Only "
                "the console-session SHM helper can supply real frames; local DXGI/GDI capture "
                "here is black by construction");
            displayState_.setSession0(true);
        }
    }

    void startTopologyWatcher() {
        if (cfg_.terminalOnly) return;
        topology_ = std::make_unique<DisplayTopologyWatcher>(2000);
        topology_->start([this] { media_->notifyTopologyChanged(); });
    }

    void startThreads() {
        pcm_->onConnected = [this] { loop_->onConnected(); };
        pcm_->onDisconnected = [this] {
            if (!life_.rebuildInProgress.load() && resolution_->restoreOnDisconnect())
                resolution_->restore();
            loop_->onDisconnected();
        };
        pcm_->onViewerActivity = [this] { loop_->onViewerActivity(); };
        pcm_->onQualityRequest = [this](int maxHeight, int fps) {
            media_->onQualityRequest(maxHeight, fps);
        };

        SessionLoop::Hooks hooks;
        hooks.terminalOnly = cfg_.terminalOnly;
        hooks.iceDiagnostics = cfg_.iceDiagnostics;
        hooks.exitWindowMs = cfg_.exitWindowMs;
        hooks.viewerSilenceMs = cfg_.viewerSilenceMs;
        if (!cfg_.terminalOnly) hooks.displayLost = [] { return platform::displayServerLost(); };
        hooks.publishGeometry = [this] { media_->publishGeometry(); };
        hooks.mediaHousekeeping = [this] {
            media_->housekeeping();
            recording_->tick();
        };
        hooks.framePass = [this] { return media_->framePass(); };
        hooks.dropConnectionState = [this] { media_->dropConnectionState(); };
        hooks.onRebuilt = [this](int64_t nowMs) { media_->onRebuilt(nowMs); };
        hooks.sleepMs = sleepForMs;
        hooks.showIndicator = [this](bool viewOnly) {
            IndicatorConfig c;
            c.mode =
                viewOnly ? IndicatorConfig::Mode::ViewOnly : IndicatorConfig::Mode::FullControl;
            c.operatorName = "Remote Tech";
            c.mspName = "MSP";
            c.visible = true;
            indicator_->show(c);
        };
        hooks.hideIndicator = [this] { indicator_->stop(); };
        power_ = platform::makePowerRequest();
        auto& ps = processState();
        loop_ = std::make_unique<SessionLoop>(life_, *lifecyclePeer_, *signaling_, power_.get(),
                                              SteadyClock::instance(), std::move(hooks), ps.running,
                                              ps.exitReason, ps.watchdogHeartbeatMs,
                                              cfg_.accessMode == "VIEW_ONLY");

        signalingThread_ = std::make_unique<SignalingThread>(*signaling_, life_, ps.running);
        signalingThread_->start();

        CursorStream::Deps cd;
        cd.shared = media_->cursorShared();
        cd.pointerPosition = [ptr = std::shared_ptr<platform::Pointer>(platform::createPointer())]()
            -> std::optional<std::pair<int32_t, int32_t>> {
            int32_t x = 0, y = 0;
            if (!ptr || !ptr->position(x, y)) return std::nullopt;
            return std::make_pair(x, y);
        };
        cd.controlChannelOpen = [this] { return pipelinePeer_->controlChannelOpen(); };
        cd.inputChannelOpen = [this] { return pipelinePeer_->inputChannelOpen(); };
        cd.sendControlBinary = [this](const CursorStream::Bytes& b) {
            pcm_->sendControlBinary(b.data(), b.size());
        };
        cd.sendInputBinary = [this](const CursorStream::Bytes& b) {
            pcm_->sendInputBinary(b.data(), b.size());
        };
        cd.running = &ps.running;
        cursorStream_ = std::make_unique<CursorStream>(std::move(cd));
        cursorStream_->start();
    }

    void reportDisplayState() {
        DisplayStateInputs in;
        in.haveCapture = media_->capture() != nullptr;
        in.liveShm = media_->shmActive();
        if (monitors_) {
            in.monitors = static_cast<int>(monitors_->monitors().size());
            in.activePaths = in.monitors;
        }
        in.width = media_->captureWidth();
        in.height = media_->captureHeight();
        if (auto msg = displayState_.evaluate(in); msg && pcm_)
            pcm_->sendControlJson(dumpJson(*msg));
    }

    void sendStatusReport() {
        StatusInputs in;
        in.shmActive = media_->shmActive();
        in.haveCapture = media_->capture() != nullptr;
        in.captureKind = captureKindName(media_->captureKind());
        in.width = media_->captureWidth();
        in.height = media_->captureHeight();
        in.rtcBufferedBytes = media_->bufferedAmount();
        in.abrLevel = quality_ ? static_cast<int>(quality_->level()) : 0;
        in.dxgiStarvedDeaths = media_->stats().starvedDeaths;
        if (secureWatcher_) in.secureDesktop = secureWatcher_->isSecureActive();
        in.peerConnected = life_.connected.load();
        pipe_->sendEnvelope("REMOTE_SESSION_STATUS", buildStatusRecord(in, steadyNowMs()));
    }

    int shutdown() {
        auto& ps = processState();
        logger().info("Shutting down...");
        media_->dropConnectionState();
        if (terminal_) terminal_->stopAll();
        if (secureWatcher_) secureWatcher_->stop();
        if (annotations_) annotations_->stop();
        if (indicator_) indicator_->stop();
        if (privacy_) privacy_->shutdown();
        if (localInputBlock_) localInputBlock_->release();
        if (clipboardListener_) clipboardListener_->stop();
        runEndOfSessionCleanup(inputHandler_.get());
        if (fileSession_) fileSession_->stop();
        if (recording_) recording_->stopAtSessionEnd();
        if (tray_) tray_->stop();

        // The end-of-session announcement needs the relay link, so it goes
        // out before the link is closed (afterwards it could never be sent).
        const int reason = ps.exitReason.load();
        if (cfg_.engineExitTruth && (reason == 0 || reason == 6) && pipe_ && pipe_->isConnected()) {
            pipe_->sendEnvelope(
                "REMOTE_SESSION_ENDED",
                Json{{"reason", reason == 6 ? "engine_no_viewer_timeout" : "engine_normal_exit"}});
            logger().info("[exit-truth] announced REMOTE_SESSION_ENDED before graceful exit");
        }

        signaling_->disconnect();
        if (!signalingThread_->join(1500)) {
            logger().warn("[shutdown] signalingThread join timed out — detached");
            leakSignaling_ = true;
        }
        if (!cursorStream_->join(1000)) {
            logger().warn("[shutdown] cursorThread join timed out — detached");
            leakCursor_ = true;
        }
        ps.watchdogStop = true;
        if (recording_->busy()) {
            if (recording_->drain(25000)) {
                logger().info("[recording] upload drained before exit");
            } else {
                logger().warn("[recording] upload drain timed out after {}ms — detaching", 25000);
                leakRecording_ = true;
            }
        }

        logger().info("kelvandrum-remote stopped");
        logger().flush();
        if (topology_) topology_->stop();
        if (!leakSignaling_) pcm_->reset();
        return reason;
    }

    EngineConfig cfg_;
    platform::DpiAwareness dpi_;
    DisplayStateReporter displayState_;
    LifecycleState life_;

    std::unique_ptr<ISignalingClient> signaling_;
    PipeSignalingClient* pipe_ = nullptr;
    // Outlive the manager, whose callbacks reach them until it is gone.
    std::unique_ptr<kvd_dev::FileDcTransport> fileTransport_;
    std::unique_ptr<FileSession> fileSession_;
    std::unique_ptr<PeerConnectionManager> pcm_;
    std::unique_ptr<LifecyclePeer> lifecyclePeer_;
    std::unique_ptr<PipelinePeer> pipelinePeer_;
    std::unique_ptr<MediaPipeline> media_;
    std::shared_ptr<InputPipeClient> pipeClient_;
    std::unique_ptr<InputChannelHandler> inputHandler_;
    std::unique_ptr<ChatService> chat_;
    std::unique_ptr<TrayChatBridge> tray_;
    std::unique_ptr<SecureDesktopWatcher> secureWatcher_;
    std::unique_ptr<QualityController> quality_;
    std::unique_ptr<MonitorManager> monitors_;
    std::unique_ptr<ResolutionManager> resolution_;
    std::unique_ptr<ControlDispatcher> dispatcher_;
    std::unique_ptr<AnnotationOverlay> annotations_;
    std::unique_ptr<ConnectionIndicator> indicator_;
    bool consentRequired_ = false;
    std::unique_ptr<SharedInputBlocker> inputBlocker_;
    std::unique_ptr<PrivacyMode> privacy_;
    std::unique_ptr<LocalInputBlock> localInputBlock_;
    std::unique_ptr<platform::ClipboardAccess> clipboardAccess_;
    std::unique_ptr<ClipboardPolicy> clipboardPolicy_;
    std::unique_ptr<ClipboardListener> clipboardListener_;
    std::unique_ptr<SessionCommands> sessionCommands_;
    std::unique_ptr<TerminalManager> terminal_;
    std::unique_ptr<DisplayTopologyWatcher> topology_;
    std::unique_ptr<platform::PowerRequest> power_;
    std::unique_ptr<SessionLoop> loop_;
    std::unique_ptr<SignalingThread> signalingThread_;
    std::unique_ptr<CursorStream> cursorStream_;
    std::unique_ptr<RecordingService> recording_;
    std::unique_ptr<RecorderHook> recorderHook_;
    bool leakSignaling_ = false;
    bool leakCursor_ = false;
    bool leakRecording_ = false;
};

}  // namespace

int runEngine(const std::vector<std::string>& args) {
    try {
        const auto dpi = platform::setupDpiAwareness();
        platform::hideConsoleWindow();
        platform::installTerminationHandlers(&processState().running);

        const auto env = processEnvironment();
        EngineConfig cfg = parseConfiguration(args, env);

        if (cfg.checkPermissions || cfg.requestPermissions) {
            writePermissionRecord();
            return 0;
        }
        if (cfg.agentMode) {
            writeAgentRefusal();
            return 1;
        }

        const std::string logSid = cfg.inputMode ? "input-" + cfg.sessionId : cfg.sessionId;
        auto nonEmpty = [&](const char* name) -> std::optional<std::string> {
            auto v = env(name);
            if (!v || v->empty()) return std::nullopt;
            return v;
        };
        setupLogging(
            logSid,
            logFileCandidates(nonEmpty("KELVANDRUM_LOG_FILE"), platform::publicDataBase(), logSid),
            nonEmpty("KELVANDRUM_LOG_LEVEL"));

        Engine engine(std::move(cfg), dpi);
        engine.setConsentRequired(consentRequired(args, env("KELVANDRUM_REQUIRE_CONSENT")));
        return engine.run();
    } catch (const std::exception& e) {
        writeFatalLine(e.what());
        return writeErrorLine(1, e.what());
    } catch (...) {
        writeFatalLine("unknown exception");
        return writeErrorLine(1, "unknown exception");
    }
}

}  // namespace kvd
