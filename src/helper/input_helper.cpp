#include "helper/input_helper.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <limits>
#include <thread>

#include "capture/secure_desktop_watcher.h"
#include "common/json_util.h"
#include "common/log.h"
#include "common/process_state.h"
#include "input/win32_input_injector.h"
#include "platform/desktop_probe.h"
#include "platform/input_backend.h"
#include "platform/shared_memory.h"

namespace kvd {

namespace {

constexpr size_t kLogSnippet = 200;
constexpr size_t kMaxDesktopNameBytes = 255;
constexpr int kMaxNesting = 16;
constexpr int kReplyTimeoutMs = 1000;

// Peer text in log lines is cut short: a 1 MiB line must not become a
// 1 MiB log record.
std::string snippet(std::string_view s) {
    if (s.size() <= kLogSnippet) return std::string(s);
    return std::string(s.substr(0, kLogSnippet)) + "…";
}

std::string cutUtf8(std::string s, size_t limit) {
    if (s.size() <= limit) return s;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
    return s;
}

// Parses with the library's own error text for the log.
std::optional<Json> parseWithMessage(const std::string& line, std::string& error) {
    // Commands are flat objects: a tight bound.
    return parseJson(line, error, kMaxNesting);
}

int64_t clampTo(int64_t v, int64_t lo, int64_t hi) {
    return std::min(hi, std::max(lo, v));
}

// Sends each call to the backend of the desktop that has the input: the
// secure display while the secure desktop is shown, the main one otherwise.
class DesktopRoutingBackend final : public platform::InputBackend {
  public:
    DesktopRoutingBackend(std::unique_ptr<platform::InputBackend> main,
                          std::unique_ptr<platform::InputBackend> secure,
                          std::function<bool()> secureActive)
        : main_(std::move(main)),
          secure_(std::move(secure)),
          secureActive_(std::move(secureActive)) {}

    bool attachInputDesktop(int& error) override { return cur().attachInputDesktop(error); }
    bool movePointer(int32_t x, int32_t y) override { return cur().movePointer(x, y); }
    bool pointerPosition(int32_t& x, int32_t& y) override { return cur().pointerPosition(x, y); }
    bool pointerButton(platform::PointerButton b, bool down) override {
        return cur().pointerButton(b, down);
    }
    bool wheel(int32_t delta, bool horizontal) override { return cur().wheel(delta, horizontal); }
    bool keyByScanCode(uint16_t sc, bool ext, bool down) override {
        return cur().keyByScanCode(sc, ext, down);
    }
    bool keyByVirtualKey(uint16_t vk, bool down) override {
        return cur().keyByVirtualKey(vk, down);
    }
    size_t sendKeyRecords(const std::vector<platform::KeyRecord>& r, size_t offset,
                          size_t count) override {
        return cur().sendKeyRecords(r, offset, count);
    }
    platform::ScreenMetrics screenMetrics() override { return cur().screenMetrics(); }
    int lastError() override { return cur().lastError(); }
    bool setSoftwareSasPolicy(uint32_t v) override { return cur().setSoftwareSasPolicy(v); }
    int enableSasPrivilege() override { return cur().enableSasPrivilege(); }
    int loadSasLibrary() override { return cur().loadSasLibrary(); }
    bool sasEntryAvailable() override { return cur().sasEntryAvailable(); }
    void invokeSas(bool asUser) override { cur().invokeSas(asUser); }
    void unloadSasLibrary() override { cur().unloadSasLibrary(); }

  private:
    platform::InputBackend& cur() {
        if (secure_ && secureActive_ && secureActive_()) return *secure_;
        return *main_;
    }
    std::unique_ptr<platform::InputBackend> main_, secure_;
    std::function<bool()> secureActive_;
};

// Lines of one connection, each at most kMaxLineBytes long.
class LineReader {
  public:
    enum class Result { Line, Timeout, End };

