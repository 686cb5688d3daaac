#include "engine/engine.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include "common/log.h"
#include "common/process_state.h"
#include "engine/config.h"
#include "engine/status.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/session_env.h"

namespace kvd {

namespace {

class Engine {
  public:
    Engine(EngineConfig cfg, platform::DpiAwareness dpi)
        : cfg_(std::move(cfg)), dpi_(std::move(dpi)) {}

    int run() {
        logStartup();
        if (cfg_.inputMode) {
            logger().info("Entering input helper mode");
            return runInputHelperMode();
        }
        if (cfg_.unattendedMode)
            logger().info("Unattended mode: forcing GDI capture, direct input");

        startCapture();                                // step 8
        if (auto code = startEncoder()) return *code;  // step 9
        buildSignaling();                              // step 10
        applyIceServers();                             // step 11
        checkSession0();                               // step 20

        if (!connectSignaling()) {  // step 23
            logger().error("Failed to connect signaling");
            return writeErrorLine(3, "signaling connect failed");
        }
        startThreads();  // step 24

        writeReadyLine(cfg_.sessionId);  // step 25
        logger().info("Waiting for viewer to connect...");

        processState().watchdogHeartbeatMs = steadyNowMs();  // step 26
        startWatchdogThread();

        runSessionLoop();  // step 27
        return shutdown();
    }

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
        logger().error("[helper] input helper mode is not available in this build");
        return 1;
    }

    void startCapture() {}

    std::optional<int> startEncoder() { return std::nullopt; }

    void buildSignaling() {}

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

    bool connectSignaling() { return false; }

    void startThreads() {}

    void runSessionLoop() {
        auto& ps = processState();
        while (ps.running.load()) {
            ps.watchdogHeartbeatMs = steadyNowMs();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    int shutdown() {
        auto& ps = processState();
        logger().info("Shutting down...");
        ps.watchdogStop = true;
        logger().info("kelvandrum-remote stopped");
        logger().flush();
        return ps.exitReason.load();
    }

    EngineConfig cfg_;
    platform::DpiAwareness dpi_;
    DisplayStateReporter displayState_;
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