    explicit LineReader(platform::LocalPipeConnection& conn) : conn_(conn) {}

    Result next(std::string& out, int timeoutMs) {
        for (;;) {
            const size_t pos = buf_.find('\n', scanned_);
            if (pos != std::string::npos) {
                if (pos > InputHelper::kMaxLineBytes) return overLong();
                out.assign(buf_, 0, pos);
                buf_.erase(0, pos + 1);
                scanned_ = 0;
                return Result::Line;
            }
            scanned_ = buf_.size();
            if (buf_.size() > InputHelper::kMaxLineBytes) return overLong();
            char chunk[4096];
            const platform::PipeIo io = conn_.read(chunk, sizeof chunk, timeoutMs);
            if (io.timedOut) return Result::Timeout;
            // End of stream: an unterminated tail is a fragment, never a
            // command.
            if (io.bytes <= 0) return Result::End;
            buf_.append(chunk, static_cast<size_t>(io.bytes));
        }
    }

  private:
    Result overLong() {
        logger().warn("[input-helper] line longer than {} bytes — dropping the connection",
                      InputHelper::kMaxLineBytes);
        buf_.clear();
        return Result::End;
    }
    platform::LocalPipeConnection& conn_;
    std::string buf_;
    size_t scanned_ = 0;
};

}  // namespace

std::string defaultInputPipeName(const std::string& sessionId) {
    return "kelvandrum-input-" + sessionId.substr(0, std::min<size_t>(8, sessionId.size()));
}

InputHelper::InputHelper(InputHelperOptions options, InputHelperSeams seams)
    : options_(std::move(options)), seams_(std::move(seams)) {
    clock_ = seams_.clock ? seams_.clock : &SteadyClock::instance();
    if (!seams_.wallNowMs) seams_.wallNowMs = [] { return wallNowMs(); };
}

InputHelper::~InputHelper() {
    releaseProducers();
}

void InputHelper::initProducers() {
    std::lock_guard<std::mutex> lk(captureMu_);
    v1_ = seams_.makeV1Producer ? seams_.makeV1Producer(producerDisplay(), options_.sessionId)
                                : nullptr;
    if (v1_)
        logger().info("[InputHelperMode] SharedMemoryProducer (v1 fallback) initialized");
    else
        logger().warn(
            "[InputHelperMode] SharedMemoryProducer init failed — lock screen capture "
            "unavailable");
    if (options_.shmV2) {
        v2_ = seams_.makeV2Producer ? seams_.makeV2Producer(producerDisplay(), options_.sessionId)
                                    : nullptr;
        if (v2_)
            logger().info(
                "[InputHelperMode] SharedMemoryProducerV2 initialized (shm_v2 on, v1 kept as net)");
        else
            logger().warn(
                "[InputHelperMode] SharedMemoryProducerV2 init failed — v1 continues to serve");
    }
    bridgeEnabled_ = options_.shmV2 && options_.transitionBridge && v2_ != nullptr;
}

void InputHelper::releaseProducers() {
    std::lock_guard<std::mutex> lk(captureMu_);
    if (v2_ && v2_->running()) v2_->stop();
    if (v1_ && v1_->running()) v1_->stop();
    v2_.reset();
    v1_.reset();
    bridgeEnabled_ = false;
    bridgeStartMs_ = bridgeReleasedMs_ = -1;
    captureActive_ = false;
}

bool InputHelper::verifyHello(const std::string& line) const {
    if (options_.token.empty()) return false;
    if (line.empty()) return false;
    std::string error;
    const auto j = parseWithMessage(line, error);
    if (!j) {
        logger().warn("[input-helper] hello parse error: {}", error);
        return false;
    }
    if (!j->is_object() || jsonString(*j, "t") != std::optional<std::string>("hello")) {
        logger().warn("[input-helper] first frame was not a hello — rejecting");
        return false;
    }
    const auto token = jsonString(*j, "token");
    if (!token) return false;
    const std::string& expected = options_.token;
    if (token->size() != expected.size()) return false;
    // Every byte is compared, so the time taken does not show where a guess
    // went wrong.
    unsigned char diff = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>((*token)[i] ^ expected[i]);
    return diff == 0;
}

std::string InputHelper::currentDesktopName() {
    std::string name = seams_.desktopName ? seams_.desktopName() : std::string("Default");
    if (name.empty()) name = "Default";
    return cutUtf8(std::move(name), kMaxDesktopNameBytes);
}

void InputHelper::executeCommand(const std::string& line, InputInjector& inj,
                                 const ReplyFn& reply) {
    std::string error;
    const auto parsed = parseWithMessage(line, error);
    if (!parsed) {
        logger().warn("[InputHelperMode] JSON parse error: {}", error);
        return;
    }
    const Json& j = *parsed;
    const auto type = jsonString(j, "t");
    if (!j.is_object() || !type) {
        logger().warn("[InputHelperMode] Command missing 't' field: {}", snippet(line));
        return;
    }
    const std::string& t = *type;
    auto num = [&](const char* key, int64_t def = 0) { return jsonInt(j, key).value_or(def); };
    // A value outside its field's range is refused rather than wrapped: a
    // wrapped button or key code would press something the viewer never
    // asked for.
    auto inRange = [&](int64_t v, int64_t lo, int64_t hi) {
        if (v >= lo && v <= hi) return true;
        logger().warn("[InputHelperMode] Command '{}' carries an out-of-range value {} — ignoring",
                      t, v);
        return false;
    };

    if (t == "sas" && reattach_) reattach_();

    if (t == "mm") {
        // Positions beyond the edge stay on the edge.
        inj.mouseMove(static_cast<uint16_t>(clampTo(num("x"), 0, 65535)),
                      static_cast<uint16_t>(clampTo(num("y"), 0, 65535)));
    } else if (t == "mc") {
        const int64_t b = num("b"), d = num("d");
        if (!inRange(b, 0, 255)) return;
        const auto button = static_cast<uint8_t>(b);
        if (d == 1) {
            inj.mouseDown(button);
        } else if (d == 0) {
            inj.mouseUp(button);
        } else if (d == 2) {
            inj.mouseDown(button);
            inj.mouseUp(button);
            inj.mouseDown(button);
            inj.mouseUp(button);
        }
    } else if (t == "mw") {
        inj.mouseWheel(static_cast<int16_t>(clampTo(num("dy"), INT16_MIN, INT16_MAX)),
                       static_cast<int16_t>(clampTo(num("dx"), INT16_MIN, INT16_MAX)));
    } else if (t == "kd" || t == "ku") {
        const int64_t vk = num("vk"), sc = num("sc"), ext = num("ext");
        if (!inRange(vk, 0, 0xFFFF) || !inRange(sc, 0, 0xFFFF)) return;
        const uint8_t flags = ext != 0 ? 1 : 0;
        if (t == "kd")
            inj.keyDown(static_cast<uint16_t>(sc), static_cast<uint16_t>(vk), flags);
        else
            inj.keyUp(static_cast<uint16_t>(sc), static_cast<uint16_t>(vk), flags);
    } else if (t == "type") {
        const std::string s = jsonStringOr(j, "s", "");
        const auto d = static_cast<uint32_t>(clampTo(num("d", 25), 0, UINT32_MAX));
        if (!s.empty()) inj.typeText(s, d);
    } else if (t == "sas") {
        inj.sendSas();
    } else if (t == "smb") {
        auto i32 = [&](const char* k) {
            return static_cast<int32_t>(clampTo(num(k), INT32_MIN, INT32_MAX));
        };
        inj.setActiveMonitorBounds(i32("l"), i32("tt"), i32("w"), i32("h"));
    } else if (t == "ping") {
        int64_t ts = num("ts");
        if (ts <= 0) ts = seams_.wallNowMs();
        Json pong = {{"desktop", currentDesktopName()}, {"t", "pong"}, {"ts", ts}};
        if (reply) reply(dumpJson(pong) + "\n");
    } else if (t == "shm2") {
        const std::string op = jsonStringOr(j, "op", "");
        if (op == "bridge_release") {
            {
                std::lock_guard<std::mutex> lk(captureMu_);
                bridgeReleasedMs_ = nowMs();
            }
            logger().info("[InputHelperMode] bridge_release received from engine");
        } else {
            logger().warn("[InputHelperMode] Unknown shm2 op '{}' — ignoring", snippet(op));
        }
    } else {
        logger().warn("[InputHelperMode] Unknown command type '{}' — ignoring", snippet(t));
    }
}

void InputHelper::onSecureEnter() {
    secure_ = true;
    const std::string display = producerDisplay();
    std::lock_guard<std::mutex> lk(captureMu_);
    if (v2_) {
        if (v2_->running()) {
            bridgeStartMs_ = -1;
            bridgeReleasedMs_ = -1;
        } else {
            logger().info(
                "[InputHelperMode] Secure desktop entered — starting v2 capture to shared memory");
            v2_->start(display, options_.sessionId);
        }
    }
    if (v1_ && !v1_->running()) {
        logger().info(
            "[InputHelperMode] Secure desktop entered — starting GDI capture to shared memory (v1 "
            "net)");
        v1_->start(display, options_.sessionId);
    }
    captureActive_ = (v1_ && v1_->running()) || (v2_ && v2_->running());
}

void InputHelper::onSecureExit() {
    secure_ = false;
    std::lock_guard<std::mutex> lk(captureMu_);
    const bool v2Running = v2_ && v2_->running();
    if (v2Running && bridgeEnabled_) {
        logger().info("[InputHelperMode] Secure desktop exited — bridge holds v2 capture (≤{}s)",
                      kBridgeMaxMs / 1000);
        bridgeReleasedMs_ = -1;
        bridgeStartMs_ = nowMs();
        return;
    }
    if (v2Running) {
        logger().info("[InputHelperMode] Secure desktop exited — stopping v2 capture");
        v2_->stop();
    }
    if (v1_ && v1_->running()) {
        logger().info("[InputHelperMode] Secure desktop exited — stopping GDI capture");
        v1_->stop();
    }
    captureActive_ = (v1_ && v1_->running()) || (v2_ && v2_->running());
}

bool InputHelper::bridgePending() const {
    std::lock_guard<std::mutex> lk(captureMu_);
    return bridgeStartMs_ >= 0;
}

void InputHelper::noteActivity() {
    lastActivityMs_ = nowMs();
}

void InputHelper::setClientConnected(bool c) {
    clientConnected_ = c;
}

bool InputHelper::watchdogTick() {
    const int64_t now = nowMs();
    {
        std::lock_guard<std::mutex> lk(captureMu_);
        if (bridgeEnabled_ && v2_ && v2_->running() && bridgeStartMs_ >= 0) {
            const bool released = bridgeReleasedMs_ >= 0;
            if (released || now - bridgeStartMs_ > kBridgeMaxMs) {
                logger().info("[InputHelperMode] bridge window over ({}) — stopping v2 capture",
                              released ? "released by engine" : "30s fail-safe expiry");
                v2_->stop();
                // The secure desktop is gone: the v1 net has nothing left to
                // show either.
                if (v1_ && v1_->running()) v1_->stop();
                captureActive_ = (v1_ && v1_->running()) || v2_->running();
                bridgeStartMs_ = bridgeReleasedMs_ = -1;
            }
        }
    }
    if (!clientConnected_.load() && !captureActive_.load()) {
        const int64_t last = lastActivityMs_.load();
        if (last > 0 && now - last > kIdleExitMs) {
            logger().info(
                "[input-helper] Idle for {}ms with no client connected — exiting to avoid zombie",
                now - last);
            return true;
        }
    } else {
        lastActivityMs_ = now;
    }
    return false;
}

int runInputHelper(const InputHelperOptions& optionsIn, InputHelperSeams seams) {
    InputHelperOptions options = optionsIn;
    if (options.mainDisplay.empty()) {
        if (const char* d = std::getenv("DISPLAY")) options.mainDisplay = d;
    }
    if (options.secureDisplay.empty()) {
        if (const char* d = std::getenv("KVD_SECURE_DISPLAY")) options.secureDisplay = d;
    }
    if (options.pipeName.empty()) options.pipeName = defaultInputPipeName(options.sessionId);
    if (!seams.exitProcess)
        seams.exitProcess = [](int code) {
            logger().flush();
            std::_Exit(code);
        };
    if (!seams.keepRunning) seams.keepRunning = [] { return isRunning(); };
    if (!seams.desktopName) {
        auto probe = std::shared_ptr<platform::DesktopProbe>(
            platform::createDesktopProbe(options.mainDisplay));
        auto thinner = std::make_shared<LogThinner>(3, 90);
        seams.desktopName = [probe, thinner]() -> std::string {
            const platform::DesktopProbeResult r = probe->probe();
            using O = platform::DesktopProbeResult::Outcome;
            if (r.outcome == O::Ok) return r.name;
            if (r.outcome == O::AccessDenied) return "Winlogon";
            if (thinner->shouldLog())
                logger().warn("[InputHelperMode] OpenInputDesktop failed err={}", r.error);
            return "Default";
        };
    }

    logger().info("[InputHelperMode] Starting — pipe='{}'", options.pipeName);
    InputHelper helper(options, seams);
    helper.initProducers();

    std::unique_ptr<InputInjector> injector;
    auto secureActive = [&helper] { return helper.secureActive(); };
    if (seams.makeInjector) {
        injector = seams.makeInjector(options.mainDisplay, options.secureDisplay, secureActive);
    } else {
        std::unique_ptr<platform::InputBackend> secure;
        if (!options.secureDisplay.empty() && options.secureDisplay != options.mainDisplay)
            secure = platform::createInputBackend(options.secureDisplay);
        auto direct = std::make_unique<Win32InputInjector>(std::make_unique<DesktopRoutingBackend>(
            platform::createInputBackend(options.mainDisplay), std::move(secure), secureActive));
        Win32InputInjector* raw = direct.get();
        helper.setReattach([raw] { raw->forceReattach(); });
        injector = std::move(direct);
    }

    SecureDesktopWatcher watcher(
        250, seams.watcherProbe ? nullptr : platform::createDesktopProbe(options.mainDisplay));
    if (seams.watcherProbe) watcher.setNameProbe(seams.watcherProbe);
    watcher.setOnEnter([&helper] { helper.onSecureEnter(); });
    watcher.setOnExit([&helper] { helper.onSecureExit(); });
    watcher.start([](const std::string&) {});

    // The idle time counts from before the pipe exists: whoever sees the
    // pipe can rely on the helper's idle clock already running.
    helper.noteActivity();
    helper.setClientConnected(false);
    platform::PipeServerResult created = platform::createLocalPipeServer(options.pipeName);
    if (!created.server) {
        logger().error("[InputHelperMode] CreateNamedPipeA('{}') failed err={}", created.path,
                       created.error);
        logger().error("[InputHelperMode] Failed to create pipe — exiting with code 1");
        watcher.stop();
        helper.releaseProducers();
        return 1;
    }
    platform::LocalPipeServer& server = *created.server;
    logger().info("[InputHelperMode] Pipe created: {}", server.path());

    std::atomic<bool> shutdownRequested{false};
    std::atomic<bool> idleExit{false};
    std::mutex wdMu;
    std::condition_variable wdCv;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lk(wdMu);
        while (!shutdownRequested.load()) {
            wdCv.wait_for(lk, std::chrono::milliseconds(seams.watchdogTickMs),
                          [&] { return shutdownRequested.load(); });
            if (shutdownRequested.load()) break;
            // A failing tick (a producer that throws while stopping) must
            // not end the helper from this thread; the next tick retries.
            bool idle = false;
            try {
                idle = helper.watchdogTick();
            } catch (const std::exception& e) {
                logger().error("[InputHelperMode] watchdog tick failed: {}", e.what());
            } catch (...) {
                logger().error("[InputHelperMode] watchdog tick failed: unknown exception");
            }
            if (idle) {
                idleExit = true;
                seams.exitProcess(0);
                break;  // only reached when the exit seam returns (tests)
            }
        }
    });

    auto stopLoop = [&] { return !seams.keepRunning() || idleExit.load(); };
    const int pollMs = seams.acceptPollMs;
    while (!stopLoop()) {
        logger().info("[input-helper] Waiting for capture process to connect...");
        std::unique_ptr<platform::LocalPipeConnection> conn;
        int error = 0;
        while (!conn && !stopLoop()) {
            conn = server.accept(pollMs, error);
            if (!conn && error != ETIMEDOUT) break;
        }
        if (!conn) {
            if (!stopLoop()) logger().error("[input-helper] ConnectNamedPipe failed: {}", error);
            break;
        }
        logger().info("[input-helper] Capture process connected to pipe");
        const platform::PipePeer peer = conn->peer();
        if (peer.known)
            logger().info("[input-helper] peer pid={} uid={} gid={}", peer.pid, peer.uid, peer.gid);
        helper.setClientConnected(true);
        helper.noteActivity();

        LineReader reader(*conn);
        bool verified = false;
        if (helper.failClosed()) {
            logger().error(
                "[input-helper] no per-session nonce provisioned — refusing input (fail-closed). "
                "The launcher must pass KELVANDRUM_INPUT_PIPE_TOKEN.");
        } else {
            // A client that never says hello must not hold the one instance.
            const int64_t deadline = steadyNowMs() + InputHelper::kHelloTimeoutMs;
            std::string first;
            LineReader::Result r = LineReader::Result::Timeout;
            while (r == LineReader::Result::Timeout && !stopLoop() && steadyNowMs() < deadline)
                r = reader.next(first, pollMs);
            verified = r == LineReader::Result::Line && helper.verifyHello(first);
        }
        if (!verified) {
            logger().warn("[input-helper] Client hello verification FAILED — rejecting connection");
            helper.setClientConnected(false);
            helper.noteActivity();
            conn->shutdown();
            continue;
        }
        logger().info("[input-helper] Client hello verified — input authorized");
        // The frames for this engine must be readable by its user and by no
        // one else.
        if (peer.known) platform::shareSharedMemoryWith(peer.uid);
        auto reply = [&conn](const std::string& text) {
            int e = 0;
            (void)conn->writeAll(text.data(), text.size(), kReplyTimeoutMs, e);
        };
        std::string line;
        for (;;) {
            const LineReader::Result r = reader.next(line, pollMs);
            if (r == LineReader::Result::End) break;
            if (r == LineReader::Result::Timeout) {
                if (stopLoop()) break;
                continue;
            }
            helper.noteActivity();
            try {
                helper.executeCommand(line, *injector, reply);
            } catch (const std::exception& e) {
                logger().warn("[input-helper] Command error: {}", e.what());
            }
        }
        logger().warn("[input-helper] Pipe disconnected, waiting for reconnect...");
        helper.setClientConnected(false);
        helper.noteActivity();
        conn->shutdown();
    }

    {
        std::lock_guard<std::mutex> lk(wdMu);
        shutdownRequested = true;
    }
    wdCv.notify_all();
    watchdog.join();
    watcher.stop();
    helper.releaseProducers();
    injector.reset();
    logger().info("[InputHelperMode] Exiting cleanly");
    return 0;
}

}  // namespace kvd
